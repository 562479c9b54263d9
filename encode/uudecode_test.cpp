#include "encode/uudecode.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "encode/dyn_array_testing.h"
#include "testing/test_support.h"

namespace vellumar {
namespace {

using testing_support::TBytes;
using testing_support::TTempDir;

// The data lines the encoder writes for Data (between the begin line and the
// backquote line).
std::vector<std::string> DataLinesOf(const TBytes& Data) {
  TTempDir Dir;
  EXPECT_TRUE(testing_support::WriteFileBytes(Dir.File("in"), Data));
  TStrDynArray Out;
  int ErrNo = -1;
  EXPECT_TRUE(UUEncode(Dir.File("in"), "in", Out, ErrNo));
  std::vector<std::string> Lines = ElementsOf(Out);
  return {Lines.begin() + 2, Lines.end() - 2};
}

std::string Decode(const std::vector<std::string>& Lines) {
  std::string Out;
  for (const std::string& Line : Lines) {
    std::size_t Count = 0;
    EXPECT_EQ(ulOk, UUDecodeLine(Line, false, Out, Count)) << Line;
  }
  return Out;
}

TEST(UUDecodeTest, EveryGroupValueRoundTrips) {
  for (unsigned B = 0; B < 256; ++B) {
    const TTriplet In{static_cast<std::uint8_t>(B), static_cast<std::uint8_t>(255 - B),
                      static_cast<std::uint8_t>(B * 7)};
    TKwartet K{};
    Triplet2Kwartet(In, K);
    TTriplet Back{};
    Kwartet2Triplet(K, Back);
    EXPECT_EQ(In, Back) << B;
  }
}

TEST(UUDecodeTest, EncodedFilesOfEverySmallSizeDecodeBack) {
  std::mt19937 Random(9);
  for (std::size_t Size : {0u, 1u, 2u, 3u, 44u, 45u, 46u, 89u, 90u, 91u, 200u}) {
    TBytes Data(Size);
    for (auto& B : Data) B = static_cast<std::uint8_t>(Random());
    EXPECT_EQ(std::string(Data.begin(), Data.end()), Decode(DataLinesOf(Data))) << Size;
  }
}

TEST(UUDecodeTest, ZeroLengthLineInEveryTransportForm) {
  for (const std::string Line : {"", " ", "`"}) {
    std::string Out = "x";
    std::size_t Count = 9;
    EXPECT_EQ(ulOk, UUDecodeLine(Line, false, Out, Count));
    EXPECT_EQ(0u, Count);
    EXPECT_EQ("x", Out);
  }
}

TEST(UUDecodeTest, BlankStyleLineWithStrippedEndReadsTheBlanksAsZero) {
  // "a" then two zero bytes, written with blanks for zero and stripped.
  std::string Out;
  std::size_t Count = 0;
  EXPECT_EQ(ulTooShort, UUDecodeLine("#80", false, Out, Count));
  EXPECT_EQ(ulOk, UUDecodeLine("#80", true, Out, Count));
  EXPECT_EQ(3u, Count);
  EXPECT_EQ(std::string("a\0\0", 3), Out);
}

TEST(UUDecodeTest, FaultyLinesAreRefusedAndLeaveOutAlone) {
  const struct {
    std::string Line;
    TUULineStatus Status;
  } Cases[] = {
      {"a", ulBadLength},            // above backquote
      {"N````", ulBadLength},        // 46 bytes: more than a line holds
      {"!80``x", ulTooLong},         // one character too many
      {"#8\x7F)C", ulBadCharacter},  // DEL is no data character
      {"$8`", ulTooShort},           // backquote style, characters lost
  };
  for (const auto& Case : Cases) {
    std::string Out = "keep";
    std::size_t Count = 0;
    EXPECT_EQ(Case.Status, UUDecodeLine(Case.Line, true, Out, Count)) << Case.Line;
    EXPECT_EQ("keep", Out) << Case.Line;
    EXPECT_FALSE(UULineStatusText(Case.Status).empty());
    // The quick look ahead refuses exactly what the length alone refuses.
    EXPECT_EQ(Case.Status != ulBadLength && Case.Status != ulTooLong, UUMayBeDataLine(Case.Line))
        << Case.Line;
  }
  EXPECT_TRUE(UUMayBeDataLine(""));
}

TEST(UUDecodeTest, EveryByteAtEveryPlaceOfALineIsJudgedAlone) {
  // A full line (45 bytes in 15 groups, decoded several groups a step); one
  // character at a time is set to every byte value, beside neighbours at both
  // ends of the alphabet.
  for (const char Neighbour : {' ', '`'}) {
    for (std::size_t Place = 1; Place <= 60; ++Place) {
      for (unsigned C = 0; C < 256; ++C) {
        std::string Line = "M" + std::string(60, Neighbour);
        Line[Place] = static_cast<char>(C);
        std::string Out = "keep";
        std::size_t Count = 0;
        const bool Valid = C >= 0x20 && C <= 0x60;
        ASSERT_EQ(Valid ? ulOk : ulBadCharacter, UUDecodeLine(Line, false, Out, Count))
            << Place << ' ' << C;
        ASSERT_EQ(Valid ? 4u + 45u : 4u, Out.size()) << Place << ' ' << C;
        if (!Valid) continue;
        // The six bits land in the one byte or two that the place carries.
        std::string Want(45, '\0');
        const std::size_t Bit = 6 * (Place - 1);
        const unsigned Value = (C - 0x20) & 0x3F;
        for (std::size_t B = 0; B < 6; ++B)
          if ((Value >> (5 - B) & 1) != 0)
            Want[(Bit + B) / 8] |= static_cast<char>(0x80 >> ((Bit + B) % 8));
        ASSERT_EQ("keep" + Want, Out) << Place << ' ' << C;
      }
    }
  }
}

}  // namespace
}  // namespace vellumar
