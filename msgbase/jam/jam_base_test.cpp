#include "msgbase/jam/jam_base.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "msgbase/file_helpers.h"
#include "msgbase/le_codec.h"
#include "msgbase/status.h"
#include "testing/test_support.h"

namespace msgbase {
namespace {

using testing_support::PutLE16;
using testing_support::PutLE32;
using testing_support::ReadFileBytes;
using testing_support::TBytes;
using testing_support::TTempDir;
using testing_support::WriteFileBytes;
using testing_support::WriteFileText;

// 2004-02-29 12:00:00, moving on by one hundredth at every reading so that
// message identifiers never repeat.
constexpr std::uint32_t ClockUnix = 0x4041D440;
int ClockTicks = 0;
void FakeClock(TMessageBaseDateTime& D) {
  D = TMessageBaseDateTime{12,
                           0,
                           static_cast<std::uint16_t>(ClockTicks / 100 % 60),
                           static_cast<std::uint16_t>(ClockTicks % 100),
                           29,
                           2,
                           2004};
  ++ClockTicks;
}

struct TMessage {
  std::string From = "Sysop";
  std::string To = "All";
  std::string Subject = "Test";
  std::vector<std::string> Lines;
  std::vector<std::int32_t> Attributes;
};

// A subfield as bytes: LoId, HiId, DatLen, data.
void PutSubfield(TBytes& Out, std::uint16_t Id, const std::string& Data, std::uint16_t HiId = 0) {
  PutLE16(Out, Id);
  PutLE16(Out, HiId);
  PutLE32(Out, static_cast<std::uint32_t>(Data.size()));
  Out.insert(Out.end(), Data.begin(), Data.end());
}

void PutJamHeader(TBytes& Out, std::uint32_t SubfieldLen, std::uint32_t MsgIdCrc,
                  std::uint32_t Written, std::uint32_t Processed, std::uint32_t Number,
                  std::uint32_t Attribute, std::uint32_t Offset, std::uint32_t TxtLen) {
  Out.insert(Out.end(), {'J', 'A', 'M', 0, 1, 0, 0, 0});
  for (const std::uint32_t V : {SubfieldLen, 0u, MsgIdCrc, JamNoCrc, 0u, 0u, 0u, Written, 0u,
                                Processed, Number, Attribute, 0u, Offset, TxtLen, JamNoCrc, 0u}) {
    PutLE32(Out, V);
  }
}

TBytes Slice(const TBytes& Bytes, std::size_t From, std::size_t Count) {
  return TBytes(Bytes.begin() + static_cast<std::ptrdiff_t>(From),
                Bytes.begin() + static_cast<std::ptrdiff_t>(From + Count));
}

std::vector<std::string> TextLines(TMessageBase& Base) {
  std::vector<std::string> Lines;
  Base.SetTextPos(0);
  while (!Base.EndOfMessage()) Lines.push_back(Base.GetString());
  return Lines;
}

class JamBaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClockTicks = 0;
    SetClockSource(&FakeClock);
    ResetMessageIdSerials();
  }
  void TearDown() override { SetClockSource(nullptr); }

  // A file of the base as a new base names it: the extension in lower case.
  std::string File(std::string Extension) const {
    for (char& Ch : Extension) Ch = static_cast<char>(Ch >= 'A' && Ch <= 'Z' ? Ch + 32 : Ch);
    return Dir.File("area." + Extension);
  }
  std::vector<TBytes> AllFiles() const {
    return {ReadFileBytes(File("JHR")), ReadFileBytes(File("JDX")), ReadFileBytes(File("JDT")),
            ReadFileBytes(File("JLR"))};
  }

  std::unique_ptr<TJamMessageBase> OpenBase(TBaseType Type = btEchomail) {
    auto Base = std::make_unique<TJamMessageBase>();
    if (!Base->Open(Path)) ADD_FAILURE() << "open failed: " << Base->GetStatus();
    Base->SetBaseType(Type);
    return Base;
  }

  // A line of any length (PutString cuts at 255 characters).
  static void PutLine(TMessageBase& Base, const std::string& Line) {
    for (std::size_t At = 0; At < Line.size(); At += 1000) {
      const std::string Piece = Line.substr(At, 1000);
      Base.WriteText(Piece.data(), static_cast<std::uint16_t>(Piece.size()));
    }
    Base.WriteText("\r", 1);
  }

  // CreateNewMessage, the fields and lines, WriteMessage, CloseMessage.
  static bool Post(TJamMessageBase& Base, const TMessage& M) {
    if (!Base.CreateNewMessage()) return false;
    Base.SetFrom(M.From);
    Base.SetTo(M.To);
    Base.SetSubject(M.Subject);
    for (const std::int32_t A : M.Attributes) Base.SetAttribute(A, true);
    for (const std::string& Line : M.Lines) PutLine(Base, Line);
    const bool Written = Base.WriteMessage();
    (void)Base.CloseMessage();  // the text is not needed any more
    return Written;
  }

  // A closed base holding Count simple messages, "Body N" each.
  void MakeBase(int Count) {
    TJamMessageBase Base;
    ASSERT_TRUE(Base.Create(Path));
    Base.SetBaseType(btEchomail);
    for (int N = 1; N <= Count; ++N) {
      TMessage M;
      M.To = "User" + std::to_string(N);
      M.Lines = {"\x01MSGID: 2:5020/100 0000000" + std::to_string(N), "Body " + std::to_string(N),
                 "SEEN-BY: 5020/100"};
      ASSERT_TRUE(Post(Base, M));
    }
    Base.Close();
  }

  TTempDir Dir;
  std::string Path = Dir.File("area");
};

TEST_F(JamBaseTest, CreateWritesBaseHeaderAndThreeEmptyFiles) {
  TJamMessageBase Base;
  EXPECT_FALSE(Base.Exist(Path));
  ASSERT_TRUE(Base.Create(Path));
  EXPECT_TRUE(Base.GetOpened());
  EXPECT_EQ(Base.GetBasePath(), Path + ".");
  EXPECT_TRUE(Base.Exist(Path));
  EXPECT_TRUE(Base.Exist(Path + "."));

  TBytes Header{'J', 'A', 'M', 0};
  PutLE32(Header, ClockUnix);  // created
  PutLE32(Header, 0);          // modification counter
  PutLE32(Header, 0);          // active messages
  PutLE32(Header, JamNoCrc);   // no password
  PutLE32(Header, 1);          // first number
  Header.resize(1024, 0);
  const auto Files = AllFiles();
  EXPECT_BYTES_EQ(Header, Files[0]);
  EXPECT_TRUE(Files[1].empty());
  EXPECT_TRUE(Files[2].empty());
  EXPECT_TRUE(Files[3].empty());
  EXPECT_EQ(Base.GetHighest(), 1);
  EXPECT_EQ(Base.GetCount(), 0);
}

