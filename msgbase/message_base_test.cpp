#include "msgbase/message_base.h"

#include <gtest/gtest.h>

#include <set>

#include "testing/test_support.h"

namespace msgbase {
namespace {

// A base with no files: the text is a memory stream, messages are a set of
// numbers, attributes a bit set, dates two fields.
class TTestBase : public TMessageBase {
 public:
  TTestBase() { SetMessageTextStream(CreateMessageBaseMemoryStream(MaxMessageSize)); }

  bool Exists(std::int32_t Message) override { return Messages.count(Message) != 0; }
  std::int32_t GetHighest() override { return Messages.empty() ? 0 : *Messages.rbegin(); }
  bool GetAttribute(std::int32_t Attribute) override { return (Attributes & Attribute) != 0; }
  void SetAttribute(std::int32_t Attribute, bool Enable) override {
    Attributes = Enable ? (Attributes | Attribute) : (Attributes & ~Attribute);
  }
  void SetWrittenDateTime(const TMessageBaseDateTime& D) override { Written = D; }
  void SetArrivedDateTime(const TMessageBaseDateTime& D) override { Arrived = D; }

  // The whole text as a string, leaving the text position where it was.
  std::string Text() {
    const std::int32_t Pos = GetTextPos();
    std::string All(static_cast<std::size_t>(GetTextSize()), '\0');
    SetTextPos(0);
    ReadText(All.data(), static_cast<std::uint16_t>(All.size()));
    SetTextPos(Pos);
    return All;
  }
  void SetText(const std::string& All) {
    SetTextPos(0);
    TruncateText();
    WriteText(All.data(), static_cast<std::uint16_t>(All.size()));
  }

  std::set<std::int32_t> Messages;
  std::int32_t Attributes = 0;
  TMessageBaseDateTime Written;
  TMessageBaseDateTime Arrived;
};

// 2004-08-11 12:00:00, one hundredth later at each reading.
std::uint16_t Hundredths = 0;
void FixedClock(TMessageBaseDateTime& D) {
  D = TMessageBaseDateTime{};
  D.Year = 2004;
  D.Month = 8;
  D.Day = 11;
  D.Hour = 12;
  D.Sec100 = Hundredths++ % 100;
}

class MessageBaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Hundredths = 0;
    SetClockSource(FixedClock);
    ResetMessageIdSerials();
  }
  void TearDown() override { SetClockSource(nullptr); }

  bool AtEnd() { return Base.GetTextPos() == Base.GetTextSize(); }

  TTestBase Base;
};

TEST_F(MessageBaseTest, LinesEndAtCarriageReturnOrLineFeed) {
  Base.SetText("AB\r\nC");
  Base.SetTextPos(0);
  EXPECT_EQ("AB", Base.GetString());
  EXPECT_EQ("C", Base.GetString());
  EXPECT_TRUE(Base.EndOfMessage());
  EXPECT_EQ("", Base.GetString());

  Base.SetText("one\ntwo\r\rthree\n\nfour");
  Base.SetTextPos(0);
  std::vector<std::string> Lines;
  while (!Base.EndOfMessage()) Lines.push_back(Base.GetString());
  // Empty lines between two line ends of the same kind are kept.
  EXPECT_EQ((std::vector<std::string>{"one", "two", "", "three", "", "four"}), Lines);
}

TEST_F(MessageBaseTest, LongLinesAreCutToTheBuffer) {
  Base.SetText(std::string(300, 'x') + "\rnext\r");
  Base.SetTextPos(0);
  EXPECT_EQ(std::string(255, 'x'), Base.GetString());
  EXPECT_EQ("next", Base.GetString());

  // A line ending exactly on a 256-byte chunk edge, with its CR LF split.
  Base.SetText(std::string(255, 'y') + "\r\nz");
  Base.SetTextPos(0);
  EXPECT_EQ(std::string(255, 'y'), Base.GetString());
  EXPECT_EQ("z", Base.GetString());

  std::array<char, 5> Small{};
  Small.fill('#');
  Base.SetText("abcdefgh\rnext");
  Base.SetTextPos(0);
  EXPECT_EQ(4, Base.GetStringPChar(Small.data(), Small.size()));
  EXPECT_STREQ("abcd", Small.data());
  Small.fill('#');
  EXPECT_EQ(0, Base.GetStringPChar(Small.data(), 0));  // skips "next", touches nothing
  EXPECT_EQ('#', Small[0]);
  EXPECT_TRUE(Base.EndOfMessage());
}

