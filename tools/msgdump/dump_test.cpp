#include "tools/msgdump/dump.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "msgbase/open_base.h"
#include "msgbase/status.h"
#include "testing/test_support.h"

namespace msgdump {
namespace {

using msgbase::TAddress;

std::vector<std::string> SplitLines(const std::string& Text) {
  std::vector<std::string> Lines;
  std::istringstream In(Text);
  for (std::string Line; std::getline(In, Line);) Lines.push_back(Line);
  return Lines;
}

TEST(MsgDumpFormatTest, JsonAddressGivesTextAndNumbers) {
  EXPECT_EQ(R"({"text": "2:5020/100.7", "zone": 2, "net": 5020, "node": 100, "point": 7})",
            JsonAddress(TAddress{2, 5020, 100, 7}));
  EXPECT_EQ(R"({"text": "1:-2/3", "zone": 1, "net": -2, "node": 3, "point": 0})",
            JsonAddress(TAddress{1, -2, 3, 0}));
}

TEST(MsgDumpArgumentsTest, NumbersAreDecimalWithinThe32BitRange) {
  std::int32_t V = -1;
  EXPECT_TRUE(ParseNumber("0", V));
  EXPECT_EQ(0, V);
  EXPECT_TRUE(ParseNumber("2147483647", V));
  EXPECT_EQ(2147483647, V);
  EXPECT_TRUE(ParseNumber("007", V));
  EXPECT_EQ(7, V);
  for (const char* Bad : {"", "2147483648", "99999999999", "-1", "+1", "1a", " 1", "0x10"}) {
    EXPECT_FALSE(ParseNumber(Bad, V)) << Bad;
  }
}

TEST(MsgDumpArgumentsTest, GoodCommandLines) {
  TOptions O;
  std::string Problem;
  ASSERT_TRUE(ParseArguments({"Sarea"}, O, Problem));
  EXPECT_EQ(acList, O.Action);
  EXPECT_EQ("Sarea", O.BaseId);
  EXPECT_FALSE(O.Json || O.HeadersOnly);

  ASSERT_TRUE(ParseArguments({"--headers", "J/x/y", "--json", "--netmail"}, O, Problem));
  EXPECT_TRUE(O.Json && O.HeadersOnly && O.Netmail);
  EXPECT_EQ("J/x/y", O.BaseId);

  ASSERT_TRUE(ParseArguments({"F/net", "--kill", "12"}, O, Problem));
  EXPECT_EQ(acKill, O.Action);
  EXPECT_EQ(12, O.Message);

  ASSERT_TRUE(ParseArguments({"--lastread", "3", "Sa"}, O, Problem));
  EXPECT_EQ(acLastRead, O.Action);
  EXPECT_EQ(3, O.User);

  ASSERT_TRUE(ParseArguments({"--set-lastread", "0", "44", "Sa"}, O, Problem));
  EXPECT_EQ(acSetLastRead, O.Action);
  EXPECT_EQ(0, O.User);
  EXPECT_EQ(44, O.Message);

  ASSERT_TRUE(ParseArguments({"--help"}, O, Problem));
  EXPECT_EQ(acHelp, O.Action);
}

TEST(MsgDumpArgumentsTest, BadCommandLinesSayWhy) {
  const struct {
    std::vector<std::string> Args;
    std::string Problem;
  } Cases[] = {
      {{}, "No base given"},
      {{"--json"}, "No base given"},
      {{"Sa", "Sb"}, "Only one base, please (Sb)"},
      {{"Sa", "--verbose"}, "Unknown option --verbose"},
      {{"Sa", "--json", "--json"}, "--json given twice"},
      {{"Sa", "--kill"}, "--kill needs a message number"},
      {{"Sa", "--kill", "x"}, "--kill: x is not a message number"},
      {{"Sa", "--kill", "0"}, "--kill: message numbers start at 1"},
      {{"Sa", "--kill", "1", "--lastread", "2"},
       "Only one of --kill, --lastread, --set-lastread, --help and --version, please (--lastread)"},
      {{"Sa", "--set-lastread", "1"}, "--set-lastread needs a message number"},
      {{"Sa", "--lastread", "-1"}, "--lastread: -1 is not a user number"},
      {{"Sa", "--kill", "1", "--json"}, "--json, --headers and --netmail go with a listing only"},
      {{"Sa", "--lastread", "1", "--netmail"},
       "--json, --headers and --netmail go with a listing only"},
      {{"Sa", ""}, "The base identifier is empty"},
  };
  for (const auto& Case : Cases) {
    TOptions O;
    std::string Problem;
    EXPECT_FALSE(ParseArguments(Case.Args, O, Problem));
    EXPECT_EQ(Case.Problem, Problem);
  }
}

// A base that answers from a table and can be made to misbehave: numbers
// that stop rising, a walk that never ends, a count or a highest number its
// messages do not bear out.
class TFakeBase : public msgbase::TMessageBase {
 public:
  enum TMode { fmSane, fmStuck, fmEndless, fmOvercounted, fmLowHighest };
  explicit TFakeBase(TMode Mode) : Mode_(Mode) {}

