#include "encode/uuencode.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "encode/dyn_array_testing.h"
#include "testing/test_support.h"

namespace vellumar {
namespace {

using testing_support::TBytes;
using testing_support::TTempDir;

// Encodes Data as a file named "in" and returns the lines.
std::vector<std::string> EncodeBytes(const TBytes& Data) {
  TTempDir Dir;
  EXPECT_TRUE(testing_support::WriteFileBytes(Dir.File("in"), Data));
  TStrDynArray Out;
  int ErrNo = -1;
  EXPECT_TRUE(UUEncode(Dir.File("in"), "in", Out, ErrNo));
  EXPECT_EQ(0, ErrNo);
  return ElementsOf(Out);
}

TBytes Text(const std::string& S) {
  return TBytes(S.begin(), S.end());
}

class UUEncodeTest : public ::testing::Test {
 protected:
  void SetUp() override { TLMsg = "  [credit]"; }
  void TearDown() override { TLMsg = "  uuencoded by Brindle Tamberlane"; }
};

TEST_F(UUEncodeTest, TripletsMapZeroToBackquote) {
  TKwartet K{};
  Triplet2Kwartet({0, 0, 0}, K);
  EXPECT_EQ((TKwartet{'`', '`', '`', '`'}), K);
  Triplet2Kwartet({0xFF, 0xFF, 0xFF}, K);
  EXPECT_EQ((TKwartet{'_', '_', '_', '_'}), K);
  Triplet2Kwartet({'a', 'b', 'c'}, K);
  EXPECT_EQ((TKwartet{'8', '6', ')', 'C'}), K);
}

TEST_F(UUEncodeTest, WorkedExamples) {
  EXPECT_EQ((std::vector<std::string>{"section 1 of 1 of file in   [credit]", "begin 644 in",
                                      "#86)C", "`", "end"}),
            EncodeBytes(Text("abc")));
  EXPECT_EQ("!80``", EncodeBytes(Text("a"))[2]);
}

TEST_F(UUEncodeTest, EmptyFileHasOneBlankDataLine) {
  EXPECT_EQ((std::vector<std::string>{"section 1 of 1 of file in   [credit]", "begin 644 in", " ",
                                      "`", "end"}),
            EncodeBytes({}));
}

TEST_F(UUEncodeTest, BlockBoundaries) {
  const std::vector<std::string> Full = EncodeBytes(TBytes(45, 'x'));
  ASSERT_EQ(6u, Full.size());
  EXPECT_EQ(61u, Full[2].size());
  EXPECT_EQ('M', Full[2][0]);
  EXPECT_EQ(" ", Full[3]);

  TBytes Longer(45, 0xA5);
  Longer.push_back('a');
  const std::vector<std::string> Next = EncodeBytes(Longer);
  ASSERT_EQ(6u, Next.size());
  EXPECT_EQ("!80``", Next[3]) << "a short last group does not see the block before it";
  EXPECT_EQ("`", Next[4]);
}

TEST_F(UUEncodeTest, LongNamesAreCutTo255) {
  TTempDir Dir;
  ASSERT_TRUE(testing_support::WriteFileBytes(Dir.File("in"), Text("abc")));
  TStrDynArray Out;
  int ErrNo = 0;
  ASSERT_TRUE(UUEncode(Dir.File("in"), std::string(300, 'n'), Out, ErrNo));
  EXPECT_EQ(255u, Out.At(1).size());
  EXPECT_EQ("begin 644 " + std::string(245, 'n'), Out.At(2));
}

TEST_F(UUEncodeTest, ReportsFileErrors) {
  TTempDir Dir;
  TStrDynArray Out;
  int ErrNo = 0;
  EXPECT_FALSE(UUEncode(Dir.File("missing"), "x", Out, ErrNo));
  EXPECT_EQ(ENOENT, ErrNo);
  EXPECT_FALSE(UUEncode(Dir.Path(), "x", Out, ErrNo));
  EXPECT_EQ(EISDIR, ErrNo);
}

TEST_F(UUEncodeTest, RefusesToOverflowTheArray) {
  TTempDir Dir;
  // 65531 data lines fill the array exactly; one byte-block more cannot fit.
  ASSERT_TRUE(testing_support::WriteFileBytes(Dir.File("fits"), TBytes(65530 * 45 + 44, 1)));
  ASSERT_TRUE(testing_support::WriteFileBytes(Dir.File("big"), TBytes(65531 * 45, 1)));
  TStrDynArray Out;
  int ErrNo = -1;
  ASSERT_TRUE(UUEncode(Dir.File("fits"), "fits", Out, ErrNo));
  EXPECT_EQ(65535, Out.Count());
  EXPECT_EQ("end", Out.At(65535));
  TStrDynArray Big;
  EXPECT_FALSE(UUEncode(Dir.File("big"), "big", Big, ErrNo));
  EXPECT_EQ(0, ErrNo);
}

// sharutils' uudecode as an independent judge of the encoding. It exits with
// status 2 after a zero-length data line, so only the decoded bytes count.
TEST_F(UUEncodeTest, UudecodeRestoresTheBytes) {
  if (std::system("command -v uudecode >/dev/null 2>&1") != 0) GTEST_SKIP() << "no uudecode";
  TTempDir Dir;
  for (std::size_t Size : {0u, 1u, 2u, 44u, 45u, 46u, 90u, 1000u, 4099u}) {
    TBytes Data(Size);
    for (std::size_t I = 0; I < Size; ++I) Data[I] = static_cast<std::uint8_t>((I * 131 + 7) % 256);
    ASSERT_TRUE(testing_support::WriteFileBytes(Dir.File("in"), Data));
    TStrDynArray Out;
    int ErrNo = 0;
    ASSERT_TRUE(UUEncode(Dir.File("in"), "in", Out, ErrNo));
    std::string Encoded;
    for (std::uint32_t I = 2; I <= Out.Count(); ++I)
      Encoded += Out.At(static_cast<std::uint16_t>(I)) + "\n";
    ASSERT_TRUE(testing_support::WriteFileText(Dir.File("in.uue"), Encoded));
    (void)std::remove(Dir.File("out").c_str());
    const std::string Command =
        "uudecode -o '" + Dir.File("out") + "' '" + Dir.File("in.uue") + "' 2>/dev/null";
    testing_support::RunUudecode(Command);
    EXPECT_BYTES_EQ(Data, testing_support::ReadFileBytes(Dir.File("out"))) << "size " << Size;
  }
}

}  // namespace
}  // namespace vellumar
