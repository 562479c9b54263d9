#include "msgbase/squish/squish_base.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "msgbase/status.h"
#include "testing/test_support.h"

namespace msgbase {
namespace {

using testing_support::PutLE16;
using testing_support::PutLE32;
using testing_support::PutText;
using testing_support::ReadFileBytes;
using testing_support::TBytes;
using testing_support::TTempDir;
using testing_support::WriteFileBytes;

// 6 December 2026, 14:05:09; the hundredths move on with every reading so that
// message identifiers never repeat.
void FixedClock(TMessageBaseDateTime& D) {
  static std::uint16_t Tick = 0;
  D = TMessageBaseDateTime{14, 5, 9, static_cast<std::uint16_t>(Tick++ % 100), 6, 12, 2026};
}
// The packed halves of that moment (the seconds halved: 9 is stored as 8).
constexpr std::uint16_t DosDate = (2026 - 1980) * 512 + 12 * 32 + 6;
constexpr std::uint16_t DosTime = 14 * 2048 + 5 * 32 + 9 / 2;
constexpr const char* FtscDate = "06 Dec 26  14:05:08";

using testing_support::Le32;

void SetLe32(TBytes& Bytes, std::size_t Offset, std::uint32_t Value) {
  for (int I = 0; I < 4; ++I)
    Bytes[Offset + static_cast<std::size_t>(I)] = static_cast<std::uint8_t>(Value >> (8 * I));
}

void Append(TBytes& Out, const std::string& S) {
  Out.insert(Out.end(), S.begin(), S.end());
}

// Hand-written base header bytes.
struct THeaderFields {
  std::uint32_t NumMsg = 0, HighMsg = 0, HighWater = 0, Uid = 1;
  std::string BaseName;
  std::uint32_t Begin = 0, Last = 0, Free = 0, LastFree = 0, End = 256;
};
TBytes BaseHeaderBytes(const THeaderFields& F) {
  TBytes Out;
  PutLE16(Out, 256);
  PutLE16(Out, 0);
  PutLE32(Out, F.NumMsg);
  PutLE32(Out, F.HighMsg);
  PutLE32(Out, 0);
  PutLE32(Out, F.HighWater);
  PutLE32(Out, F.Uid);
  PutText(Out, F.BaseName, 80);
  PutLE32(Out, F.Begin);
  PutLE32(Out, F.Last);
  PutLE32(Out, F.Free);
  PutLE32(Out, F.LastFree);
  PutLE32(Out, F.End);
  PutLE32(Out, 65535);
  PutLE16(Out, 32767);
  PutLE16(Out, 238);
  Out.resize(256, 0);
  return Out;
}

void PutFrame(TBytes& Out, std::uint32_t Next, std::uint32_t Prev, std::uint32_t FrameLength,
              std::uint32_t MsgLength, std::uint32_t Clen, std::uint16_t Type) {
  PutLE32(Out, 0xAFAE4453);
  PutLE32(Out, Next);
  PutLE32(Out, Prev);
  PutLE32(Out, FrameLength);
  PutLE32(Out, MsgLength);
  PutLE32(Out, Clen);
  PutLE16(Out, Type);
  PutLE16(Out, 0);
}

void PutMessageHeader(TBytes& Out, std::uint32_t Attr, const std::string& From,
                      const std::string& To, const std::string& Subject, TAddress Orig,
                      TAddress Dest, std::uint32_t Id) {
  PutLE32(Out, Attr);
  PutText(Out, From, 36);
  PutText(Out, To, 36);
  PutText(Out, Subject, 72);
  for (const TAddress& A : {Orig, Dest}) {
    for (const std::int16_t V : {A.Zone, A.Net, A.Node, A.Point})
      PutLE16(Out, static_cast<std::uint16_t>(V));
  }
  for (int I = 0; I < 2; ++I) {  // written and arrived: date word, then time word
    PutLE16(Out, DosDate);
    PutLE16(Out, DosTime);
  }
  PutLE16(Out, 0);                               // UtcOfs
  for (int I = 0; I < 10; ++I) PutLE32(Out, 0);  // ReplyTo, Replies
  PutLE32(Out, Id);
  PutText(Out, FtscDate, 20);
}

// A failed operation must leave a status behind.
void ExpectStatusOnFailure(bool Result, TMessageBase& Base) {
  if (!Result) {
    EXPECT_NE(Base.GetStatus(), stOk);
  }
}

class SquishBaseTest : public ::testing::Test {
 protected:
  void SetUp() override { SetClockSource(FixedClock); }
  void TearDown() override { SetClockSource(nullptr); }

  std::string BasePath() const { return Dir.File("area"); }
  std::string Sqd() const { return Dir.File("area.sqd"); }
  std::string Sqi() const { return Dir.File("area.sqi"); }
  std::string Sql() const { return Dir.File("area.sql"); }

  // Posts one message of the given lines, each written raw (whatever its
  // length) with its CR.
  static bool Post(TSquishMessageBase& Base, const std::vector<std::string>& Lines,
                   const std::string& To = "All") {
    EXPECT_TRUE(Base.CreateNewMessage());
    Base.SetFrom("Sender Name");
    Base.SetTo(To);
    Base.SetSubject("report");
    for (const std::string& Line : Lines) {
      for (std::size_t At = 0; At < Line.size(); At += 4096) {
        const std::size_t Piece = std::min<std::size_t>(4096, Line.size() - At);
        Base.WriteText(Line.data() + At, static_cast<std::uint16_t>(Piece));
      }
      Base.WriteText("\r", 1);
    }
    const bool Written = Base.WriteMessage();
    EXPECT_TRUE(Base.CloseMessage());
    return Written;
  }

  // A base holding messages 1, 2 and 3, each of one control line and a body.
  void MakeThree() {
    for (const std::string& File : {Sqd(), Sqi(), Sql()}) (void)::unlink(File.c_str());
    TSquishMessageBase Base;
    ASSERT_TRUE(Base.Create(BasePath()));
    for (int I = 1; I <= 3; ++I) {
      ASSERT_TRUE(Post(Base, {"\x01MSGID: 2:5020/100 0000000" + std::to_string(I),
                              "Body of " + std::to_string(I)}));
    }
  }

  // All lines of the open message, read with a buffer as large as a control line.
  static std::vector<std::string> Lines(TSquishMessageBase& Base) {
    std::vector<std::string> Out;
    std::vector<char> Buf(MaxLineSize);
    for (int Guard = 0; !Base.EndOfMessage() && Guard < 100000; ++Guard) {
      const std::uint16_t N =
          Base.GetStringPChar(Buf.data(), static_cast<std::uint16_t>(MaxLineSize));
      Out.emplace_back(Buf.data(), N);
    }
    return Out;
  }

  // Line lengths and first characters, for readable failures on long lines.
  static std::string Shape(const std::vector<std::string>& Lines) {
    std::string Out;
    for (const std::string& Line : Lines) {
      Out += std::to_string(Line.size()) + ":" + (Line.size() > 1 ? Line.substr(1, 1) : "") + " ";
    }
    return Out;
  }