TEST_F(JamBaseTest, NewMessageAddsHeaderSubfieldsIndexAndText) {
  TJamMessageBase Base;
  ASSERT_TRUE(Base.Create(Path));
  Base.SetBaseType(btEchomail);
  ASSERT_TRUE(Base.CreateNewMessage());
  EXPECT_EQ(Base.Current(), 2);
  EXPECT_EQ(Base.GetHighest(), 2);
  Base.SetFrom("Sysop");
  Base.SetTo("All");
  Base.SetSubject("Test");
  Base.SetAttribute(maLocal, true);
  Base.SetAttribute(maPrivate, true);
  Base.SetAttribute(maScanned, true);  // no JAM bit: not stored
  Base.SetWrittenDateTime({13, 45, 30, 0, 11, 8, 2004});
  Base.SetArrivedDateTime({3, 4, 6, 0, 2, 1, 2005});
  for (const char* Line :
       {"\x01MSGID: 2:5020/100 12345678", "\x01PID: Vellumar", "Hello", "--- Vellumar",
        " * Origin: x (2:5020/100)", "SEEN-BY: 5020/100", "\x01PATH: 5020/100"}) {
    Base.PutString(Line);
  }
  ASSERT_TRUE(Base.WriteMessage());

  TBytes Subfields;
  PutSubfield(Subfields, 2, "Sysop");
  PutSubfield(Subfields, 0, "2:5020/100.0");
  PutSubfield(Subfields, 3, "All");
  PutSubfield(Subfields, 1, "2:5020/100.0");  // echomail: the origin address again
  PutSubfield(Subfields, 6, "Test");
  PutSubfield(Subfields, 4, "2:5020/100 12345678");
  PutSubfield(Subfields, 7, "Vellumar");
  PutSubfield(Subfields, 2001, "5020/100");
  PutSubfield(Subfields, 2002, "5020/100");
  const std::string Text = "Hello\r--- Vellumar\r * Origin: x (2:5020/100)\r";
  TBytes Header;
  PutJamHeader(Header, static_cast<std::uint32_t>(Subfields.size()), 0xD07EA02E, 0x411A22FA,
               0x41D764A6, 1, 0x01000005, 0, static_cast<std::uint32_t>(Text.size()));
  Header.insert(Header.end(), Subfields.begin(), Subfields.end());
  TBytes Index;
  PutLE32(Index, 0xC4E78E22);  // name CRC of "all"
  PutLE32(Index, 1024);

  auto Files = AllFiles();
  ASSERT_EQ(Files[0].size(), 1024 + Header.size());
  EXPECT_BYTES_EQ(Header, Slice(Files[0], 1024, Header.size()));
  EXPECT_BYTES_EQ(Index, Files[1]);
  EXPECT_BYTES_EQ(TBytes(Text.begin(), Text.end()), Files[2]);
  EXPECT_EQ(Files[0][12], 1);  // the base header is committed with the message

  ASSERT_TRUE(Base.CloseMessage());
  EXPECT_FALSE(Base.CloseMessage());
  Base.Close();
  Files = AllFiles();
  TBytes Counters;
  PutLE32(Counters, 1);  // modification counter
  PutLE32(Counters, 1);  // active messages
  EXPECT_BYTES_EQ(Counters, Slice(Files[0], 8, 8));
}

TEST_F(JamBaseTest, LinesBecomeSubfieldsOrText) {
  const std::string LongText(20000, 't');
  const std::string LongKludge = "\x01X" + std::string(298, 'k');
  TJamMessageBase Base;
  ASSERT_TRUE(Base.Create(Path));
  Base.SetBaseType(btLocal);
  TMessage M;
  M.Subject = "";
  M.Attributes = {maFileAttached, maFileRequest};
  M.Lines = {"\x01REPLY: 2:5020/1 abcd",
             "\x01"
             "FLAGS: DIR",
             "\x01TZUTC: 0300",
             "Body",
             "\x01INTL 2:5020/1 2:5020/100",
             "\x01"
             "FMPT 7",
             "\x01TOPT 3",
             "\x01Via 2:5020/100 x",
             "SEEN-BY: 1/2 3",
             "seen-by: lower case stays text",
             LongText,
             LongKludge};
  ASSERT_TRUE(Post(Base, M));

  Base.SetLocation(1);
  ASSERT_TRUE(Base.OpenMessageHeader());
  std::vector<std::pair<std::int32_t, std::string>> Fields;
  std::int32_t Id = 0;
  std::string S;
  for (std::int32_t N = 1; Base.GetSubfield(N, Id, S); ++N) Fields.emplace_back(Id, S);
  const std::vector<std::pair<std::int32_t, std::string>> Expected{
      {2, "Sysop"},
      {0, "2:5020/100.7"},
      {3, "All"},
      {1, "2:5020/1.3"},
      {9, ""},
      {11, ""},  // file attach and request repeat the (empty) subject
      {5, "2:5020/1 abcd"},
      {2003, "DIR"},
      {2000, "TZUTC: 0300"},
      {8, "2:5020/100 x"},
      {2001, "1/2 3"},
      {2000, LongKludge.substr(1, 254)}};
  EXPECT_EQ(Fields, Expected);

  TJamMessageHeaderFirst Header;
  Base.GetMessageHeader(Header);
  EXPECT_EQ(Header.ReplyCrc, TJamMessageBase::StrCRC32("2:5020/1 abcd"));
  EXPECT_EQ(Header.MsgIdCrc, JamNoCrc);
  EXPECT_EQ(Header.Attribute, jaFileAttach | jaFileRequest | jaTypeLocal);
  const std::string Text = "Body\rseen-by: lower case stays text\r" + LongText + "\r";
  EXPECT_EQ(Header.TxtLen, Text.size());
  EXPECT_BYTES_EQ(TBytes(Text.begin(), Text.end()), ReadFileBytes(File("JDT")));
}

TEST_F(JamBaseTest, NetmailAddressLinesAreDroppedAndRestored) {
  {
    TJamMessageBase Base;
    ASSERT_TRUE(Base.Create(Path));
    Base.SetBaseType(btNetmail);
    ASSERT_TRUE(Base.CreateNewMessage());
    Base.SetFromAndToAddress({2, 5020, 100, 7}, {2, 5030, 200, 3}, true);
    Base.PutString("Hi");
    ASSERT_TRUE(Base.WriteMessage());
    TJamMessageHeaderFirst Header;
    Base.GetMessageHeader(Header);
    EXPECT_EQ(Header.Attribute, jaTypeNet);
    std::int32_t Id = 0;
    std::string S;
    ASSERT_TRUE(Base.GetSubfield(2, Id, S));
    EXPECT_EQ(Id, 0);
    EXPECT_EQ(S, "2:5020/100.7");
    ASSERT_TRUE(Base.GetSubfield(4, Id, S));
    EXPECT_EQ(Id, 1);
    EXPECT_EQ(S, "2:5030/200.3");
  }
  const std::string Text = "Hi\r";
  EXPECT_BYTES_EQ(TBytes(Text.begin(), Text.end()), ReadFileBytes(File("JDT")));

  auto Base = OpenBase(btNetmail);
  Base->SetLocation(1);
  ASSERT_TRUE(Base->OpenMessage());
  const std::vector<std::string> Lines = TextLines(*Base);
  ASSERT_EQ(Lines.size(), 5u);
  EXPECT_EQ(Lines[0].substr(0, 20), "\x01MSGID: 2:5020/100.7");
  EXPECT_EQ(Lines[1], "\x01INTL 2:5030/200 2:5020/100");
  EXPECT_EQ(Lines[2],
            "\x01"
            "FMPT 7");
  EXPECT_EQ(Lines[3], "\x01TOPT 3");
  EXPECT_EQ(Lines[4], "Hi");
  TAddress From;
  TAddress To;
  Base->GetFromAndToAddress(From, To);
  EXPECT_TRUE(AddressEqu(From, {2, 5020, 100, 7}));
  EXPECT_TRUE(AddressEqu(To, {2, 5030, 200, 3}));
}

