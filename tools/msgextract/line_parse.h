// The small readers of text lines that msgextract's scanners share: blanks
// trimmed, a decimal number or a fixed text taken from the front of a line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace msgextract {

// S without the blanks and tabs at its end (inline: it is asked of every line).
[[nodiscard]] inline std::string_view TrimRight(std::string_view S) {
  while (!S.empty() && (S.back() == ' ' || S.back() == '\t')) S.remove_suffix(1);
  return S;
}

// Takes the decimal number at the front of S; numbers of more than ten
// digits, too large to count anything, become the largest value. False
// (S unchanged) when S starts with no digit.
[[nodiscard]] bool TakeNumber(std::string_view& S, std::uint64_t& Value);

// Takes Text from the front of S; false (S unchanged) when S does not start
// with it. The NoCase form folds ASCII letters.
[[nodiscard]] bool TakeText(std::string_view& S, std::string_view Text);
[[nodiscard]] bool TakeTextNoCase(std::string_view& S, std::string_view Text);

// Whether S starts with Text, ASCII letters folded.
[[nodiscard]] bool StartsNoCase(std::string_view S, std::string_view Text);

// "WORD MODE NAME" (Word is "begin " or "begin-base64 "): an octal mode of up
// to six digits and the rest of the line, less trailing blanks, as the name.
[[nodiscard]] bool ParseBeginLine(std::string_view S, std::string_view Word, std::uint32_t& Mode,
                                  std::string& Name);

}  // namespace msgextract