  TTempDir Dir;
};

// --- Helpers without a base ---

TEST(SquishHelpersTest, MakeHashValues) {
  EXPECT_EQ(TSquishMessageBase::MakeHash(""), 0u);
  EXPECT_EQ(TSquishMessageBase::MakeHash("abc"), 26499u);
  EXPECT_EQ(TSquishMessageBase::MakeHash("ABC"), 26499u);
  EXPECT_EQ(TSquishMessageBase::MakeHash("All"), 26668u);
  EXPECT_EQ(TSquishMessageBase::MakeHash("abcdefghij"), 448724730u);
  // Only A..Z fold: a byte above 127 is taken as it is.
  EXPECT_NE(TSquishMessageBase::MakeHash("\xC0"), TSquishMessageBase::MakeHash("\xE0"));
}

TEST(SquishHelpersTest, SquishSwapExchangesHalves) {
  std::uint32_t L = 0x5D8670A4;
  TSquishMessageBase::SquishSwap(L);
  EXPECT_EQ(L, 0x70A45D86u);
  TSquishMessageBase::SquishSwap(L);
  EXPECT_EQ(L, 0x5D8670A4u);
}

TEST(SquishHelpersTest, MapAttributeTable) {
  const std::vector<std::pair<std::int32_t, std::int32_t>> Table{
      {maPrivate, 0x0001},         {maCrash, 0x0002},
      {maReceived, 0x0004},        {maSent, 0x0008},
      {maFileAttached, 0x0010},    {maInTransit, 0x0020},
      {maOrphan, 0x0040},          {maKillSent, 0x0080},
      {maLocal, 0x0100},           {maHold, 0x0200},
      {maFileRequest, 0x0800},     {maReturnReceiptRequest, 0x1000},
      {maIsReturnReceipt, 0x2000}, {maAuditRequest, 0x4000},
      {maUpdateRequest, 0x8000},   {maScanned, 0x10000}};
  for (const auto& [Common, Bit] : Table) {
    std::int32_t A = Common;
    EXPECT_TRUE(TSquishMessageBase::MapAttribute(A)) << Common;
    EXPECT_EQ(A, Bit) << Common;
  }
  for (const std::int32_t Unknown : {0, 0x10000, 0x0003, -1}) {
    std::int32_t A = Unknown;
    EXPECT_FALSE(TSquishMessageBase::MapAttribute(A));
    EXPECT_EQ(A, Unknown);
  }
}

TEST(SquishHelpersTest, PreparePathAppendsOneDot) {
  TSquishMessageBase Base;
  Base.PreparePath("/fido/uue");
  EXPECT_EQ(Base.GetBasePath(), "/fido/uue.");
  Base.PreparePath("/fido/uue.");
  EXPECT_EQ(Base.GetBasePath(), "/fido/uue.");
  Base.PreparePath("");
  EXPECT_EQ(Base.GetBasePath(), ".");
}

TEST(SquishHelpersTest, HeaderFieldsInMemory) {
  TSquishMessageBase Base;
  Base.SetFrom(std::string(40, 'f'));
  Base.SetTo("Someone");
  Base.SetSubject(std::string(80, 's'));
  EXPECT_EQ(Base.GetFrom(), std::string(35, 'f'));
  EXPECT_EQ(Base.GetTo(), "Someone");
  EXPECT_EQ(Base.GetSubject(), std::string(71, 's'));

  Base.SetAttribute(maLocal, true);
  Base.SetAttribute(maUpdateRequest, true);
  Base.SetAttribute(0x40000, true);  // no Squish bit: ignored
  EXPECT_TRUE(Base.GetAttribute(maLocal));
  EXPECT_TRUE(Base.GetAttribute(maUpdateRequest));
  EXPECT_FALSE(Base.GetAttribute(maIsReturnReceipt));
  EXPECT_FALSE(Base.GetAttribute(0x40000));
  EXPECT_EQ(Base.GetMessageHeader().Attr, 0x8100u);
  Base.SetRead(true);
  EXPECT_TRUE(Base.GetRead());
  EXPECT_EQ(Base.GetMessageHeader().Attr, 0x88100u);
  Base.SetAttribute(maLocal, false);
  Base.SetRead(false);
  EXPECT_EQ(Base.GetMessageHeader().Attr, 0x8000u);
}

// --- Creating and opening ---

TEST_F(SquishBaseTest, CreateWritesEmptyBase) {
  // Files that hold bytes are never created over; the empty ones a stopped
  // creation leaves are made anew.
  ASSERT_TRUE(WriteFileBytes(Sqd(), TBytes(1000, 0x55)));
  ASSERT_TRUE(WriteFileBytes(Sqi(), TBytes(24, 0x55)));
  TSquishMessageBase Base;
  EXPECT_FALSE(Base.Create(BasePath()));
  EXPECT_EQ(Base.GetStatus(), stSquishCantCreateSqd);
  EXPECT_EQ(ReadFileBytes(Sqd()), TBytes(1000, 0x55));
  ASSERT_TRUE(WriteFileBytes(Sqd(), {}));
  ASSERT_TRUE(WriteFileBytes(Sqi(), {}));
  ASSERT_TRUE(Base.Create(BasePath()));
  EXPECT_TRUE(Base.GetOpened());
  EXPECT_EQ(Base.GetBasePath(), BasePath() + ".");
  Base.Close();
  THeaderFields Fields;
  Fields.BaseName = BasePath();
  EXPECT_BYTES_EQ(BaseHeaderBytes(Fields), ReadFileBytes(Sqd()));
  EXPECT_TRUE(ReadFileBytes(Sqi()).empty());
  EXPECT_FALSE(testing_support::PathExists(Sql()));
  EXPECT_TRUE(Base.Exist(BasePath()));
}

TEST_F(SquishBaseTest, CreateMakesDirectoriesAndCutsLongBaseName) {
  std::string Name(60, 'd');
  Name += '/';
  const std::string Long = Dir.File(Name.append(40, 'n'));
  TSquishMessageBase Base;
  ASSERT_TRUE(Base.Create(Long));
  Base.Close();
  const TBytes Bytes = ReadFileBytes(Long + ".sqd");
  ASSERT_EQ(Bytes.size(), 256u);
  EXPECT_EQ(std::string(Bytes.begin() + 24, Bytes.begin() + 24 + 79), Long.substr(0, 79));
  EXPECT_EQ(Bytes[24 + 79], 0);
}

TEST_F(SquishBaseTest, CreateAndOpenFailuresReportStatus) {
  TSquishMessageBase Base;
  // The directory part is a plain file: nothing can be made below it.
  ASSERT_TRUE(testing_support::WriteFileText(Dir.File("plain"), "x"));
  EXPECT_FALSE(Base.Create(Dir.File("plain/area")));
  EXPECT_EQ(Base.GetStatus(), stSquishCantCreateSqd);  // the data file is made first
  EXPECT_FALSE(Base.GetOpened());
  EXPECT_EQ(Base.GetBasePath(), "");

  ASSERT_EQ(::mkdir(Dir.File("dirbase.sqi").c_str(), 0755), 0);
  EXPECT_FALSE(Base.Create(Dir.File("dirbase")));
  EXPECT_EQ(Base.GetStatus(), stSquishCantCreateSqi);

  EXPECT_FALSE(Base.Open(Dir.File("none")));
  EXPECT_EQ(Base.GetStatus(), stSquishAbsentSqd);
  ASSERT_TRUE(WriteFileBytes(Dir.File("half.sqd"), BaseHeaderBytes({})));
  EXPECT_FALSE(Base.Open(Dir.File("half")));
  EXPECT_EQ(Base.GetStatus(), stSquishAbsentSqi);
  // Half a base still holds messages, so it counts as there and is never
  // created over.
  EXPECT_TRUE(Base.Exist(Dir.File("half")));
  ASSERT_TRUE(WriteFileBytes(Dir.File("lone.sqi"), TBytes(12, 1)));
  EXPECT_TRUE(Base.Exist(Dir.File("lone")));
  // Empty files, as a creation that was stopped leaves them, make no base.
  ASSERT_TRUE(WriteFileBytes(Dir.File("stopped.sqi"), {}));
  ASSERT_TRUE(WriteFileBytes(Dir.File("stopped.sqd"), {}));
  EXPECT_FALSE(Base.Exist(Dir.File("stopped")));

  // A data file too short for its header.
  ASSERT_TRUE(WriteFileBytes(Dir.File("short.sqd"), TBytes(255, 0)));
  ASSERT_TRUE(WriteFileBytes(Dir.File("short.sqi"), {}));
  EXPECT_FALSE(Base.Open(Dir.File("short")));
  EXPECT_EQ(Base.GetStatus(), stSquishBaseHeaderProblems);
  EXPECT_FALSE(Base.GetOpened());
  EXPECT_EQ(Base.GetBasePath(), "");

  // The index is a directory: it exists but cannot be opened.
  ASSERT_TRUE(WriteFileBytes(Dir.File("dirbase.sqd"), BaseHeaderBytes({})));
  EXPECT_FALSE(Base.Open(Dir.File("dirbase")));
  EXPECT_EQ(Base.GetStatus(), stSquishCantOpenSqi);
}

TEST_F(SquishBaseTest, OpenBaseHeldByAnotherStreamFails) {
  TSquishMessageBase First;
  ASSERT_TRUE(First.Create(BasePath()));
  ASSERT_TRUE(Post(First, {"held"}));
  const TBytes Held = ReadFileBytes(Sqd());
  TSquishMessageBase Second;
  EXPECT_FALSE(Second.Open(BasePath()));
  EXPECT_EQ(Second.GetStatus(), stSquishCantOpenSqd);
  // Creating over a held base neither succeeds nor empties its files.
  EXPECT_FALSE(Second.Create(BasePath()));
  EXPECT_EQ(Second.GetStatus(), stSquishCantCreateSqd);
  EXPECT_EQ(ReadFileBytes(Sqd()), Held);
  First.Close();
  EXPECT_TRUE(Second.Open(BasePath()));
}

// --- Writing ---

TEST_F(SquishBaseTest, FirstMessageAddsExpectedBytes) {
  const std::string MsgId = "\x01MSGID: 2:5020/100 0000abcd";
  const std::string Pid = "\x01PID: Vellumar";
  {
    TSquishMessageBase Base;
    ASSERT_TRUE(Base.Create(BasePath()));
    ASSERT_TRUE(Base.CreateNewMessage());
    EXPECT_EQ(Base.Current(), 1);
    Base.SetFrom("Sender Name");
    Base.SetTo("All");
    Base.SetSubject("report");
    Base.SetAttribute(maLocal, true);
    Base.SetAttribute(maPrivate, true);
    for (const std::string& Line : {MsgId, Pid, std::string("Hello"), std::string("World")}) {
      Base.PutString(Line);
    }
    ASSERT_TRUE(Base.WriteMessage());
    EXPECT_EQ(Base.GetStatus(), stOk);
    ASSERT_TRUE(Base.CloseMessage());
  }
  const std::uint32_t K = static_cast<std::uint32_t>(MsgId.size() + Pid.size());
  const std::uint32_t T = 12;  // "Hello" CR "World" CR
  const std::uint32_t M = 238 + (K + 1) + T + 1;

  THeaderFields Fields;
  Fields.NumMsg = 1;
  Fields.HighMsg = 1;
  Fields.Uid = 2;
  Fields.BaseName = BasePath();
  Fields.Begin = 256;
  Fields.Last = 256;
  Fields.End = 256 + 28 + M;
  TBytes Expected = BaseHeaderBytes(Fields);
  PutFrame(Expected, 0, 0, M, M, K + 1, 0);
  PutMessageHeader(Expected, 0x20101, "Sender Name", "All", "report", TAddress{2, 5020, 100, 0},
                   TAddress{}, 1);
  Append(Expected, MsgId + Pid);
  Expected.push_back(0);
  Append(Expected, "Hello\rWorld\r");
  Expected.push_back(0);
  EXPECT_BYTES_EQ(Expected, ReadFileBytes(Sqd()));

  TBytes Index;
  PutLE32(Index, 256);
  PutLE32(Index, 1);
  PutLE32(Index, 26668);  // MakeHash("All")
  EXPECT_BYTES_EQ(Index, ReadFileBytes(Sqi()));
}

TEST_F(SquishBaseTest, SecondMessageLinksToFirst) {
  TSquishMessageBase Base;
  ASSERT_TRUE(Base.Create(BasePath()));
  ASSERT_TRUE(Post(Base, {"one"}));
  const std::uint32_t Second = static_cast<std::uint32_t>(ReadFileBytes(Sqd()).size());
  ASSERT_TRUE(Post(Base, {"two"}, "Sysop"));
  const TBytes Data = ReadFileBytes(Sqd());
  EXPECT_EQ(Le32(Data, 104), 256u);         // BeginFrame stays
  EXPECT_EQ(Le32(Data, 108), Second);       // LastFrame
  EXPECT_EQ(Le32(Data, 120), Data.size());  // EndFrame
  EXPECT_EQ(Le32(Data, 256 + 4), Second);   // first frame's NextFrame
  EXPECT_EQ(Le32(Data, 256 + 8), 0u);
  EXPECT_EQ(Le32(Data, Second + 4), 0u);
  EXPECT_EQ(Le32(Data, Second + 8), 256u);  // second frame's PrevFrame
  const TBytes Index = ReadFileBytes(Sqi());
  ASSERT_EQ(Index.size(), 24u);
  EXPECT_EQ(Le32(Index, 12), Second);
  EXPECT_EQ(Le32(Index, 16), 2u);
  EXPECT_EQ(Le32(Index, 20), TSquishMessageBase::MakeHash("Sysop"));
}

TEST_F(SquishBaseTest, ControlAreaSizes) {
  TSquishMessageBase Base;
  ASSERT_TRUE(Base.Create(BasePath()));
  ASSERT_TRUE(Post(Base, {}));                 // empty text
  ASSERT_TRUE(Post(Base, {"plain", "text"}));  // no control lines
  ASSERT_TRUE(Post(Base, {"\x01"
                          "A: 1",
                          "\x01"
                          "B: 22"}));  // control lines only
  // Control lines after the first ordinary line stay in the text.
  ASSERT_TRUE(Post(Base, {"\x01"
                          "A",
                          "body",
                          "\x01"
                          "PATH: 1"}));
  const TBytes Data = ReadFileBytes(Sqd());
  const TBytes Index = ReadFileBytes(Sqi());
  const auto Frame = [&](int N) { return Le32(Index, static_cast<std::size_t>(12 * N)); };
  EXPECT_EQ(Le32(Data, Frame(0) + 16), 240u);  // MsgLength
  EXPECT_EQ(Le32(Data, Frame(0) + 20), 1u);    // ClenLength
  EXPECT_EQ(Le32(Data, Frame(1) + 20), 1u);
  EXPECT_EQ(Le32(Data, Frame(1) + 16), 238u + 1 + 11 + 1);
  EXPECT_EQ(Le32(Data, Frame(2) + 20), 12u);
  EXPECT_EQ(Le32(Data, Frame(2) + 16), 238u + 12 + 0 + 1);
  EXPECT_EQ(Le32(Data, Frame(3) + 20), 3u);
  EXPECT_EQ(Le32(Data, Frame(3) + 16), 238u + 3 + 14 + 1);
}

TEST_F(SquishBaseTest, NetmailRoundTripsFieldByFieldAndLineByLine) {
  const TAddress From{2, 5020, 100, 3};
  const TAddress To{1, 200, 30, 4};
  {
    TSquishMessageBase Base;
    Base.SetBaseType(btNetmail);
    ASSERT_TRUE(Base.Create(BasePath()));
    ASSERT_TRUE(Base.CreateNewMessage());
    Base.SetFrom("Sender Name");
    Base.SetTo("Receiver Name");
    Base.SetSubject("file.zip [1/1]");
    Base.SetFromAndToAddress(From, To, true);
    Base.PutString("\x01PID: Vellumar");
    Base.PutString("first line");
    Base.PutString("");
    Base.PutOrigin(From, "Somewhere");
    for (const std::int32_t A : {maLocal, maKillSent, maPrivate, maCrash, maFileAttached,
                                 maUpdateRequest, maIsReturnReceipt}) {
      Base.SetAttribute(A, true);
    }
    Base.SetReplyTo(7);
    ASSERT_TRUE(Base.WriteMessage());
    ASSERT_TRUE(Base.CloseMessage());
  }
  TSquishMessageBase Base;
  Base.SetBaseType(btNetmail);
  ASSERT_TRUE(Base.Open(BasePath()));
  EXPECT_EQ(Base.GetCount(), 1);
  EXPECT_EQ(Base.GetHighest(), 1);
  Base.Seek(1);
  ASSERT_TRUE(Base.SeekFound());
  ASSERT_TRUE(Base.OpenMessage());
  EXPECT_EQ(Base.GetFrom(), "Sender Name");
  EXPECT_EQ(Base.GetTo(), "Receiver Name");
  EXPECT_EQ(Base.GetSubject(), "file.zip [1/1]");
  EXPECT_EQ(Base.GetReplyTo(), 7);
  for (const std::int32_t A : {maLocal, maKillSent, maPrivate, maCrash, maFileAttached,
                               maUpdateRequest, maIsReturnReceipt}) {
    EXPECT_TRUE(Base.GetAttribute(A)) << A;
  }
  EXPECT_FALSE(Base.GetAttribute(maSent));
  EXPECT_FALSE(Base.GetRead());
  TMessageBaseDateTime Written;
  Base.GetWrittenDateTime(Written);
  EXPECT_EQ(Written.Year, 2026);
  EXPECT_EQ(Written.Second, 8);
  const TSquishMessageHeader& Header = Base.GetMessageHeader();
  EXPECT_EQ(Header.Orig.Net, 5020);
  EXPECT_EQ(Header.Orig.Point, 3);
  EXPECT_EQ(Header.Dest.Zone, 1);
  EXPECT_EQ(Header.Dest.Point, 4);
  EXPECT_EQ(std::string(Header.FtscDate.data()), FtscDate);

  TAddress ReadFrom{9, 9, 9, 9};
  TAddress ReadTo{9, 9, 9, 9};
  Base.GetFromAndToAddress(ReadFrom, ReadTo);
  EXPECT_TRUE(AddressEqu(ReadFrom, From));
  EXPECT_TRUE(AddressEqu(ReadTo, To));

  Base.SetTextPos(0);
  const std::vector<std::string> Got = Lines(Base);
  ASSERT_EQ(Got.size(), 8u);
  EXPECT_EQ(Got[0].rfind("\x01MSGID: 2:5020/100.3 ", 0), 0u) << Got[0];
  EXPECT_EQ(Got[1], "\x01INTL 1:200/30 2:5020/100");
  EXPECT_EQ(Got[2],
            "\x01"
            "FMPT 3");
  EXPECT_EQ(Got[3], "\x01TOPT 4");
  EXPECT_EQ(Got[4], "\x01PID: Vellumar");
  EXPECT_EQ(Got[5], "first line");
  EXPECT_EQ(Got[6], "");
  EXPECT_EQ(Got[7], " * Origin: Somewhere (2:5020/100.3)");

  ASSERT_TRUE(Base.OpenMessageHeader());
  EXPECT_EQ(Lines(Base).size(), 5u);
  EXPECT_EQ(Base.GetSubject(), "file.zip [1/1]");
}

// Control lines that fill the area to the last byte a reader accepts go to
// the area; the first that would pass it, and every line after it (even one
// that would still fit), stay at the head of the text. Nothing is lost.
TEST_F(SquishBaseTest, OverflowingControlLinesStayInText) {
  std::vector<std::string> Written;
  for (char C = 'a'; C <= 'd'; ++C) Written.push_back("\x01X" + std::string(15998, C));
  Written.push_back(std::string(1, '\x01').append(SquishMaxClenLength - 1 - 4 * 16000 - 1, 'w'));
  Written.push_back(
      "\x01"
      "1");
  Written.push_back("\x01Y: small");
  Written.push_back("body");
  {
    TSquishMessageBase Base;
    ASSERT_TRUE(Base.Create(BasePath()));
    ASSERT_TRUE(Post(Base, Written));
  }
  EXPECT_EQ(Le32(ReadFileBytes(Sqd()), 256 + 20), SquishMaxClenLength);
  TSquishMessageBase Base;
  ASSERT_TRUE(Base.Open(BasePath()));
  Base.Seek(1);
  ASSERT_TRUE(Base.OpenMessage());
  EXPECT_TRUE(Lines(Base) == Written) << Shape(Lines(Base));
}

TEST_F(SquishBaseTest, OverlongControlLineIsCut) {
  {
    TSquishMessageBase Base;
    ASSERT_TRUE(Base.Create(BasePath()));
    ASSERT_TRUE(Post(Base, {"\x01" + std::string(20000, 'k'), "text"}));
  }
  EXPECT_EQ(Le32(ReadFileBytes(Sqd()), 256 + 20), static_cast<std::uint32_t>(MaxLineSize));
  TSquishMessageBase Base;
  ASSERT_TRUE(Base.Open(BasePath()));
  Base.Seek(1);
  ASSERT_TRUE(Base.OpenMessage());
  const std::vector<std::string> Got = Lines(Base);
  ASSERT_EQ(Got.size(), 2u);
  EXPECT_TRUE(Got[0] == std::string(1, '\x01').append(MaxLineSize - 2, 'k')) << Shape(Got);
  EXPECT_EQ(Got[1], "text");
}

TEST_F(SquishBaseTest, AbandonedMessageGivesCountsBack) {
  TSquishMessageBase Base;
  ASSERT_TRUE(Base.Create(BasePath()));
  ASSERT_TRUE(Post(Base, {"kept"}));
  const TBytes Before = ReadFileBytes(Sqd());
  ASSERT_TRUE(Base.CreateNewMessage());
  EXPECT_EQ(Base.GetCount(), 2);
  EXPECT_EQ(Base.GetHighest(), 2);
  ASSERT_TRUE(Base.CloseMessage());
  EXPECT_EQ(Base.GetCount(), 1);
  EXPECT_EQ(Base.GetHighest(), 1);
  EXPECT_EQ(Base.Current(), 0);
  // A second CreateNewMessage and a Close abandon it the same way.
  ASSERT_TRUE(Base.CreateNewMessage());
  ASSERT_TRUE(Base.CreateNewMessage());
  EXPECT_EQ(Base.Current(), 2);
  Base.Close();
  EXPECT_BYTES_EQ(Before, ReadFileBytes(Sqd()));
  // The id is handed out again.
  ASSERT_TRUE(Base.Open(BasePath()));
  ASSERT_TRUE(Base.CreateNewMessage());
  EXPECT_EQ(Base.Current(), 2);
}

TEST_F(SquishBaseTest, SeekBeforeWriteDoesNotRedirectTheNewRecord) {
  MakeThree();
  TSquishMessageBase Base;
  ASSERT_TRUE(Base.Open(BasePath()));
  ASSERT_TRUE(Base.CreateNewMessage());
  Base.PutString("four");
  Base.Seek(1);
  ASSERT_TRUE(Base.WriteMessage());
  const TBytes Index = ReadFileBytes(Sqi());
  ASSERT_EQ(Index.size(), 48u);
  EXPECT_EQ(Le32(Index, 4), 1u);
  EXPECT_EQ(Le32(Index, 40), 4u);
  EXPECT_EQ(Base.Current(), 4);
  EXPECT_EQ(Base.GetLocation(), 36);
  // Writing it again rewrites it rather than adding it twice.
  ASSERT_TRUE(Base.WriteMessage());
  EXPECT_EQ(ReadFileBytes(Sqi()), Index);
  EXPECT_EQ(Base.GetCount(), 4);
}

TEST_F(SquishBaseTest, RewriteInPlaceOrRelocate) {
  MakeThree();
  TSquishMessageBase Base;
  ASSERT_TRUE(Base.Open(BasePath()));
  const std::uint32_t Second = Le32(ReadFileBytes(Sqi()), 12);

  // Shorter: rewritten in place, the room stays.
  Base.Seek(2);
  ASSERT_TRUE(Base.OpenMessage());
  const std::uint32_t Room = Le32(ReadFileBytes(Sqd()), Second + 12);
  Base.SetTextPos(0);
  Base.TruncateText();
  Base.PutString("\x01MSGID: 2:5020/100 00000002");
  Base.PutString("B");
  ASSERT_TRUE(Base.WriteMessage());
  TBytes Data = ReadFileBytes(Sqd());
  EXPECT_EQ(Le32(Data, Second + 12), Room);
  EXPECT_LT(Le32(Data, Second + 16), Room);
  EXPECT_EQ(Le32(ReadFileBytes(Sqi()), 12), Second);

  // Longer: the old frame joins the free chain, the message moves to the end
  // and keeps its place in the message chain.
  const std::uint32_t End = static_cast<std::uint32_t>(Data.size());
  Base.SetTextPos(Base.GetTextSize());
  Base.PutString(std::string(200, 'L'));
  ASSERT_TRUE(Base.WriteMessage());
  Data = ReadFileBytes(Sqd());
  EXPECT_EQ(Le32(ReadFileBytes(Sqi()), 12), End);
  EXPECT_EQ(Le32(Data, 112), Second);   // FreeFrame
  EXPECT_EQ(Le32(Data, 116), Second);   // LastFreeFrame
  EXPECT_EQ(Data[Second + 24], 1);      // FrameType free
  EXPECT_EQ(Le32(Data, 256 + 4), End);  // first -> moved second
  EXPECT_EQ(Le32(Data, End + 8), 256u);
  const std::uint32_t Third = Le32(ReadFileBytes(Sqi()), 24);
  EXPECT_EQ(Le32(Data, End + 4), Third);
  EXPECT_EQ(Le32(Data, Third + 8), End);
  EXPECT_EQ(Le32(Data, 108), Third);  // LastFrame unchanged

  Base.Seek(2);
  ASSERT_TRUE(Base.OpenMessage());
  const std::vector<std::string> Got = Lines(Base);
  ASSERT_EQ(Got.size(), 3u);
  EXPECT_EQ(Got[2], std::string(200, 'L'));
}

TEST_F(SquishBaseTest, WriteMessageHeaderRewritesOnlyTheHeader) {
  MakeThree();
  TSquishMessageBase Base;
  ASSERT_TRUE(Base.Open(BasePath()));
  // Nothing stored yet for a new message.
  ASSERT_TRUE(Base.CreateNewMessage());
  const TBytes Before = ReadFileBytes(Sqd());
  EXPECT_FALSE(Base.WriteMessageHeader());
  EXPECT_EQ(Base.GetStatus(), stSquishMsgNotExists);
  EXPECT_EQ(ReadFileBytes(Sqd()), Before);
  ASSERT_TRUE(Base.CloseMessage());

  Base.Seek(2);
  ASSERT_TRUE(Base.OpenMessageHeader());
  Base.SetSubject("changed");
  Base.SetRead(true);
  ASSERT_TRUE(Base.WriteMessageHeader());
  // A message opened without its text cannot be written whole.
  EXPECT_FALSE(Base.WriteMessage());
  EXPECT_EQ(Base.GetStatus(), stSquishUnsupported);
  const TBytes After = ReadFileBytes(Sqd());
  const std::uint32_t Frame = Le32(ReadFileBytes(Sqi()), 12);
  ASSERT_EQ(After.size(), Before.size());
  for (std::size_t I = 0; I < After.size(); ++I) {
    if (I >= Frame + 28 && I < Frame + 28 + 238) continue;
    ASSERT_EQ(After[I], Before[I]) << "offset " << I;
  }
  EXPECT_EQ(Le32(After, Frame + 28), 0x80000u | 0x20000u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&After[Frame + 28 + 76])), "changed");
}

