// Network addresses (zone:net/node.point): the record shared by every base
// format and by message composition, the library's own parser and printers,
// and clearing, testing, comparing and patching. A field of 0 means that part
// was not given; the record holds no domain.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace msgbase {

struct TAddress {
  std::int16_t Zone = 0;
  std::int16_t Net = 0;
  std::int16_t Node = 0;
  std::int16_t Point = 0;
};

inline constexpr TAddress NullAddress{};
// The zone a base format assumes when its stored header carries none.
inline constexpr std::int16_t DefaultZone = 2;
// The delimiters of an address text.
inline constexpr std::string_view AddressCharSet = ".:/";

// Flag bits of PatchAddress.
inline constexpr std::int32_t apZone = 1;
inline constexpr std::int32_t apNet = 2;
inline constexpr std::int32_t apNode = 4;
inline constexpr std::int32_t apPoint = 8;

// Parses S into A, writing only the fields that S's form names (2:5020/100.5,
// 2:5020, 5020/100.5, .5, 100.5); a domain after '@' is dropped. True when
// every part the form names is a number. A part that is not a number stores 0
// and ends the parse: earlier fields keep their new values, later ones their
// old. Values above 32767 wrap into the negative range.
[[nodiscard]] bool StrToAddress(const std::string& S, TAddress& A);
// A cleared record from a ring of 16, filled by StrToAddress (its result is
// dropped). The reference stays valid until 16 further calls. Not for use from
// more than one thread.
TAddress& StrToAddressR(const std::string& S);

// "2:5020/100.0": all four fields in signed decimal.
[[nodiscard]] std::string AddressToStr(const TAddress& A);
// "2:5020/100": the point is left out whatever its value.
[[nodiscard]] std::string AddressToStrPointless(const TAddress& A);
// AddressToStr when Point is not 0, else AddressToStrPointless.
[[nodiscard]] std::string AddressToStrEx(const TAddress& A);

void ClearAddress(TAddress& A);
[[nodiscard]] bool IsCleanAddress(const TAddress& A);
// -1, 0 or 1, comparing Zone, Net, Node, Point in that order as signed numbers.
[[nodiscard]] std::int32_t AddressCompare(const TAddress& A, const TAddress& B);
[[nodiscard]] bool AddressEqu(const TAddress& A, const TAddress& B);
// For each field flagged in Flags (apZone...apPoint) that is 0 in Dst, takes
// the field of Src; other bits of Flags are ignored.
void PatchAddress(std::int32_t Flags, const TAddress& Src, TAddress& Dst);

}  // namespace msgbase
