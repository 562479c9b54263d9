#include "front/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "front/output.h"
#include "testing/test_support.h"

namespace vellumar {
namespace {

using testing_support::TTempDir;
using testing_support::WriteFileText;

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetSettings(); }
  void TearDown() override { ResetSettings(); }

  // Settings that pass every check, with real files in the temporary directory.
  void FillValid() {
    ASSERT_TRUE(WriteFileText(Dir.File("head.tpl"), "h\n"));
    ASSERT_TRUE(WriteFileText(Dir.File("foot.tpl"), "f\n"));
    ASSERT_TRUE(WriteFileText(Dir.File("data.bin"), "abc"));
    ParseParamStr("-o2:5020/100 -mE -d2:5020/1 +h" + Dir.File("head.tpl") + " +f" +
                  Dir.File("foot.tpl") + " -eS" + Dir.File("base") + " -F" + Dir.File("data.bin"));
  }

  TTempDir Dir;
};

TEST_F(SettingsTest, GetParamStrQuotesArgumentsWithInnerBlanks) {
  const char* Args[] = {"/bin/vellumar", "-s\"Hello world\"", " lead", "-o1:2/3"};
  EXPECT_EQ("/bin/vellumar \"-s\"Hello world\"\"  lead -o1:2/3 ", GetParamStr(4, Args));
  ParseParamStr(GetParamStr(4, Args));
  EXPECT_EQ("Hello world", Subject);
  EXPECT_EQ("1:2/3", FAddr);
}

TEST_F(SettingsTest, GetParamStrKeepsOnly255Characters) {
  const std::string Long(250, 'x');
  const char* Args[] = {"/bin/vellumar", Long.c_str(), "-o1:2/3"};
  const std::string Line = GetParamStr(3, Args);
  EXPECT_EQ(255u, Line.size());
  ParseParamStr(Line);
  EXPECT_EQ("", FAddr);
}

TEST_F(SettingsTest, ValueCutters) {
  EXPECT_EQ("abc", PSCopy("-fabc def", 0));
  EXPECT_EQ("", PSCopy("-f def", 0));
  EXPECT_EQ("", PSCopy("x -f", 2));
  EXPECT_EQ("a b", PSCopy2("-f\"a b\" c", 0));
  EXPECT_EQ("", PSCopy2("-f\"a b c", 0));
  EXPECT_EQ("plain", PSCopy2("-fplain rest", 0));
}

TEST_F(SettingsTest, FirstOccurrenceAnywhereWins) {
  ParseParamStr("/opt/x-o9:9/9/bin/vellumar -o1:2/3 -fOne -fTwo");
  EXPECT_EQ("9:9/9/bin/vellumar", FAddr);
  EXPECT_EQ("One", FName);
  ParseParamStr("-sSubject");
  EXPECT_EQ("Subject", Subject);
  EXPECT_EQ("One", FName) << "keywords not in the text keep their values";
}

TEST_F(SettingsTest, KeywordsAreCaseSensitive) {
  ParseParamStr("-fsender -Ffile -tname =Ttag +Ttear +Oorigin +hhead +ffoot");
  EXPECT_EQ("sender", FName);
  EXPECT_EQ("file", FileName);
  EXPECT_EQ("name", TName);
  EXPECT_EQ("tag", TagLine);
  EXPECT_EQ("tear", TearLine);
  EXPECT_EQ("origin", Origin);
  EXPECT_EQ("head", HeadTpl);
  EXPECT_EQ("foot", FootTpl);
}

TEST_F(SettingsTest, MailTypeTakesOnlySingleLetters) {
  ParseParamStr("-me");
  EXPECT_EQ(TMailType::EchoMail, MailType);
  ParseParamStr("-mn");
  EXPECT_EQ(TMailType::NetMail, MailType);
  ParseParamStr("-mecho");
  EXPECT_EQ(TMailType::NetMail, MailType);
  ResetSettings();
  ParseParamStr("-mnet");
  EXPECT_EQ(TMailType::None, MailType);
}

TEST_F(SettingsTest, LinesAreRoundedHalfToEvenAndKeptIn16Bits) {
  const std::vector<std::pair<std::string, int>> Cases = {
      {"30", 30},         {"0", 0},     {"65536", 0},  {"abc", 0},
      {"2.5", 2},         {"3.5", 4},   {"65537", 1},  {"3000000000", 0},
      {"-2147483649", 0}, {"1e999", 0}, {"-1", 65535}, {"2147483647", 65535}};
  for (const auto& [Value, Expected] : Cases) {
    Lines = 50;
    ParseParamStr("-l" + Value);
    EXPECT_EQ(Expected, Lines) << Value;
  }
}