// --- Reading ---

TEST_F(SquishBaseTest, NavigationOverIndex) {
  {
    TSquishMessageBase Empty;
    ASSERT_TRUE(Empty.Create(BasePath()));
    Empty.Seek(1);
    EXPECT_FALSE(Empty.SeekFound());
    EXPECT_EQ(Empty.GetLocation(), 0);
    EXPECT_FALSE(Empty.OpenMessage());
    EXPECT_EQ(Empty.GetStatus(), stSquishMsgNotExists);
  }
  MakeThree();
  TSquishMessageBase Base;
  ASSERT_TRUE(Base.Open(BasePath()));
  Base.Seek(2);
  ASSERT_TRUE(Base.KillMessage());
  EXPECT_FALSE(Base.Exists(2));
  EXPECT_TRUE(Base.Exists(3));
  Base.Seek(2);  // removed: lands on the next higher id
  EXPECT_EQ(Base.Current(), 3);
  EXPECT_EQ(Base.GetLocation(), 12);
  Base.Seek(4);
  EXPECT_FALSE(Base.SeekFound());
  Base.Seek(3);
  Base.SeekNext();
  EXPECT_EQ(Base.Current(), 0);
  EXPECT_EQ(Base.GetLocation(), 0);
  Base.Seek(1);
  Base.SeekNext();
  EXPECT_EQ(Base.Current(), 3);
  Base.SeekPrev();
  EXPECT_EQ(Base.Current(), 1);
  Base.SeekPrev();
  EXPECT_EQ(Base.Current(), 0);
  Base.SetLocation(12);
  EXPECT_EQ(Base.Current(), 3);
  for (const std::int32_t Bad : {5, 24, -12}) {
    Base.SetLocation(Bad);
    EXPECT_EQ(Base.Current(), 0) << Bad;
    EXPECT_EQ(Base.GetLocation(), 0) << Bad;
  }
  EXPECT_EQ(Base.GetHighest(), 3);
  EXPECT_EQ(Base.GetCount(), 2);

  // The high-water mark reaches the disk at once.
  Base.SetHighWater(2);
  EXPECT_EQ(Le32(ReadFileBytes(Sqd()), 16), 2u);
  EXPECT_EQ(Base.GetHighWater(), 2);
  Base.SeekHighWater();
  EXPECT_EQ(Base.Current(), 3);
}

