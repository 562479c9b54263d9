#include "encode/uudecode.h"

#include <array>
#include <cstring>

namespace vellumar {

namespace {

constexpr char Backquote = '`';
constexpr std::uint8_t NoValue = 0xFF;

// Six bits of every character, NoValue outside blank .. backquote; the
// inverse of the encoder's mapping, which writes zero as a backquote.
constexpr std::array<std::uint8_t, 256> SixBitsTable = [] {
  std::array<std::uint8_t, 256> Table{};
  for (std::size_t C = 0; C < Table.size(); ++C)
    Table[C] = C >= SP && C <= static_cast<unsigned char>(Backquote)
                   ? static_cast<std::uint8_t>((C - SP) & 0x3Fu)
                   : NoValue;
  return Table;
}();

std::uint8_t SixBits(char C) {
  return SixBitsTable[static_cast<unsigned char>(C)];
}

// The three bytes that four 6-bit values carry.
void Join(const std::uint8_t (&V)[4], std::uint8_t* Bytes) {
  const unsigned V0 = V[0], V1 = V[1], V2 = V[2], V3 = V[3];
  Bytes[0] = static_cast<std::uint8_t>((V0 << 2) | (V1 >> 4));
  Bytes[1] = static_cast<std::uint8_t>(((V1 << 4) & 0xF0u) | (V2 >> 2));
  Bytes[2] = static_cast<std::uint8_t>(((V2 << 6) & 0xC0u) | V3);
}

}  // namespace

void Kwartet2Triplet(const TKwartet& Kwartet, TTriplet& Triplet) {
  std::uint8_t V[4];
  for (std::size_t I = 0; I < 4; ++I) V[I] = static_cast<std::uint8_t>((Kwartet[I] - SP) & 0x3Fu);
  Join(V, Triplet.data());
}

TUULineStatus UUDecodeLine(std::string_view Line, bool BlanksMayBeLost, std::string& Out,
                           std::size_t& Count) {
  Count = 0;
  // A zero-length line whose blank was stripped.
  if (Line.empty()) return ulOk;
  const std::uint8_t N = SixBits(Line[0]);
  if (N == NoValue || N > UUEMaxLineBytes) return ulBadLength;
  const std::size_t Want = UULineLength(N);
  if (Line.size() > Want) return ulTooLong;
  if (Line.size() < Want && (!BlanksMayBeLost || Line.find(Backquote, 1) != std::string_view::npos))
    return ulTooShort;

  // A whole line is decoded where it stands; a short one is copied with its
  // lost characters put back as blanks (zero), so that every group is whole.
  constexpr std::size_t Groups = (UUEMaxLineBytes + 2) / 3;
  const char* Chars = Line.data() + 1;
  char Padded[4 * Groups];
  if (Line.size() < Want) {
    const std::size_t Have = Line.size() - 1;
    std::memcpy(Padded, Chars, Have);
    std::memset(Padded + Have, SP, Want - 1 - Have);
    Chars = Padded;
  }
  std::uint8_t Bytes[3 * Groups];
  std::uint8_t Bad = 0;
  for (std::size_t G = 0; G < (N + 2u) / 3u; ++G, Chars += 4) {
    const std::uint8_t V[4] = {SixBits(Chars[0]), SixBits(Chars[1]), SixBits(Chars[2]),
                               SixBits(Chars[3])};
    Bad |= V[0] | V[1] | V[2] | V[3];
    Join(V, Bytes + 3 * G);
  }
  if ((Bad & 0x80u) != 0) return ulBadCharacter;
  Out.append(reinterpret_cast<const char*>(Bytes), N);
  Count = N;
  return ulOk;
}

bool UUMayBeDataLine(std::string_view Line) {
  if (Line.empty()) return true;
  const std::uint8_t N = SixBits(Line[0]);
  return N != NoValue && N <= UUEMaxLineBytes && Line.size() <= UULineLength(N);
}

std::string UULineStatusText(TUULineStatus Status) {
  switch (Status) {
    case ulOk:
      return "valid";
    case ulBadLength:
      return "its length character is not valid";
    case ulBadCharacter:
      return "it holds a character that is not uuencoded data";
    case ulTooShort:
      return "it is shorter than its length character says";
    case ulTooLong:
      return "it is longer than its length character says";
  }
  return "unknown fault";
}

}  // namespace vellumar
