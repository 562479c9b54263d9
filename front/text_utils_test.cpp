#include "front/text_utils.h"

#include <gtest/gtest.h>

#include <string>

namespace vellumar {
namespace {

TEST(TextUtilsTest, UpStrFoldsAsciiLettersOnly) {
  EXPECT_EQ("ABC XYZ 09@[`{", UpStr("abc xyz 09@[`{"));
  const std::string High = "\xe4\xf6\xfc\xe9";
  EXPECT_EQ(High, UpStr(High));
  EXPECT_EQ(255u, UpStr(std::string(300, 'a')).size());
}

TEST(TextUtilsTest, SStrWritesPlainDecimal) {
  EXPECT_EQ("0", SStr(0));
  EXPECT_EQ("-2147483648", SStr(INT32_MIN));
  EXPECT_EQ("65535", SStr(65535));
}

TEST(TextUtilsTest, SValReadsOnlyWholeNumbers) {
  EXPECT_DOUBLE_EQ(30, SVal("30"));
  EXPECT_DOUBLE_EQ(2.5, SVal(" \t2.5"));
  EXPECT_DOUBLE_EQ(-3, SVal("-3"));
  EXPECT_DOUBLE_EQ(12, SVal("+12"));
  EXPECT_DOUBLE_EQ(1500, SVal("1.5e3"));
  EXPECT_DOUBLE_EQ(0.5, SVal(".5"));
  EXPECT_DOUBLE_EQ(0, SVal(""));
  EXPECT_DOUBLE_EQ(0, SVal("abc"));
  EXPECT_DOUBLE_EQ(0, SVal("30x"));
  EXPECT_DOUBLE_EQ(0, SVal("30 "));
  EXPECT_DOUBLE_EQ(0, SVal("1e"));
  EXPECT_DOUBLE_EQ(0, SVal("0x10"));
  EXPECT_DOUBLE_EQ(0, SVal("inf"));
  EXPECT_DOUBLE_EQ(0, SVal("."));
  EXPECT_GT(SVal("1e999"), 1e300);
  EXPECT_DOUBLE_EQ(0, SVal("1e-999"));
}

TEST(TextUtilsTest, CutWordTakesTextBetweenMarks) {
  EXPECT_EQ("value", CutWord("key=\"value\" rest", '"', '"'));
  EXPECT_EQ("abc", CutWord("abc;def", '[', ';'));
  EXPECT_EQ("", CutWord("[open without close", '[', ']'));
}

TEST(TextUtilsTest, SDeleteRemovesInsideTheTextOnly) {
  std::string S = "abcdef";
  SDelete(S, 2, 3);
  EXPECT_EQ("aef", S);
  SDelete(S, 3, 200);
  EXPECT_EQ("ae", S);
  SDelete(S, 9, 1);
  EXPECT_EQ("ae", S);
  SDelete(S, 0, 1);
  EXPECT_EQ("ae", S);
}

TEST(TextUtilsTest, WordsSplitsAndDropsComments) {
  std::string First, Last;
  Words("  key\tword   the  rest  # comment", First, Last);
  EXPECT_EQ("keyword", First);
  EXPECT_EQ("the  rest", Last);
  Words("# only a comment", First, Last);
  EXPECT_EQ("", First);
  EXPECT_EQ("", Last);
  Words("\t\t\t", First, Last);
  EXPECT_EQ("", First);
  EXPECT_EQ("", Last);
}

TEST(TextUtilsTest, MacroReplaceIgnoresCaseAndDoesNotRescanValues) {
  EXPECT_EQ("x Bob y Bob", MacroReplace("x @fname y @FNAME", "@FName", "Bob"));
  EXPECT_EQ("[@A@A] [@A@A]", MacroReplace("[@a] [@A]", "@A", "@A@A"));
  EXPECT_EQ("unchanged", MacroReplace("unchanged", "@K", "\x01"));
  EXPECT_EQ("no name", MacroReplace("no name", "", "x"));
}

TEST(TextUtilsTest, MacroReplaceCutsTheResultAt255) {
  const std::string Long(200, 'v');
  const std::string Result = MacroReplace("@M @M", "@M", Long);
  EXPECT_EQ(255u, Result.size());
  EXPECT_EQ(Long + " " + std::string(54, 'v'), Result);
}

TEST(TextUtilsTest, GetFileNameTakesTheLastComponent) {
  EXPECT_EQ("report.zip", GetFileName("/tmp/files/report.zip"));
  EXPECT_EQ("plain", GetFileName("plain"));
  EXPECT_EQ("", GetFileName("dir/"));
}

TEST(TextUtilsTest, AddressPartsOfFullAndShortAddresses) {
  EXPECT_EQ("2", FtnZone("2:5020/100.7"));
  EXPECT_EQ("5020", FtnNet("2:5020/100.7"));
  EXPECT_EQ("100", FtnNode("2:5020/100.7"));
  EXPECT_EQ("7", FtnPoint("2:5020/100.7"));
  EXPECT_EQ("0", FtnPoint("2:5020/100"));
  EXPECT_EQ("5020", FtnNet("5020/100"));
  EXPECT_EQ("Error", FtnZone("5020/100"));
  EXPECT_EQ("Error", FtnNet("2:5020"));
  EXPECT_EQ("Error", FtnPoint("2:5020/100."));
  std::string Domain = "2:5020/100@fidonet";
  CutFtnDomain(Domain);
  EXPECT_EQ("2:5020/100", Domain);
}

TEST(TextUtilsTest, IsFidoAddrAcceptsTheAddressShapes) {
  for (const char* Good :
       {"1:23/45", "1:23/45.0", "1:23/45.6@fidonet", "1:23/45@", "32767:65535/99999.123456789"})
    EXPECT_TRUE(IsFidoAddr(Good)) << Good;
}

TEST(TextUtilsTest, IsFidoAddrRejectsMissingOrBadParts) {
  for (const char* Bad :
       {"", "1:23", "1:23/", "1:23/45.", ":23/45", "1:/45", "1:23/45.6.7", "1:23/45/6", "1:2.3/4",
        "1:23/ 45", "-1:23/45", "1:+23/45", "23/45", "a:b/c"})
    EXPECT_FALSE(IsFidoAddr(Bad)) << Bad;
}

TEST(TextUtilsTest, NumberChecks) {
  EXPECT_TRUE(IsNumber('0'));
  EXPECT_TRUE(IsNumber('9'));
  EXPECT_FALSE(IsNumber('a'));
  EXPECT_TRUE(IsFullNumber(""));
  EXPECT_TRUE(IsFullNumber("0123"));
  EXPECT_FALSE(IsFullNumber("12a"));
}

}  // namespace
}  // namespace vellumar