TEST_F(SquishBaseTest, KillMessageFreesFrameAndReusesIt) {
  MakeThree();
  const TBytes IndexBefore = ReadFileBytes(Sqi());
  const std::uint32_t First = Le32(IndexBefore, 0);
  const std::uint32_t Second = Le32(IndexBefore, 12);
  const std::uint32_t Third = Le32(IndexBefore, 24);
  TSquishMessageBase Base;
  ASSERT_TRUE(Base.Open(BasePath()));
  Base.Seek(2);
  ASSERT_TRUE(Base.OpenMessage());
  ASSERT_TRUE(Base.KillMessage());
  EXPECT_EQ(Base.GetMessageTextStream(), nullptr);
  EXPECT_EQ(Base.GetLocation(), 0);

  TBytes Data = ReadFileBytes(Sqd());
  TBytes Index = ReadFileBytes(Sqi());
  TBytes ExpectedIndex = IndexBefore;
  ExpectedIndex.erase(ExpectedIndex.begin() + 12, ExpectedIndex.begin() + 24);
  EXPECT_BYTES_EQ(ExpectedIndex, Index);
  EXPECT_EQ(Le32(Data, 4), 2u);   // NumMsg
  EXPECT_EQ(Le32(Data, 8), 2u);   // HighMsg
  EXPECT_EQ(Le32(Data, 20), 4u);  // Uid unchanged
  EXPECT_EQ(Le32(Data, 112), Second);
  EXPECT_EQ(Le32(Data, 116), Second);
  EXPECT_EQ(Le32(Data, First + 4), Third);
  EXPECT_EQ(Le32(Data, Third + 8), First);
  EXPECT_EQ(Le32(Data, Second + 4), 0u);
  EXPECT_EQ(Le32(Data, Second + 8), 0u);
  EXPECT_EQ(Data[Second + 24], 1);
  // SeekNext reaches the record after the removed one.
  Base.SeekNext();
  EXPECT_EQ(Base.Current(), 3);

  // Killing the newest keeps GetHighest; a second kill of the same fails.
  ASSERT_TRUE(Base.KillMessage());
  EXPECT_EQ(Base.GetHighest(), 3);
  const TBytes Settled = ReadFileBytes(Sqd());
  EXPECT_FALSE(Base.KillMessage());
  EXPECT_EQ(Base.GetStatus(), stSquishMsgNotExists);
  EXPECT_EQ(ReadFileBytes(Sqd()), Settled);
  Data = Settled;
  EXPECT_EQ(Le32(Data, 112), Second);
  EXPECT_EQ(Le32(Data, 116), Third);
  EXPECT_EQ(Le32(Data, Second + 4), Third);
  EXPECT_EQ(Le32(Data, Third + 8), Second);
  EXPECT_EQ(Le32(Data, 108), First);  // LastFrame
  EXPECT_EQ(Le32(Data, First + 4), 0u);

  // A small new message takes the first free frame that fits, keeps its room
  // and leaves the file's end alone.
  const std::uint32_t SecondRoom = Le32(Data, Second + 12);
  ASSERT_TRUE(Post(Base, {"x"}));
  Data = ReadFileBytes(Sqd());
  EXPECT_EQ(Data.size(), Settled.size());
  EXPECT_EQ(Le32(Data, 120), Le32(Settled, 120));  // EndFrame
  EXPECT_EQ(Le32(ReadFileBytes(Sqi()), 12), Second);
  EXPECT_EQ(Le32(Data, Second + 12), SecondRoom);
  EXPECT_LT(Le32(Data, Second + 16), SecondRoom);
  EXPECT_EQ(Le32(Data, 112), Third);  // FreeFrame
  EXPECT_EQ(Le32(Data, Third + 8), 0u);
  EXPECT_EQ(Le32(Data, 108), Second);  // LastFrame
  EXPECT_EQ(Le32(Data, Second + 8), First);
}

