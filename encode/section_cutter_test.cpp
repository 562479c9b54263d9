#include "encode/section_cutter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "encode/dyn_array_testing.h"
#include "encode/uuencode.h"
#include "testing/test_support.h"

namespace vellumar {
namespace {

using testing_support::TBytes;
using testing_support::TTempDir;

std::size_t CountOf(const std::vector<std::string>& L, const std::string& S) {
  std::size_t N = 0;
  for (const std::string& Line : L) N += Line == S;
  return N;
}

class SectionCutterTest : public ::testing::Test {
 protected:
  void SetUp() override { TLMsg = "  [by X]"; }
  void TearDown() override { TLMsg = "  uuencoded by Brindle Tamberlane"; }

  // The encoder's list for a file of Size bytes named "f.bin".
  TStrDynArray Encode(std::size_t Size) {
    TBytes Data(Size);
    for (std::size_t I = 0; I < Size; ++I) Data[I] = static_cast<std::uint8_t>(I * 7 + 3);
    EXPECT_TRUE(testing_support::WriteFileBytes(Dir.File("f.bin"), Data));
    TStrDynArray Out;
    int ErrNo = 0;
    EXPECT_TRUE(UUEncode(Dir.File("f.bin"), "f.bin", Out, ErrNo));
    return Out;
  }
  // A file with exactly D data lines.
  TStrDynArray EncodeDataLines(std::size_t D) { return Encode((D - 1) * 45 + 1); }