TEST_F(JamBaseTest, RoundTripKeepsFieldsAndOrdersLines) {
  {
    TJamMessageBase Base;
    ASSERT_TRUE(Base.Create(Path));
    Base.SetBaseType(btEchomail);
    TMessage M;
    M.From = std::string(300, 'f');
    M.To = "Somebody";
    M.Subject = "files.zip";
    M.Attributes = {maFileAttached, maCrash, maKillSent, maAuditRequest, maReturnReceiptRequest};
    M.Lines = {
        "\x01"
        "PATH: 5020/1",
        "SEEN-BY: 5020/1",
        "\x01MSGID: 2:5020/100 11111111",
        "First",
        "\x01Via one",
        "SEEN-BY: 5020/2",
        "Second",
        "\x01"
        "CHRS: CP866 2",
        "\x01Via two"};
    ASSERT_TRUE(Post(Base, M));
    ASSERT_TRUE(Base.CreateNewMessage());
    Base.SetWrittenDateTime({1, 2, 4, 0, 5, 6, 2007});
    Base.SetArrivedDateTime({7, 8, 10, 0, 11, 12, 2008});
    ASSERT_TRUE(Base.WriteMessage());
  }
  auto Base = OpenBase();
  EXPECT_EQ(Base->GetCount(), 2);
  Base->Seek(1);
  ASSERT_TRUE(Base->OpenMessage());
  EXPECT_EQ(Base->GetFrom(), std::string(255, 'f'));
  EXPECT_EQ(Base->GetTo(), "Somebody");
  EXPECT_EQ(Base->GetSubject(), "files.zip");
  for (const std::int32_t A :
       {maFileAttached, maCrash, maKillSent, maAuditRequest, maReturnReceiptRequest, maTypeEcho}) {
    EXPECT_TRUE(Base->GetAttribute(A)) << A;
  }
  EXPECT_FALSE(Base->GetAttribute(maPrivate));
  EXPECT_FALSE(Base->GetAttribute(maTypeNet));
  const std::vector<std::string> Expected{"\x01MSGID: 2:5020/100 11111111",
                                          "\x01"
                                          "CHRS: CP866 2",
                                          "First",
                                          "Second",
                                          "\x01Via one",
                                          "\x01Via two",
                                          "SEEN-BY: 5020/1",
                                          "SEEN-BY: 5020/2",
                                          "\x01"
                                          "PATH: 5020/1"};
  EXPECT_EQ(TextLines(*Base), Expected);

  ASSERT_TRUE(Base->OpenMessageHeader());
  EXPECT_EQ(TextLines(*Base), std::vector<std::string>(Expected.begin(), Expected.begin() + 2));

  Base->SeekNext();
  ASSERT_EQ(Base->Current(), 2);
  ASSERT_TRUE(Base->OpenMessage());
  TMessageBaseDateTime D;
  Base->GetWrittenDateTime(D);
  EXPECT_EQ(GetDateTimeLine(D), "2007/06/05 01:02:04.00");
  Base->GetArrivedDateTime(D);
  EXPECT_EQ(GetDateTimeLine(D), "2008/12/11 07:08:10.00");
  EXPECT_TRUE(TextLines(*Base).empty());
}

TEST_F(JamBaseTest, RewrittenMessageKeepsItsNumberAndPointsAtANewHeader) {
  MakeBase(2);
  const auto Before = AllFiles();
  {
    auto Base = OpenBase();
    Base->SetLocation(1);
    ASSERT_TRUE(Base->OpenMessage());
    Base->SetSubject("Changed");
    ASSERT_TRUE(Base->WriteMessage());
    EXPECT_EQ(Base->GetCount(), 2);
  }
  const auto After = AllFiles();
  // The old header and text stay in place; new ones are appended.
  EXPECT_EQ(Slice(After[0], 24, Before[0].size() - 24),
            Slice(Before[0], 24, Before[0].size() - 24));
  EXPECT_EQ(Slice(After[2], 0, Before[2].size()), Before[2]);
  TJamIndex First;
  ASSERT_TRUE(DecodeJamIndex(After[1], First));
  EXPECT_EQ(First.HdrOffset, Before[0].size());
  EXPECT_EQ(Slice(After[1], 8, 8), Slice(Before[1], 8, 8));
  EXPECT_EQ(After[0][8], 3);  // modification counter

  auto Base = OpenBase();
  Base->SetLocation(1);
  ASSERT_TRUE(Base->OpenMessage());
  EXPECT_EQ(Base->GetSubject(), "Changed");
  EXPECT_EQ(TextLines(*Base), (std::vector<std::string>{"\x01MSGID: 2:5020/100 00000001", "Body 1",
                                                        "SEEN-BY: 5020/100"}));
}

TEST_F(JamBaseTest, NumbersAreNavigatedPositionally) {
  MakeBase(3);
  auto Base = OpenBase();
  EXPECT_EQ(Base->GetHighest(), 4);
  EXPECT_TRUE(Base->Exists(3));
  EXPECT_FALSE(Base->Exists(4));
  EXPECT_FALSE(Base->Exists(0));
  std::vector<std::int32_t> Visited;
  for (Base->Seek(1); Base->SeekFound(); Base->SeekNext()) Visited.push_back(Base->Current());
  EXPECT_EQ(Visited, (std::vector<std::int32_t>{1, 2, 3}));
  Visited.clear();
  for (Base->SetLocation(9); Base->SeekPrev(), Base->SeekFound();) {
    Visited.push_back(Base->Current());
  }
  EXPECT_EQ(Visited, (std::vector<std::int32_t>{3, 2, 1}));
  Base->SetLocation(4);
  EXPECT_FALSE(Base->OpenMessage());
  EXPECT_EQ(Base->GetStatus(), stJamStreamProblems);
  EXPECT_EQ(Base->GetMessageTextStream(), nullptr);
  Base->Close();

  // A base that starts near the top of the range is walked without visiting
  // every number below it.
  TBytes Header = ReadFileBytes(File("JHR"));
  Header[23] = 0x7F;
  Header[22] = Header[21] = 0xFF;
  ASSERT_TRUE(WriteFileBytes(File("JHR"), Header));
  Base = OpenBase();
  Visited.clear();
  for (Base->Seek(1); Base->SeekFound(); Base->SeekNext()) Visited.push_back(Base->Current());
  EXPECT_EQ(Visited, (std::vector<std::int32_t>{0x7FFFFF01, 0x7FFFFF02, 0x7FFFFF03}));
  Base->SetLocation(0x7FFFFF01);
  Base->SeekPrev();
  EXPECT_FALSE(Base->SeekFound());
}

TEST_F(JamBaseTest, KillMessageCompactsIndexAndMovesLastRead) {
  MakeBase(3);
  const TBytes Index = ReadFileBytes(File("JDX"));
  {
    auto Base = OpenBase();
    Base->SetLastRead(7, 3);
    Base->SetLastRead(8, 1);
    Base->SetLastRead(9, 2);
    Base->SetLocation(2);
    ASSERT_TRUE(Base->KillMessage());
    EXPECT_EQ(Base->Current(), 1);
    EXPECT_EQ(Base->GetCount(), 2);
    EXPECT_EQ(Base->GetLastRead(7), 2);  // still the message it was
    EXPECT_EQ(Base->GetLastRead(8), 1);
    EXPECT_EQ(Base->GetLastRead(9), 1);  // its message is gone: the one before
  }
  TBytes Expected = Slice(Index, 0, 8);
  const TBytes Third = Slice(Index, 16, 8);
  Expected.insert(Expected.end(), Third.begin(), Third.end());
  EXPECT_BYTES_EQ(Expected, ReadFileBytes(File("JDX")));
  TBytes LastRead;
  for (const std::uint32_t V : {7u, 7u, 2u, 2u, 8u, 8u, 1u, 1u, 9u, 9u, 1u, 1u}) {
    PutLE32(LastRead, V);
  }
  EXPECT_BYTES_EQ(LastRead, ReadFileBytes(File("JLR")));
  EXPECT_EQ(ReadFileBytes(File("JHR"))[12], 2);  // active messages

  auto Base = OpenBase();
  Base->SetLocation(2);
  ASSERT_TRUE(Base->OpenMessage());
  EXPECT_EQ(Base->GetTo(), "User3");
  TJamMessageHeaderFirst Header;
  Base->GetMessageHeader(Header);
  EXPECT_EQ(Header.MessageNumber, 3u);  // stored numbers are not rewritten
}

