#include "tools/msgextract/decoders.h"

#include <array>

#include "encode/uudecode.h"
#include "msgbase/date_time.h"

namespace msgextract {

namespace {

constexpr std::uint8_t NoValue = 0xFF;
constexpr char Padding = '=';
// yEnc adds 42 to every byte, and 64 more to a byte written after the escape.
constexpr std::uint8_t YEncOffset = 42;
constexpr std::uint8_t YEncEscapeOffset = 64;
constexpr char YEncEscape = '=';

constexpr std::string_view XXAlphabet =
    "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr std::string_view Base64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Six bits of every character of Alphabet, NoValue for every other byte.
constexpr std::array<std::uint8_t, 256> ValueTable(std::string_view Alphabet) {
  std::array<std::uint8_t, 256> Table{};
  Table.fill(NoValue);
  for (std::size_t I = 0; I < Alphabet.size(); ++I)
    Table[static_cast<unsigned char>(Alphabet[I])] = static_cast<std::uint8_t>(I);
  return Table;
}

constexpr std::array<std::uint8_t, 256> XXValues = ValueTable(XXAlphabet);
constexpr std::array<std::uint8_t, 256> Base64Values = ValueTable(Base64Alphabet);

std::uint8_t ValueOf(const std::array<std::uint8_t, 256>& Table, char C) {
  return Table[static_cast<unsigned char>(C)];
}

}  // namespace

std::string EncodingName(TEncoding Encoding) {
  switch (Encoding) {
    case enUU:
      return "uuencode";
    case enXX:
      return "xxencode";
    case enBase64:
      return "base64";
    case enYEnc:
      return "yEnc";
  }
  return "uuencode";
}

bool XXDecodeLine(std::string_view Line, std::string& Out, std::size_t& Count) {
  Count = 0;
  // The line as the uuencoder would have written it: each six bits as that
  // value plus blank, zero as a backquote; the uudecoder then checks lengths.
  constexpr std::size_t MaxChars = 1 + 4 * ((XXMaxLineBytes + 2) / 3);
  if (Line.empty() || Line.size() > MaxChars) return false;
  char Chars[MaxChars];
  for (std::size_t I = 0; I < Line.size(); ++I) {
    const std::uint8_t V = ValueOf(XXValues, Line[I]);
    if (V == NoValue) return false;
    Chars[I] = V == 0 ? '`' : static_cast<char>(' ' + V);
  }
  return vellumar::UUDecodeLine(std::string_view(Chars, Line.size()), false, Out, Count) ==
         vellumar::ulOk;
}

bool Base64MayBeLine(std::string_view Line) {
  if (Line.empty() || Line.size() % 4 != 0) return false;
  for (const char C : Line)
    if (ValueOf(Base64Values, C) == NoValue && C != Padding) return false;
  return true;
}

bool Base64DecodeLine(std::string_view Line, std::string& Out, bool& Padded) {
  Padded = false;
  if (Line.empty() || Line.size() % 4 != 0) return false;
  const std::size_t Start = Out.size();
  for (std::size_t G = 0; G < Line.size(); G += 4) {
    std::uint8_t V[4];
    std::size_t Have = 4;  // characters before the padding
    for (std::size_t I = 0; I < 4; ++I) {
      const char C = Line[G + I];
      if (C == Padding && I >= 2 && G + 4 == Line.size()) {
        if (Have == 4) Have = I;
        V[I] = 0;
        continue;
      }
      V[I] = ValueOf(Base64Values, C);
      if (V[I] == NoValue || Have != 4) {
        Out.resize(Start);
        return false;
      }
    }
    const unsigned Bits = (static_cast<unsigned>(V[0]) << 18) |
                          (static_cast<unsigned>(V[1]) << 12) | (static_cast<unsigned>(V[2]) << 6) |
                          V[3];
    const char Bytes[3] = {static_cast<char>(Bits >> 16), static_cast<char>((Bits >> 8) & 0xFFu),
                           static_cast<char>(Bits & 0xFFu)};
    Out.append(Bytes, Have - 1);
    Padded = Have != 4;
  }
  return true;
}

bool YEncDecodeLine(std::string_view Line, std::string& Out) {
  const std::size_t Start = Out.size();
  Out.reserve(Start + Line.size());
  for (std::size_t I = 0; I < Line.size(); ++I) {
    auto Byte = static_cast<std::uint8_t>(Line[I]);
    if (Line[I] == YEncEscape) {
      if (++I == Line.size()) {
        Out.resize(Start);
        return false;
      }
      Byte = static_cast<std::uint8_t>(static_cast<std::uint8_t>(Line[I]) - YEncEscapeOffset);
    }
    Out.push_back(static_cast<char>(static_cast<std::uint8_t>(Byte - YEncOffset)));
  }
  return true;
}

std::uint32_t Crc32(std::string_view Data, std::uint32_t Previous) {
  std::uint32_t Crc = ~Previous;
  for (const char C : Data) Crc = msgbase::UpdateCRC32(static_cast<std::uint8_t>(C), Crc);
  return ~Crc;
}

namespace {

// Polynomials over GF(2) modulo the CRC-32's, bit-reflected as the CRC is:
// the product of A and B.
std::uint32_t MultiplyModP(std::uint32_t A, std::uint32_t B) {
  constexpr std::uint32_t Poly = 0xEDB88320u;
  std::uint32_t Product = 0;
  for (std::uint32_t Bit = 1u << 31; Bit != 0; Bit >>= 1) {
    if ((A & Bit) != 0) Product ^= B;
    B = (B & 1u) != 0 ? (B >> 1) ^ Poly : B >> 1;
  }
  return Product;
}

}  // namespace

std::uint32_t Crc32Combine(std::uint32_t CrcA, std::uint32_t CrcB, std::uint64_t LengthB) {
  // A's CRC moves on by x^(8 * LengthB): squares of x^8 for the set bits.
  std::uint32_t Power = 1u << 31;   // x^0
  std::uint32_t Square = 1u << 23;  // x^8
  for (; LengthB != 0; LengthB >>= 1) {
    if ((LengthB & 1u) != 0) Power = MultiplyModP(Square, Power);
    Square = MultiplyModP(Square, Square);
  }
  return MultiplyModP(Power, CrcA) ^ CrcB;
}

bool YEncNumber(std::string_view Line, std::string_view Key, bool Hex, std::uint64_t& Value) {
  // A key starts after a blank; "name=" ends the keywords, so nothing after it counts.
  const std::size_t Name = Line.find(" name=");
  std::size_t At = 0;
  while (true) {
    At = Line.find(Key, At);
    if (At == std::string_view::npos || (Name != std::string_view::npos && At > Name)) return false;
    if (At > 0 && Line[At - 1] == ' ' && Line.substr(At + Key.size(), 1) == "=") break;
    At += Key.size();
  }
  At += Key.size() + 1;
  Value = 0;
  std::size_t Digits = 0;
  for (; At < Line.size() && Line[At] != ' '; ++At, ++Digits) {
    const char C = static_cast<char>(msgbase::LoCase(Line[At]));
    unsigned Digit = 0;
    if (C >= '0' && C <= '9') {
      Digit = static_cast<unsigned>(C - '0');
    } else if (Hex && C >= 'a' && C <= 'f') {
      Digit = static_cast<unsigned>(C - 'a' + 10);
    } else {
      return false;
    }
    const unsigned Radix = Hex ? 16 : 10;
    if (Value > (UINT64_MAX - Digit) / Radix) return false;
    Value = Value * Radix + Digit;
  }
  return Digits > 0;
}

bool YEncName(std::string_view Line, std::string& Name) {
  const std::size_t At = Line.find(" name=");
  if (At == std::string_view::npos) return false;
  std::string_view Rest = Line.substr(At + 6);
  while (!Rest.empty() && (Rest.back() == ' ' || Rest.back() == '\t')) Rest.remove_suffix(1);
  Name = std::string(Rest);
  return true;
}

}  // namespace msgextract