TEST_F(SquishBaseTest, KillMessageWithoutCurrentChangesNothing) {
  MakeThree();
  const TBytes Data = ReadFileBytes(Sqd());
  const TBytes Index = ReadFileBytes(Sqi());
  TSquishMessageBase Base;
  ASSERT_TRUE(Base.Open(BasePath()));
  EXPECT_FALSE(Base.KillMessage());
  EXPECT_EQ(Base.GetStatus(), stSquishMsgNotExists);
  Base.Seek(99);
  EXPECT_FALSE(Base.KillMessage());
  // A new message that is not written yet is no stored message either.
  ASSERT_TRUE(Base.CreateNewMessage());
  EXPECT_FALSE(Base.KillMessage());
  EXPECT_EQ(Base.GetStatus(), stSquishMsgNotExists);
  Base.Close();
  EXPECT_EQ(ReadFileBytes(Sqd()), Data);
  EXPECT_EQ(ReadFileBytes(Sqi()), Index);
}

TEST_F(SquishBaseTest, LastReadFile) {
  TSquishMessageBase Base;
  ASSERT_TRUE(Base.Create(BasePath()));
  EXPECT_EQ(Base.GetLastRead(0), 0);  // no file
  Base.SetLastRead(5, 100);
  TBytes Expected(20, 0);
  PutLE32(Expected, 100);
  EXPECT_BYTES_EQ(Expected, ReadFileBytes(Sql()));
  EXPECT_EQ(Base.GetLastRead(5), 100);
  EXPECT_EQ(Base.GetLastRead(2), 0);
  EXPECT_EQ(Base.GetLastRead(6), 0);  // beyond the end
  Base.SetLastRead(1, 0x12345678);
  SetLe32(Expected, 4, 0x12345678);
  EXPECT_BYTES_EQ(Expected, ReadFileBytes(Sql()));
  // Numbers without an entry are ignored.
  Base.SetLastRead(-1, 7);
  Base.SetLastRead(0x7FFFFFFF, 7);
  EXPECT_EQ(Base.GetLastRead(-1), 0);
  EXPECT_EQ(Base.GetLastRead(0x7FFFFFFF), 0);
  EXPECT_BYTES_EQ(Expected, ReadFileBytes(Sql()));
}