TEST_F(MessageBaseTest, PutStringWritesOneCarriageReturn) {
  Base.PutString("hello");
  Base.PutStringPChar("world");
  Base.PutString(std::string(300, 'z'));
  EXPECT_EQ("hello\rworld\r" + std::string(255, 'z') + "\r", Base.Text());
}

TEST_F(MessageBaseTest, SetKludgeOnEmptyTextMakesTheFirstLine) {
  Base.SetKludge("\x01PID:", "\x01PID: test");
  EXPECT_EQ("\x01PID: test\r", Base.Text());
  EXPECT_TRUE(AtEnd());
}

TEST_F(MessageBaseTest, SetKludgeReplacesInPlace) {
  Base.SetText("\x01MSGID: 1:1/1 0001\r\x01PID: old version\r\x01TID: x\rbody\r");
  Base.SetKludge("\x01PID:", "\x01PID: new");
  EXPECT_EQ("\x01MSGID: 1:1/1 0001\r\x01PID: new\r\x01TID: x\rbody\r", Base.Text());
  EXPECT_TRUE(AtEnd());
  Base.PutString("more");
  EXPECT_EQ("\x01MSGID: 1:1/1 0001\r\x01PID: new\r\x01TID: x\rbody\rmore\r", Base.Text());
}

TEST_F(MessageBaseTest, AddKludgeStepsOverOneLeadingLineOnly) {
  Base.SetText("AREA:TEST\r\x01MSGID: a\rbody\r");
  EXPECT_EQ(20, Base.AfterLastKludge());
  Base.AddKludge("\x01PID: p");
  EXPECT_EQ("AREA:TEST\r\x01MSGID: a\r\x01PID: p\rbody\r", Base.Text());
  EXPECT_TRUE(AtEnd());

  Base.SetText("first\rsecond\r\x01MSGID: a\r");
  EXPECT_EQ(0, Base.AfterLastKludge());
  Base.AddKludge("\x01PID: p");
  EXPECT_EQ("\x01PID: p\rfirst\rsecond\r\x01MSGID: a\r", Base.Text());

  Base.SetText("\x01MSGID: a\r\x01PID: p\r");
  EXPECT_EQ(Base.GetTextSize(), Base.AfterLastKludge());
  Base.AddKludge("\x01TID: t");
  EXPECT_EQ("\x01MSGID: a\r\x01PID: p\r\x01TID: t\r", Base.Text());
  EXPECT_TRUE(AtEnd());
}

TEST_F(MessageBaseTest, DeleteKludge) {
  const std::string Text = "\x01MSGID: a\r\x01PID: p\rbody\r";
  Base.SetText(Text);
  Base.DeleteKludge("\x01TOPT");
  EXPECT_EQ(Text, Base.Text());
  EXPECT_TRUE(AtEnd());
  Base.DeleteKludge("\x01MSGID:");
  EXPECT_EQ("\x01PID: p\rbody\r", Base.Text());
  EXPECT_TRUE(AtEnd());
}

TEST_F(MessageBaseTest, GetKludgeSearchesTheWholeText) {
  Base.SetText("\x01MSGID: a\rbody\r\x01Via here\r");
  std::string Value;
  EXPECT_TRUE(Base.GetKludge("\x01Via", Value));
  EXPECT_EQ("\x01Via here", Value);
  EXPECT_EQ(15, Base.KludgeStart);
  EXPECT_EQ(25, Base.KludgeEnd);
  EXPECT_FALSE(Base.GetKludge("\x01via", Value));  // case-sensitive
  EXPECT_EQ(25, Base.KludgeEnd);                   // untouched by a failed search
  EXPECT_EQ(15, Base.KludgeStart);                 // start of the last line read

  Base.SetText("\x01" + std::string(400, 'k') + "\r");
  EXPECT_TRUE(Base.GetKludge("\x01kk", Value));
  EXPECT_EQ(254u, Value.size());
}

TEST_F(MessageBaseTest, EditsKeepLongTails) {
  std::string Body;
  for (int I = 0; I < 3000; ++I) Body += "line " + std::to_string(I) + "\r";
  Base.SetText("\x01MSGID: a\r" + Body);
  Base.SetKludge("\x01MSGID:", "\x01MSGID: much longer than before");
  Base.AddKludge("\x01PID: p");
  EXPECT_EQ("\x01MSGID: much longer than before\r\x01PID: p\r" + Body, Base.Text());
}

