#include "msgbase/le_codec.h"

#include <gtest/gtest.h>

#include <array>

namespace msgbase {
namespace {

TEST(LeCodecTest, ValuesAtUnalignedOffsetsAgainstHandWrittenBytes) {
  const std::array<std::uint8_t, 7> Bytes{0xEE, 0x34, 0x12, 0x78, 0x56, 0xFE, 0xFF};
  EXPECT_EQ(0x1234u, GetLE16(Bytes.data() + 1));
  EXPECT_EQ(0x56781234u, GetLE32(Bytes.data() + 1));
  EXPECT_EQ(-2, GetLEInt16(Bytes.data() + 5));
  EXPECT_EQ(static_cast<std::int32_t>(0xFFFE5678u), GetLEInt32(Bytes.data() + 3));

  std::array<std::uint8_t, 7> Out{};
  PutLE16(Out.data() + 1, 0x1234);
  PutLE32(Out.data() + 3, 0xFFFE5678u);
  EXPECT_EQ((std::array<std::uint8_t, 7>{0, 0x34, 0x12, 0x78, 0x56, 0xFE, 0xFF}), Out);
  PutLEInt16(Out.data(), -2);
  PutLEInt32(Out.data() + 2, -1);
  EXPECT_EQ((std::array<std::uint8_t, 7>{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), Out);
}

TEST(LeCodecTest, FixedTextKeepsBytesAfterTheZero) {
  const std::array<std::uint8_t, 4> Stored{'a', 0, 'z', 'q'};
  std::array<char, 4> Field{};
  GetFixedText(Stored.data(), Field);
  std::array<std::uint8_t, 4> Back{};
  PutFixedText(Back.data(), Field);
  EXPECT_EQ(Stored, Back);
}

}  // namespace
}  // namespace msgbase
