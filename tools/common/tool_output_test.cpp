#include "tools/common/tool_output.h"

#include <gtest/gtest.h>

#include <string>

namespace tools {
namespace {

TEST(ToolOutputTest, AFailedWriteSticksAndFailsTheRun) {
  TStringOutput Out;
  Out.SetFailAfter(10);
  EXPECT_TRUE(Out.WriteLine("short"));
  EXPECT_TRUE(Out.Flush());
  EXPECT_TRUE(Out.WriteLine("longer than the rest"));
  EXPECT_FALSE(Out.Flush());
  EXPECT_TRUE(Out.GetFailed());
  EXPECT_FALSE(Out.WriteLine("x"));
  EXPECT_EQ("short\n", Out.GetText());
}

TEST(ToolOutputTest, LargeOutputGoesOutInPiecesAndWhole) {
  TStringOutput Out;
  const std::string Line(1000, 'x');
  for (int I = 0; I < 100; ++I) ASSERT_TRUE(Out.WriteLine(Line));
  EXPECT_FALSE(Out.GetText().empty());  // some went out before the flush
  ASSERT_TRUE(Out.Flush());
  EXPECT_EQ(100u * 1001u, Out.GetText().size());
}

}  // namespace
}  // namespace tools
