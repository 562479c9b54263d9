#include "tools/common/tool_text.h"

#include <gtest/gtest.h>

#include <string>

namespace tools {
namespace {

TEST(ToolTextTest, VisibleTextShowsControlBytesAsCaretLetters) {
  EXPECT_EQ("^AMSGID: 2:5020/100 1", VisibleText("\x01MSGID: 2:5020/100 1"));
  EXPECT_EQ(std::string("a^@b^I^[^_^?"), VisibleText(std::string("a\0b\t\x1b\x1f\x7f", 7)));
  // Printable ASCII, the caret itself and bytes above 0x7F pass unchanged.
  EXPECT_EQ("x^y \xE9\xFF~", VisibleText("x^y \xE9\xFF~"));
}

TEST(ToolTextTest, JsonStringEscapesAndTakesHighBytesAsLatin1) {
  EXPECT_EQ("\"\"", JsonString(""));
  EXPECT_EQ(R"("say \"hi\" \\ ok")", JsonString("say \"hi\" \\ ok"));
  EXPECT_EQ(R"("\b\f\n\r\t")", JsonString("\b\f\n\r\t"));
  EXPECT_EQ(R"("\u0000\u0001MSGID\u001f\u007f")",
            JsonString(std::string("\0\x01MSGID\x1f\x7f", 9)));
  // e-acute, the first and the last Latin-1 byte: two UTF-8 bytes each.
  EXPECT_EQ("\"caf\xC3\xA9 \xC2\x80\xC3\xBF\"", JsonString("caf\xE9 \x80\xFF"));
  EXPECT_EQ("\"/</\"", JsonString("/</"));
}

}  // namespace
}  // namespace tools
