#include "encode/uudecode.h"

#include <array>
#include <bit>
#include <cstring>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

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

// Count (at most 8) characters as one word, the first in the lowest byte,
// blanks (zero values) after them: with Count 8 one load on this byte order,
// the same value on any other.
template <std::size_t Count>
std::uint64_t CharsWord(const char* Chars) {
  const auto* C = reinterpret_cast<const unsigned char*>(Chars);
  std::uint64_t Word = 0;
  for (std::size_t I = 0; I < 8; ++I)
    Word |= std::uint64_t{I < Count ? C[I] : static_cast<unsigned char>(SP)} << (8 * I);
  return Word;
}

// Nonzero when any byte of Word lies outside blank .. backquote (0x20 .. 0x60),
// all bytes tested at once: the high bit of a byte is set by subtracting 0x20
// from one below 0x20, or by adding 0x1F to one above 0x60, or is set already.
// A borrow or carry that crosses into the next byte only comes from a byte
// that is itself outside, so the answer for the word is exact.
std::uint64_t OutsideAlphabet(std::uint64_t Word) {
  const std::uint64_t Below = (Word - 0x2020202020202020u) & ~Word;
  const std::uint64_t Above = (Word + 0x1F1F1F1F1F1F1F1Fu) | Word;
  return (Below | Above) & 0x8080808080808080u;
}

// The 24 bits that each of two groups of characters carries, the first
// group's in the low half; valid only for characters inside the alphabet.
std::uint64_t JoinGroups(std::uint64_t Word) {
  const std::uint64_t Values = (Word - 0x2020202020202020u) & 0x3F3F3F3F3F3F3F3Fu;
  // Each pair of 6-bit values as 12 bits in 16, then each group as 24 in 32.
  const std::uint64_t Pairs =
      ((Values & 0x003F003F003F003Fu) << 6) | ((Values >> 8) & 0x003F003F003F003Fu);
  return ((Pairs & 0x0000FFFF0000FFFFu) << 12) | ((Pairs >> 16) & 0x0000FFFF0000FFFFu);
}

// The bytes of two groups' 24 bits each (the first group in the low half) in
// the order they are written, the first in the lowest byte.
std::uint64_t InWritingOrder(std::uint64_t Groups) {
  const auto TopFirst = [](std::uint64_t Bits) {  // a group's three bytes
    return static_cast<std::uint64_t>(__builtin_bswap32(static_cast<std::uint32_t>(Bits << 8)));
  };
  return TopFirst(Groups & 0xFFFFFFu) | TopFirst(Groups >> 32) << 24;
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
  // The bytes are gathered here, three for every group, with room for a whole
  // word past the last, and only a line that decodes is appended to Out.
  unsigned char Decoded[3 * Groups + sizeof(std::uint64_t)];
  unsigned char* Bytes = Decoded;
  const std::size_t LineGroups = (N + 2u) / 3u;
  std::uint64_t Bad = 0;
  // Writes Many (3 or 6) bytes of two groups' 24 bits.
  const auto Put = [&Bytes](std::uint64_t Joined, std::size_t Many) {
    const std::uint64_t Ordered = InWritingOrder(Joined);
    if constexpr (std::endian::native == std::endian::little) {
      // The lowest byte first in memory, in one store; the bytes past Many
      // are written over by the next groups or left in the room past them.
      std::memcpy(Bytes, &Ordered, sizeof Ordered);
    } else {
      for (std::size_t I = 0; I < Many; ++I)
        Bytes[I] = static_cast<unsigned char>(Ordered >> (8 * I));
    }
    Bytes += Many;
  };
  std::size_t G = 0;
#if defined(__SSE2__) && defined(__x86_64__)
  // Four groups a step, the same steps as OutsideAlphabet and JoinGroups on
  // sixteen lanes: a character is inside when it is at most 0x40 above blank.
  __m128i Inside = _mm_set1_epi8(-1);
  for (; G + 4 <= LineGroups; G += 4, Chars += 16) {
    const __m128i Above =
        _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(Chars)), _mm_set1_epi8(0x20));
    Inside = _mm_and_si128(Inside, _mm_cmpeq_epi8(_mm_min_epu8(Above, _mm_set1_epi8(0x40)), Above));
    const __m128i Values = _mm_and_si128(Above, _mm_set1_epi8(0x3F));
    const __m128i Pairs = _mm_or_si128(
        _mm_slli_epi16(_mm_and_si128(Values, _mm_set1_epi16(0xFF)), 6), _mm_srli_epi16(Values, 8));
    const __m128i Four =
        _mm_or_si128(_mm_slli_epi32(_mm_and_si128(Pairs, _mm_set1_epi32(0xFFFF)), 12),
                     _mm_srli_epi32(Pairs, 16));
    Put(static_cast<std::uint64_t>(_mm_cvtsi128_si64(Four)), 6);
    Put(static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(Four, Four))), 6);
  }
  if (_mm_movemask_epi8(Inside) != 0xFFFF) Bad = 1;
#endif
  for (; G + 2 <= LineGroups; G += 2, Chars += 8) {
    const std::uint64_t Word = CharsWord<8>(Chars);
    Bad |= OutsideAlphabet(Word);
    Put(JoinGroups(Word), 6);
  }
  if (G < LineGroups) {
    const std::uint64_t Word = CharsWord<4>(Chars);
    Bad |= OutsideAlphabet(Word);
    Put(JoinGroups(Word), 3);
  }
  if (Bad != 0) return ulBadCharacter;
  Out.append(reinterpret_cast<const char*>(Decoded), N);
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
