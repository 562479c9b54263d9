#include "msgbase/msg/msg_base.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
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
using testing_support::TFileSizeLimit;
using testing_support::TTempDir;
using testing_support::WriteFileBytes;

// 2004-08-05 13:45:30; the hundredths move on with every reading so that
// message identifiers never have to wait.
void FixedClock(TMessageBaseDateTime& D) {
  static std::uint16_t Hundredths = 0;
  D = TMessageBaseDateTime{13, 45, 30, Hundredths, 5, 8, 2004};
  Hundredths = static_cast<std::uint16_t>((Hundredths + 1) % 100);
}

// The packed form of that date: date half 0x3105 low, time half 0x6DAF high.
constexpr std::uint32_t FixedClockStamp = 0x6DAF3105;

TBytes Text(const std::string& S) {
  return TBytes(S.begin(), S.end());
}

TBytes Concat(TBytes A, const TBytes& B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

// The bytes of a header with the given names and subject and every number 0.
TBytes PlainHeader(const std::string& From, const std::string& To, const std::string& Subject,
                   const std::string& Date = "") {
  TBytes B;
  PutText(B, From, 36);
  PutText(B, To, 36);
  PutText(B, Subject, 72);
  PutText(B, Date, 20);
  B.resize(TFidoHeader::Size, 0);
  return B;
}

std::string ReadAllLines(TMessageBase& Base) {
  std::string All;
  while (!Base.EndOfMessage()) All += Base.GetString() + "|";
  return All;
}

class MsgBaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetClockSource(FixedClock);
    ResetMessageIdSerials();
  }
  void TearDown() override { SetClockSource(nullptr); }

  std::string Path(const std::string& Name) const { return Dir.File(Name); }
  void Put(const std::string& Name, const TBytes& Bytes) const {
    ASSERT_TRUE(WriteFileBytes(Path(Name), Bytes));
  }
  // A message file as other software writes it: header, text, zero byte.
  void PutMessage(std::int32_t Number, const TBytes& Header, const std::string& Body) const {
    Put(std::to_string(Number) + ".msg", Concat(Concat(Header, Text(Body)), TBytes{0}));
  }
  // Opens the base afresh and the message Number in full.
  void OpenAt(TFidoMessageBase& Base, std::int32_t Number) const {
    ASSERT_TRUE(Base.Open(Dir.Path()));
    Base.Seek(Number);
    ASSERT_EQ(Base.Current(), Number);
  }

  TTempDir Dir;
};

TEST_F(MsgBaseTest, OpenNeedsAnExistingDirectory) {
  TFidoMessageBase Base;
  EXPECT_FALSE(Base.Open(Path("missing")));
  EXPECT_EQ(Base.GetStatus(), stMsgWrongPath);
  EXPECT_FALSE(Base.GetOpened());
  EXPECT_FALSE(Base.Exist(Path("missing")));

  ASSERT_TRUE(Base.Open(Dir.Path()));
  EXPECT_EQ(Base.GetBasePath(), Dir.Path() + "/");
  ASSERT_TRUE(Base.Open(Dir.Path() + "/"));
  EXPECT_EQ(Base.GetBasePath(), Dir.Path() + "/");
  EXPECT_EQ(Base.GetCount(), 0);
  EXPECT_EQ(Base.GetHighest(), 0);
  EXPECT_TRUE(Base.Exist(Dir.Path()));

  // A path too long to store whole would make every file name point elsewhere.
  EXPECT_FALSE(Base.Open(Dir.Path() + "/" + std::string(260, 'd')));
  EXPECT_EQ(Base.GetStatus(), stMsgWrongPath);
}

// Names that differ only in case refuse the base when they are two files (a
// directory too); two links to one file are one message or one lastread
// file, opened under the name that is no symbolic link, rewritten without
// parting the names, and removed with all its names.
TEST_F(MsgBaseTest, NamesDifferingOnlyInCaseAreOneFileOrRefused) {
  enum TKind { kSymlink, kHardLink, kCopy, kDirectory };
  struct TCase {
    std::string Name;  // made first, holding the data
    std::string Twin;  // the second name
    TKind Kind;
    bool Opens;
  };
  const TCase Cases[] = {
      {"lastread", "LASTREAD", kSymlink, true},    {"LastRead", "lastread", kHardLink, true},
      {"lastread", "LASTREAD", kDirectory, false}, {"5.MSG", "5.msg", kSymlink, true},
      {"5.msg", "5.Msg", kHardLink, true},         {"5.msg", "5.MSG", kCopy, false},
  };
  int Serial = 0;
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name + " " + C.Twin);
    const std::string Sub = "c" + std::to_string(++Serial);
    const bool Message = C.Name[0] == '5';
    std::filesystem::create_directory(Path(Sub));
    Put(Sub + "/" + C.Name,
        Message ? Concat(PlainHeader("a", "b", "Five"), Text("five\r\0")) : TBytes{7, 0});
    Put(Sub + "/4.msg", TBytes{});
    const std::string From = Path(Sub + "/" + C.Name);
    const std::string To = Path(Sub + "/" + C.Twin);
    switch (C.Kind) {
      case kSymlink:
        ASSERT_EQ(::symlink(C.Name.c_str(), To.c_str()), 0);
        break;
      case kHardLink:
        ASSERT_EQ(::link(From.c_str(), To.c_str()), 0);
        break;
      case kCopy:
        std::filesystem::copy_file(From, To);
        break;
      case kDirectory:
        ASSERT_EQ(::mkdir(To.c_str(), 0755), 0);
        break;
    }
    TFidoMessageBase Base;
    ASSERT_EQ(Base.Open(Path(Sub)), C.Opens);
    if (!C.Opens) {
      EXPECT_EQ(Base.GetStatus(), stMsgTwoNames);
      EXPECT_FALSE(Base.GetOpened());
      continue;
    }
    EXPECT_EQ(Base.GetCount(), Message ? 2 : 1);
    if (!Message) {
      EXPECT_EQ(Base.GetLastRead(0), 7);
      Base.SetLastRead(0, 9);
      EXPECT_EQ(ReadFileBytes(To), (TBytes{9, 0}));
      continue;
    }
    Base.SetLocation(5);
    ASSERT_TRUE(Base.OpenMessage());
    EXPECT_EQ(Base.GetSubject(), "Five");
    Base.SetRead(true);
    ASSERT_TRUE(Base.WriteMessage());
    (void)Base.CloseMessage();  // written
    // Rewritten as a new file: both names still lead to it, the symbolic
    // link as it was, and the base still opens as one message.
    EXPECT_EQ(std::filesystem::is_symlink(To), C.Kind == kSymlink);
    EXPECT_EQ(ReadFileBytes(To)[164], 1);
    ASSERT_TRUE(Base.Open(Path(Sub)));
    EXPECT_EQ(Base.GetCount(), 2);
    // Removing the message removes every name of it.
    Base.SetLocation(5);
    ASSERT_TRUE(Base.KillMessage());
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(From)));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(To)));
    ASSERT_TRUE(Base.Open(Path(Sub)));
    EXPECT_EQ(Base.GetCount(), 1);
  }
}