  TTempDir Dir;
};

TEST_F(SectionCutterTest, ThreeSectionsWithARemainder) {
  TStrDynArray Body = EncodeDataLines(120);
  const std::string Begin = Body.At(2);
  const std::string FirstData = Body.At(3);
  std::uint16_t Parts = 0;
  ASSERT_TRUE(LCutUUE(Body, 50, Parts));
  EXPECT_EQ(3, Parts);
  const std::vector<std::string> L = ElementsOf(Body);
  ASSERT_EQ(135u, L.size());
  EXPECT_EQ("Section 1 of 3 of file f.bin  [by X]", L[0]);
  EXPECT_EQ(" ", L[1]);
  EXPECT_EQ(Begin, L[2]);
  EXPECT_EQ(FirstData, L[3]);
  EXPECT_EQ("`", L[53]);
  EXPECT_EQ("end", L[54]);
  EXPECT_EQ("---", L[55]);
  EXPECT_EQ("Section 2 of 3 of file f.bin  [by X]", L[56]);
  EXPECT_EQ("---", L[110]);
  EXPECT_EQ("Section 3 of 3 of file f.bin  [by X]", L[111]);
  EXPECT_EQ("end", L.back());
  EXPECT_EQ(1u, CountOf(L, Begin));
  EXPECT_EQ(3u, CountOf(L, "`"));
  EXPECT_EQ(3u, CountOf(L, "end"));
  EXPECT_EQ(2u, CountOf(L, "---"));
}

TEST_F(SectionCutterTest, EvenSplitEndsEverySectionWithSeparator) {
  TStrDynArray Body = EncodeDataLines(100);
  std::uint16_t Parts = 0;
  ASSERT_TRUE(LCutUUE(Body, 50, Parts));
  EXPECT_EQ(2, Parts);
  EXPECT_EQ(2u * 55 + 1, Body.Count());
  EXPECT_EQ("---", Body.At(Body.Count()));
}

TEST_F(SectionCutterTest, FewerDataLinesThanLinesMakeOneSeparatedSection) {
  for (std::size_t D : {47u, 50u}) {
    TStrDynArray Body = EncodeDataLines(D);
    std::uint16_t Parts = 0;
    ASSERT_TRUE(LCutUUE(Body, 50, Parts));
    EXPECT_EQ(1, Parts);
    EXPECT_EQ(D + 6, Body.Count());
    EXPECT_EQ("Section 1 of 1 of file f.bin  [by X]", Body.At(1));
    EXPECT_EQ("---", Body.At(Body.Count()));
  }
}

TEST_F(SectionCutterTest, OneLineRemainderEndsWithEnd) {
  TStrDynArray Body = EncodeDataLines(101);
  std::uint16_t Parts = 0;
  ASSERT_TRUE(LCutUUE(Body, 50, Parts));
  EXPECT_EQ(3, Parts);
  const std::vector<std::string> L = ElementsOf(Body);
  EXPECT_EQ("end", L.back());
  EXPECT_EQ("`", L[L.size() - 2]);
  EXPECT_EQ("Section 3 of 3 of file f.bin  [by X]", L[L.size() - 5]);
}

TEST_F(SectionCutterTest, EmptyFileWithOneLinePerSection) {
  TStrDynArray Body = Encode(0);
  std::uint16_t Parts = 0;
  ASSERT_TRUE(LCutUUE(Body, 1, Parts));
  EXPECT_EQ(1, Parts);
  EXPECT_EQ((std::vector<std::string>{"Section 1 of 1 of file f.bin  [by X]", " ",
                                      "begin 644 f.bin", " ", "`", "end", "---"}),
            ElementsOf(Body));
}

TEST_F(SectionCutterTest, RefusesBadInputUnchanged) {
  TStrDynArray Body = EncodeDataLines(3);
  std::uint16_t Parts = 9;
  EXPECT_FALSE(LCutUUE(Body, 0, Parts));
  TStrDynArray Short;
  ASSERT_TRUE(Short.Insert("only"));
  EXPECT_FALSE(LCutUUE(Short, 1, Parts));
  EXPECT_EQ(9, Parts);
  EXPECT_EQ(7, Body.Count());
}

TEST_F(SectionCutterTest, LineCountsMatchTheCutter) {
  for (std::size_t D : {1u, 2u, 49u, 50u, 51u, 99u, 100u, 101u, 333u}) {
    for (const std::uint16_t PerSection : std::initializer_list<std::uint16_t>{1, 7, 50}) {
      TStrDynArray Body = EncodeDataLines(D);
      std::uint16_t Parts = 0;
      ASSERT_TRUE(LCutUUE(Body, PerSection, Parts));
      std::uint64_t Expected = 0;
      EXPECT_EQ(Body.Count(), CutLineCount(D, PerSection, Expected)) << D << "/" << PerSection;
      EXPECT_EQ(Parts, Expected);
      std::size_t Headers = 0;
      for (const std::string& Line : ElementsOf(Body)) Headers += Line.rfind("Section ", 0) == 0;
      EXPECT_EQ(Parts, Headers);
    }
  }
}

TEST_F(SectionCutterTest, SizeLimits) {
  EXPECT_EQ(2680874u, MaxUUEFileSize(50));
  EXPECT_TRUE(UUEFits(2680874, 50));
  EXPECT_FALSE(UUEFits(2680875, 50));
  EXPECT_EQ(10921u * 45 + 44, MaxUUEFileSize(1));      // six list lines per data line
  EXPECT_EQ(65530u * 45 + 44, MaxUUEFileSize(65535));  // uncut: 65531 data lines
  EXPECT_EQ(0u, MaxUUEFileSize(0));
  EXPECT_FALSE(UUEFits(0, 0));
  EXPECT_FALSE(UUEFits(std::uint64_t{1} << 40, 50));
}

TEST_F(SectionCutterTest, LargestFileCutsIntoAFullArray) {
  TStrDynArray Body = Encode(MaxUUEFileSize(50));
  std::uint16_t Parts = 0;
  ASSERT_TRUE(LCutUUE(Body, 50, Parts));
  EXPECT_EQ(65535, Body.Count());
  EXPECT_EQ(1192, Parts);
}

// Joining the sections (begin line of section 1, data lines of every section
// in order) must give back the file; uudecode judges by the decoded bytes.
TEST_F(SectionCutterTest, JoinedSectionsDecodeToTheFile) {
  if (std::system("command -v uudecode >/dev/null 2>&1") != 0) GTEST_SKIP() << "no uudecode";
  const std::size_t Size = 4567;
  TStrDynArray Body = Encode(Size);
  std::uint16_t Parts = 0;
  ASSERT_TRUE(LCutUUE(Body, 7, Parts));
  std::string Joined;
  for (const std::string& Line : ElementsOf(Body)) {
    const bool Frame = Line.rfind("Section ", 0) == 0 || Line == " " || Line == "`" ||
                       Line == "end" || Line == "---";
    if (!Frame) Joined += Line + "\n";
  }
  Joined += "`\nend\n";
  ASSERT_TRUE(testing_support::WriteFileText(Dir.File("joined.uue"), Joined));
  const std::string Command =
      "uudecode -o '" + Dir.File("out") + "' '" + Dir.File("joined.uue") + "' 2>/dev/null";
  testing_support::RunUudecode(Command);
  EXPECT_BYTES_EQ(testing_support::ReadFileBytes(Dir.File("f.bin")),
                  testing_support::ReadFileBytes(Dir.File("out")));
}

}  // namespace
}  // namespace vellumar
