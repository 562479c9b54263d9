// The uudecoder's side of the line format that encode/uuencode.h writes: one
// data line back to its bytes. A line starts with its length character (the
// byte count plus SP) and holds four characters for every three bytes; each
// character carries six bits as its code minus SP, taken modulo 64, so both the
// backquote this encoder writes for zero and the blank that other encoders
// write read as zero. Lines arrive as message text, so the decoder tolerates
// what carrying them as text does to them (trailing blanks stripped, a
// zero-length line left empty) and nothing more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "encode/uuencode.h"

namespace vellumar {

// Bytes a data line may carry: the encoder's block.
inline constexpr std::size_t UUEMaxLineBytes = UUEBlockSize;

enum TUULineStatus : std::int32_t {
  ulOk = 0,
  ulBadLength = 1,     // the length character is outside blank .. 'M' and backquote
  ulBadCharacter = 2,  // a data character outside blank .. backquote
  ulTooShort = 3,      // fewer characters than the length character asks for
  ulTooLong = 4,       // more characters than the length character asks for
};

// The three bytes of one group of four characters; the inverse of
// Triplet2Kwartet. Characters outside blank .. backquote are not checked here.
void Kwartet2Triplet(const TKwartet& Kwartet, TTriplet& Triplet);

// Characters a data line of Count bytes has: the length character and four
// for every started group of three.
[[nodiscard]] constexpr std::size_t UULineLength(std::size_t Count) {
  return 1 + 4 * ((Count + 2) / 3);
}

// Decodes Line and appends its bytes to Out; Count receives the line's byte
// count (0 for an empty line, a lone blank or a lone backquote). A line
// shorter than its length character asks for passes only when BlanksMayBeLost
// (the block it belongs to writes zero as a blank, so blanks at a line's end
// may have been stripped) and the line holds no backquote; the missing
// characters then read as zero. On any other status Out is left as it was.
[[nodiscard]] TUULineStatus UUDecodeLine(std::string_view Line, bool BlanksMayBeLost,
                                         std::string& Out, std::size_t& Count);

// Whether Line may be a data line going by its length alone: empty, or a
// length character of at most 45 bytes and no more characters than that asks
// for. Cheap enough to ask of every line of a text before any is decoded.
// Asked of every line of every text: inline.
[[nodiscard]] inline bool UUMayBeDataLine(std::string_view Line) {
  if (Line.empty()) return true;
  const auto First = static_cast<unsigned char>(Line[0]);
  if (First < SP || First > '`') return false;
  const std::size_t Count = (First - SP) & 0x3Fu;
  return Count <= UUEMaxLineBytes && Line.size() <= UULineLength(Count);
}

// A short text for a status ("its length character is not valid", ...).
[[nodiscard]] std::string UULineStatusText(TUULineStatus Status);

}  // namespace vellumar