  bool Open(const std::string&) override { return true; }
  void Close() override {}
  bool Exists(std::int32_t Message) override { return Message >= 1 && Message <= 3; }
  std::int32_t GetCount() override { return Mode_ == fmOvercounted ? 4 : 3; }
  std::int32_t GetHighest() override { return Mode_ == fmLowHighest ? -2 : 3; }
  void SeekNext() override {
    if (Mode_ == fmStuck && Current() == 2) return;  // stays on 2
    if (Mode_ == fmEndless) {
      SetCurrent(Current() + 1);
      return;
    }
    TMessageBase::SeekNext();
  }
  bool OpenMessage() override {
    if (Current() == 2) {
      SetStatus(msgbase::stSquishGrungedFrame);
      return false;
    }
    return true;
  }
  bool OpenMessageHeader() override { return OpenMessage(); }
  bool CloseMessage() override { return true; }
  std::string GetFrom() override { return "From " + std::to_string(Current()); }
  std::string GetTo() override { return "All"; }
  std::string GetSubject() override { return "Subject\x01"; }
  bool GetAttribute(std::int32_t Attribute) override { return Attribute == msgbase::maLocal; }
  void GetWrittenDateTime(msgbase::TMessageBaseDateTime& D) override { D = {}; }
  void GetArrivedDateTime(msgbase::TMessageBaseDateTime& D) override { D = {}; }

