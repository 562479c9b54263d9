#include "tools/msgextract/decoders.h"

#include <gtest/gtest.h>

#include <string>

namespace msgextract {
namespace {

TEST(DecodersTest, LinesOfEachEncodingDecodeOrAreRefused) {
  const struct {
    TEncoding Encoding;
    std::string Line;
    bool Ok;
    std::string Bytes;
  } Cases[] = {
      {enXX, "1MK7X", true, "abc"},
      {enXX, "+", true, ""},
      {enXX, "1MK7", false, ""},   // shorter than its length character says
      {enXX, "1MK7`", false, ""},  // a character outside the alphabet
      {enBase64, "YWJj", true, "abc"},
      {enBase64, "YWI=", true, "ab"},
      {enBase64, "YQ==", true, "a"},
      {enBase64, "YWJ", false, ""},       // not whole groups
      {enBase64, "Y===", false, ""},      // too much padding
      {enBase64, "YQ==YWJj", false, ""},  // padding before the last group
      {enBase64, "YW!j", false, ""},
      {enYEnc, "\x8b\x8c\x8d", true, "abc"},
      {enYEnc, "=}", true, std::string(1, '\x13')},  // '=' + 64, less 42
      {enYEnc, "\x8b=", false, ""},                  // the escape ends the line
  };
  for (const auto& Case : Cases) {
    std::string Out = "x";
    std::size_t Count = 0;
    bool Padded = false;
    const bool Ok = Case.Encoding == enXX       ? XXDecodeLine(Case.Line, Out, Count)
                    : Case.Encoding == enBase64 ? Base64DecodeLine(Case.Line, Out, Padded)
                                                : YEncDecodeLine(Case.Line, Out);
    EXPECT_EQ(Case.Ok, Ok) << Case.Line;
    EXPECT_EQ("x" + Case.Bytes, Out) << Case.Line;  // nothing appended on failure
  }
}

TEST(DecodersTest, Crc32IsTheStandardOneAndGoesOn) {
  EXPECT_EQ(0x352441C2u, Crc32("abc"));
  EXPECT_EQ(Crc32("abcdef"), Crc32("def", Crc32("abc")));
  EXPECT_EQ(0u, Crc32(""));
  // Put together from the CRC-32s of two runs and the second's length.
  const std::string Bytes = "The quick brown fox jumps over the lazy dog" + std::string(300, '\0');
  for (const std::size_t Cut : {0u, 1u, 7u, 43u, 200u, 343u}) {
    const std::string_view A = std::string_view(Bytes).substr(0, Cut);
    const std::string_view B = std::string_view(Bytes).substr(Cut);
    EXPECT_EQ(Crc32(Bytes), Crc32Combine(Crc32(A), Crc32(B), B.size())) << Cut;
  }
}

TEST(DecodersTest, YEncKeywordsAreFoundAsWholeKeys) {
  const std::string Line = "=yend size=3 part=2 pcrc32=352441C2 crc32=0000ffff";
  std::uint64_t Value = 0;
  EXPECT_TRUE(YEncNumber(Line, "size", false, Value));
  EXPECT_EQ(3u, Value);
  EXPECT_TRUE(YEncNumber(Line, "crc32", true, Value));
  EXPECT_EQ(0xFFFFu, Value);
  EXPECT_TRUE(YEncNumber(Line, "pcrc32", true, Value));
  EXPECT_EQ(0x352441C2u, Value);
  EXPECT_FALSE(YEncNumber(Line, "total", false, Value));
  EXPECT_FALSE(YEncNumber("=ybegin size=99999999999999999999", "size", false, Value));
  // Keys inside the name do not count; the name is the rest of the line.
  std::string Name;
  EXPECT_FALSE(YEncNumber("=ybegin line=128 name=a size=9", "size", false, Value));
  EXPECT_TRUE(YEncName("=ybegin line=128 size=9 name=a b.zip  ", Name));
  EXPECT_EQ("a b.zip", Name);
}

}  // namespace
}  // namespace msgextract