TEST_F(MsgBaseTest, CreateMakesMissingDirectoriesAndKeepsExistingMessages) {
  TFidoMessageBase Base;
  ASSERT_TRUE(Base.Create(Path("a/b/c")));
  EXPECT_TRUE(Base.GetOpened());
  EXPECT_TRUE(std::filesystem::is_directory(Path("a/b/c")));
  Put("a/b/c/4.msg", PlainHeader("x", "y", "z"));
  ASSERT_TRUE(Base.Create(Path("a/b/c")));
  EXPECT_EQ(Base.GetHighest(), 4);

  // A directory that cannot be made (a file is in the way) is not reported as made.
  Put("plain", TBytes{1});
  EXPECT_FALSE(Base.Create(Path("plain/sub")));
  EXPECT_EQ(Base.GetStatus(), stMsgWrongPath);
  EXPECT_FALSE(Base.GetOpened());
}

TEST_F(MsgBaseTest, RebuildIndexRegistersOnlyMessageNumbers) {
  for (const char* Name : {"2.msg", "7.msg", "0.msg", "abc.msg", "40000.msg", "README",
                           "12.bak.msg", "12.msg", "-3.msg", ".msg", "99999999999.MSG"}) {
    Put(Name, TBytes{});
  }
  std::filesystem::create_directory(Path("9.msg"));
  TFidoMessageBase Base;
  ASSERT_TRUE(Base.Open(Dir.Path()));
  EXPECT_EQ(Base.GetCount(), 3);  // 2, 7 and 12 (named twice)
  EXPECT_EQ(Base.GetHighest(), 12);
  EXPECT_TRUE(Base.Exists(2));
  EXPECT_TRUE(Base.Exists(12));
  EXPECT_FALSE(Base.Exists(3));
  EXPECT_FALSE(Base.Exists(9));
  EXPECT_FALSE(Base.Exists(0));
  EXPECT_FALSE(Base.Exists(-1));
  EXPECT_FALSE(Base.Exists(70000));
  // Named as messages, but under numbers no message can bear: said, not read.
  EXPECT_EQ(Base.GetUncountedFiles(),
            (std::vector<std::string>{"0.msg", "40000.msg", "99999999999.MSG"}));
  Base.Seek(3);
  EXPECT_EQ(Base.Current(), 7);
  ASSERT_TRUE(Base.CreateNewMessage());
  EXPECT_EQ(Base.Current(), 13);
  EXPECT_EQ(Base.GetCount(), 3);  // a new message counts once it is written
}

TEST_F(MsgBaseTest, MapDotsCountEachNumberOnce) {
  TFidoMessageBase Base;
  Base.SetMapDot(5, true);
  Base.SetMapDot(5, true);
  Base.SetMapDot(61439, true);
  Base.SetMapDot(61440, true);
  Base.SetMapDot(-1, true);
  EXPECT_EQ(Base.GetCount(), 2);
  EXPECT_TRUE(Base.GetMapDot(61439));
  EXPECT_FALSE(Base.GetMapDot(61440));
  Base.SetMapDot(5, false);
  Base.SetMapDot(5, false);
  EXPECT_EQ(Base.GetCount(), 1);
}

// The bytes one new netmail message adds: the header with every field set,
// the control lines the base writes, the body, and the terminating zero. The
// first message of an empty area is 2.msg: 1.msg is the tosser's.
TEST_F(MsgBaseTest, NewMessageWritesExpectedBytes) {
  TFidoMessageBase Base;
  ASSERT_TRUE(Base.Create(Dir.Path()));
  Base.SetBaseType(btNetmail);
  ASSERT_TRUE(Base.CreateNewMessage());
  EXPECT_EQ(Base.Current(), 2);
  Base.SetFrom("Sender Name");
  Base.SetTo("Recipient");
  Base.SetSubject("report.zip 1/1");
  // An existing MSGID keeps its serial, so the bytes do not depend on the clock.
  Base.PutString("\x01MSGID: 1:1/1 12345678");
  TAddress From{2, 5020, 100, 0};
  TAddress To{2, 5030, 200, 3};
  Base.SetFromAndToAddress(From, To, false);
  Base.PutString("Hello");
  Base.SetAttribute(maPrivate, true);
  Base.SetAttribute(maLocal, true);
  Base.SetAttribute(maFileRequest, true);
  Base.SetAttribute(maScanned, true);  // refused: no header bit
  Base.SetReplyTo(0x10203);            // kept as its low 16 bits
  Base.SetReplyNext(7);
  ASSERT_TRUE(Base.WriteMessage());
  ASSERT_TRUE(Base.CloseMessage());

  TBytes Expected;
  PutText(Expected, "Sender Name", 36);
  PutText(Expected, "Recipient", 36);
  PutText(Expected, "report.zip 1/1", 72);
  PutText(Expected, "05 Aug 04  13:45:30", 20);
  PutLE16(Expected, 0);     // TimesRead
  PutLE16(Expected, 200);   // DestNode
  PutLE16(Expected, 100);   // OrigNode
  PutLE16(Expected, 0);     // Cost
  PutLE16(Expected, 5020);  // OrigNet
  PutLE16(Expected, 5030);  // DestNet
  PutLE32(Expected, FixedClockStamp);
  PutLE32(Expected, FixedClockStamp);
  PutLE16(Expected, 0x0203);                    // ReplyTo
  PutLE16(Expected, 0x0001 | 0x0100 | 0x0800);  // private, local, file request
  PutLE16(Expected, 7);                         // NextReply
  Expected = Concat(Expected, Text("\x01MSGID: 2:5020/100 12345678\r"
                                   "\x01INTL 2:5030/200 2:5020/100\r"
                                   "\x01TOPT 3\r"
                                   "Hello\r"));
  Expected.push_back(0);
  EXPECT_BYTES_EQ(Expected, ReadFileBytes(Path("2.msg")));
  EXPECT_FALSE(testing_support::PathExists(Path("1.msg")));
}

