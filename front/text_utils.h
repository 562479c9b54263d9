// The front end's small text toolkit: ASCII upper-casing, number texts, cutting
// and deleting pieces of a text, case-insensitive macro replacement, the last
// component of a path and the textual shape check of a network address
// (zone:net/node[.point][@domain]). None of these fails: a missing piece gives
// an empty text ("Error" for an address part), an unreadable number gives 0, and
// every result is cut to 255 characters.
#pragma once

#include <cstdint>
#include <string>

namespace vellumar {

inline constexpr char CSym = '#';
inline constexpr char Dir_Separator = '/';
inline constexpr char Colon = ':';
inline constexpr char Slash = '/';
inline constexpr char Dot = '.';
inline constexpr char ALet = '@';

// InStr with a..z replaced by A..Z; every other byte unchanged.
[[nodiscard]] std::string UpStr(const std::string& InStr);

// Decimal form of InNum, a minus sign for negative values.
[[nodiscard]] std::string SStr(std::int32_t InNum);

// The number the whole text denotes (leading blanks and tabs skipped, optional
// sign, digits, optional fraction and exponent); 0 for anything else.
[[nodiscard]] double SVal(const std::string& InStr);

// Drops everything up to and including the first C1 (nothing when there is
// none), then returns what stands before the first C2; empty without a C2.
[[nodiscard]] std::string CutWord(const std::string& Str, char C1, char C2);

// Removes Count characters from position Index (1-based); positions past the
// end, and position 0, remove nothing.
void SDelete(std::string& InStr, std::uint8_t Index, std::uint8_t Count);

// Splits a line into its first word and the rest; '#' starts a comment that
// neither part holds, tabs are dropped, the rest loses its trailing blanks.
void Words(const std::string& Str, std::string& First_Word, std::string& Last_Word);

// InStr with every occurrence of _Macro, compared ignoring ASCII case,
// replaced by Value. Inserted text is not searched again.
[[nodiscard]] std::string MacroReplace(const std::string& InStr, const std::string& _Macro,
                                       const std::string& Value);

// The characters after the last '/'; InStr itself without one.
[[nodiscard]] std::string GetFileName(const std::string& InStr);

// Cuts Address at its first '@' (the domain goes, the '@' with it).
void CutFtnDomain(std::string& Address);

// One part of an address text, or "Error" when that part is missing or empty.
[[nodiscard]] std::string FtnZone(const std::string& Address);
[[nodiscard]] std::string FtnNet(const std::string& Address);
[[nodiscard]] std::string FtnNode(const std::string& Address);
[[nodiscard]] std::string FtnPoint(const std::string& Address);  // "0" without a point

[[nodiscard]] bool IsNumber(char C);
// True when every character is a digit; true for the empty text.
[[nodiscard]] bool IsFullNumber(const std::string& S);

// True for digits:digits/digits[.digits][@anything]; no range check.
[[nodiscard]] bool IsFidoAddr(const std::string& AAddress);

}  // namespace vellumar
