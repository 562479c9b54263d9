#include "front/text_utils.h"

#include <charconv>
#include <cstddef>
#include <limits>

#include "encode/short_string.h"

namespace vellumar {

namespace {

// 1-based position of the first C in S, 0 when there is none. The address
// parts compare such positions, so "no such character" sorts before any place.
std::size_t Pos(char C, const std::string& S) {
  const std::size_t At = S.find(C);
  return At == std::string::npos ? 0 : At + 1;
}

// Characters From..From+Count-1 (1-based), as far as the text reaches.
std::string Copy(const std::string& S, std::size_t From, std::size_t Count) {
  if (From < 1 || From > S.size()) return "";
  return S.substr(From - 1, Count);
}

const std::string AddressError = "Error";

std::string OrError(const std::string& Part) {
  return Part.empty() ? AddressError : Part;
}

bool IsBlankOrTab(char C) {
  return C == ' ' || C == '\t';
}

// Length of the run of digits at the start of Text.
std::size_t DigitRun(std::string_view Text) {
  std::size_t N = 0;
  while (N < Text.size() && IsNumber(Text[N])) ++N;
  return N;
}

}  // namespace

std::string UpStr(const std::string& InStr) {
  std::string Result = ShortString(InStr);
  for (char& C : Result)
    if (C >= 'a' && C <= 'z') C = static_cast<char>(C - 'a' + 'A');
  return Result;
}

std::string SStr(std::int32_t InNum) {
  return std::to_string(InNum);
}

double SVal(const std::string& InStr) {
  std::string_view Text(InStr);
  while (!Text.empty() && IsBlankOrTab(Text.front())) Text.remove_prefix(1);
  bool Negative = false;
  if (!Text.empty() && (Text.front() == '+' || Text.front() == '-')) {
    Negative = Text.front() == '-';
    Text.remove_prefix(1);
  }
  // Check the whole shape first: digits[.digits][(e|E)[sign]digits], with at
  // least one digit before the exponent. Nothing may follow.
  std::size_t At = DigitRun(Text);
  std::size_t Mantissa = At;
  if (At < Text.size() && Text[At] == '.') {
    const std::size_t Fraction = DigitRun(Text.substr(At + 1));
    Mantissa += Fraction;
    At += 1 + Fraction;
  }
  if (Mantissa == 0) return 0;
  bool NegativeExponent = false;
  if (At < Text.size() && (Text[At] == 'e' || Text[At] == 'E')) {
    std::size_t Exp = At + 1;
    if (Exp < Text.size() && (Text[Exp] == '+' || Text[Exp] == '-')) {
      NegativeExponent = Text[Exp] == '-';
      ++Exp;
    }
    const std::size_t ExpDigits = DigitRun(Text.substr(Exp));
    if (ExpDigits == 0) return 0;
    At = Exp + ExpDigits;
  }
  if (At != Text.size()) return 0;
  double Value = 0;
  const std::errc Ec = std::from_chars(Text.data(), Text.data() + Text.size(), Value).ec;
  // Out of range needs a large exponent (a 255-character text cannot reach it
  // otherwise); its sign tells a vanishing value from an overflowing one, and
  // callers that check a range must still see the overflow.
  if (Ec == std::errc::result_out_of_range)
    Value = NegativeExponent ? 0.0 : std::numeric_limits<double>::infinity();
  else if (Ec != std::errc())
    return 0;
  return Negative ? -Value : Value;
}

std::string CutWord(const std::string& Str, char C1, char C2) {
  std::string Rest = Str;
  const std::size_t Open = Rest.find(C1);
  if (Open != std::string::npos) Rest.erase(0, Open + 1);
  const std::size_t Close = Rest.find(C2);
  if (Close == std::string::npos) return "";
  return Rest.substr(0, Close);
}

void SDelete(std::string& InStr, std::uint8_t Index, std::uint8_t Count) {
  if (Index < 1 || Index > InStr.size()) return;
  InStr.erase(Index - 1u, Count);
}

void Words(const std::string& Str, std::string& First_Word, std::string& Last_Word) {
  First_Word.clear();
  Last_Word.clear();
  std::size_t At = 0;
  while (At < Str.size() && Str[At] == ' ') ++At;
  for (; At < Str.size() && Str[At] != ' ' && Str[At] != CSym; ++At)
    if (Str[At] != '\t') First_Word += Str[At];
  while (At < Str.size() && Str[At] == ' ') ++At;
  for (; At < Str.size() && Str[At] != CSym; ++At)
    if (Str[At] != '\t') Last_Word += Str[At];
  while (!Last_Word.empty() && Last_Word.back() == ' ') Last_Word.pop_back();
}

std::string MacroReplace(const std::string& InStr, const std::string& _Macro,
                         const std::string& Value) {
  std::string Result = ShortString(InStr);
  // An empty name would match everywhere and never move on.
  if (_Macro.empty()) return Result;
  const std::string Name = UpStr(_Macro);
  std::size_t From = 0;
  while (From <= Result.size()) {
    const std::size_t At = UpStr(Result).find(Name, From);
    if (At == std::string::npos) break;
    Result = ShortString(Result.substr(0, At) + Value + Result.substr(At + Name.size()));
    From = At + Value.size();
  }
  return Result;
}

std::string GetFileName(const std::string& InStr) {
  const std::size_t Last = InStr.rfind(Dir_Separator);
  if (Last == std::string::npos) return InStr;
  return InStr.substr(Last + 1);
}

void CutFtnDomain(std::string& Address) {
  const std::size_t At = Address.find(ALet);
  if (At != std::string::npos) Address.erase(At);
}

std::string FtnZone(const std::string& Address) {
  const std::size_t ColonAt = Pos(Colon, Address);
  if (ColonAt == 0) return AddressError;
  return OrError(Copy(Address, 1, ColonAt - 1));
}

std::string FtnNet(const std::string& Address) {
  const std::size_t ColonAt = Pos(Colon, Address);
  const std::size_t SlashAt = Pos(Slash, Address);
  if (ColonAt >= SlashAt) return AddressError;
  return OrError(Copy(Address, ColonAt + 1, SlashAt - ColonAt - 1));
}

std::string FtnNode(const std::string& Address) {
  const std::size_t SlashAt = Pos(Slash, Address);
  const std::size_t DotAt = Pos(Dot, Address);
  if (DotAt == 0) return OrError(Copy(Address, SlashAt + 1, MaxShortString));
  if (SlashAt >= DotAt) return AddressError;
  return OrError(Copy(Address, SlashAt + 1, DotAt - SlashAt - 1));
}

std::string FtnPoint(const std::string& Address) {
  const std::size_t DotAt = Pos(Dot, Address);
  if (DotAt == 0) return "0";
  return OrError(Copy(Address, DotAt + 1, MaxShortString));
}

bool IsNumber(char C) {
  return C >= '0' && C <= '9';
}

bool IsFullNumber(const std::string& S) {
  return DigitRun(S) == S.size();
}

bool IsFidoAddr(const std::string& AAddress) {
  std::string Address = ShortString(AAddress);
  CutFtnDomain(Address);
  return IsFullNumber(FtnZone(Address)) && IsFullNumber(FtnNet(Address)) &&
         IsFullNumber(FtnNode(Address)) && IsFullNumber(FtnPoint(Address));
}

}  // namespace vellumar
