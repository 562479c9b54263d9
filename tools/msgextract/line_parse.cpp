#include "tools/msgextract/line_parse.h"

#include "msgbase/date_time.h"

namespace msgextract {

namespace {

// A number of more digits than this is out of any range that counts.
constexpr std::size_t MaxNumberDigits = 10;

}  // namespace

bool TakeNumber(std::string_view& S, std::uint64_t& Value) {
  std::size_t Digits = 0;
  Value = 0;
  while (Digits < S.size() && S[Digits] >= '0' && S[Digits] <= '9') {
    if (Digits < MaxNumberDigits) Value = Value * 10 + static_cast<std::uint64_t>(S[Digits] - '0');
    ++Digits;
  }
  if (Digits == 0) return false;
  if (Digits > MaxNumberDigits) Value = UINT64_MAX;
  S.remove_prefix(Digits);
  return true;
}

bool TakeText(std::string_view& S, std::string_view Text) {
  if (!S.starts_with(Text)) return false;
  S.remove_prefix(Text.size());
  return true;
}

bool StartsNoCase(std::string_view S, std::string_view Text) {
  if (S.size() < Text.size()) return false;
  for (std::size_t I = 0; I < Text.size(); ++I)
    if (msgbase::LoCase(S[I]) != msgbase::LoCase(Text[I])) return false;
  return true;
}

bool TakeTextNoCase(std::string_view& S, std::string_view Text) {
  if (!StartsNoCase(S, Text)) return false;
  S.remove_prefix(Text.size());
  return true;
}

bool ParseBeginLine(std::string_view S, std::string_view Word, std::uint32_t& Mode,
                    std::string& Name) {
  if (!TakeText(S, Word)) return false;
  std::size_t Digits = 0;
  std::uint32_t Value = 0;
  for (; Digits < S.size() && S[Digits] >= '0' && S[Digits] <= '7'; ++Digits) {
    if (Digits >= 6) return false;
    Value = Value * 8 + static_cast<std::uint32_t>(S[Digits] - '0');
  }
  if (Digits == 0) return false;
  S = TrimRight(S.substr(Digits));
  if (!S.empty() && !TakeText(S, " ")) return false;
  Mode = Value;
  Name = std::string(S);
  return true;
}

}  // namespace msgextract