TEST_F(MessageBaseTest, EchomailGetsOnlyMsgId) {
  Base.SetBaseType(btEchomail);
  Base.SetFromAndToAddress({2, 5020, 100, 7}, {2, 5020, 1, 3}, true);
  EXPECT_EQ("\x01MSGID: 2:5020/100.7 a37c2000\r", Base.Text());
}

TEST_F(MessageBaseTest, NetmailAddressLinesInOrder) {
  Base.SetBaseType(btNetmail);
  Base.SetFromAndToAddress({2, 5020, 100, 7}, {1, 234, 5, 3}, true);
  EXPECT_EQ(
      "\x01MSGID: 2:5020/100.7 a37c2000\r\x01INTL 1:234/5 2:5020/100\r\x01"
      "FMPT 7\r\x01TOPT 3\r",
      Base.Text());

  TAddress From;
  TAddress To;
  Base.GetFromAndToAddress(From, To);
  EXPECT_TRUE(AddressEqu({2, 5020, 100, 7}, From));
  EXPECT_TRUE(AddressEqu({1, 234, 5, 3}, To));
  EXPECT_TRUE(AtEnd());

  // Point 0 removes the point lines.
  Base.SetToAddress({1, 234, 5, 0});
  Base.SetFromAddress({2, 5020, 100, 0}, false);
  EXPECT_EQ("\x01MSGID: 2:5020/100 a37c2000\r\x01INTL 1:234/5 2:5020/100\r", Base.Text());
}

TEST_F(MessageBaseTest, SetFromAddressKeepsTheSerialUnlessAskedForANewOne) {
  Base.SetText("\x01MSGID: 1:1/1 deadbeef\rbody\r");
  Base.SetFromAddress({2, 5020, 100, 0}, false);
  EXPECT_EQ("\x01MSGID: 2:5020/100 deadbeef\rbody\r", Base.Text());
  Base.SetFromAddress({2, 5020, 100, 0}, true);
  EXPECT_EQ("\x01MSGID: 2:5020/100 a37c2000\rbody\r", Base.Text());
  // A line without a serial gets a fresh one.
  Base.SetText("\x01MSGID: 1:1/1\r");
  Base.SetFromAddress({2, 5020, 100, 0}, false);
  EXPECT_EQ("\x01MSGID: 2:5020/100 a37c2001\r", Base.Text());
}

TEST_F(MessageBaseTest, AddressesReadBackKeepWhatNoLineSupplies) {
  Base.SetText(
      "\x01INTL 2:5020/1 1:1/9\rtext\r\x01"
      "FMPT 4\r");
  TAddress From{7, 7, 7, 7};
  Base.GetFromAddress(From);
  EXPECT_TRUE(AddressEqu({1, 1, 9, 4}, From));
  TAddress To{7, 7, 7, 7};
  Base.GetToAddress(To);
  EXPECT_TRUE(AddressEqu({2, 5020, 1, 7}, To));

  // The first line counts even without the control byte; later lines win.
  Base.SetText("nothing\r\x01MSGID: 3:3/3.3 1\r\x01MSGID: 4:4/4 2\r");
  ClearAddress(From);
  Base.GetFromAddress(From);
  EXPECT_TRUE(AddressEqu({4, 4, 4, 0}, From));
}

TEST_F(MessageBaseTest, OriginLineIsAtMost79Characters) {
  Base.PutOrigin({2, 5020, 100, 0}, std::string(200, 'o'));
  const std::string Line = Base.Text();
  ASSERT_EQ(80u, Line.size());  // with its carriage return
  EXPECT_EQ(" * Origin: ", Line.substr(0, 11));
  EXPECT_EQ(" (2:5020/100)\r", Line.substr(66));

  Base.SetText("");
  Base.PutOrigin({2, 5020, 100, 7}, "Home");
  EXPECT_EQ(" * Origin: Home (2:5020/100.7)\r", Base.Text());

  // A zero byte ends the text; the address the tossers read stays.
  Base.SetText("");
  Base.PutOrigin({2, 5020, 100, 0}, std::string("orig\0in", 7));
  EXPECT_EQ(" * Origin: orig (2:5020/100)\r", Base.Text());
}

