// Texts of the program are short strings: at most 255 single-byte characters.
// This header-only unit is the one place that cuts a text to that limit; the
// front end, the encoder and the composer all apply it where a text is built or
// stored. It holds no code that would need linking, so any layer may include it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vellumar {

// Longest text the program keeps.
inline constexpr std::size_t MaxShortString = 255;

// The first 255 characters of Text (all of it when shorter).
[[nodiscard]] inline std::string ShortString(std::string_view Text) {
  return std::string(Text.substr(0, MaxShortString));
}

// Cuts Text in place to its first 255 characters.
inline void CutShortString(std::string& Text) {
  if (Text.size() > MaxShortString) Text.resize(MaxShortString);
}

}  // namespace vellumar
