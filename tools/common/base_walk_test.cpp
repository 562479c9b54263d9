#include "tools/common/base_walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "msgbase/open_base.h"
#include "testing/test_support.h"

namespace tools {
namespace {

TEST(BaseWalkTest, LinesEndAsTheBaseReaderEndsThem) {
  using TLines = std::vector<std::string_view>;
  EXPECT_EQ(TLines{}, SplitTextLines(""));
  EXPECT_EQ((TLines{"a", "b", "c", "d"}), SplitTextLines("a\rb\nc\r\nd"));
  // A line feed after a line feed, or a return after a return, is an empty line.
  EXPECT_EQ((TLines{"a", "", "b", ""}), SplitTextLines("a\n\nb\r\r"));
  EXPECT_EQ((TLines{"", "x"}), SplitTextLines("\r\nx\n"));
}

TEST(BaseWalkTest, ATextLongerThanOneReadComesWhole) {
  testing_support::TTempDir Dir;
  const std::string Id = "F" + Dir.File("long");
  msgbase::PMessageBase Base;
  ASSERT_TRUE(msgbase::OpenOrCreateMessageBase(Base, Id));
  ASSERT_TRUE(Base->CreateNewMessage());
  std::string Text;
  for (int I = 0; Text.size() < 150000; ++I) Text += "line " + std::to_string(I) + "\r";
  for (std::size_t At = 0; At < Text.size(); At += 60000) {
    const std::size_t Count = std::min<std::size_t>(60000, Text.size() - At);
    Base->WriteText(Text.data() + At, static_cast<std::uint16_t>(Count));
  }
  ASSERT_TRUE(Base->WriteMessage());
  ASSERT_TRUE(Base->CloseMessage());
  ASSERT_TRUE(msgbase::CloseMessageBase(Base));

  ASSERT_TRUE(msgbase::OpenMessageBase(Base, Id));
  Base->Seek(1);
  ASSERT_TRUE(Base->OpenMessage());
  Base->SetTextPos(0);
  std::string Read, Problem;
  EXPECT_TRUE(ReadWholeText(*Base, Read, Problem)) << Problem;
  EXPECT_EQ(Text, Read);
  EXPECT_EQ("line 0", SplitTextLines(Read).front());
  ASSERT_TRUE(Base->CloseMessage());
  ASSERT_TRUE(msgbase::CloseMessageBase(Base));
}

}  // namespace
}  // namespace tools