TEST_F(JamBaseTest, KillMessageWithoutStoredCurrentChangesNothing) {
  MakeBase(2);
  const auto Before = AllFiles();
  {
    auto Base = OpenBase();
    EXPECT_EQ(Base->Current(), 0);
    EXPECT_FALSE(Base->KillMessage());
    EXPECT_EQ(Base->GetStatus(), stJamWrongHeaderLocation);
    Base->SetLocation(3);
    EXPECT_FALSE(Base->KillMessage());
    ASSERT_TRUE(Base->CreateNewMessage());  // pending: nothing to remove yet
    Base->SetLocation(1);
    EXPECT_FALSE(Base->KillMessage());
    EXPECT_EQ(Base->GetCount(), 3);
  }
  EXPECT_EQ(AllFiles(), Before);  // the abandoned message was given back too
}

TEST_F(JamBaseTest, LastReadRecordsAreFoundUpdatedAndAppended) {
  MakeBase(1);
  auto Base = OpenBase();
  EXPECT_EQ(Base->GetLastRead(5), 0);
  Base->SetLastRead(5, 1);
  Base->SetLastRead(6, 0x12345);
  Base->SetLastRead(5, 4);
  EXPECT_EQ(Base->GetLastRead(5), 4);
  EXPECT_EQ(Base->GetLastRead(6), 0x12345);
  TBytes Expected;
  for (const std::uint32_t V : {5u, 5u, 4u, 4u, 6u, 6u, 0x12345u, 0x12345u}) {
    PutLE32(Expected, V);
  }
  EXPECT_BYTES_EQ(Expected, ReadFileBytes(File("JLR")));
}

TEST_F(JamBaseTest, ReadMarkReachesDiskThroughWriteMessageHeader) {
  MakeBase(2);
  const TBytes Before = ReadFileBytes(File("JHR"));
  auto Base = OpenBase();
  Base->SetLocation(2);
  ASSERT_TRUE(Base->OpenMessageHeader());
  EXPECT_FALSE(Base->GetRead());
  Base->SetRead(true);
  Base->SetRead(true);
  EXPECT_TRUE(Base->GetRead());
  ASSERT_TRUE(Base->WriteMessageHeader());
  TJamIndex Index;
  ASSERT_TRUE(DecodeJamIndex(Slice(ReadFileBytes(File("JDX")), 8, 8), Index));
  TBytes Expected = Before;
  Expected[Index.HdrOffset + 12] = 2;  // TimesRead, and nothing else

  EXPECT_BYTES_EQ(Expected, ReadFileBytes(File("JHR")));
  Base->SetRead(false);
  EXPECT_FALSE(Base->GetRead());

  ASSERT_TRUE(Base->CreateNewMessage());
  EXPECT_FALSE(Base->WriteMessageHeader());  // not stored yet: no header to rewrite
  EXPECT_EQ(Base->GetStatus(), stJamWrongHeaderLocation);
}

TEST_F(JamBaseTest, AbandonedNewMessageGivesItsNumberBack) {
  MakeBase(1);
  {
    auto Base = OpenBase();
    ASSERT_TRUE(Base->CreateNewMessage());
    EXPECT_EQ(Base->GetCount(), 2);
    ASSERT_TRUE(Base->CloseMessage());
    EXPECT_EQ(Base->GetCount(), 1);
    ASSERT_TRUE(Base->CreateNewMessage());
    ASSERT_TRUE(Base->CreateNewMessage());
    EXPECT_EQ(Base->GetCount(), 2);
  }
  EXPECT_EQ(ReadFileBytes(File("JHR"))[12], 1);
}

TEST_F(JamBaseTest, OverfullSubfieldsAreRefusedWithoutWriting) {
  MakeBase(1);
  const auto Before = AllFiles();
  {
    auto Base = OpenBase();
    TMessage M;
    for (int N = 0; N < 70; ++N) M.Lines.push_back("SEEN-BY: " + std::string(240, 'x'));
    EXPECT_FALSE(Post(*Base, M));
    EXPECT_EQ(Base->GetStatus(), stJamStreamProblems);
    EXPECT_EQ(Base->GetCount(), 1);
    EXPECT_EQ(AllFiles(), Before);
    M.Lines.resize(50);  // about 12 KB of subfields fit
    ASSERT_TRUE(Post(*Base, M));
  }
  auto Base = OpenBase();
  Base->SetLocation(2);
  ASSERT_TRUE(Base->OpenMessage());
  EXPECT_EQ(TextLines(*Base).size(), 50u);
  EXPECT_EQ(Slice(ReadFileBytes(File("JDX")), 0, 8), Before[1]);
}

TEST_F(JamBaseTest, FailedWriteReportsStreamProblemsAndLeavesBaseIntact) {
  MakeBase(1);
  const auto Before = AllFiles();
  auto Base = OpenBase();
  ASSERT_TRUE(Base->CreateNewMessage());
  Base->PutString("a text that still fits");
  for (int N = 0; N < 20; ++N) Base->PutString("SEEN-BY: " + std::string(60, 'y'));

  // A file size limit makes the header write fail part way, as a full disk would.
  rlimit Old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &Old), 0);
  const auto OldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit Limit = Old;
  Limit.rlim_cur = Before[0].size() + 200;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &Limit), 0);
  const bool Written = Base->WriteMessage();
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &Old), 0);
  std::signal(SIGXFSZ, OldHandler);

  EXPECT_FALSE(Written);
  EXPECT_EQ(Base->GetStatus(), stJamStreamProblems);
  EXPECT_EQ(AllFiles(), Before);
  ASSERT_TRUE(Base->WriteMessage());  // room again: the same message goes in
  ASSERT_TRUE(Base->CloseMessage());
  Base->Close();
  EXPECT_EQ(ReadFileBytes(File("JDX")).size(), 16u);
  EXPECT_EQ(ReadFileBytes(File("JHR"))[12], 2);
}

// A message's commit that cannot write the record or the base header fails
// the write and leaves the files as they were; Close then has nothing to do.
TEST_F(JamBaseTest, FailedCommitLeavesTheFilesAndCloseSucceeds) {
  MakeBase(1);
  const auto Before = AllFiles();
  auto Base = OpenBase();
  Base->SetStatus(stJamUnknownSubfield);  // left over from an earlier call
  TMessage M;
  {
    testing_support::TFileSizeLimit Limit(100);  // less than the record
    EXPECT_FALSE(Post(*Base, M));
  }
  EXPECT_EQ(Base->GetStatus(), stJamStreamProblems);
  Base->Close();
  EXPECT_EQ(Base->GetStatus(), stOk);
  EXPECT_EQ(AllFiles(), Before);
}