TEST_F(MsgBaseTest, RoundTripFieldByFieldAndLineByLine) {
  {
    TFidoMessageBase Base;
    ASSERT_TRUE(Base.Create(Dir.Path()));
    Base.SetBaseType(btNetmail);
    ASSERT_TRUE(Base.CreateNewMessage());
    Base.SetFrom(std::string(40, 'f'));
    Base.SetTo("Someone");
    Base.SetSubject(std::string(80, 's'));
    Base.SetFromAndToAddress(TAddress{1, 2, 3, 4}, TAddress{5, 6, 7, 8}, true);
    Base.PutString("first line");
    Base.PutString("");
    Base.PutString("third line");
    TMessageBaseDateTime Arrived{1, 2, 4, 0, 9, 10, 2011};
    Base.SetArrivedDateTime(Arrived);
    Base.SetAttribute(maCrash, true);
    Base.SetAttribute(maUpdateRequest, true);
    Base.SetReplyTo(65535);
    Base.SetRead(true);
    Base.SetRead(true);
    ASSERT_TRUE(Base.WriteMessage());
  }
  TFidoMessageBase Base;
  OpenAt(Base, 2);
  ASSERT_TRUE(Base.OpenMessage());
  EXPECT_EQ(Base.GetFrom(), std::string(35, 'f'));
  EXPECT_EQ(Base.GetTo(), "Someone");
  EXPECT_EQ(Base.GetSubject(), std::string(71, 's'));
  TAddress From, To;
  Base.GetFromAndToAddress(From, To);
  EXPECT_EQ(AddressToStr(From), "1:2/3.4");
  EXPECT_EQ(AddressToStr(To), "5:6/7.8");
  Base.GetFromAddress(From);
  Base.GetToAddress(To);
  EXPECT_EQ(AddressToStr(From), "1:2/3.4");
  EXPECT_EQ(AddressToStr(To), "5:6/7.8");
  EXPECT_TRUE(Base.GetAttribute(maCrash));
  EXPECT_TRUE(Base.GetAttribute(maUpdateRequest));
  EXPECT_FALSE(Base.GetAttribute(maPrivate));
  EXPECT_FALSE(Base.GetAttribute(maScanned));
  TMessageBaseDateTime D;
  Base.GetWrittenDateTime(D);
  EXPECT_EQ(GetDateTimeLine(D), "2004/08/05 13:45:30.00");
  D.Sec100 = 42;
  Base.GetArrivedDateTime(D);
  EXPECT_EQ(GetDateTimeLine(D), "2011/10/09 01:02:04.42");
  EXPECT_EQ(Base.GetReplyTo(), 65535);
  EXPECT_EQ(Base.GetReplyNext(), 0);
  EXPECT_TRUE(Base.GetRead());
  TFidoHeader H;
  Base.GetHeader(H);
  EXPECT_EQ(H.TimesRead, 2);
  Base.SetTextPos(0);
  std::string Id;
  ASSERT_TRUE(Base.GetKludge("\x01MSGID:", Id));
  EXPECT_EQ(Id.rfind("\x01MSGID: 1:2/3.4 ", 0), 0u);
  EXPECT_EQ(Id.size(), 24u);  // the serial: 8 hexadecimal digits
  Base.SetTextPos(0);
  EXPECT_EQ(ReadAllLines(Base), Id + "|\x01INTL 5:6/7 1:2/3|\x01"
                                     "FMPT 4|\x01TOPT 8|first line||third line|");
  Base.SetRead(false);
  EXPECT_FALSE(Base.GetRead());
}

TEST_F(MsgBaseTest, TextOf100BytesMakesA291ByteFile) {
  const std::string Body(99, 'b');
  {
    TFidoMessageBase Base;
    ASSERT_TRUE(Base.Create(Dir.Path()));
    ASSERT_TRUE(Base.CreateNewMessage());
    Base.PutString(Body);
    ASSERT_TRUE(Base.WriteMessage());
  }
  const TBytes File = ReadFileBytes(Path("2.msg"));
  ASSERT_EQ(File.size(), 291u);
  EXPECT_EQ(File.back(), 0);
  TFidoMessageBase Base;
  OpenAt(Base, 2);
  ASSERT_TRUE(Base.OpenMessage());
  EXPECT_EQ(Base.GetTextSize(), 100);
  EXPECT_EQ(Base.GetTextPos(), 0);
  EXPECT_EQ(Base.GetString(), Body);
}

TEST_F(MsgBaseTest, RewritingAShorterTextLeavesNoTrace) {
  TFidoMessageBase Base;
  ASSERT_TRUE(Base.Create(Dir.Path()));
  ASSERT_TRUE(Base.CreateNewMessage());
  Base.PutString(std::string(250, 'x'));
  Base.PutString(std::string(250, 'y'));
  ASSERT_TRUE(Base.WriteMessage());
  Base.SetTextPos(0);
  Base.TruncateText();
  Base.PutString("short");
  ASSERT_TRUE(Base.WriteMessage());
  const TBytes File = ReadFileBytes(Path("2.msg"));
  ASSERT_EQ(File.size(), 190u + 6u + 1u);
  EXPECT_BYTES_EQ(Text(std::string("short\r\0", 7)), TBytes(File.begin() + 190, File.end()));
}

TEST_F(MsgBaseTest, HeaderOnlyRewriteKeepsTextAndLeftoverBytes) {
  TBytes Header = PlainHeader("Alice", "Bob", "Hi");
  Header[10] = 'L';  // after the sender's zero byte
  PutMessage(3, Header, "text\r");
  TFidoMessageBase Base;
  OpenAt(Base, 3);
  ASSERT_TRUE(Base.OpenMessage());
  Base.SetRead(true);
  Base.SetAttribute(maReceived, true);
  ASSERT_TRUE(Base.WriteMessageHeader());
  Header[164] = 1;  // TimesRead
  Header[186] = 4;  // received
  EXPECT_BYTES_EQ(Concat(Concat(Header, Text("text\r")), TBytes{0}), ReadFileBytes(Path("3.msg")));
}

TEST_F(MsgBaseTest, ClosingAndWritingWithoutAnOpenMessage) {
  TFidoMessageBase Base;
  ASSERT_TRUE(Base.Create(Dir.Path()));
  ASSERT_TRUE(Base.CreateNewMessage());
  EXPECT_TRUE(Base.CloseMessage());
  EXPECT_FALSE(Base.CloseMessage());
  EXPECT_EQ(Base.GetStatus(), stMsgAlreadyClosed);
  Base.SetStatus(0);
  EXPECT_FALSE(Base.WriteMessage());
  EXPECT_EQ(Base.GetStatus(), stMsgAlreadyClosed);
  Base.SetStatus(0);
  EXPECT_FALSE(Base.WriteMessageHeader());
  EXPECT_EQ(Base.GetStatus(), stMsgAlreadyClosed);
}

