#include "msgbase/text_limit.h"

#include <gtest/gtest.h>

#include <string>

namespace msgbase {
namespace {

TEST(TextLimitTest, TextsAreCutAtTheLimitAndNoEarlier) {
  for (const std::size_t Size :
       {std::size_t{0}, MaxTextLength - 1, MaxTextLength, MaxTextLength + 1, 4 * MaxTextLength}) {
    std::string Text(Size, 'x');
    if (Size > 0) Text.front() = 'a';
    const std::string Cut = CutText(Text);
    EXPECT_EQ(Text.substr(0, MaxTextLength), Cut) << Size;
  }
}

}  // namespace
}  // namespace msgbase