// A message with an origin address but no MSGID subfield (valid JAM, as other
// software writes it) reads back without a MSGID line, draws no serial, and
// still reports its address.
std::int32_t ClockReadings = 0;
void CountingClock(TMessageBaseDateTime& D) {
  ++ClockReadings;
  D = {10, 20, 30, static_cast<std::uint16_t>(ClockReadings % 100), 5, 3, 2004};
}

TEST_F(JamBaseTest, ReadingInventsNoControlLine) {
  {
    TJamMessageBase Base;
    ASSERT_TRUE(Base.Create(Path));
    Base.SetBaseType(btNetmail);
    TMessage M;
    M.Lines = {"\x01INTL 2:5030/200 2:5020/100",
               "\x01"
               "FMPT 7",
               "Hi"};
    ASSERT_TRUE(Post(Base, M));
  }
  SetClockSource(CountingClock);
  ClockReadings = 0;
  for (const TBaseType Type : {btEchomail, btNetmail}) {
    auto Base = OpenBase(Type);
    Base->SetLocation(1);
    ASSERT_TRUE(Base->OpenMessage());
    std::string Line;
    EXPECT_FALSE(Base->GetKludge("\x01MSGID", Line)) << Line;
    TAddress From;
    Base->GetFromAddress(From);
    EXPECT_TRUE(AddressEqu(From, {2, 5020, 100, 7}));
    const std::vector<std::string> Expected =
        Type == btNetmail ? std::vector<std::string>{"\x01INTL 2:5030/200 2:5020/100",
                                                     "\x01"
                                                     "FMPT 7",
                                                     "Hi"}
                          : std::vector<std::string>{"Hi"};
    EXPECT_EQ(TextLines(*Base), Expected);
  }
  EXPECT_EQ(ClockReadings, 0);
  SetClockSource(nullptr);
}

// Other software marks a message deleted in its header and leaves it out of
// ActiveMsgs. It keeps its number; only the count leaves it out, when the
// base is read and when it is written (a count that disagrees with the
// records is counted anew from the headers).
TEST_F(JamBaseTest, DeletedMessageKeepsItsNumberButNotItsCount) {
  MakeBase(3);
  const auto Patch32 = [this](const std::string& Extension, std::size_t At, std::uint32_t Value) {
    TBytes Data = ReadFileBytes(File(Extension));
    ASSERT_GE(Data.size(), At + 4);
    for (int I = 0; I < 4; ++I)
      Data[At + static_cast<std::size_t>(I)] = static_cast<std::uint8_t>(Value >> (8 * I));
    ASSERT_TRUE(WriteFileBytes(File(Extension), Data));
  };
  const TBytes Index = ReadFileBytes(File("JDX"));
  std::uint32_t Second = 0;
  for (int I = 3; I >= 0; --I) Second = (Second << 8) | Index[12 + static_cast<std::size_t>(I)];
  Patch32("JHR", Second + 52, jaDeleted | jaTypeEcho | jaLocal);
  for (const std::uint32_t Stored : {2u, 1u}) {  // as other software counts, and stale
    Patch32("JHR", 12, Stored);
    TJamMessageBase Reader;
    Reader.SetOpenMode(omReadOnly);
    ASSERT_TRUE(Reader.Open(Path));
    EXPECT_EQ(Reader.GetCount(), static_cast<std::int32_t>(Stored));  // read, not recounted
    EXPECT_EQ(Reader.GetHighest(), 4);
    Reader.SetLocation(2);
    ASSERT_TRUE(Reader.OpenMessage());
    EXPECT_TRUE(Reader.GetAttribute(maDeleted));
    EXPECT_EQ(Reader.GetTo(), "User2");
    Reader.Close();

    auto Writer = OpenBase();
    EXPECT_EQ(Writer->GetCount(), 2);
    Writer->SetLocation(3);
    ASSERT_TRUE(Writer->OpenMessage());
    EXPECT_FALSE(Writer->GetAttribute(maDeleted));
    Writer->Close();
    EXPECT_EQ(ReadFileBytes(File("JHR"))[12], 2);
  }
  // Maintenance software may damage the text offset and the subfield length
  // of a header it marks deleted: the message still reads, as deleted and
  // without what does not fit.
  const TBytes Intact = ReadFileBytes(File("JHR"));
  for (const std::size_t Field : {60u, 8u}) {
    Patch32("JHR", Second + Field, 0xFFFFFFB0u);
    TJamMessageBase Reader;
    Reader.SetOpenMode(omReadOnly);
    ASSERT_TRUE(Reader.Open(Path));
    Reader.SetLocation(2);
    ASSERT_TRUE(Reader.OpenMessage()) << Field;
    EXPECT_TRUE(Reader.GetAttribute(maDeleted));
    const std::vector<std::string> Lines = TextLines(Reader);
    EXPECT_EQ(std::count(Lines.begin(), Lines.end(), "Body 2"), Field == 60 ? 0 : 1);
    EXPECT_EQ(Reader.GetTo(), Field == 60 ? "User2" : "");
    Reader.Close();
    ASSERT_TRUE(WriteFileBytes(File("JHR"), Intact));
  }
  // Posting counts the new message; undeleting counts the old one again.
  auto Base = OpenBase();
  TMessage M;
  ASSERT_TRUE(Post(*Base, M));
  EXPECT_EQ(Base->GetHighest(), 5);
  EXPECT_EQ(Base->GetCount(), 3);
  Base->SetLocation(2);
  ASSERT_TRUE(Base->OpenMessage());
  Base->SetAttribute(maDeleted, false);
  ASSERT_TRUE(Base->WriteMessageHeader());
  EXPECT_EQ(Base->GetCount(), 4);
  Base->Close();
  EXPECT_EQ(ReadFileBytes(File("JHR"))[12], 4);
}

// A line is cut at its first zero byte as it goes in: the subfield and the
// text keep only what a zero-terminated reader would see.
TEST_F(JamBaseTest, ZeroByteEndsALine) {
  {
    TJamMessageBase Base;
    ASSERT_TRUE(Base.Create(Path));
    Base.SetBaseType(btEchomail);
    ASSERT_TRUE(Base.CreateNewMessage());
    Base.PutString(
        std::string("\x01"
                    "FOO: one\0two",
                    13));
    Base.PutString(std::string("Body\0hidden", 11));
    Base.PutString(
        "\x01"
        "BAR: after");
    ASSERT_TRUE(Base.WriteMessage());
  }
  auto Base = OpenBase();
  Base->SetLocation(1);
  ASSERT_TRUE(Base->OpenMessage());
  EXPECT_EQ(TextLines(*Base), (std::vector<std::string>{"\x01"
                                                        "FOO: one",
                                                        "\x01"
                                                        "BAR: after",
                                                        "Body"}));
}