TEST_F(MsgBaseTest, NewMessagePassesOverFilesOthersCreated) {
  Put("1.msg", TBytes{});
  TFidoMessageBase Base;
  ASSERT_TRUE(Base.Open(Dir.Path()));
  // Another program posts 2.msg and 3.msg after this base was opened.
  const TBytes Theirs = Concat(PlainHeader("Other", "All", "Theirs"), TBytes{0});
  Put("2.msg", Theirs);
  Put("3.msg", Theirs);
  ASSERT_TRUE(Base.CreateNewMessage());
  EXPECT_EQ(Base.Current(), 4);
  EXPECT_EQ(Base.GetHighest(), 4);
  Base.PutString("mine");
  ASSERT_TRUE(Base.WriteMessage());
  EXPECT_BYTES_EQ(Theirs, ReadFileBytes(Path("2.msg")));
  EXPECT_BYTES_EQ(Theirs, ReadFileBytes(Path("3.msg")));
  EXPECT_EQ(ReadFileBytes(Path("4.msg")).size(), 190u + 5u + 1u);
}

TEST_F(MsgBaseTest, NoNumberLeftRefusesWithStatus) {
  Put("32766.msg", TBytes{});
  TFidoMessageBase Base;
  ASSERT_TRUE(Base.Open(Dir.Path()));
  Put("32767.msg", Text("taken"));
  EXPECT_FALSE(Base.CreateNewMessage());
  EXPECT_EQ(Base.GetStatus(), stMsgCantCreateStream);
  EXPECT_EQ(ReadFileBytes(Path("32767.msg")), Text("taken"));
  EXPECT_EQ(Base.GetCount(), 1);
  Base.SetStatus(0);
  EXPECT_FALSE(Base.CreateNewMessage());
  EXPECT_EQ(Base.GetStatus(), stMsgCantCreateStream);
  EXPECT_EQ(Base.GetMessageTextStream(), nullptr);
}

TEST_F(MsgBaseTest, UnmakeableFileRefusesWithStatusAndConsumesTheNumber) {
  TFidoMessageBase Base;
  ASSERT_TRUE(Base.Create(Path("gone")));
  std::filesystem::remove(Path("gone"));
  EXPECT_FALSE(Base.CreateNewMessage());
  EXPECT_EQ(Base.GetStatus(), stMsgCantCreateStream);
  EXPECT_EQ(Base.GetHighest(), 2);
  EXPECT_EQ(Base.GetCount(), 0);
  EXPECT_FALSE(Base.Exists(2));

  TFidoMessageBase Closed;
  EXPECT_FALSE(Closed.CreateNewMessage());
  EXPECT_EQ(Closed.GetStatus(), stMsgCantCreateStream);
}

// The names in the base directory, sorted.
std::vector<std::string> Names(const std::string& Dir) {
  std::vector<std::string> Result;
  for (const auto& Entry : std::filesystem::directory_iterator(Dir))
    Result.push_back(Entry.path().filename().string());
  std::sort(Result.begin(), Result.end());
  return Result;
}

// A new message whose write fails leaves no file at all, neither a cut-off
// message nor its claimed file; it stays open and writes once room is back.
TEST_F(MsgBaseTest, FailedWriteOfANewMessageLeavesNoFile) {
  PutMessage(1, PlainHeader("a", "b", "kept"), "old\r");
  const TBytes Kept = ReadFileBytes(Path("1.msg"));
  const std::size_t Size = 190u + 12u * 251u + 1u;
  for (const std::uint64_t Bytes :
       {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{189}, std::uint64_t{190},
        std::uint64_t{1000}, static_cast<std::uint64_t>(Size - 1)}) {
    SCOPED_TRACE(Bytes);
    TFidoMessageBase Base;
    ASSERT_TRUE(Base.Open(Dir.Path()));
    ASSERT_TRUE(Base.CreateNewMessage());
    const std::int32_t Number = Base.Current();
    for (int Line = 0; Line < 12; ++Line) Base.PutString(std::string(250, 'w'));
    {
      TFileSizeLimit Limit(Bytes);
      EXPECT_FALSE(Base.WriteMessage());
    }
    EXPECT_EQ(Base.GetStatus(), stMsgCantCreateStream);
    EXPECT_EQ((std::vector<std::string>{"1.msg"}), Names(Dir.Path()));
    EXPECT_BYTES_EQ(Kept, ReadFileBytes(Path("1.msg")));
    EXPECT_FALSE(Base.Exists(Number));
    EXPECT_EQ(Base.GetCount(), 1);

    // Once room is back, the same message writes under its number.
    Base.SetStatus(0);
    ASSERT_TRUE(Base.WriteMessage());
    EXPECT_TRUE(Base.Exists(Number));
    EXPECT_EQ(Base.GetCount(), 2);
    const std::string Written = Path(std::to_string(Number) + ".msg");
    EXPECT_EQ(ReadFileBytes(Written).size(), Size);
    EXPECT_TRUE(Base.CloseMessage());
    std::filesystem::remove(Written);
  }
}

// Another program that takes the number a failed write gave back keeps its
// message: the retry refuses instead of replacing it.
TEST_F(MsgBaseTest, RetryPassesOverAFileTakenMeanwhile) {
  TFidoMessageBase Base;
  ASSERT_TRUE(Base.Create(Dir.Path()));
  ASSERT_TRUE(Base.CreateNewMessage());
  Base.PutString(std::string(300, 'm'));
  {
    TFileSizeLimit Limit(100);
    EXPECT_FALSE(Base.WriteMessage());
  }
  const TBytes Theirs = Concat(PlainHeader("Other", "All", "Theirs"), TBytes{0});
  EXPECT_EQ((std::vector<std::string>{}), Names(Dir.Path()));  // nothing left behind
  Put("1.msg", Theirs);
  Base.SetStatus(0);
  EXPECT_TRUE(Base.WriteMessage());
  EXPECT_EQ(Base.Current(), 2);
  EXPECT_BYTES_EQ(Theirs, ReadFileBytes(Path("1.msg")));
  EXPECT_EQ((std::vector<std::string>{"1.msg", "2.msg"}), Names(Dir.Path()));
}

// Temporary files of writers that died go at the next open; those of a live
// writer, and files that only look alike, stay.
TEST_F(MsgBaseTest, OpenRemovesDeadWritersTemporaryFiles) {
  PutMessage(1, PlainHeader("a", "b", "c"), "text\r");
  Put("vellumar999999999.tmp", Text("half"));  // no such process
  Put("2.msg.tmp", Text("half"));              // a rewrite of an older version
  const std::string Live = "vellumar" + std::to_string(::getpid()) + ".tmp";
  Put(Live, Text("being written"));
  Put("notes.tmp", Text("mine"));
  TFidoMessageBase Base;
  ASSERT_TRUE(Base.Open(Dir.Path()));
  EXPECT_EQ((std::vector<std::string>{"1.msg", "notes.tmp", Live}), Names(Dir.Path()));
  EXPECT_EQ(Base.GetCount(), 1);
}

