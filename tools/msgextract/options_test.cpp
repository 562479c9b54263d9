#include "tools/msgextract/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace msgextract {
namespace {

TEST(OptionsTest, ArgumentsTakeBaseDirectoryAndFlags) {
  TOptions Options;
  std::string Problem;
  ASSERT_TRUE(ParseArguments({"--force", "J/a/b", "out", "--remove"}, Options, Problem));
  EXPECT_EQ("J/a/b", Options.BaseId);
  EXPECT_EQ("out", Options.Directory);
  EXPECT_TRUE(Options.Force && Options.Remove && !Options.List);
  ASSERT_TRUE(ParseArguments({"--json", "S/x"}, Options, Problem));
  EXPECT_TRUE(Options.List);
  EXPECT_EQ(".", Options.Directory);
  EXPECT_EQ(DefaultMaxSize, Options.MaxSize);
}

TEST(OptionsTest, BadUsageIsRefusedWithAReason) {
  const std::vector<std::vector<std::string>> Cases = {
      {},
      {"--list", "--list", "Jx"},
      {"--bogus", "Jx"},
      {"--list", "--remove", "Jx"},
      {"Jx", "dir", "more"},
      {"Jx", ""},
      {"--expire", "3", "Jx"},
      {"--remove", "--expire", "-1", "Jx"},
      {"--remove", "--expire", "1", "--expire", "2", "Jx"},
      {"--max-size", "0", "Jx"},
      {"--max-size", "12T", "Jx"},
      {"--max-size=99999999999999999999", "Jx"},
      {"Jx", "--include"},
      {"--list", "--partial", "Jx"},
  };
  for (const auto& Args : Cases) {
    TOptions Options;
    std::string Problem;
    EXPECT_FALSE(ParseArguments(Args, Options, Problem)) << ::testing::PrintToString(Args);
    EXPECT_FALSE(Problem.empty());
  }
}

}  // namespace
}  // namespace msgextract