// Looking at a base and closing it leaves its files as they were, bytes and
// times, and makes no lastread file; a base opened read-only refuses every
// change.
TEST_F(JamBaseTest, ReadOnlyOpenChangesNothing) {
  MakeBase(3);
  ASSERT_TRUE(KillFile(File("JLR")));
  const auto Before = testing_support::SnapshotFiles(Dir.Path());
  {
    auto Writer = OpenBase();  // opened for writing, but nothing changes
    Writer->SetLocation(1);
    ASSERT_TRUE(Writer->OpenMessage());
    Writer->Close();
    ASSERT_TRUE(KillFile(File("JLR")));  // a writer makes it
  }
  TJamMessageBase Reader;
  Reader.SetOpenMode(omReadOnly);
  ASSERT_TRUE(Reader.Open(Path));
  TJamMessageBase Second;  // readers share the base
  Second.SetOpenMode(omReadOnly);
  ASSERT_TRUE(Second.Open(Path));
  TJamMessageBase Writer;  // a writer is kept out
  EXPECT_FALSE(Writer.Open(Path));
  EXPECT_EQ(Reader.GetCount(), 3);
  Reader.SetLocation(2);
  ASSERT_TRUE(Reader.OpenMessage());
  EXPECT_EQ(Reader.GetTo(), "User2");
  EXPECT_FALSE(Reader.WriteMessage());
  EXPECT_EQ(Reader.GetStatus(), stJamReadOnly);
  EXPECT_FALSE(Reader.WriteMessageHeader());
  EXPECT_FALSE(Reader.KillMessage());
  EXPECT_FALSE(Reader.CreateNewMessage());
  Reader.SetLastRead(1, 2);
  EXPECT_EQ(Reader.GetLastRead(1), 0);
  Reader.Close();
  Second.Close();
  EXPECT_EQ(Before, testing_support::SnapshotFiles(Dir.Path()));
}

TEST_F(JamBaseTest, OpenDropsRemovedIndexRecords) {
  MakeBase(3);
  TBytes Index = ReadFileBytes(File("JDX"));
  for (std::size_t At = 0; At < 8; ++At) Index[At] = 0xFF;
  ASSERT_TRUE(WriteFileBytes(File("JDX"), Index));
  {
    // A reader numbers the messages as a writer will, and changes nothing.
    const auto Before = testing_support::SnapshotFiles(Dir.Path());
    TJamMessageBase Reader;
    Reader.SetOpenMode(omReadOnly);
    ASSERT_TRUE(Reader.Open(Path));
    EXPECT_EQ(Reader.GetHighest(), 3);
    for (const auto& [Number, To] : {std::pair{1, "User2"}, std::pair{2, "User3"}}) {
      Reader.SetLocation(Number);
      ASSERT_TRUE(Reader.OpenMessage());
      EXPECT_EQ(Reader.GetTo(), To);
    }
    Reader.Close();
    EXPECT_EQ(Before, testing_support::SnapshotFiles(Dir.Path()));
  }
  auto Base = OpenBase();
  EXPECT_EQ(Base->GetCount(), 2);
  EXPECT_BYTES_EQ(Slice(Index, 8, 16), ReadFileBytes(File("JDX")));
  Base->SetLocation(1);
  ASSERT_TRUE(Base->OpenMessage());
  EXPECT_EQ(Base->GetTo(), "User2");
}

// Opens the base as it lies and reads everything it offers; used where the
// files were damaged on purpose. Answers the status of the first refusal.
std::int32_t WalkBase(const std::string& Path) {
  TJamMessageBase Base;
  if (!Base.Open(Path)) return Base.GetStatus();
  std::int32_t Status = stOk;
  for (Base.Seek(1); Base.SeekFound(); Base.SeekNext()) {
    for (const bool Whole : {false, true}) {
      if (!(Whole ? Base.OpenMessage() : Base.OpenMessageHeader())) {
        if (Status == stOk) Status = Base.GetStatus();
        continue;
      }
      (void)TextLines(Base);
      std::int32_t Id = 0;
      std::string S;
      for (std::int32_t N = 1; Base.GetSubfield(N, Id, S); ++N) {
      }
      (void)Base.GetFrom();
    }
  }
  (void)Base.GetLastRead(1);
  return Status;
}

TEST_F(JamBaseTest, TruncatedFilesNeverCrash) {
  MakeBase(2);
  {
    auto Base = OpenBase();
    Base->SetLastRead(1, 2);
  }
  const auto Whole = AllFiles();
  for (std::size_t Which = 0; Which < Whole.size(); ++Which) {
    const std::string Name = File(std::vector<std::string>{"JHR", "JDX", "JDT", "JLR"}[Which]);
    // Every length from just below the first message header on; a stride
    // through the base header, which fails as a whole.
    for (std::size_t Length = 0; Length < Whole[Which].size();
         Length += (Which == 0 && Length < 1016) ? 61 : 1) {
      const auto Files = Whole;
      for (std::size_t K = 0; K < Files.size(); ++K) {
        ASSERT_TRUE(WriteFileBytes(File(std::vector<std::string>{"JHR", "JDX", "JDT", "JLR"}[K]),
                                   K == Which ? Slice(Files[K], 0, Length) : Files[K]));
      }
      const std::int32_t Status = WalkBase(Path);
      if (Which == 0 && Length < 1024) {
        EXPECT_EQ(Status, stJamDamagedBase) << Length;
      } else if (Which == 0 || Which == 2) {
        EXPECT_NE(Status, stOk) << Name << " cut at " << Length;
      }
    }
  }
}

TEST_F(JamBaseTest, DamagedFieldsEndInStatus) {
  MakeBase(2);
  const auto Whole = AllFiles();
  TJamIndex First;
  ASSERT_TRUE(DecodeJamIndex(Whole[1], First));
  const std::size_t H = First.HdrOffset;  // message 1's header
  struct TCase {
    const char* What;
    std::size_t File;  // 0 header, 1 index
    std::size_t At;
    std::uint32_t Value;
    std::int32_t Status;  // of the walk over the base
  };
  const std::vector<TCase> Cases{
      // A record that refers to no header is rebuilt from the headers.
      {"index points beyond the header file", 1, 4, 0x7FFFFFF0, stOk},
      {"index points into the base header", 1, 4, 16, stOk},
      {"index offset negative", 1, 4, 0x80000000, stOk},
      {"header signature broken", 0, H + 0, 0x004D414B, stJamWrongHeaderLocation},
      {"text offset beyond the text file", 0, H + 60, 0x00100000, stJamWrongDataLocation},
      {"text length beyond the text file", 0, H + 64, 0x7FFFFFFF, stJamWrongDataLocation},
      {"text offset negative", 0, H + 60, 0xFFFFFFF0, stJamWrongDataLocation},
      {"subfields run past the header file", 0, H + 8, 0xFFFFFFFF, stJamStreamProblems},
      {"subfield data length huge", 0, H + 76 + 4, 0xFFFFFFF0, stOk},
      {"active messages huge", 0, 12, 0x7FFFFFFF, stOk},
      {"first number at the top of the range", 0, 20, 0x7FFFFFFE, stJamCantOpenJhr},
      {"base header signature broken", 0, 0, 0x004D414B, stJamDamagedBase},
  };
  for (const TCase& Case : Cases) {
    auto Files = Whole;
    for (std::size_t K = 0; K < 4; ++K) {
      Files[Case.File][Case.At + K] = static_cast<std::uint8_t>(Case.Value >> (8 * K));
    }
    ASSERT_TRUE(WriteFileBytes(File("JHR"), Files[0]));
    ASSERT_TRUE(WriteFileBytes(File("JDX"), Files[1]));
    ASSERT_TRUE(WriteFileBytes(File("JDT"), Files[2]));
    EXPECT_EQ(WalkBase(Path), Case.Status) << Case.What;
  }
}

