#include "msgbase/status.h"

#include <gtest/gtest.h>

namespace msgbase {
namespace {

TEST(StatusTest, KnownCodesHaveTheirTexts) {
  EXPECT_EQ("no error", ExplainStatus(stOk));
  EXPECT_EQ("(open) unrecognized ID", ExplainStatus(256));
  EXPECT_EQ("(open) sharing violation, attempts expired", ExplainStatus(258));
  EXPECT_EQ("(msg) buffer overflow", ExplainStatus(4100));
  EXPECT_EQ("(jam) can't create JLR", ExplainStatus(8207));
  EXPECT_EQ("(sq) msg is not exists", ExplainStatus(stSquishMsgNotExists));
  EXPECT_EQ("(sq) base header problems", ExplainStatus(12299));
}

TEST(StatusTest, EveryTableCodeHasTheTagOfItsGroup) {
  const auto Check = [](std::int32_t First, std::int32_t Last, const std::string& Tag) {
    for (std::int32_t Code = First; Code <= Last; ++Code) {
      EXPECT_EQ(0u, ExplainStatus(Code).rfind(Tag, 0)) << Code;
    }
  };
  Check(stOpenUnrecognizedId, stOpenAttemptsExpired, "(open) ");
  Check(stMsgWrongPath, stMsgDamagedFile, "(msg) ");
  Check(stJamAbsentJhr, stJamDamagedBase, "(jam) ");
  Check(stSquishAbsentSqd, stSquishBaseHeaderProblems, "(sq) ");
}

TEST(StatusTest, UnknownCodesFallBackToTheirNumber) {
  EXPECT_EQ("error #4111", ExplainStatus(4111));
  EXPECT_EQ("error #-2", ExplainStatus(stStreamOpenFailed));
  EXPECT_EQ("error #1", ExplainStatus(1));
  EXPECT_EQ("error #12303", ExplainStatus(12303));
  EXPECT_EQ("error #-2147483648", ExplainStatus(INT32_MIN));
}

}  // namespace
}  // namespace msgbase