// A rewrite of a stored message that fails keeps the old message whole; one
// that succeeds keeps the file's permissions.
TEST_F(MsgBaseTest, FailedRewriteKeepsTheStoredMessage) {
  PutMessage(1, PlainHeader("a", "b", "old"), std::string(400, 'o') + "\r");
  ASSERT_EQ(::chmod(Path("1.msg").c_str(), 0640), 0);
  const TBytes Old = ReadFileBytes(Path("1.msg"));
  TFidoMessageBase Base;
  OpenAt(Base, 1);
  ASSERT_TRUE(Base.OpenMessage());
  Base.SetSubject("new");
  Base.SetTextPos(Base.GetTextSize());
  Base.PutString(std::string(250, 'n'));
  for (const std::uint64_t Bytes :
       {std::uint64_t{0}, std::uint64_t{100}, std::uint64_t{190},
        static_cast<std::uint64_t>(Old.size()), static_cast<std::uint64_t>(Old.size() + 250)}) {
    SCOPED_TRACE(Bytes);
    Base.SetStatus(0);
    {
      TFileSizeLimit Limit(Bytes);
      EXPECT_FALSE(Base.WriteMessage());
    }
    EXPECT_EQ(Base.GetStatus(), stMsgCantCreateStream);
    EXPECT_BYTES_EQ(Old, ReadFileBytes(Path("1.msg")));
    EXPECT_EQ((std::vector<std::string>{"1.msg"}), Names(Dir.Path()));
    EXPECT_TRUE(Base.Exists(1));
  }
  Base.SetStatus(0);
  ASSERT_TRUE(Base.WriteMessage());
  EXPECT_EQ(ReadFileBytes(Path("1.msg")).size(), Old.size() + 251u);
  struct stat Info {};
  ASSERT_EQ(::stat(Path("1.msg").c_str(), &Info), 0);
  EXPECT_EQ(Info.st_mode & 0777, 0640u);
  // The open message now stands for the new file: a header rewrite lands there.
  Base.SetRead(true);
  ASSERT_TRUE(Base.WriteMessageHeader());
  EXPECT_EQ(ReadFileBytes(Path("1.msg"))[164], 1);
  EXPECT_EQ(ReadFileBytes(Path("1.msg")).size(), Old.size() + 251u);
}

TEST_F(MsgBaseTest, SetAFlagKeepsOneFlagsLine) {
  TFidoMessageBase Base;
  ASSERT_TRUE(Base.Create(Dir.Path()));
  ASSERT_TRUE(Base.CreateNewMessage());
  Base.PutString("\x01MSGID: 2:5020/1 00000001");
  Base.PutString("body");
  const auto TextNow = [&Base] {
    Base.SetTextPos(0);
    return ReadAllLines(Base);
  };
  EXPECT_FALSE(Base.GetAFlag("DIR"));
  Base.SetAFlag("DIR", true);
  EXPECT_EQ(TextNow(),
            "\x01MSGID: 2:5020/1 00000001|\x01"
            "FLAGS DIR|body|");
  EXPECT_TRUE(Base.GetAFlag("DIR"));
  Base.SetAFlag("IMM", true);
  Base.SetAFlag("IMM", true);
  EXPECT_EQ(TextNow(),
            "\x01MSGID: 2:5020/1 00000001|\x01"
            "FLAGS DIR IMM|body|");
  Base.SetAFlag("DIR", false);
  EXPECT_EQ(TextNow(),
            "\x01MSGID: 2:5020/1 00000001|\x01"
            "FLAGS IMM|body|");
  Base.SetAFlag("", true);
  Base.SetAFlag("IMM", false);
  EXPECT_EQ(TextNow(), "\x01MSGID: 2:5020/1 00000001|body|");
  EXPECT_FALSE(Base.GetAFlag(""));
}

TEST_F(MsgBaseTest, OverlongFlagsLineIsCutToTheLineBuffer) {
  TFidoMessageBase Base;
  ASSERT_TRUE(Base.Create(Dir.Path()));
  ASSERT_TRUE(Base.CreateNewMessage());
  Base.SetAFlag(std::string(200, 'A'), true);
  for (int I = 0; I < 90; ++I) Base.SetAFlag(std::string(199, 'B') + std::to_string(I), true);
  Base.SetTextPos(0);
  std::vector<char> Line(MaxLineSize + 100, 'z');
  const std::uint16_t Length = Base.GetStringPChar(Line.data(), MaxLineSize);
  EXPECT_EQ(Length, MaxLineSize - 1);
  EXPECT_EQ(Base.GetTextSize(), MaxLineSize);  // the line and its carriage return
}

TEST_F(MsgBaseTest, OpenMessageTextSizesFollowTheFileSize) {
  PutMessage(12, PlainHeader("a", "b", "c"), std::string(100, 't'));
  Put("13.msg", PlainHeader("a", "b", "c"));
  Put("14.msg", Concat(PlainHeader("a", "b", "c"), TBytes{0}));
  Put("15.msg", Text("short file"));
  Put("16.msg", TBytes{});
  TFidoMessageBase Base;
  OpenAt(Base, 12);
  ASSERT_TRUE(Base.OpenMessage());
  EXPECT_EQ(Base.GetTextSize(), 100);
  EXPECT_EQ(Base.GetFrom(), "a");
  for (const std::int32_t Number : {13, 14}) {
    Base.SetCurrent(Number);
    ASSERT_TRUE(Base.OpenMessage()) << Number;
    EXPECT_EQ(Base.GetTextSize(), 0) << Number;
    ASSERT_TRUE(Base.OpenMessageHeader()) << Number;
    EXPECT_EQ(Base.GetTextSize(), 0) << Number;
  }
  // A file too short for its header is no message with empty fields: it is
  // damaged, and stays listed under its number, which is never given again.
  for (const std::int32_t Number : {15, 16}) {
    Base.SetCurrent(Number);
    Base.SetStatus(0);
    EXPECT_FALSE(Base.OpenMessage()) << Number;
    EXPECT_EQ(Base.GetStatus(), stMsgDamagedFile) << Number;
    EXPECT_FALSE(Base.OpenMessageHeader()) << Number;
    EXPECT_EQ(Base.GetMessageTextStream(), nullptr);
  }
  EXPECT_TRUE(Base.Exists(16));
  ASSERT_TRUE(Base.CreateNewMessage());
  EXPECT_EQ(Base.Current(), 17);
}

TEST_F(MsgBaseTest, OpenMessageFailures) {
  TFidoMessageBase Base;
  OpenAt(Base, 0);
  Base.SetCurrent(5);
  EXPECT_FALSE(Base.OpenMessage());
  EXPECT_EQ(Base.GetStatus(), stMsgNotFound);
  EXPECT_FALSE(Base.OpenMessageHeader());
  EXPECT_EQ(Base.GetStatus(), stMsgNotFound);

  PutMessage(6, PlainHeader("a", "b", "c"), "x");
  ASSERT_TRUE(Base.Open(Dir.Path()));
  std::filesystem::remove(Path("6.msg"));
  Base.SetCurrent(6);
  EXPECT_FALSE(Base.OpenMessage());
  EXPECT_EQ(Base.GetStatus(), stMsgCantCreateStream);
  EXPECT_FALSE(Base.CloseMessage());  // nothing was left open
}