TEST_F(JamBaseTest, ReadsBaseWrittenByOtherSoftware) {
  // Base 100 onwards, subfields in another order, a HiId, an unknown id, CR LF
  // line ends, a stray attribute bit and name CRCs in the lastread file.
  TBytes Sub1;
  PutSubfield(Sub1, 6, "Hi there");
  PutSubfield(Sub1, 2, "Bob", 0x0001);
  PutSubfield(Sub1, 3, "Alice");
  PutSubfield(Sub1, 0, "2:5020/100.0");
  PutSubfield(Sub1, 2004, "+0300");
  PutSubfield(Sub1, 4, "2:5020/100 abcdef01");
  PutSubfield(Sub1, 2000, "CHRS: CP866 2");
  PutSubfield(Sub1, 2001, "5020/1 100");
  PutSubfield(Sub1, 8, "2:5020/100 @20040101.000000.UTC x");
  const std::string Text1 = "Line one\r\nLine two\r\n";
  TBytes Sub2;
  PutSubfield(Sub2, 3, "All");
  TBytes Jhr{'J', 'A', 'M', 0};
  for (const std::uint32_t V : {0x40000000u, 7u, 2u, JamNoCrc, 100u}) PutLE32(Jhr, V);
  Jhr.resize(1024, 0);
  PutJamHeader(Jhr, static_cast<std::uint32_t>(Sub1.size()), 0x033C7212, 0x411A22FA, 0, 100,
               jaLocal | jaTypeEcho | 0x40, 0, static_cast<std::uint32_t>(Text1.size()));
  Jhr.insert(Jhr.end(), Sub1.begin(), Sub1.end());
  const std::size_t Second = Jhr.size();
  PutJamHeader(Jhr, static_cast<std::uint32_t>(Sub2.size()), JamNoCrc, 0, 0, 101, jaTypeEcho,
               static_cast<std::uint32_t>(Text1.size()), 0);
  Jhr.insert(Jhr.end(), Sub2.begin(), Sub2.end());
  TBytes Jdx;
  for (const std::uint32_t V : {TJamMessageBase::StrCRC32("Alice"), 1024u, 0xC4E78E22u,
                                static_cast<std::uint32_t>(Second)}) {
    PutLE32(Jdx, V);
  }
  TBytes Jlr;
  for (const std::uint32_t V : {0x754FADB6u, 42u, 100u, 101u}) PutLE32(Jlr, V);
  ASSERT_TRUE(WriteFileBytes(File("JHR"), Jhr));
  ASSERT_TRUE(WriteFileBytes(File("JDX"), Jdx));
  ASSERT_TRUE(WriteFileBytes(File("JDT"), TBytes(Text1.begin(), Text1.end())));
  ASSERT_TRUE(WriteFileBytes(File("JLR"), Jlr));

  auto Base = OpenBase();
  EXPECT_EQ(Base->GetCount(), 2);
  EXPECT_EQ(Base->GetHighest(), 102);
  EXPECT_EQ(Base->GetLastRead(42), 100);
  Base->Seek(1);
  ASSERT_EQ(Base->Current(), 100);
  ASSERT_TRUE(Base->OpenMessage());
  EXPECT_EQ(Base->GetFrom(), "Bob");
  EXPECT_EQ(Base->GetTo(), "Alice");
  EXPECT_EQ(Base->GetSubject(), "Hi there");
  EXPECT_TRUE(Base->GetAttribute(maLocal));
  EXPECT_FALSE(Base->GetAttribute(maOrphan));
  const std::vector<std::string> Expected{"\x01MSGID: 2:5020/100 abcdef01",
                                          "\x01"
                                          "CHRS: CP866 2",
                                          "Line one",
                                          "Line two",
                                          "\x01Via 2:5020/100 @20040101.000000.UTC x",
                                          "SEEN-BY: 5020/1 100"};
  EXPECT_EQ(TextLines(*Base), Expected);
  TMessageBaseDateTime D;
  Base->GetWrittenDateTime(D);
  EXPECT_EQ(GetDateTimeLine(D), "2004/08/11 13:45:30.00");
  Base->SeekNext();
  ASSERT_EQ(Base->Current(), 101);
  ASSERT_TRUE(Base->OpenMessage());
  EXPECT_EQ(Base->GetTo(), "All");
  EXPECT_TRUE(TextLines(*Base).empty());
  Base->SeekNext();
  EXPECT_FALSE(Base->SeekFound());
}

TEST(JamBaseNamesTest, StrCRC32FoldsAsciiCaseOnly) {
  EXPECT_EQ(TJamMessageBase::StrCRC32(""), 0xFFFFFFFFu);
  EXPECT_EQ(TJamMessageBase::StrCRC32("All"), TJamMessageBase::StrCRC32("ALL"));
  EXPECT_EQ(TJamMessageBase::StrCRC32("All"), 0xC4E78E22u);
  EXPECT_EQ(TJamMessageBase::StrCRC32("123456789"), ~0xCBF43926u);
  EXPECT_NE(TJamMessageBase::StrCRC32("\xC4"), TJamMessageBase::StrCRC32("\xE4"));
}

TEST(JamBaseNamesTest, MapAttributeCoversTheJamBits) {
  const std::vector<std::pair<std::int32_t, std::uint32_t>> Map{{maPrivate, 0x4},
                                                                {maCrash, 0x100},
                                                                {maReceived, 0x8},
                                                                {maSent, 0x10},
                                                                {maFileAttached, 0x2000},
                                                                {maInTransit, 0x2},
                                                                {maOrphan, 0x40000},
                                                                {maKillSent, 0x20},
                                                                {maLocal, 0x1},
                                                                {maHold, 0x80},
                                                                {maFileRequest, 0x1000},
                                                                {maReturnReceiptRequest, 0x10000},
                                                                {maAuditRequest, 0x20000},
                                                                {maTypeLocal, 0x800000},
                                                                {maTypeEcho, 0x1000000},
                                                                {maTypeNet, 0x2000000}};
  for (const auto& [Common, Jam] : Map) {
    std::int32_t A = Common;
    EXPECT_TRUE(TJamMessageBase::MapAttribute(A)) << Common;
    EXPECT_EQ(static_cast<std::uint32_t>(A), Jam) << Common;
  }
  for (const std::int32_t Unmapped : {maIsReturnReceipt, maUpdateRequest, maScanned, 0, 3}) {
    std::int32_t A = Unmapped;
    EXPECT_FALSE(TJamMessageBase::MapAttribute(A)) << Unmapped;
  }
}

// --- Repairs at Open of what a writer that died left ---

