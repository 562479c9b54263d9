#include "msgbase/text_limit.h"

namespace msgbase {

std::string CutText(std::string Text) {
  if (Text.size() > MaxTextLength) Text.resize(MaxTextLength);
  return Text;
}

}  // namespace msgbase
