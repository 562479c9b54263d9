#include "encode/uudecode.h"

namespace vellumar {

namespace {

constexpr char Backquote = '`';

// Six bits of one character; false outside blank .. backquote.
bool SixBits(char C, std::uint8_t& Value) {
  const auto Code = static_cast<unsigned char>(C);
  if (Code < SP || Code > static_cast<unsigned char>(Backquote)) return false;
  Value = static_cast<std::uint8_t>((Code - SP) & 0x3Fu);
  return true;
}

}  // namespace

void Kwartet2Triplet(const TKwartet& Kwartet, TTriplet& Triplet) {
  unsigned V[4];
  for (std::size_t I = 0; I < 4; ++I) V[I] = (Kwartet[I] - SP) & 0x3Fu;
  Triplet[0] = static_cast<std::uint8_t>((V[0] << 2) | (V[1] >> 4));
  Triplet[1] = static_cast<std::uint8_t>(((V[1] << 4) & 0xF0u) | (V[2] >> 2));
  Triplet[2] = static_cast<std::uint8_t>(((V[2] << 6) & 0xC0u) | V[3]);
}

TUULineStatus UUDecodeLine(std::string_view Line, bool BlanksMayBeLost, std::string& Out,
                           std::size_t& Count) {
  Count = 0;
  // A zero-length line whose blank was stripped.
  if (Line.empty()) return ulOk;
  std::uint8_t N = 0;
  if (!SixBits(Line[0], N) || N > UUEMaxLineBytes) return ulBadLength;
  const std::size_t Want = UULineLength(N);
  if (Line.size() > Want) return ulTooLong;
  if (Line.size() < Want && (!BlanksMayBeLost || Line.find(Backquote, 1) != std::string_view::npos))
    return ulTooShort;

  const std::size_t Start = Out.size();
  Out.reserve(Start + N);
  std::size_t Left = N;
  for (std::size_t At = 1; Left > 0; At += 4) {
    TKwartet Kwartet{SP, SP, SP, SP};
    for (std::size_t I = 0; I < 4; ++I) {
      if (At + I >= Line.size()) break;  // blanks lost at the line's end
      std::uint8_t Ignored = 0;
      if (!SixBits(Line[At + I], Ignored)) {
        Out.resize(Start);
        return ulBadCharacter;
      }
      Kwartet[I] = static_cast<std::uint8_t>(Line[At + I]);
    }
    TTriplet Triplet{};
    Kwartet2Triplet(Kwartet, Triplet);
    const std::size_t Take = Left < 3 ? Left : 3;
    Out.append(reinterpret_cast<const char*>(Triplet.data()), Take);
    Left -= Take;
  }
  Count = N;
  return ulOk;
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