// Recovery at Open. A record of a change a writer began decides: a change
// whose index records all landed (phase 1) is kept, any other is undone, a
// torn record is dropped. Without a record nothing whole is cut: lost or
// zeroed index records come back from the headers (a base whose index was
// cut to one record, as `truncate -s 8 area.jdx` leaves it, keeps all four
// messages), and bytes that make no whole header stay and are reported.
TEST_F(JamBaseTest, OpenRecoversByTheRecordAndKeepsWhatIsWhole) {
  MakeBase(4);
  const auto Four = AllFiles();
  const std::uint32_t H4 = GetLE32(Four[1].data() + 28);
  const std::uint32_t T4 = GetLE32(Four[0].data() + H4 + 60);
  auto Three = Four;  // the base before message 4
  Three[0].resize(H4);
  msgbase::PutLE32(Three[0].data() + 8, 3);
  msgbase::PutLE32(Three[0].data() + 12, 3);
  Three[1].resize(24);
  Three[2].resize(T4);
  TBytes Appended = Four[0];  // message 4 appended, the counts not yet written
  std::copy_n(Three[0].begin(), 16, Appended.begin());
  TBytes Zeroed = Four[1];
  std::fill(Zeroed.begin() + 8, Zeroed.begin() + 16, 0);
  TBytes TornTail = Four[1];
  std::fill(TornTail.begin() + 24, TornTail.end(), 0);
  TBytes Garbage = Three[0];
  Garbage.insert(Garbage.end(), 120, 0xAB);

  TBytes Compacted = Slice(Four[1], 0, 8);  // message 2 removed, the index cut short
  Compacted.insert(Compacted.end(), Four[1].begin() + 16, Four[1].end());
  enum TRecord { None, Begun, IndexPhase, Torn, Removal };
  struct TCase {
    const char* What;
    TRecord Record;
    std::vector<TBytes> Disk;  // JHR, JDX, JDT
    std::vector<TBytes> After;
    bool Reported;
  };
  const std::vector<TCase> Cases{
      {"a change stopped before its commit", Begun, {Appended, Three[1], Four[2]}, Three, false},
      {"a commit whose index records landed",
       IndexPhase,
       {Appended, Four[1], Four[2]},
       Four,
       false},
      {"a commit whose index write tore", IndexPhase, {Appended, TornTail, Four[2]}, Three, false},
      {"a record that never got whole", Torn, {Three[0], Three[1], Three[2]}, Three, false},
      {"a removal stopped after the compaction",
       Removal,
       {Four[0], Compacted, Four[2]},
       Four,
       false},
      {"an index cut to one record", None, {Four[0], Slice(Four[1], 0, 8), Four[2]}, Four, false},
      {"a zeroed record in the middle", None, {Four[0], Zeroed, Four[2]}, Four, false},
      {"bytes that make no header",
       None,
       {Garbage, Three[1], Three[2]},
       {Garbage, Three[1], Three[2]},
       true},
  };
  const std::string Record = Dir.File("area.jtx");
  for (const TCase& Case : Cases) {
    ASSERT_TRUE(WriteFileBytes(File("JHR"), Case.Disk[0]));
    ASSERT_TRUE(WriteFileBytes(File("JDX"), Case.Disk[1]));
    ASSERT_TRUE(WriteFileBytes(File("JDT"), Case.Disk[2]));
    // The record as the writer left it: the files before its change, the
    // old base header, and for a removal the old index.
    const auto& Old = Case.Record == Removal ? Four : Three;
    TIntent Intent;
    Intent.Kind = 1;
    Intent.Pid = 0x7FFFFFF0;
    for (std::size_t K = 0; K < 4; ++K) {
      (void)Intent.AddFile(File(std::vector<std::string>{"JHR", "JDX", "JDT", "JLR"}[K]),
                           static_cast<std::int64_t>(Old[K].size()));
    }
    Intent.Images.push_back({0, 0, std::string(Old[0].begin(), Old[0].begin() + 1024)});
    if (Case.Record == Removal)
      Intent.Images.push_back({1, 0, std::string(Old[1].begin(), Old[1].end())});
    if (Case.Record == IndexPhase) {
      Intent.Phase = 1;
      for (int K = 0; K < 8; ++K) Intent.Extra.push_back(K == 0 ? 32 : 0);
    }
    if (Case.Record == Torn) {
      ASSERT_TRUE(WriteFileText(Record, "VTX1\x05"));
    } else if (Case.Record != None) {
      ASSERT_TRUE(BeginIntent(Record, Intent));
    }
    {
      auto Base = OpenBase();
      EXPECT_EQ(Base->GetCount(), static_cast<std::int32_t>(Case.After[1].size() / 8)) << Case.What;
      EXPECT_EQ(Case.Reported, !Base->GetInconsistencies().empty()) << Case.What;
      Base->Close();
    }
    EXPECT_FALSE(FileExists(Record)) << Case.What;
    const auto Now = AllFiles();
    for (std::size_t K = 0; K < 3; ++K) {
      // The counts of a base whose records came back are counted anew.
      const std::size_t From = Case.Record == None && !Case.Reported && K == 0 ? 16 : 0;
      EXPECT_EQ(Slice(Case.After[K], From, Case.After[K].size() - From),
                Slice(Now[K], From, Now[K].size() - From))
          << Case.What << " file " << K;
    }
  }
}

// A creation that stopped leaves a record and files under temporary names,
// some perhaps published: the next creation removes them and makes the base
// whole, also when the stopped creator's process number is in use again
// (here this process's parent) but nobody holds its files.
TEST_F(JamBaseTest, CreateRemovesACreationThatStopped) {
  TIntent Intent;
  Intent.Kind = 2;
  Intent.Pid = static_cast<std::int32_t>(::getppid());
  for (const char* Ext : {"jhr", "jdx", "jdt", "jlr"}) {
    (void)Intent.AddFile(File(Ext), -1);
    (void)Intent.AddFile(File(Ext) + ".new", -1);
  }
  ASSERT_TRUE(BeginIntent(Dir.File("area.jtx"), Intent));
  ASSERT_TRUE(WriteFileText(File("jhr") + ".new", std::string(1024, 'h')));
  ASSERT_TRUE(WriteFileText(File("jdx"), ""));
  ASSERT_TRUE(WriteFileText(File("jdt") + ".new", ""));
  TJamMessageBase Base;
  ASSERT_TRUE(Base.Create(Path));
  Base.Close();
  for (const char* Name : {"area.jtx", "area.jhr.new", "area.jdt.new"}) {
    EXPECT_FALSE(FileExists(Dir.File(Name))) << Name;
  }
  EXPECT_EQ(ReadFileBytes(File("JHR")).size(), 1024u);
  EXPECT_TRUE(FileExists(File("JDT")));
}

// A compaction of the index (dropping a removed record) that was stopped
// before its truncation leaves copies of the records it moved: they are no
// messages of their own, and the next Open finishes the compaction.
TEST_F(JamBaseTest, OpenFinishesACompactionThatWasStopped) {
  MakeBase(3);
  const TBytes Jdx = ReadFileBytes(File("JDX"));
  ASSERT_EQ(Jdx.size(), 24u);
  // Message 2 removed: records 1 and 3 moved to the front, the old record 3
  // still behind them.
  TBytes Stopped = Jdx;
  std::copy(Jdx.begin() + 16, Jdx.end(), Stopped.begin() + 8);
  ASSERT_TRUE(WriteFileBytes(File("JDX"), Stopped));
  auto Base = OpenBase();
  EXPECT_EQ(Base->GetCount(), 2);
  Base->Close();
  EXPECT_EQ(TBytes(Stopped.begin(), Stopped.begin() + 16), ReadFileBytes(File("JDX")));
}

// Bytes after the last record's message that an earlier record refers to
// (another program rewrote that message at the end) are a message's, and
// stay.
TEST_F(JamBaseTest, OpenKeepsBytesAnEarlierRecordRefersTo) {
  MakeBase(2);
  TBytes Jdx = ReadFileBytes(File("JDX"));
  ASSERT_EQ(Jdx.size(), 16u);
  std::swap_ranges(Jdx.begin(), Jdx.begin() + 8, Jdx.begin() + 8);
  ASSERT_TRUE(WriteFileBytes(File("JDX"), Jdx));
  const auto Before = AllFiles();
  {
    auto Base = OpenBase();
    EXPECT_EQ(Base->GetCount(), 2);
    Base->Close();
  }
  EXPECT_EQ(Before[0].size(), ReadFileBytes(File("JHR")).size());
  EXPECT_EQ(Before[2], ReadFileBytes(File("JDT")));
}

}  // namespace
}  // namespace msgbase
