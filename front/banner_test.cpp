#include "front/banner.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace vellumar {
namespace {

TEST(BannerTest, UsageLinesHaveTheirExactLengths) {
  const std::size_t Lengths[UsageLines] = {28, 20, 38, 38, 38, 38, 38, 38, 38, 38,
                                           38, 38, 38, 41, 41, 41, 41, 41, 41, 41,
                                           41, 41, 41, 41, 45, 45, 45, 45, 0};
  for (int I = 1; I <= UsageLines; ++I)
    EXPECT_EQ(Lengths[I - 1], std::strlen(UsageLine(I))) << "line " << I;
  EXPECT_STREQ("", UsageLine(30));
}

TEST(BannerTest, BuildDateIsYearMonthDay) {
  EXPECT_EQ("2004/08/11", BuildDate("Aug 11 2004"));
  EXPECT_EQ("2024/12/05", BuildDate("Dec  5 2024"));
  EXPECT_EQ("2023/01/31", BuildDate("Jan 31 2023"));
}

// True when Text has the shape of Pattern, where '9' stands for any digit.
bool HasShape(const std::string& Text, const std::string& Pattern) {
  if (Text.size() != Pattern.size()) return false;
  for (std::size_t I = 0; I < Text.size(); ++I) {
    const bool Digit = Text[I] >= '0' && Text[I] <= '9';
    if (Pattern[I] == '9' ? !Digit : Text[I] != Pattern[I]) return false;
  }
  return true;
}

TEST(BannerTest, VersionTextNamesTimeDateCompilerAndProcessor) {
  const std::string Text = VersionText();
  const std::string Head = "Vellumar/LNX v0.1beta was compiled ";
  ASSERT_EQ(Head, Text.substr(0, Head.size()));
  EXPECT_TRUE(HasShape(Text.substr(Head.size(), 25), "99:99:99 9999/99/99 with "));
  const std::string Rest = Text.substr(Head.size() + 25);
  EXPECT_TRUE(Rest.rfind("GCC ", 0) == 0 || Rest.rfind("Clang ", 0) == 0) << Text;
  const std::size_t Comma = Rest.rfind(", ");
  ASSERT_NE(std::string::npos, Comma) << Text;
  const std::string Processor = Rest.substr(Comma + 2);
  EXPECT_FALSE(Processor.empty());
  EXPECT_EQ(std::string::npos, Processor.find(' ')) << Text;
  EXPECT_NE(std::string::npos, Rest.find('.')) << Text;  // a version number
}

}  // namespace
}  // namespace vellumar