TEST_F(MsgBaseTest, AReadOnlyBaseReadsListedFilesInOneGoAndNothingElseThatWay) {
  PutMessage(1, PlainHeader("a", "b", "c"), "short");
  const std::string Long(70000, 'l');  // longer than one read
  PutMessage(2, PlainHeader("a", "b", "c"), Long);
  PutMessage(3, PlainHeader("a", "b", "c"), "becomes a FIFO");
  ASSERT_EQ(0, ::symlink(Path("1.msg").c_str(), Path("4.msg").c_str()));
  Put("5.msg", Text("short file"));
  TFidoMessageBase Base;
  Base.SetOpenMode(omReadOnly);
  ASSERT_TRUE(Base.Open(Dir.Path()));
  std::filesystem::remove(Path("3.msg"));
  ASSERT_EQ(0, ::mkfifo(Path("3.msg").c_str(), 0644));
  const struct {
    std::int32_t Number;
    std::string Text;
    std::int32_t Failure;  // stOk: the message is read
  } Cases[] = {{1, "short", stOk},
               {2, Long, stOk},
               {3, "", stMsgCantCreateStream},
               {4, "short", stOk},
               {5, "", stMsgDamagedFile}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Number);
    Base.SetCurrent(C.Number);
    Base.SetStatus(0);
    ASSERT_EQ(C.Failure == stOk, Base.OpenMessage());
    if (C.Failure != stOk) {
      EXPECT_EQ(C.Failure, Base.GetStatus());
      continue;
    }
    EXPECT_EQ(static_cast<std::int32_t>(C.Text.size()), Base.GetTextSize());
    std::string Read(C.Text.size(), '\0');
    Base.SetTextPos(0);
    Base.ReadText(Read.data(),
                  static_cast<std::uint16_t>(std::min<std::size_t>(Read.size(), 65535)));
    EXPECT_EQ(C.Text.substr(0, 65535), Read.substr(0, 65535));
    EXPECT_EQ("a", Base.GetFrom());
  }
}

TEST_F(MsgBaseTest, HugeTextIsRefusedWithoutReading) {
  const std::string Name = Path("1.msg");
  Put("1.msg", TBytes{});
  std::filesystem::resize_file(Name, static_cast<std::uintmax_t>(MaxFidoTextSize) + 192u);
  TFidoMessageBase Base;
  OpenAt(Base, 1);
  EXPECT_FALSE(Base.OpenMessage());
  EXPECT_EQ(Base.GetStatus(), stMsgBufferOverflow);
  EXPECT_EQ(Base.GetMessageTextStream(), nullptr);
  // Its header and (absent) control lines can still be looked at.
  EXPECT_TRUE(Base.OpenMessageHeader());
  EXPECT_EQ(Base.GetTextSize(), 0);
}

TEST_F(MsgBaseTest, OpenMessageHeaderTakesTheTopControlLines) {
  PutMessage(1, PlainHeader("a", "b", "c"),
             "\x01MSGID: 1:2/3 abc\r\x01PID: x\rBody\r\x01LATE: y\r");
  PutMessage(2, PlainHeader("a", "b", "c"),
             "AREA:ECHO\r\x01"
             "A\n\x01"
             "B\r\nBody\r\x01"
             "C\r");
  PutMessage(3, PlainHeader("a", "b", "c"), "\x01ONLY");
  TFidoMessageBase Base;
  OpenAt(Base, 1);
  ASSERT_TRUE(Base.OpenMessageHeader());
  EXPECT_EQ(Base.GetTextPos(), Base.GetTextSize());
  Base.SetTextPos(0);
  EXPECT_EQ(ReadAllLines(Base), "\x01MSGID: 1:2/3 abc|\x01PID: x|");
  EXPECT_EQ(Base.GetTextSize(), 26);
  Base.SetCurrent(2);
  ASSERT_TRUE(Base.OpenMessageHeader());
  Base.SetTextPos(0);
  EXPECT_EQ(ReadAllLines(Base),
            "\x01"
            "A|\x01"
            "B|");
  EXPECT_EQ(Base.GetTextSize(), 6);
  Base.SetCurrent(3);
  ASSERT_TRUE(Base.OpenMessageHeader());
  Base.SetTextPos(0);
  EXPECT_EQ(ReadAllLines(Base), "\x01ONLY|");

  // The message file is still open and owned by the base.
  Base.SetRead(true);
  ASSERT_TRUE(Base.WriteMessageHeader());
  EXPECT_EQ(ReadFileBytes(Path("3.msg"))[164], 1);
  EXPECT_TRUE(Base.CloseMessage());
}

TEST_F(MsgBaseTest, OverlongControlLineIsCutWhenScanned) {
  PutMessage(1, PlainHeader("a", "b", "c"), "\x01" + std::string(20000, 'K') + "\r\x01NEXT\r");
  TFidoMessageBase Base;
  OpenAt(Base, 1);
  ASSERT_TRUE(Base.OpenMessageHeader());
  EXPECT_EQ(Base.GetTextSize(), MaxLineSize + 6);
  std::string Next;
  EXPECT_TRUE(Base.GetKludge("\x01NEXT", Next));
}

TEST_F(MsgBaseTest, ReadsAMessageAsOtherSoftwareWritesIt) {
  // Weekday date, line feeds, a FLAGS line, and leftovers after the names.
  TBytes Header = PlainHeader("Other", "Someone", "Re: hello", "Thu 05 Aug 04 13:45");
  std::copy_n(Text("old").begin(), 3, Header.begin() + 45);
  PutMessage(7, Header,
             "AREA:TEST\n\x01MSGID: 2:5020/100 1234abcd\n\x01"
             "FLAGS DIR IMM\nBody text\n");
  TFidoMessageBase Base;
  OpenAt(Base, 7);
  ASSERT_TRUE(Base.OpenMessage());
  EXPECT_EQ(Base.GetTo(), "Someone");
  TMessageBaseDateTime D;
  Base.GetWrittenDateTime(D);
  EXPECT_EQ(GetDateTimeLine(D), "2004/08/05 13:45:00.00");
  EXPECT_TRUE(Base.GetAFlag("IMM"));
  Base.SetTextPos(0);
  EXPECT_EQ(ReadAllLines(Base),
            "AREA:TEST|\x01MSGID: 2:5020/100 1234abcd|\x01"
            "FLAGS DIR IMM|Body text|");
  TAddress From;
  Base.GetFromAddress(From);
  EXPECT_EQ(AddressToStr(From), "2:5020/100.0");
}