TEST_F(MessageBaseTest, AttributesLine) {
  EXPECT_EQ("", GetAttributesLine(Base));
  Base.SetAttribute(maPrivate, true);
  Base.SetAttribute(maLocal, true);
  EXPECT_EQ("Pvt Loc", GetAttributesLine(Base));
  Base.Attributes = 0xFFFF;
  EXPECT_EQ("Pvt Cra Rcv Snt Att Trs Orp K/s Loc Hld FRq RRq RRc ARq URq Scn",
            GetAttributesLine(Base));
}

TEST(MessageBaseFreeTest, DateTimeLine) {
  TMessageBaseDateTime D;
  D.Year = 2004;
  D.Month = 3;
  D.Day = 5;
  D.Hour = 7;
  D.Minute = 8;
  D.Second = 9;
  D.Sec100 = 5;
  EXPECT_EQ("2004/03/05 07:08:09.05", GetDateTimeLine(D));
  D.Year = 12345;
  D.Sec100 = 123;
  EXPECT_EQ("12345/03/05 07:08:09.123", GetDateTimeLine(D));
}

TEST_F(MessageBaseTest, Navigation) {
  Base.Messages = {2, 5, 9};
  Base.Seek(3);
  EXPECT_EQ(5, Base.Current());
  EXPECT_TRUE(Base.SeekFound());
  Base.SeekNext();
  EXPECT_EQ(9, Base.Current());
  Base.SeekNext();
  EXPECT_EQ(0, Base.Current());
  EXPECT_FALSE(Base.SeekFound());
  Base.Seek(10);
  EXPECT_EQ(0, Base.Current());
  Base.Seek(-7);
  EXPECT_EQ(2, Base.Current());
  Base.SetCurrent(9);
  Base.SeekPrev();
  EXPECT_EQ(5, Base.Current());
  Base.SeekPrev();
  Base.SeekPrev();
  EXPECT_EQ(0, Base.Current());
}

TEST_F(MessageBaseTest, FlagsAndState) {
  Base.SetBaseType(btLocal);
  EXPECT_TRUE(Base.GetFlag(bfLocal));
  EXPECT_FALSE(Base.GetFlag(bfNetmail));
  Base.SetBaseType(btNetmail);
  EXPECT_TRUE(Base.GetFlag(bfNetmail));
  EXPECT_FALSE(Base.GetFlag(bfLocal));
  Base.SetFlag(bfEchomail, true);
  EXPECT_TRUE(Base.GetFlag(bfNetmail | bfEchomail));
  EXPECT_FALSE(Base.GetFlag(bfNetmail | bfLocal));

  Base.SetBasePath(std::string(300, 'p'));
  EXPECT_EQ(255u, Base.GetBasePath().size());
  Base.SetStatus(0x3007);
  EXPECT_EQ(0x3007, Base.GetStatus());
  EXPECT_FALSE(Base.GetRead());

  Base.ResetDateTime();
  EXPECT_EQ(2004, Base.Written.Year);
  EXPECT_EQ(2004, Base.Arrived.Year);
}

TEST_F(MessageBaseTest, TextStreamOwnership) {
  Base.PutString("kept");
  PMessageBaseStream Taken = Base.ReleaseMessageTextStream();
  ASSERT_NE(nullptr, Taken);
  EXPECT_EQ(nullptr, Base.GetMessageTextStream());
  EXPECT_EQ(5, Taken->GetSize());

  // Without a text every text operation acts on an empty text.
  EXPECT_TRUE(Base.EndOfMessage());
  EXPECT_EQ("", Base.GetString());
  Base.PutString("lost");
  std::string Value;
  EXPECT_FALSE(Base.GetKludge("\x01", Value));
  Base.AddKludge("\x01X");
  EXPECT_EQ(0, Base.AfterLastKludge());

  Base.SetMessageTextStream(std::move(Taken));
  EXPECT_EQ("kept\r", Base.Text());
}

TEST(MessageBaseDeathTest, AbstractOperationsEndTheProgram) {
  EXPECT_EXIT(
      {
        TMessageBase Bare;
        (void)Bare.Open("/tmp");
      },
      ::testing::ExitedWithCode(217), "");
}

}  // namespace
}  // namespace msgbase