// Files as another program writes them: a frame with spare room, a control
// area of several lines, text without its terminating NUL, a message with no
// control area at all, and a text that ends in a NUL.
TEST_F(SquishBaseTest, ReadsHandMadeBase) {
  const std::string Control = std::string("\x01MSGID: 1:2/3 abcdef01\x01PID: Other 1.0") + '\0';
  const std::string Text1 = "Line one\r\nLine two";  // no NUL
  const std::string Text2 = std::string("Only text\r") + '\0';
  const std::uint32_t M1 = 238 + static_cast<std::uint32_t>(Control.size() + Text1.size());
  const std::uint32_t M2 = 238 + static_cast<std::uint32_t>(Text2.size());
  const std::uint32_t F1 = 256;
  const std::uint32_t F2 = F1 + 28 + M1 + 40;

  THeaderFields Fields;
  Fields.NumMsg = 2;
  Fields.HighMsg = 2;
  Fields.Uid = 11;
  Fields.Begin = F1;
  Fields.Last = F2;
  TBytes Data = BaseHeaderBytes(Fields);
  PutFrame(Data, F2, 0, M1 + 40, M1, static_cast<std::uint32_t>(Control.size()), 0);
  PutMessageHeader(Data, 0x1, "Other", "Me", "hand made", TAddress{1, 2, 3, 0}, TAddress{}, 7);
  Append(Data, Control);
  Append(Data, Text1);
  Data.resize(Data.size() + 40, 0xEE);  // spare room
  PutFrame(Data, 0, F1, M2, M2, 0, 0);
  PutMessageHeader(Data, 0x4, "Other", "You", "no control", TAddress{}, TAddress{}, 10);
  Append(Data, Text2);
  ASSERT_TRUE(WriteFileBytes(Sqd(), Data));
  TBytes Index;
  for (const auto& [Ofs, Id] : {std::pair{F1, 7u}, std::pair{F2, 10u}}) {
    PutLE32(Index, Ofs);
    PutLE32(Index, Id);
    PutLE32(Index, 0);
  }
  ASSERT_TRUE(WriteFileBytes(Sqi(), Index));

  TSquishMessageBase Base;
  ASSERT_TRUE(Base.Open(BasePath()));
  Base.Seek(1);
  EXPECT_EQ(Base.Current(), 7);
  ASSERT_TRUE(Base.OpenMessage());
  EXPECT_EQ(Base.GetSubject(), "hand made");
  EXPECT_EQ(Lines(Base), (std::vector<std::string>{"\x01MSGID: 1:2/3 abcdef01",
                                                   "\x01PID: Other 1.0", "Line one", "Line two"}));
  TAddress From;
  Base.GetFromAddress(From);
  EXPECT_TRUE(AddressEqu(From, TAddress{1, 2, 3, 0}));
  Base.SeekNext();
  EXPECT_EQ(Base.Current(), 10);
  ASSERT_TRUE(Base.OpenMessage());
  EXPECT_EQ(Base.GetTextSize(), 10);  // the NUL is gone, nothing else
  EXPECT_EQ(Lines(Base), std::vector<std::string>{"Only text"});
  ASSERT_TRUE(Base.OpenMessageHeader());
  EXPECT_EQ(Base.GetTextSize(), 0);
}

// --- Damaged files ---

struct TBadFrameCase {
  const char* Name;
  std::function<void(TBytes& Data, TBytes& Index)> Damage;
  std::int32_t Status;
  bool KillRefused = true;
};

TEST_F(SquishBaseTest, BadHeadersReportStatus) {
  MakeThree();
  const TBytes GoodData = ReadFileBytes(Sqd());
  const TBytes GoodIndex = ReadFileBytes(Sqi());
  const std::size_t F = Le32(GoodIndex, 12);  // the second message's frame
  const std::vector<TBadFrameCase> Cases{
      {"wrong signature", [&](TBytes& D, TBytes&) { D[F] ^= 0xFF; }, stSquishGrungedFrame},
      {"free frame", [&](TBytes& D, TBytes&) { D[F + 24] = 1; }, stSquishGrungedFrame},
      {"huge control area", [&](TBytes& D, TBytes&) { SetLe32(D, F + 20, 0xFFFFFFFF); },
       stSquishGrungedFrame, false},
      {"control area at the reader's limit",
       [&](TBytes& D, TBytes&) { SetLe32(D, F + 20, SquishMaxClenLength + 1); },
       stSquishGrungedFrame, false},
      {"message longer than frame",
       [&](TBytes& D, TBytes&) { SetLe32(D, F + 16, Le32(D, F + 12) + 1); }, stSquishGrungedFrame,
       false},
      {"message past end of file",
       [&](TBytes& D, TBytes&) {
         SetLe32(D, F + 12, 0x7FFFFFFF);
         SetLe32(D, F + 16, 0x7FFFFFF0);
       },
       stSquishGrungedFrame, false},
      {"message shorter than its header", [&](TBytes& D, TBytes&) { SetLe32(D, F + 16, 100); },
       stSquishGrungedFrame, false},
      {"control area longer than message",
       [&](TBytes& D, TBytes&) { SetLe32(D, F + 20, Le32(D, F + 16)); }, stSquishGrungedFrame,
       false},
      {"index offset past end", [&](TBytes&, TBytes& I) { SetLe32(I, 12, 0x7FFFFF00); },
       stSquishDataProblems},
      {"index offset huge", [&](TBytes&, TBytes& I) { SetLe32(I, 12, 0xFFFFFFF0); },
       stSquishDataProblems},
      {"index offset in base header", [&](TBytes&, TBytes& I) { SetLe32(I, 12, 100); },
       stSquishDataProblems},
      {"index offset zero", [&](TBytes&, TBytes& I) { SetLe32(I, 12, 0); }, stSquishIndexProblems},
      {"frame header cut by end of file",
       [&](TBytes& D, TBytes& I) { SetLe32(I, 12, static_cast<std::uint32_t>(D.size() - 10)); },
       stSquishDataProblems},
  };
  for (const TBadFrameCase& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    TBytes Data = GoodData;
    TBytes Index = GoodIndex;
    Case.Damage(Data, Index);
    ASSERT_TRUE(WriteFileBytes(Sqd(), Data));
    ASSERT_TRUE(WriteFileBytes(Sqi(), Index));
    TSquishMessageBase Base;
    ASSERT_TRUE(Base.Open(BasePath()));
    Base.Seek(2);
    ASSERT_TRUE(Base.SeekFound());
    EXPECT_FALSE(Base.OpenMessage());
    EXPECT_EQ(Base.GetStatus(), Case.Status);
    EXPECT_EQ(Base.GetMessageTextStream(), nullptr);
    EXPECT_FALSE(Base.OpenMessageHeader());
    EXPECT_EQ(Base.GetStatus(), Case.Status);
    if (Case.KillRefused) {
      // Removing it fails without touching the files.
      EXPECT_FALSE(Base.KillMessage());
      EXPECT_NE(Base.GetStatus(), stOk);
      Base.Close();
      EXPECT_EQ(ReadFileBytes(Sqd()), Data);
      EXPECT_EQ(ReadFileBytes(Sqi()), Index);
    } else {
      // Its frame is sound enough to be freed.
      EXPECT_TRUE(Base.KillMessage());
      EXPECT_EQ(Base.GetCount(), 2);
    }
  }
}

TEST_F(SquishBaseTest, FreeChainCycleEndsFirstFitSearch) {
  MakeThree();
  TSquishMessageBase Base;
  ASSERT_TRUE(Base.Open(BasePath()));
  Base.Seek(1);
  ASSERT_TRUE(Base.KillMessage());
  Base.Seek(2);
  ASSERT_TRUE(Base.KillMessage());
  Base.Close();
  // Close the free chain into a ring.
  TBytes Data = ReadFileBytes(Sqd());
  const std::uint32_t Last = Le32(Data, 116);
  SetLe32(Data, Last + 4, Le32(Data, 112));
  ASSERT_TRUE(WriteFileBytes(Sqd(), Data));

  ASSERT_TRUE(Base.Open(BasePath()));
  ASSERT_TRUE(Post(Base, {std::string(1000, 'b')}));  // fits no free frame
  EXPECT_EQ(Le32(ReadFileBytes(Sqi()), 12), Data.size());
}