TEST_F(MsgBaseTest, AddressesFromHeaderAndControlLines) {
  TBytes Header = PlainHeader("a", "b", "c");
  Header[166] = 200 & 0xFF;  // DestNode 200
  Header[168] = 100;         // OrigNode 100
  Header[172] = 5020 & 0xFF;
  Header[173] = 5020 >> 8;  // OrigNet 5020
  PutMessage(1, Header, "plain text\r");
  PutMessage(2, Header,
             "\x01INTL 3:40/50 4:60/70\r\x01"
             "FMPT 9\rtext\r");
  TFidoMessageBase Base;
  OpenAt(Base, 1);
  ASSERT_TRUE(Base.OpenMessage());
  TAddress A{7, 7, 7, 7};
  Base.GetFromAddress(A);
  EXPECT_EQ(AddressToStr(A), "2:5020/100.0");
  Base.GetToAddress(A);
  EXPECT_EQ(AddressToStr(A), "2:0/200.0");
  Base.SetCurrent(2);
  ASSERT_TRUE(Base.OpenMessage());
  TAddress From, To;
  Base.GetFromAndToAddress(From, To);
  EXPECT_EQ(AddressToStr(From), "4:60/70.9");
  EXPECT_EQ(AddressToStr(To), "3:40/50.0");
}

TEST_F(MsgBaseTest, LastReadEntries) {
  TFidoMessageBase Base;
  EXPECT_EQ(Base.GetLastRead(0), 0);  // not open
  ASSERT_TRUE(Base.Open(Dir.Path()));
  EXPECT_EQ(Base.GetLastRead(0), 0);  // no file
  Base.SetLastRead(2, 70000);
  EXPECT_BYTES_EQ((TBytes{0, 0, 0, 0, 0x70, 0x11}), ReadFileBytes(Path("lastread")));
  EXPECT_EQ(Base.GetLastRead(2), 4464);
  EXPECT_EQ(Base.GetLastRead(3), 0);  // beyond a 6-byte file
  Base.SetLastRead(0, 0x1234);
  Base.SetLastRead(3, 0xFFFF);
  EXPECT_BYTES_EQ((TBytes{0x34, 0x12, 0, 0, 0x70, 0x11, 0xFF, 0xFF}),
                  ReadFileBytes(Path("lastread")));
  EXPECT_EQ(Base.GetLastRead(3), 65535);
  // Out-of-range users neither read nor write.
  Base.SetLastRead(-1, 9);
  Base.SetLastRead(0x7FFFFFFF, 9);
  EXPECT_EQ(Base.GetLastRead(-1), 0);
  EXPECT_EQ(Base.GetLastRead(0x7FFFFFFF), 0);
  EXPECT_EQ(ReadFileBytes(Path("lastread")).size(), 8u);
}

TEST_F(MsgBaseTest, KillMessageRemovesFileAndMapEntry) {
  for (const std::int32_t N : {1, 2}) PutMessage(N, PlainHeader("a", "b", "c"), "x");
  TFidoMessageBase Base;
  OpenAt(Base, 2);
  EXPECT_TRUE(Base.KillMessage());
  EXPECT_FALSE(testing_support::PathExists(Path("2.msg")));
  EXPECT_EQ(Base.GetCount(), 1);
  EXPECT_EQ(Base.GetHighest(), 2);
  EXPECT_EQ(Base.Current(), 2);
  Base.SetStatus(0);
  EXPECT_FALSE(Base.KillMessage());
  EXPECT_EQ(Base.GetStatus(), 0);
  ASSERT_TRUE(Base.CreateNewMessage());
  EXPECT_EQ(Base.Current(), 3);  // the killed number is not reused
  Base.Close();
  Base.SetCurrent(1);
  EXPECT_FALSE(Base.KillMessage());  // a closed base touches no file
  EXPECT_TRUE(testing_support::PathExists(Path("1.msg")));
}

// A removal takes only the file that was read: one another program put
// under the number since is left, and so is a message rewritten in place.
TEST_F(MsgBaseTest, KillRemovesOnlyTheFileThatWasRead) {
  for (const std::int32_t N : {1, 2, 3}) PutMessage(N, PlainHeader("a", "b", "c"), "x");
  TFidoMessageBase Base;
  OpenAt(Base, 3);
  ASSERT_TRUE(Base.OpenMessage());
  // Meanwhile 3 is removed and a new posting takes its number.
  const TBytes Newer = Concat(PlainHeader("new", "b", "c"), TBytes{0});
  ASSERT_EQ(0, ::unlink(Path("3.msg").c_str()));
  Put("3.msg", Newer);
  EXPECT_FALSE(Base.KillMessage());
  EXPECT_EQ(Base.GetStatus(), stMsgNotFound);
  EXPECT_BYTES_EQ(Newer, ReadFileBytes(Path("3.msg")));
  EXPECT_EQ((std::vector<std::string>{"1.msg", "2.msg", "3.msg"}), Names(Dir.Path()));
  // Read again, it is the message read and goes.
  Base.Seek(3);
  ASSERT_TRUE(Base.OpenMessageHeader());
  EXPECT_TRUE(Base.KillMessage());
  // One never read through the base goes by its number.
  Base.Seek(2);
  EXPECT_TRUE(Base.KillMessage());
  EXPECT_EQ((std::vector<std::string>{"1.msg"}), Names(Dir.Path()));
}

// A remover that died with a message set aside is undone at the next open;
// a set-aside file of a live process stays.
TEST_F(MsgBaseTest, OpenPutsBackWhatADeadRemoverSetAside) {
  PutMessage(1, PlainHeader("a", "b", "c"), "x");
  Put("2.vellumar999999999.kill", Text("message two"));
  const std::string Live = "3.vellumar" + std::to_string(::getpid()) + ".kill";
  Put(Live, Text("being removed"));
  TFidoMessageBase Base;
  ASSERT_TRUE(Base.Open(Dir.Path()));
  EXPECT_EQ((std::vector<std::string>{"1.msg", "2.msg", Live}), Names(Dir.Path()));
  EXPECT_EQ(Text("message two"), ReadFileBytes(Path("2.msg")));
}

// A name taken at the writer's temporary name, by a link planted there or a
// file left behind, is passed over and never written through.
TEST_F(MsgBaseTest, TemporaryNameInUseIsPassedOver) {
  const std::string Victim = Dir.File("victim");
  ASSERT_TRUE(testing_support::WriteFileText(Victim, "not yours"));
  const std::string Temp = "vellumar" + std::to_string(::getpid()) + ".tmp";
  ASSERT_EQ(0, ::symlink(Victim.c_str(), Path(Temp).c_str()));
  TFidoMessageBase Base;
  ASSERT_TRUE(Base.Create(Dir.Path()));
  ASSERT_TRUE(Base.CreateNewMessage());
  Base.PutString("posted");
  ASSERT_TRUE(Base.WriteMessage());
  EXPECT_EQ("not yours", testing_support::ReadFileText(Victim));
  const std::string Posted = std::to_string(Base.Current()) + ".msg";
  struct stat Info {};
  ASSERT_EQ(0, ::lstat(Path(Posted).c_str(), &Info));
  EXPECT_TRUE(S_ISREG(Info.st_mode));
  EXPECT_EQ((std::vector<std::string>{Posted, Temp, "victim"}), Names(Dir.Path()));
}