 private:
  TMode Mode_ = fmSane;
};

// The listing of a fake base in Mode, which must report a failure.
std::string ListFake(TFakeBase::TMode Mode, bool Json, bool HeadersOnly) {
  TFakeBase Base(Mode);
  TOptions O;
  O.BaseId = "Xfake";
  O.Json = Json;
  O.HeadersOnly = HeadersOnly;
  TStringOutput Out;
  EXPECT_FALSE(ListMessages(Base, O, Out));
  EXPECT_TRUE(Out.Flush());
  return Out.GetText();
}

TEST(MsgDumpListTest, AnUnreadableMessageIsReportedAndTheWalkGoesOn) {
  const std::vector<std::string> Expected{
      "Base Xfake: 3 messages, highest number 3",
      "",
      "Message 1",
      "From:       From 1 (0:0/0)",
      "To:         All (0:0/0)",
      "Subject:    Subject^A",
      "Written:    0000/00/00 00:00:00.00",
      "Arrived:",
      "Attributes: Loc",
      "Text:",
      "",
      "Message 2 cannot be read: (sq) grunged frame",
      "",
      "Message 3",
  };
  const std::vector<std::string> Lines = SplitLines(ListFake(TFakeBase::fmSane, false, false));
  ASSERT_GE(Lines.size(), Expected.size());
  EXPECT_EQ(Expected, std::vector<std::string>(Lines.begin(), Lines.begin() + 14));
}

TEST(MsgDumpListTest, TheWalkEndsWhereNumbersStopRising) {
  const std::vector<std::string> Lines = SplitLines(ListFake(TFakeBase::fmStuck, true, false));
  ASSERT_GE(Lines.size(), 3u);
  EXPECT_EQ("    }", Lines[Lines.size() - 4]);  // message 2, the last element
  EXPECT_EQ("  ],", Lines[Lines.size() - 3]);
  EXPECT_EQ("  \"error\": \"the walk stopped: message 2 follows message 2\"",
            Lines[Lines.size() - 2]);
  EXPECT_EQ("}", Lines.back());
}

TEST(MsgDumpListTest, TheWalkEndsAfterTheCountsPlusAMargin) {
  const std::string Text = ListFake(TFakeBase::fmEndless, false, true);
  EXPECT_EQ(
      "The listing is incomplete: the walk stopped after 19 messages, more than the base counts",
      SplitLines(Text).back());
  EXPECT_NE(std::string::npos, Text.find("Message 19\n"));
  EXPECT_EQ(std::string::npos, Text.find("Message 20"));
}

TEST(MsgDumpListTest, ABaseThatDisagreesWithItselfIsListedAndSaidSo) {
  const std::vector<std::string> Text =
      SplitLines(ListFake(TFakeBase::fmOvercounted, false, false));
  // Everything readable is listed.
  EXPECT_NE(Text.end(), std::find(Text.begin(), Text.end(), "Message 3"));
  EXPECT_EQ("The base is inconsistent: the base counts 4 messages but 3 were found", Text.back());
  const std::vector<std::string> Json = SplitLines(ListFake(TFakeBase::fmLowHighest, true, false));
  ASSERT_GE(Json.size(), 3u);
  EXPECT_EQ("  ],", Json[Json.size() - 3]);
  // A highest number below every message hides them all from the walk.
  EXPECT_EQ("  \"inconsistency\": \"the base counts 3 messages but 0 were found\"",
            Json[Json.size() - 2]);
}

TEST(MsgDumpListTest, ASquishHeaderThatCountsAnEmptyIndexFailsTheRun) {
  testing_support::TTempDir Dir;
  const std::string Id = "S" + Dir.File("area");
  {
    msgbase::PMessageBase Base;
    ASSERT_TRUE(msgbase::OpenOrCreateMessageBase(Base, Id));
    for (int I = 0; I < 2; ++I) {
      ASSERT_TRUE(Base->CreateNewMessage());
      Base->PutString("text");
      ASSERT_TRUE(Base->WriteMessage());
    }
    ASSERT_TRUE(msgbase::CloseMessageBase(Base));
  }
  ASSERT_TRUE(testing_support::WriteFileBytes(Dir.File("area.sqi"), {}));
  TStringOutput Out;
  EXPECT_EQ(exFailure, RunMsgDump({Id}, Out));
  ASSERT_TRUE(Out.Flush());
  EXPECT_EQ("The base is inconsistent: the base counts 2 messages but 0 were found",
            SplitLines(Out.GetText()).back());
}

TEST(MsgDumpListTest, LongLinesAndOddBytesOfAStoredTextSurviveWhole) {
  testing_support::TTempDir Dir;
  const std::string Id = "F" + Dir.File("net");
  msgbase::PMessageBase Base;
  ASSERT_TRUE(msgbase::OpenOrCreateMessageBase(Base, Id));
  ASSERT_TRUE(Base->CreateNewMessage());
  Base->SetFrom("Sysop");
  Base->SetTo("All");
  Base->SetSubject("long");
  // A 1000-character paragraph as other software writes it, and a line with
  // a tab and a Latin-1 byte, each ending in CR LF.
  std::string Text(1000, 'p');
  Text += "\r\n\tcaf\xE9\r\n";
  Base->WriteText(Text.data(), static_cast<std::uint16_t>(Text.size()));
  ASSERT_TRUE(Base->WriteMessage());
  ASSERT_TRUE(Base->CloseMessage());
  ASSERT_TRUE(msgbase::CloseMessageBase(Base));

  ASSERT_TRUE(msgbase::OpenMessageBase(Base, Id));
  TOptions O;
  O.BaseId = Id;
  O.Json = true;
  TStringOutput Out;
  EXPECT_TRUE(ListMessages(*Base, O, Out));
  ASSERT_TRUE(msgbase::CloseMessageBase(Base));
  ASSERT_TRUE(Out.Flush());
  const std::string& Json = Out.GetText();
  EXPECT_NE(std::string::npos, Json.find("\"" + std::string(1000, 'p') + "\","));
  EXPECT_NE(std::string::npos, Json.find("\"\\tcaf\xC3\xA9\"\n"));
}

}  // namespace
}  // namespace msgdump