TEST_F(SquishBaseTest, BrokenChainLinkRefusesTheWriteAndChangesNothing) {
  MakeThree();
  TBytes Data = ReadFileBytes(Sqd());
  SetLe32(Data, 108, 0x10000);  // LastFrame beyond the file
  ASSERT_TRUE(WriteFileBytes(Sqd(), Data));
  const TBytes Index = ReadFileBytes(Sqi());
  TSquishMessageBase Base;
  ASSERT_TRUE(Base.Open(BasePath()));
  EXPECT_FALSE(Post(Base, {"new"}));
  EXPECT_EQ(Base.GetStatus(), stSquishDataProblems);
  EXPECT_FALSE(Base.Exists(4));
  Base.Close();
  EXPECT_BYTES_EQ(Data, ReadFileBytes(Sqd()));
  EXPECT_BYTES_EQ(Index, ReadFileBytes(Sqi()));
}

// Close has no result; its status is stOk after earlier failures. A header
// change that cannot be written is undone at once, not left for Close.
TEST_F(SquishBaseTest, CloseLeavesTheStatusOfItsHeaderWrite) {
  MakeThree();
  TSquishMessageBase Base;
  ASSERT_TRUE(Base.Open(BasePath()));
  Base.SetStatus(stSquishGrungedFrame);  // left over from an earlier call
  Base.Close();
  EXPECT_EQ(Base.GetStatus(), stOk);
  const TBytes Before = ReadFileBytes(Sqd());
  ASSERT_TRUE(Base.Open(BasePath()));
  {
    testing_support::TFileSizeLimit Limit(100);  // less than the header
    Base.SetHighWater(2);
    EXPECT_EQ(Base.GetStatus(), stSquishDataProblems);
    EXPECT_EQ(Base.GetHighWater(), 0);
    Base.Close();
  }
  EXPECT_EQ(Base.GetStatus(), stOk);
  EXPECT_EQ(Before, ReadFileBytes(Sqd()));
}

// Looking at a base and closing it leaves its files as they were, bytes and
// times; a base opened read-only refuses every change.
TEST_F(SquishBaseTest, ReadOnlyOpenChangesNothing) {
  MakeThree();
  const auto Before = testing_support::SnapshotFiles(Dir.Path());
  {
    TSquishMessageBase Writer;  // opened for writing, but nothing changes
    ASSERT_TRUE(Writer.Open(BasePath()));
    Writer.Seek(1);
    ASSERT_TRUE(Writer.OpenMessage());
    (void)Writer.CloseMessage();
    Writer.Close();
  }
  TSquishMessageBase Reader;
  Reader.SetOpenMode(omReadOnly);
  ASSERT_TRUE(Reader.Open(BasePath()));
  TSquishMessageBase Second;  // readers share the base
  Second.SetOpenMode(omReadOnly);
  ASSERT_TRUE(Second.Open(BasePath()));
  TSquishMessageBase Writer;  // a writer is kept out
  EXPECT_FALSE(Writer.Open(BasePath()));
  EXPECT_EQ(Reader.GetCount(), 3);
  Reader.Seek(2);
  ASSERT_TRUE(Reader.OpenMessage());
  EXPECT_FALSE(Reader.WriteMessage());
  EXPECT_EQ(Reader.GetStatus(), stSquishReadOnly);
  EXPECT_FALSE(Reader.WriteMessageHeader());
  EXPECT_FALSE(Reader.KillMessage());
  EXPECT_FALSE(Reader.CreateNewMessage());
  Reader.SetLastRead(1, 2);
  EXPECT_EQ(Reader.GetLastRead(1), 0);
  Reader.SetHighWater(3);
  Reader.Close();
  Second.Close();
  EXPECT_EQ(Before, testing_support::SnapshotFiles(Dir.Path()));
}

// Cuts each file at every length, reopens and reads everything; every
// failure must come with a status.
TEST_F(SquishBaseTest, TruncationSweep) {
  MakeThree();
  {
    TSquishMessageBase Base;
    ASSERT_TRUE(Base.Open(BasePath()));
    Base.Seek(2);
    ASSERT_TRUE(Base.KillMessage());
  }
  const TBytes Data = ReadFileBytes(Sqd());
  const TBytes Index = ReadFileBytes(Sqi());
  const auto Exercise = [&](const TBytes& D, const TBytes& I, std::size_t Cut) {
    SCOPED_TRACE(Cut);
    ASSERT_TRUE(WriteFileBytes(Sqd(), D));
    ASSERT_TRUE(WriteFileBytes(Sqi(), I));
    TSquishMessageBase Base;
    if (!Base.Open(BasePath())) {
      EXPECT_EQ(Base.GetStatus(), stSquishBaseHeaderProblems);
      return;
    }
    int Seen = 0;
    for (Base.Seek(1); Base.SeekFound() && Seen < 10; Base.SeekNext(), ++Seen) {
      const bool Opened = Base.OpenMessage();
      ExpectStatusOnFailure(Opened, Base);
      if (Opened) (void)Lines(Base);  // only that reading ends
      ExpectStatusOnFailure(Base.OpenMessageHeader(), Base);
    }
    ExpectStatusOnFailure(Post(Base, {"\x01"
                                      "A: b",
                                      "after the cut"}),
                          Base);
  };
  for (std::size_t Cut = 0; Cut < Data.size(); ++Cut) {
    Exercise(TBytes(Data.begin(), Data.begin() + static_cast<std::ptrdiff_t>(Cut)), Index, Cut);
  }
  for (std::size_t Cut = 0; Cut < Index.size(); ++Cut) {
    Exercise(Data, TBytes(Index.begin(), Index.begin() + static_cast<std::ptrdiff_t>(Cut)), Cut);
  }
}

TEST_F(SquishBaseTest, ByteFlipsAtChosenOffsets) {
  MakeThree();
  const TBytes Data = ReadFileBytes(Sqd());
  const TBytes Index = ReadFileBytes(Sqi());
  const std::size_t F = Le32(Index, 12);
  // Every byte of the base header and of one frame header, each byte of the
  // index records.
  std::vector<std::size_t> DataOffsets;
  for (std::size_t I = 0; I < 256; I += 1) DataOffsets.push_back(I);
  for (std::size_t I = F; I < F + 28; ++I) DataOffsets.push_back(I);
  for (const std::uint8_t Value : std::initializer_list<std::uint8_t>{0x00, 0x80, 0xFF}) {
    for (const std::size_t Offset : DataOffsets) {
      TBytes D = Data;
      D[Offset] = Value;
      ASSERT_TRUE(WriteFileBytes(Sqd(), D));
      ASSERT_TRUE(WriteFileBytes(Sqi(), Index));
      TSquishMessageBase Base;
      ASSERT_TRUE(Base.Open(BasePath()));
      for (Base.Seek(1); Base.SeekFound(); Base.SeekNext()) {
        ExpectStatusOnFailure(Base.OpenMessage(), Base);
      }
      Base.Seek(3);
      ExpectStatusOnFailure(Base.KillMessage(), Base);
      ExpectStatusOnFailure(Post(Base, {std::string(300, 'p')}), Base);
    }
    for (std::size_t Offset = 0; Offset < Index.size(); ++Offset) {
      TBytes I = Index;
      I[Offset] = Value;
      ASSERT_TRUE(WriteFileBytes(Sqd(), Data));
      ASSERT_TRUE(WriteFileBytes(Sqi(), I));
      TSquishMessageBase Base;
      ASSERT_TRUE(Base.Open(BasePath()));
      for (Base.Seek(-0x7FFFFFFF); Base.SeekFound(); Base.SeekNext()) {
        ExpectStatusOnFailure(Base.OpenMessage(), Base);
        ExpectStatusOnFailure(Base.KillMessage(), Base);
      }
    }
  }
}

// Every message of the base in index order, as its lines.
std::vector<std::vector<std::string>> AllMessages(const std::string& Path) {
  std::vector<std::vector<std::string>> Out;
  TSquishMessageBase Base;
  if (!Base.Open(Path)) return Out;
  for (Base.Seek(1); Base.SeekFound() && Out.size() < 100; Base.SeekNext()) {
    if (!Base.OpenMessage()) {
      Out.push_back({"unreadable"});
      continue;
    }
    std::vector<std::string> Message;
    while (!Base.EndOfMessage()) Message.push_back(Base.GetString());
    Out.push_back(Message);
  }
  return Out;
}

