#include "compose/compose.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "encode/dyn_array_testing.h"
#include "encode/uuencode.h"
#include "front/output.h"
#include "front/settings.h"
#include "testing/test_support.h"

namespace vellumar {
namespace {

using testing_support::TTempDir;
using testing_support::WriteFileText;

class ComposeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSettings();
    ASSERT_TRUE(WriteFileText(Dir.File("head.tpl"), "# comment\r\n@FName\r\n\r\n#x\r\n"));
    ASSERT_TRUE(WriteFileText(Dir.File("foot.tpl"), "#only comments\n"));
    HeadTpl = Dir.File("head.tpl");
    FootTpl = Dir.File("foot.tpl");
    FileName = Dir.File("report.zip");
  }
  void TearDown() override {
    ResetSettings();
    TLMsg = "  uuencoded by Brindle Tamberlane";
  }

  TTempDir Dir;
};

TEST_F(ComposeTest, TemplatesDropCommentsAndKeepEmptyLines) {
  TStrDynArray HT;
  ASSERT_EQ(0, ReadTemplate(HeadTpl, HT));
  EXPECT_EQ((std::vector<std::string>{"@FName", ""}), ElementsOf(HT));
  TStrDynArray FT;
  ASSERT_EQ(0, ReadTemplate(FootTpl, FT));
  EXPECT_EQ(0, FT.Count());
  EXPECT_EQ(reFileNotFound, ReadTemplate(Dir.File("none"), FT));
}

TEST_F(ComposeTest, SmallFileStaysOneUncutBlock) {
  ASSERT_TRUE(WriteFileText(FileName, "abc"));
  FName = "Sysop";
  TComposition Work;
  PrepareComposition(Work);
  EXPECT_EQ(1, Work.Parts);
  EXPECT_EQ(
      (std::vector<std::string>{"section 1 of 1 of file report.zip   [by Vellumar/LNX v0.1beta]",
                                "begin 644 report.zip", "#86)C", "`", "end"}),
      ElementsOf(Work.Body));
  EXPECT_EQ((std::vector<std::string>{"Sysop", ""}), ElementsOf(Work.HT));  // expanded once
  EXPECT_EQ(0, Work.FT.Count());
}

TEST_F(ComposeTest, CutsWhenTheBlockHasMoreLinesThanLines) {
  ASSERT_TRUE(WriteFileText(FileName, "abc"));  // five lines in all, one data line
  Lines = 5;
  TComposition Uncut;
  PrepareComposition(Uncut);
  EXPECT_EQ(5, Uncut.Body.Count());
  Lines = 4;
  TComposition Cut;
  PrepareComposition(Cut);
  EXPECT_EQ(1, Cut.Parts);
  EXPECT_EQ("Section 1 of 1 of file report.zip  [by Vellumar/LNX v0.1beta]", Cut.Body.At(1));
  EXPECT_EQ("---", Cut.Body.At(Cut.Body.Count()));
}

TEST_F(ComposeTest, RefusesAFileTooLargeBeforeReadingIt) {
  // A sparse file one byte over the limit for one line per section.
  const int Fd = ::open(FileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(Fd, 0);
  ASSERT_EQ(0, ::ftruncate(Fd, 10921 * 45 + 45));
  ::close(Fd);
  Lines = 1;
  TComposition Work;
  EXPECT_EXIT(PrepareComposition(Work), ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(
      "File \"/x/big\" is too large to post (491491 bytes; at most 491489 with 1 lines per "
      "message)!",
      TooLargeMessage("/x/big", 491491));
}

TEST_F(ComposeTest, UnreadableTemplateEndsWithItsRunTimeError) {
  HeadTpl = "/proc/self/mem";
  TComposition Work;
  EXPECT_EXIT(PrepareComposition(Work), ::testing::ExitedWithCode(reDiskRead), "");
}

}  // namespace
}  // namespace vellumar
