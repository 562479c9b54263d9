// The one limit on the system's texts: at most 255 characters wherever a text
// is built or stored, and the one helper that cuts to it. It sits below the
// streams and the file helpers, which both cut names with it.
#pragma once

#include <cstddef>
#include <string>

namespace msgbase {

// Every text of the system holds at most this many characters.
inline constexpr std::size_t MaxTextLength = 255;

// Text keeps its first MaxTextLength characters. Apply wherever a text is
// built or stored.
[[nodiscard]] std::string CutText(std::string Text);

}  // namespace msgbase