// A write that fails part way (here: at a file size limit, as on a full
// disk) is reported and puts back everything it changed. Change is applied to
// a freshly opened base and must end in a WriteMessage; it runs under every
// limit from 0 up to the size the data file reaches after a successful write.
void SweepFailedWrites(const std::function<bool(TSquishMessageBase&)>& Change,
                       const std::string& Path, const std::string& Sqd, const std::string& Sqi) {
  const TBytes Data = ReadFileBytes(Sqd);
  const TBytes Index = ReadFileBytes(Sqi);
  const auto Messages = AllMessages(Path);
  {
    TSquishMessageBase Base;
    ASSERT_TRUE(Base.Open(Path));
    ASSERT_TRUE(Change(Base));
  }
  const std::size_t Reached = std::max(ReadFileBytes(Sqd).size(), Data.size());
  int Failures = 0;
  for (std::size_t Limit = 0; Limit <= Reached; ++Limit) {
    SCOPED_TRACE(Limit);
    ASSERT_TRUE(WriteFileBytes(Sqd, Data));
    ASSERT_TRUE(WriteFileBytes(Sqi, Index));
    TSquishMessageBase Base;
    ASSERT_TRUE(Base.Open(Path));
    bool Written = false;
    {
      testing_support::TFileSizeLimit Limited(Limit);
      Written = Change(Base);
    }
    if (Written) continue;
    ++Failures;
    ASSERT_EQ(Base.GetStatus(), stSquishDataProblems);
    ASSERT_EQ(ReadFileBytes(Sqd), Data);
    ASSERT_EQ(ReadFileBytes(Sqi), Index);
    // Closing gives a new message's counts back; the header stays as it was.
    (void)Base.CloseMessage();
    Base.Close();
    ASSERT_EQ(ReadFileBytes(Sqd), Data);
    ASSERT_EQ(AllMessages(Path), Messages);
  }
  EXPECT_GT(Failures, 0);
  // With room enough the same change succeeds.
  TSquishMessageBase Base;
  ASSERT_TRUE(Base.Open(Path));
  EXPECT_TRUE(Change(Base));
}

bool WriteNew(TSquishMessageBase& Base, const std::string& Body) {
  if (!Base.CreateNewMessage()) return false;
  Base.SetTo("Sysop");
  Base.PutString("\x01MSGID: 2:5020/100 00000004");
  Base.PutString(Body);
  return Base.WriteMessage();
}

TEST_F(SquishBaseTest, FailedAppendPutsTheBaseBack) {
  MakeThree();
  SweepFailedWrites([](TSquishMessageBase& Base) { return WriteNew(Base, std::string(200, 'x')); },
                    BasePath(), Sqd(), Sqi());
}

TEST_F(SquishBaseTest, FailedWriteIntoAFreeFramePutsTheBaseBack) {
  MakeThree();
  {
    TSquishMessageBase Base;
    ASSERT_TRUE(Base.Open(BasePath()));
    Base.Seek(1);
    ASSERT_TRUE(Base.KillMessage());
  }
  // The new message fits the first frame; the link from the last frame, far
  // behind it in the file, is what fails under most limits.
  SweepFailedWrites([](TSquishMessageBase& Base) { return WriteNew(Base, "short"); }, BasePath(),
                    Sqd(), Sqi());
  TSquishMessageBase Base;
  ASSERT_TRUE(Base.Open(BasePath()));
  EXPECT_EQ(Base.GetBaseHeader().FreeFrame, 0u);
}

TEST_F(SquishBaseTest, FailedRelocationKeepsTheStoredMessage) {
  MakeThree();
  SweepFailedWrites(
      [](TSquishMessageBase& Base) {
        Base.Seek(2);
        if (!Base.OpenMessage()) return false;
        Base.SetTextPos(Base.GetTextSize());
        Base.PutString(std::string(200, 'L'));
        return Base.WriteMessage();
      },
      BasePath(), Sqd(), Sqi());
}

// --- Repairs at Open of what a writer that died left ---

// A writer stopped before its base header: a torn frame past EndFrame, an
// index record past the count with the next id, and the last frame's link
// to that frame. Open removes all three; the next message takes that id.
TEST_F(SquishBaseTest, OpenRemovesWhatADeadWriterLeftBeforeItsCommit) {
  MakeThree();
  const TBytes GoodSqd = ReadFileBytes(Sqd());
  const TBytes GoodSqi = ReadFileBytes(Sqi());
  TBytes Sqd0 = GoodSqd;
  const std::uint32_t End = Le32(Sqd0, 120);
  const std::uint32_t Last = Le32(Sqd0, 108);
  SetLe32(Sqd0, Last + 4, End);  // the last frame links to the torn one
  Sqd0.insert(Sqd0.end(), 100, 0xAB);
  TBytes Sqi0 = GoodSqi;
  PutLE32(Sqi0, End);
  PutLE32(Sqi0, 4);  // the id the header gives out next
  PutLE32(Sqi0, 0);
  ASSERT_TRUE(WriteFileBytes(Sqd(), Sqd0));
  ASSERT_TRUE(WriteFileBytes(Sqi(), Sqi0));
  {
    TSquishMessageBase Reader;
    Reader.SetOpenMode(omReadOnly);
    ASSERT_TRUE(Reader.Open(BasePath()));
    EXPECT_FALSE(Reader.Exists(4));  // readers see only what the header counts
    Reader.Close();
    EXPECT_EQ(Sqd0, ReadFileBytes(Sqd()));  // and change nothing
  }
  TSquishMessageBase Base;
  ASSERT_TRUE(Base.Open(BasePath()));
  Base.Close();
  EXPECT_BYTES_EQ(GoodSqd, ReadFileBytes(Sqd()));
  EXPECT_BYTES_EQ(GoodSqi, ReadFileBytes(Sqi()));
  ASSERT_TRUE(Base.Open(BasePath()));
  ASSERT_TRUE(Post(Base, {"next"}));
  EXPECT_EQ(Base.GetHighest(), 4);
  EXPECT_EQ(Base.GetCount(), 4);
}

// Nothing counted is ever dropped: a record past the count with an id the
// header has given out, and bytes past EndFrame that a counted record points
// to, stay where they are.
TEST_F(SquishBaseTest, OpenLeavesWhatTheHeaderMayStillCount) {
  MakeThree();
  TBytes Sqi0 = ReadFileBytes(Sqi());
  PutLE32(Sqi0, 256);
  PutLE32(Sqi0, 2);  // an id given out already
  PutLE32(Sqi0, 0);
  ASSERT_TRUE(WriteFileBytes(Sqi(), Sqi0));
  TBytes Sqd0 = ReadFileBytes(Sqd());
  SetLe32(Sqd0, 120, 300);  // EndFrame inside the first message
  ASSERT_TRUE(WriteFileBytes(Sqd(), Sqd0));
  TSquishMessageBase Base;
  ASSERT_TRUE(Base.Open(BasePath()));
  EXPECT_EQ(Base.GetCount(), 3);
  Base.Close();
  EXPECT_EQ(Sqi0, ReadFileBytes(Sqi()));
  EXPECT_EQ(Sqd0.size(), ReadFileBytes(Sqd()).size());
}

// A free frame that a dead writer had taken (it reads as a message frame
// now) breaks the free chain: the chain is given up, its frames are not
// reused, and no message is touched.
TEST_F(SquishBaseTest, OpenGivesUpABrokenFreeChain) {
  MakeThree();
  {
    TSquishMessageBase Base;
    ASSERT_TRUE(Base.Open(BasePath()));
    Base.Seek(2);
    ASSERT_TRUE(Base.KillMessage());
    Base.Close();
  }
  TBytes Sqd0 = ReadFileBytes(Sqd());
  const std::uint32_t Free = Le32(Sqd0, 112);
  ASSERT_NE(Free, 0u);
  Sqd0[Free + 24] = 0;  // the frame type: a message
  ASSERT_TRUE(WriteFileBytes(Sqd(), Sqd0));
  TSquishMessageBase Base;
  ASSERT_TRUE(Base.Open(BasePath()));
  EXPECT_EQ(Base.GetBaseHeader().FreeFrame, 0u);
  EXPECT_EQ(Base.GetBaseHeader().LastFreeFrame, 0u);
  ASSERT_TRUE(Post(Base, {"appended"}));
  EXPECT_GT(Base.GetMessageHeader().UMsgId, 3u);
  Base.Close();
  const TBytes After = ReadFileBytes(Sqd());
  EXPECT_EQ(Le32(After, 108), Le32(Sqd0, 120));  // appended, not put in the free frame
  EXPECT_EQ(Le32(After, 4), 3u);
}

}  // namespace
}  // namespace msgbase
