// Stored text as the tools show it: control bytes made visible for a terminal,
// and any bytes as a JSON string that is always valid UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace tools {

// S with every byte below 0x20 shown as '^' and the letter 0x40 above it
// (0x01 as "^A", 0x00 as "^@") and 0x7F as "^?"; other bytes unchanged.
[[nodiscard]] std::string VisibleText(std::string_view S);
// S as a quoted JSON string: '"', '\\' and control bytes escaped, bytes
// 0x80..0xFF taken as Latin-1 and written as UTF-8, so the result is always
// valid UTF-8.
[[nodiscard]] std::string JsonString(std::string_view S);

}  // namespace tools