TEST_F(SettingsTest, AttributeFlagsFollowTheLetters) {
  FillValid();
  ParseParamStr("-alku");
  ASSERT_EQ("", CheckSettings());
  EXPECT_TRUE(aLocal);
  EXPECT_TRUE(aKillSnt);
  EXPECT_TRUE(aUrq);
  EXPECT_FALSE(aPvt);
  EXPECT_FALSE(aHold);
  EXPECT_TRUE(Flag('K'));
  EXPECT_FALSE(Flag('k')) << "letters are compared upper-cased";
}

TEST_F(SettingsTest, EmptyAttributesKeepLocalAndPrivate) {
  FillValid();
  ParseParamStr("-a -x");
  ASSERT_EQ("", CheckSettings());
  EXPECT_TRUE(aLocal);
  EXPECT_TRUE(aPvt);
  EXPECT_FALSE(aCrash);
}

TEST_F(SettingsTest, ChecksStopInOrderAndDefaultsFill) {
  EXPECT_EQ("You must define orig. fido address!", CheckSettings());
  ParseParamStr("-o2:5020");
  EXPECT_EQ("Orig. fido address is not correct!", CheckSettings());
  ParseParamStr("-o2:5020/100");
  EXPECT_EQ("You must switch type of mail!", CheckSettings());
  EXPECT_EQ("Vellumar", FName);
  ParseParamStr("-mN");
  EXPECT_EQ("You must define dest. address!", CheckSettings());
  MailType = TMailType::EchoMail;
  EXPECT_EQ("Dest. fido address is not correct!", CheckSettings());
  ParseParamStr("-d2:5020/1");
  EXPECT_EQ("You must define header template!", CheckSettings());
  EXPECT_EQ("All", TName);
  EXPECT_EQ("Vellumar/LNX v0.1beta Tamberlane", TearLine);
  EXPECT_EQ("Vellumar/LNX v0.1beta", Origin);
  ParseParamStr("+h" + Dir.File("head.tpl"));
  EXPECT_EQ("You must define footer template!", CheckSettings());
  ParseParamStr("+f" + Dir.File("foot.tpl"));
  EXPECT_EQ("Can't open \"" + Dir.File("head.tpl") + "\" !", CheckSettings());
  ASSERT_TRUE(WriteFileText(Dir.File("head.tpl"), ""));
  EXPECT_EQ("Can't open \"" + Dir.File("foot.tpl") + "\" !", CheckSettings());
  ASSERT_TRUE(WriteFileText(Dir.File("foot.tpl"), ""));
  EXPECT_EQ("You must define path to echo!", CheckSettings());
  ParseParamStr("-eSbase -l0");
  EXPECT_EQ("Uncorrect num of lines!", CheckSettings());
  ParseParamStr("-l7");
  EXPECT_EQ("FileName must be defined!", CheckSettings());
  ParseParamStr("-F" + Dir.Path());
  EXPECT_EQ("Can't open \"" + Dir.Path() + "\" !", CheckSettings()) << "a directory is no file";
  ASSERT_TRUE(WriteFileText(Dir.File("data"), "x"));
  FileName = Dir.File("data");
  EXPECT_EQ("", CheckSettings());
}

TEST_F(SettingsTest, NetmailRecipientDefaultsToSysOp) {
  FillValid();
  ParseParamStr("-mN");
  MailType = TMailType::NetMail;
  ASSERT_EQ("", CheckSettings());
  EXPECT_EQ("SysOp", TName);
}

TEST_F(SettingsTest, ConfigFileLinesParseAndCommentsDoNot) {
  ASSERT_TRUE(WriteFileText(Dir.File("cfg"),
                            "# -fCommented\r\n"
                            "\r\n"
                            " # -fIndented -sFirst\n"
                            "-sSecond -mE\r"
                            "-l33"));
  ASSERT_EQ(0, ReadConfigFile(Dir.File("cfg")));
  EXPECT_EQ("Indented", FName);
  EXPECT_EQ("Second", Subject) << "a later line overrides an earlier one";
  EXPECT_EQ(TMailType::EchoMail, MailType);
  EXPECT_EQ(33, Lines);
}

TEST_F(SettingsTest, ConfigFileReadFailureGivesItsNumber) {
  EXPECT_EQ(reFileNotFound, ReadConfigFile(Dir.File("missing")));
  EXPECT_EQ(reDiskRead, ReadConfigFile("/proc/self/mem"));
}

TEST_F(SettingsTest, ParseStrExpandsTheMacroTableInOrder) {
  FName = "Bob";
  TName = "All";
  FAddr = "2:5020/100";
  TAddr = "2:5020/1";
  FileName = "/tmp/x/report.zip";
  Subject = "about @FName and @PID";
  std::string Line = "@fname>@TName @FAddr @TAddr [@Subject] @FileName @k@PName @PVer @POSS @POSF";
  ParseStr(Line);
  EXPECT_EQ(
      "Bob>All 2:5020/100 2:5020/1 [about @FName and Vellumar/LNX v0.1beta Tamberlane] "
      "/tmp/x/report.zip \x01Vellumar/LNX v0.1beta LNX Linux",
      Line);
}

}  // namespace
}  // namespace vellumar
