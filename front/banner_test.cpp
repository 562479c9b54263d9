#include "front/banner.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>

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

TEST(BannerTest, VersionTextNamesTimeDateCompilerAndProcessor) {
  const std::regex Shape(
      "Vellumar/LNX v0\\.1beta was compiled [0-2][0-9]:[0-5][0-9]:[0-5][0-9] "
      "[0-9]{4}/[01][0-9]/[0-3][0-9] with (GCC|Clang) [0-9]+\\.[0-9]+\\.[0-9]+, \\S+");
  EXPECT_TRUE(std::regex_match(VersionText(), Shape)) << VersionText();
}

}  // namespace
}  // namespace vellumar