// Every prefix of a real message file, and of a lastread file, opens and reads
// without a crash; the text is what lies between header and last byte.
TEST_F(MsgBaseTest, TruncationSweep) {
  {
    TFidoMessageBase Base;
    ASSERT_TRUE(Base.Create(Dir.Path()));
    Base.SetBaseType(btNetmail);
    ASSERT_TRUE(Base.CreateNewMessage());
    Base.SetFromAndToAddress(TAddress{2, 1, 2, 3}, TAddress{2, 4, 5, 6}, true);
    Base.PutString("line one");
    Base.PutString("line two");
    ASSERT_TRUE(Base.WriteMessage());
    Base.SetLastRead(3, 1);
  }
  const TBytes Whole = ReadFileBytes(Path("2.msg"));
  ASSERT_GT(Whole.size(), 191u);
  const TBytes LastRead = ReadFileBytes(Path("lastread"));
  for (std::size_t Length = 0; Length <= Whole.size(); ++Length) {
    Put("2.msg", TBytes(Whole.begin(), Whole.begin() + static_cast<std::ptrdiff_t>(Length)));
    TFidoMessageBase Base;
    OpenAt(Base, 2);
    if (Length < 190) {
      EXPECT_FALSE(Base.OpenMessage()) << Length;
      EXPECT_FALSE(Base.OpenMessageHeader()) << Length;
      continue;
    }
    ASSERT_TRUE(Base.OpenMessage()) << Length;
    const auto Expected = Length > 191 ? static_cast<std::int32_t>(Length) - 191 : 0;
    EXPECT_EQ(Base.GetTextSize(), Expected) << Length;
    (void)ReadAllLines(Base);
    TAddress From, To;
    Base.GetFromAndToAddress(From, To);
    ASSERT_TRUE(Base.OpenMessageHeader()) << Length;
    // The scan also reads the last byte and ends a cut line with a carriage return.
    EXPECT_LE(Base.GetTextSize(), Expected + 2) << Length;
    if (Length <= LastRead.size()) {
      Put("lastread",
          TBytes(LastRead.begin(), LastRead.begin() + static_cast<std::ptrdiff_t>(Length)));
      EXPECT_EQ(Base.GetLastRead(3), Length == LastRead.size() ? 1 : 0) << Length;
    }
  }
}

// Headers as a careless or hostile writer might leave them: every getter
// answers from the bytes that are there and never reads past a field.
TEST_F(MsgBaseTest, BadHeaders) {
  struct TCase {
    std::size_t Offset;
    TBytes Bytes;
    const char* Getter;
    std::string Expected;
  };
  const std::vector<TCase> Cases = {
      {0, TBytes(36, 'F'), "from", std::string(36, 'F')},
      {36, TBytes(36, 'T'), "to", std::string(36, 'T')},
      {72, TBytes(72, 'S'), "subject", std::string(72, 'S')},
      {144, TBytes(20, '9'), "written", "2000/00/00 00:00:00.00"},
      {144, Text("99 Foo 99  99:99:99\x7F"), "written", "1999/00/99 99:99:00.00"},
      {144, Text("--------------------"), "written", "2000/00/00 00:00:00.00"},
      {144, Text("Mon 01 Jan 80 25:61"), "written", "1980/01/01 25:61:00.00"},
      {180, TBytes{0xFF, 0xFF, 0xFF, 0xFF}, "arrived", "2107/15/31 31:63:62.00"},
      {184, TBytes{0xFF, 0xFF}, "replyto", "65535"},
  };
  for (const TCase& C : Cases) {
    TBytes Header = PlainHeader("a", "b", "c", "05 Aug 04  13:45:30");
    std::copy(C.Bytes.begin(), C.Bytes.end(),
              Header.begin() + static_cast<std::ptrdiff_t>(C.Offset));
    PutMessage(1, Header, "");
    TFidoMessageBase Base;
    OpenAt(Base, 1);
    ASSERT_TRUE(Base.OpenMessage());
    const std::string Getter = C.Getter;
    std::string Actual;
    TMessageBaseDateTime D;
    if (Getter == "from") Actual = Base.GetFrom();
    if (Getter == "to") Actual = Base.GetTo();
    if (Getter == "subject") Actual = Base.GetSubject();
    if (Getter == "written") {
      Base.GetWrittenDateTime(D);
      Actual = GetDateTimeLine(D);
    }
    if (Getter == "arrived") {
      Base.GetArrivedDateTime(D);
      Actual = GetDateTimeLine(D);
    }
    if (Getter == "replyto") Actual = std::to_string(Base.GetReplyTo());
    EXPECT_EQ(Actual, C.Expected) << C.Getter << " at " << C.Offset;
  }
}

// Single bytes flipped in a written file: the base still opens and reads it.
TEST_F(MsgBaseTest, ByteFlipsAtChosenOffsets) {
  {
    TFidoMessageBase Base;
    ASSERT_TRUE(Base.Create(Dir.Path()));
    ASSERT_TRUE(Base.CreateNewMessage());
    Base.SetFrom("Sender");
    Base.PutString("\x01MSGID: 2:5020/1 00000001");
    Base.PutString("body");
    ASSERT_TRUE(Base.WriteMessage());
  }
  const TBytes Whole = ReadFileBytes(Path("2.msg"));
  ASSERT_GT(Whole.size(), 191u);
  for (const std::size_t Offset :
       {0u, 6u, 35u, 163u, 176u, 179u, 190u, 191u, 215u, static_cast<unsigned>(Whole.size() - 1)}) {
    TBytes Flipped = Whole;
    Flipped[Offset] = static_cast<std::uint8_t>(Flipped[Offset] ^ 0xFF);
    Put("2.msg", Flipped);
    TFidoMessageBase Base;
    OpenAt(Base, 2);
    ASSERT_TRUE(Base.OpenMessage()) << Offset;
    EXPECT_EQ(Base.GetTextSize(), static_cast<std::int32_t>(Whole.size()) - 191) << Offset;
    (void)Base.GetFrom();
    TMessageBaseDateTime D;
    Base.GetWrittenDateTime(D);
    (void)ReadAllLines(Base);
    ASSERT_TRUE(Base.OpenMessageHeader()) << Offset;
  }
}

}  // namespace
}  // namespace msgbase
