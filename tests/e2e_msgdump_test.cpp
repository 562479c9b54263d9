// End-to-end tests of msgdump: small bases of each format are built with the
// library in this process, then the built msgdump runs on them as a separate
// process and is judged by its standard output, exit status and the files of
// the base (which only --kill and --set-lastread may change: every other run
// leaves their bytes and modification times as they were).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "msgbase/date_time.h"
#include "msgbase/message_base.h"
#include "msgbase/open_base.h"
#include "msgbase/transaction.h"
#include "testing/test_support.h"
#include "tests/run_program.h"

namespace vellumar_tests {
namespace {

using testing_support::TTempDir;

// A clock that moves on by one hundredth at every reading, so that dates and
// message identifiers are the same in every run.
std::uint16_t ClockTicks = 0;
void SteppingClock(msgbase::TMessageBaseDateTime& D) {
  D = {10, 20, 30, 0, 5, 3, 2004};
  D.Sec100 = static_cast<std::uint16_t>(ClockTicks++ % 100);
}

const msgbase::TMessageBaseDateTime Written{7, 8, 10, 0, 5, 3, 2004};

class MsgDumpTest : public ::testing::TestWithParam<char> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Dir.Path().empty());
    Program = InstallProgram(MSGDUMP_BINARY, Dir.Path(), "msgdump");
    ASSERT_FALSE(Program.empty());
    Area = Dir.File("area");
    // The *.msg base is the directory itself; the others are files in it.
    Id = std::string(1, GetParam()) + (GetParam() == 'F' ? Area : Area + "/echo");
  }

  void TearDown() override { msgbase::SetClockSource(nullptr); }

  // Three netmail messages "Subject 1".."Subject 3" from 2:5020/100.1 to
  // 2:5020/200, private and local.
  void BuildBase() {
    ClockTicks = 0;
    msgbase::SetClockSource(SteppingClock);
    msgbase::ResetMessageIdSerials();
    msgbase::PMessageBase Base;
    ASSERT_TRUE(msgbase::OpenOrCreateMessageBase(Base, Id)) << msgbase::GetOpenStatus();
    Base->SetBaseType(msgbase::btNetmail);
    for (int I = 1; I <= 3; ++I) {
      const std::string N = std::to_string(I);
      ASSERT_TRUE(Base->CreateNewMessage());
      Base->SetFrom("Sysop " + N);
      Base->SetTo("User");
      Base->SetSubject("Subject " + N);
      Base->SetFromAndToAddress({2, 5020, 100, 1}, {2, 5020, 200, 0}, true);
      Base->PutString("Hello " + N);
      Base->PutString("caf\xE9 \"quoted\"");
      Base->SetAttribute(msgbase::maPrivate, true);
      Base->SetAttribute(msgbase::maLocal, true);
      Base->SetWrittenDateTime(Written);
      ASSERT_TRUE(Base->WriteMessage()) << Base->GetStatus();
      ASSERT_TRUE(Base->CloseMessage());
    }
    ASSERT_TRUE(msgbase::CloseMessageBase(Base));
    // A new *.msg area starts at 2.msg, leaving 1.msg to the tosser; here the
    // messages are numbered from 1, as other software may have numbered them,
    // so that every format lists "Message 1" to "Message 3".
    if (GetParam() == 'F') {
      for (int I = 1; I <= 3; ++I) {
        std::filesystem::rename(Area + "/" + std::to_string(I + 1) + ".msg",
                                Area + "/" + std::to_string(I) + ".msg");
      }
    }
  }

  TRunResult Run(const std::vector<std::string>& Args, const std::string& StdoutPath = "") {
    TRunOptions Options;
    Options.WorkDir = Dir.Path();
    Options.StdoutPath = StdoutPath;
    TRunResult Result = RunProgram(Program, Args, Options);
    EXPECT_TRUE(Result.Started);
    EXPECT_FALSE(Result.TimedOut);
    EXPECT_TRUE(Result.Exited);
    return Result;
  }

  // Runs Asserts (Python, the document as d and its messages as m) on the JSON
  // document in File: "ok\n" when they hold, "no python3" when nothing can
  // run them, otherwise what went wrong and the document.
  static std::string CheckJson(const std::string& File, const std::string& Asserts) {
    const TRunResult Py =
        RunProgram("/usr/bin/env", {"python3", "-c",
                                    "import json, sys\n"
                                    "d = json.load(open(sys.argv[1], encoding='utf-8'))\n"
                                    "m = d['messages']\n" +
                                        Asserts + "\nprint('ok')\n",
                                    File});
    if (!Py.Exited || Py.ExitStatus == 127) return "no python3";
    if (Py.ExitStatus == 0) return Py.Stdout;
    return Py.Stdout + Py.Stderr + testing_support::ReadFileText(File);
  }

  // The lines of the listing from "Message N" up to the blank line after it.
  static std::vector<std::string> MessageBlock(const std::vector<std::string>& Lines,
                                               const std::string& Number) {
    std::vector<std::string> Block;
    bool In = false;
    for (const std::string& Line : Lines) {
      if (Line == "Message " + Number) In = true;
      if (In && Line.empty()) break;
      if (In) Block.push_back(Line);
    }
    return Block;
  }

  static bool Has(const std::vector<std::string>& Lines, const std::string& Line) {
    for (const std::string& L : Lines) {
      if (L == Line) return true;
    }
    return false;
  }

  TTempDir Dir;
  std::string Program;
  std::string Area;
  std::string Id;
};

TEST_P(MsgDumpTest, ListsEveryMessageWithHeaderAndVisibleText) {
  BuildBase();
  const auto Before = testing_support::SnapshotFiles(Area);
  const TRunResult R = Run({Id, "--netmail"});
  EXPECT_EQ(0, R.ExitStatus) << R.Stdout;
  const std::vector<std::string> L = R.Lines();
  ASSERT_FALSE(L.empty());
  EXPECT_EQ("Base " + Id + ": 3 messages, highest number " + (GetParam() == 'J' ? "4" : "3"), L[0]);
  for (const std::string N : {"1", "2", "3"}) {
    const std::vector<std::string> B = MessageBlock(L, N);
    ASSERT_GE(B.size(), 9u) << R.Stdout;
    EXPECT_EQ("From:       Sysop " + N + " (2:5020/100.1)", B[1]);
    EXPECT_EQ("To:         User (2:5020/200)", B[2]);
    EXPECT_EQ("Subject:    Subject " + N, B[3]);
    EXPECT_EQ("Written:    2004/03/05 07:08:10.00", B[4]);
    EXPECT_EQ("Arrived:    2004/03/05 10:20:30.", B[5].substr(0, 32));
    EXPECT_EQ("Attributes: Pvt Loc", B[6]);
    EXPECT_EQ("Text:", B[7]);
    EXPECT_TRUE(Has(B, "  ^AINTL 2:5020/200 2:5020/100")) << R.Stdout;
    EXPECT_TRUE(Has(B, "  ^AFMPT 1")) << R.Stdout;
    EXPECT_TRUE(Has(B, "  Hello " + N)) << R.Stdout;
    EXPECT_TRUE(Has(B, "  caf\xE9 \"quoted\"")) << R.Stdout;
  }
  EXPECT_EQ(Before, testing_support::SnapshotFiles(Area));
}

TEST_P(MsgDumpTest, HeadersOnlyLeavesTheBodyOut) {
  BuildBase();
  const TRunResult R = Run({"--headers", "--netmail", Id});
  EXPECT_EQ(0, R.ExitStatus) << R.Stdout;
  const std::vector<std::string> B = MessageBlock(R.Lines(), "2");
  ASSERT_GE(B.size(), 8u) << R.Stdout;
  EXPECT_EQ("Subject:    Subject 2", B[3]);
  EXPECT_EQ("Control lines:", B[7]);
  EXPECT_TRUE(Has(B, "  ^AINTL 2:5020/200 2:5020/100")) << R.Stdout;
  EXPECT_FALSE(Has(B, "  Hello 2")) << R.Stdout;
}

TEST_P(MsgDumpTest, JsonIsValidAndCarriesEveryField) {
  BuildBase();
  const auto Before = testing_support::SnapshotFiles(Area);
  const std::string Out = Dir.File("out.json");
  ASSERT_TRUE(testing_support::WriteFileText(Out, ""));
  const TRunResult R = Run({"--json", "--netmail", Id}, Out);
  EXPECT_EQ(0, R.ExitStatus);
  const std::string Json = testing_support::ReadFileText(Out);
  // Key lines, whatever a JSON reader is at hand.
  EXPECT_NE(std::string::npos, Json.find("\n  \"count\": 3,\n")) << Json;
  EXPECT_NE(std::string::npos, Json.find("\"subject\": \"Subject 3\",")) << Json;
  EXPECT_NE(std::string::npos,
            Json.find("\"from_address\": {\"text\": \"2:5020/100.1\", \"zone\": 2, "
                      "\"net\": 5020, \"node\": 100, \"point\": 1},"))
      << Json;
  EXPECT_NE(std::string::npos, Json.find("\"caf\xC3\xA9 \\\"quoted\\\"\"")) << Json;
  EXPECT_NE(std::string::npos, Json.find("\"\\u0001INTL 2:5020/200 2:5020/100\",")) << Json;

  // A strict reader: the document must parse as UTF-8 JSON with the shape
  // scripts rely on.
  const std::string Got = CheckJson(
      Out,
      "assert d['count'] == 3 and len(m) == 3 and d['headers_only'] is False\n"
      "assert [x['subject'] for x in m] == ['Subject 1', 'Subject 2', 'Subject 3']\n"
      "assert m[0]['to_address']['node'] == 200 and m[0]['from_address']['point'] == 1\n"
      "assert m[1]['attributes'] == 'Pvt Loc' and m[1]['written'] == '2004/03/05 07:08:10.00'\n"
      "assert 'Hello 2' in m[1]['text'] and 'caf\\u00e9 \"quoted\"' in m[1]['text']");
  if (Got == "no python3") GTEST_SKIP() << "no python3 to read the JSON";
  EXPECT_EQ("ok\n", Got);
  EXPECT_EQ(Before, testing_support::SnapshotFiles(Area));
}

// Every way a listing can end, read by a strict JSON parser: a message that
// cannot be read, one whose arrived date is no date (FTS-0001 zone and point
// words where the date belongs), headers only, and an empty base.
TEST_P(MsgDumpTest, JsonStaysValidOnEveryPath) {
  BuildBase();
  using testing_support::TBytes;
  // Message 2 becomes unreadable: its header offset points past the files (a
  // *.msg file grows past the largest text).
  const auto Patch = [](const std::string& File, std::size_t At, const TBytes& Bytes) {
    TBytes Data = testing_support::ReadFileBytes(File);
    ASSERT_GE(Data.size(), At + Bytes.size()) << File;
    std::copy(Bytes.begin(), Bytes.end(), Data.begin() + static_cast<std::ptrdiff_t>(At));
    ASSERT_TRUE(testing_support::WriteFileBytes(File, Data));
  };
  const TBytes Far{0xF0, 0xFF, 0xFF, 0x7F};
  if (GetParam() == 'J') Patch(Area + "/echo.jdx", 12, Far);
  if (GetParam() == 'S') Patch(Area + "/echo.sqi", 12, Far);
  if (GetParam() == 'F') {
    ASSERT_EQ(0, ::truncate((Area + "/2.msg").c_str(), 17 * 1024 * 1024));
    Patch(Area + "/1.msg", 176, {2, 0, 2, 0, 0, 0, 0, 0});
  }
  const std::string Out = Dir.File("out.json");
  const auto Parse = [&](const std::string& Check) { return CheckJson(Out, Check); };
  const std::string ArrivedIsNull = GetParam() == 'F' ? "True" : "False";
  for (const bool Headers : {false, true}) {
    ASSERT_TRUE(testing_support::WriteFileText(Out, ""));
    const TRunResult R = Run(Headers ? std::vector<std::string>{"--json", "--headers", Id}
                                     : std::vector<std::string>{"--json", Id},
                             Out);
    // The *.msg header of message 2 is still there to be read.
    const bool Broken = !Headers || GetParam() != 'F';
    EXPECT_EQ(Broken ? 1 : 0, R.ExitStatus);
    const std::string Got = Parse(std::string("assert len(m) == 3 and m[1]['number'] == 2\n") +
                                  "assert ('error' in m[1]) == " + (Broken ? "True" : "False") +
                                  "\n" + "assert m[2]['subject'] == 'Subject 3'\n" +
                                  "assert (m[0]['arrived'] is None) == " + ArrivedIsNull);
    if (Got == "no python3") GTEST_SKIP() << Got;
    EXPECT_EQ("ok\n", Got);
  }
  const TRunResult Text = Run({Id});
  EXPECT_TRUE(Has(MessageBlock(Text.Lines(), "1"),
                  GetParam() == 'F' ? "Arrived:" : "Arrived:    2004/03/05 10:20:30.00"))
      << Text.Stdout;

  // An empty base: an empty array.
  TTempDir Empty;
  const std::string EmptyId = std::string(1, GetParam()) + Empty.File("empty");
  msgbase::PMessageBase Base;
  ASSERT_TRUE(msgbase::OpenOrCreateMessageBase(Base, EmptyId));
  ASSERT_TRUE(msgbase::CloseMessageBase(Base));
  ASSERT_TRUE(testing_support::WriteFileText(Out, ""));
  EXPECT_EQ(0, Run({"--json", EmptyId}, Out).ExitStatus);
  EXPECT_EQ("ok\n", Parse("assert m == [] and d['count'] == 0"));
}

// A JAM message that other software marked deleted is listed as deleted,
// under its own number, and never as a live message.
TEST_P(MsgDumpTest, DeletedJamMessageIsShownAsDeleted) {
  if (GetParam() != 'J') GTEST_SKIP() << "only JAM keeps deleted messages";
  BuildBase();
  const std::string Jhr = Area + "/echo.jhr";
  testing_support::TBytes Header = testing_support::ReadFileBytes(Jhr);
  const testing_support::TBytes Index = testing_support::ReadFileBytes(Area + "/echo.jdx");
  ASSERT_EQ(24u, Index.size());
  std::size_t Second = 0;
  for (int I = 3; I >= 0; --I) Second = (Second << 8) | Index[12 + static_cast<std::size_t>(I)];
  ASSERT_GT(Header.size(), Second + 56);
  Header[Second + 55] |= 0x80;  // the deleted bit of the attribute word
  Header[12] = 2;               // ActiveMsgs, as that software keeps it
  ASSERT_TRUE(testing_support::WriteFileBytes(Jhr, Header));

  const TRunResult R = Run({Id});
  EXPECT_EQ(0, R.ExitStatus) << R.Stdout;
  EXPECT_EQ("Base " + Id + ": 2 messages, highest number 4", R.Lines().at(0));
  EXPECT_TRUE(Has(R.Lines(), "Message 2 (deleted)")) << R.Stdout;
  EXPECT_FALSE(Has(R.Lines(), "Message 2")) << R.Stdout;
  EXPECT_TRUE(Has(R.Lines(), "Message 3")) << R.Stdout;

  const std::string Out = Dir.File("out.json");
  ASSERT_TRUE(testing_support::WriteFileText(Out, ""));
  EXPECT_EQ(0, Run({"--json", Id}, Out).ExitStatus);
  const std::string Got =
      CheckJson(Out, "assert [x['deleted'] for x in m] == [False, True, False]");
  if (Got == "no python3") GTEST_SKIP() << "no python3 to read the JSON";
  EXPECT_EQ("ok\n", Got);
}

// What a JAM base holds that its counts and index do not agree with is
// reported, one line each, with exit status 1, and nothing is changed.
TEST_P(MsgDumpTest, JamInconsistenciesAreReportedAndNothingChanges) {
  if (GetParam() != 'J') GTEST_SKIP() << "the JAM base's own checks";
  BuildBase();
  const std::string Jhr = Area + "/echo.jhr";
  const std::string Jdx = Area + "/echo.jdx";
  const testing_support::TBytes Header = testing_support::ReadFileBytes(Jhr);
  const testing_support::TBytes Index = testing_support::ReadFileBytes(Jdx);
  ASSERT_EQ(24u, Index.size());
  struct TCase {
    const char* What;
    testing_support::TBytes Jhr;
    testing_support::TBytes Jdx;
    bool Record;
    const char* Line;
  };
  testing_support::TBytes Stale = Header;
  Stale[12] = 2;  // ActiveMsgs
  testing_support::TBytes Zeroed = Index;
  std::fill(Zeroed.begin() + 8, Zeroed.begin() + 16, 0);
  const std::vector<TCase> Cases{
      {"stale count", Stale, Index, false,
       "the base header counts 2 messages but the index holds 3"},
      {"zeroed record", Header, Zeroed, false, "1 index record is zeroed"},
      {"cut index",
       Header,
       {Index.begin(), Index.begin() + 8},
       false,
       "2 message headers lie past the last index record without a record of its own"},
      {"unfinished change", Header, Index, true, "an unfinished change begun by process 77"},
  };
  for (const TCase& Case : Cases) {
    ASSERT_TRUE(testing_support::WriteFileBytes(Jhr, Case.Jhr));
    ASSERT_TRUE(testing_support::WriteFileBytes(Jdx, Case.Jdx));
    msgbase::TIntent Intent;
    Intent.Pid = 77;
    if (Case.Record) {
      ASSERT_TRUE(msgbase::BeginIntent(Area + "/echo.jtx", Intent));
    }
    const auto Before = testing_support::SnapshotFiles(Area);
    const TRunResult R = Run({"--json", Id});
    EXPECT_EQ(1, R.ExitStatus) << Case.What;
    EXPECT_NE(std::string::npos, R.Stdout.find(Case.Line)) << Case.What << R.Stdout;
    EXPECT_EQ(Before, testing_support::SnapshotFiles(Area)) << Case.What;
    std::filesystem::remove(Area + "/echo.jtx");
  }
}

TEST_P(MsgDumpTest, KillRemovesExactlyTheNamedMessage) {
  BuildBase();
  const TRunResult Missing = Run({"--kill", "9", Id});
  EXPECT_EQ(1, Missing.ExitStatus);
  EXPECT_EQ((std::vector<std::string>{"Message 9 does not exist"}), Missing.Lines());

  const TRunResult Kill = Run({Id, "--kill", "2"});
  EXPECT_EQ(0, Kill.ExitStatus);
  EXPECT_EQ((std::vector<std::string>{"Message 2 removed"}), Kill.Lines());

  const TRunResult R = Run({Id, "--netmail"});
  EXPECT_EQ(0, R.ExitStatus) << R.Stdout;
  const std::vector<std::string> L = R.Lines();
  ASSERT_FALSE(L.empty());
  EXPECT_EQ("Base " + Id + ": 2 messages", L[0].substr(0, L[0].find(',')));
  EXPECT_TRUE(Has(L, "Subject:    Subject 1")) << R.Stdout;
  EXPECT_FALSE(Has(L, "Subject:    Subject 2")) << R.Stdout;
  EXPECT_TRUE(Has(L, "Subject:    Subject 3")) << R.Stdout;
  if (GetParam() != 'J') {
    // JAM numbers are positions, so there the old message 3 is now 2.
    EXPECT_TRUE(Has(L, "Message 3")) << R.Stdout;
    const TRunResult Again = Run({"--kill", "2", Id});
    EXPECT_EQ(1, Again.ExitStatus);
    EXPECT_EQ((std::vector<std::string>{"Message 2 does not exist"}), Again.Lines());
  }
}

TEST_P(MsgDumpTest, LastReadRoundTrip) {
  BuildBase();
  const TRunResult Zero = Run({"--lastread", "1", Id});
  EXPECT_EQ(0, Zero.ExitStatus);
  EXPECT_EQ((std::vector<std::string>{"Lastread of user 1: 0"}), Zero.Lines());

  const TRunResult Set = Run({"--set-lastread", "1", "3", Id});
  EXPECT_EQ(0, Set.ExitStatus);
  EXPECT_EQ((std::vector<std::string>{"Lastread of user 1 set to 3"}), Set.Lines());
  const TRunResult Other = Run({"--set-lastread", "0", "2", Id});
  EXPECT_EQ(0, Other.ExitStatus);

  const TRunResult One = Run({"--lastread", "1", Id});
  EXPECT_EQ((std::vector<std::string>{"Lastread of user 1: 3"}), One.Lines());
  const TRunResult Nought = Run({"--lastread", "0", Id});
  EXPECT_EQ((std::vector<std::string>{"Lastread of user 0: 2"}), Nought.Lines());

  if (GetParam() == 'F') {
    // The *.msg lastread file keeps 16 bits: a value it cannot hold is no
    // success.
    const TRunResult Wide = Run({"--set-lastread", "1", "70000", Id});
    EXPECT_EQ(1, Wide.ExitStatus);
    EXPECT_EQ((std::vector<std::string>{"Lastread of user 1 reads back as 4464, not 70000"}),
              Wide.Lines());
  }
}

TEST_P(MsgDumpTest, MissingBaseIsReportedAndNothingIsCreated) {
  const TRunResult R = Run({Id});
  EXPECT_EQ(1, R.ExitStatus);
  const char* Why = GetParam() == 'F'   ? "(msg) wrong path"
                    : GetParam() == 'S' ? "(sq) absent SQD"
                                        : "(jam) absent JHR";
  EXPECT_EQ((std::vector<std::string>{"Cannot open base " + Id + ": " + Why}), R.Lines());
  // The same for the operations that would change a base.
  EXPECT_EQ(1, Run({"--kill", "1", Id}).ExitStatus);
  EXPECT_EQ(1, Run({"--set-lastread", "1", "1", Id}).ExitStatus);
  EXPECT_FALSE(testing_support::PathExists(Area));
  EXPECT_EQ(1u, testing_support::SnapshotFiles(Dir.Path()).size());  // the program alone
}

TEST_P(MsgDumpTest, EmptyBasePathIsRefused) {
  const std::string Letter(1, GetParam());
  for (const std::vector<std::string>& Args :
       {std::vector<std::string>{Letter}, {"--kill", "1", Letter}, {"--lastread", "0", Letter}}) {
    const TRunResult R = Run(Args);
    EXPECT_EQ(1, R.ExitStatus);
    EXPECT_EQ((std::vector<std::string>{"Cannot open base " + Letter + ": (open) empty base path"}),
              R.Lines());
  }
  EXPECT_EQ(1u, testing_support::SnapshotFiles(Dir.Path()).size());  // the program alone
}

TEST_P(MsgDumpTest, AFailedWriteToStandardOutputFailsTheRun) {
  BuildBase();
  const TRunResult R = Run({Id}, "/dev/full");
  EXPECT_EQ(101, R.ExitStatus);
  EXPECT_EQ("msgdump: standard output could not be written\n", R.Stderr);
}

// A *.msg file under a number the format cannot count is no message the walk
// reaches: it is named after the listing (and in the JSON), and the listing,
// which left it out, fails.
TEST_P(MsgDumpTest, MessageFilesBeyondTheFormatsNumbersAreNamed) {
  if (GetParam() != 'F') GTEST_SKIP() << "only *.msg files carry their number in their name";
  BuildBase();
  std::filesystem::copy_file(Area + "/3.msg", Area + "/40000.msg");
  const TRunResult R = Run({Id});
  EXPECT_EQ(1, R.ExitStatus) << R.Stdout;
  EXPECT_TRUE(Has(R.Lines(), "Message 3")) << R.Stdout;
  EXPECT_EQ("Not read: 1 message file whose number the format cannot count: 40000.msg",
            R.Lines().back());

  const std::string Out = Dir.File("out.json");
  ASSERT_TRUE(testing_support::WriteFileText(Out, ""));
  EXPECT_EQ(1, Run({"--json", Id}, Out).ExitStatus);
  const std::string Got =
      CheckJson(Out, "assert d['uncounted_files'] == ['40000.msg'] and len(m) == 3");
  if (Got == "no python3") GTEST_SKIP() << "no python3 to read the JSON";
  EXPECT_EQ("ok\n", Got);
}

INSTANTIATE_TEST_SUITE_P(Formats, MsgDumpTest, ::testing::Values('F', 'S', 'J'),
                         [](const ::testing::TestParamInfo<char>& Info) {
                           return std::string(1, Info.param);
                         });

TEST(MsgDumpUsageTest, BadUsageShowsTheUsageText) {
  TTempDir Dir;
  const std::string Program = InstallProgram(MSGDUMP_BINARY, Dir.Path(), "msgdump");
  ASSERT_FALSE(Program.empty());
  for (const std::vector<std::string>& Args :
       std::vector<std::vector<std::string>>{{}, {"--kill", "x", "Fa"}, {"Fa", "Fb"}}) {
    const TRunResult R = RunProgram(Program, Args);
    EXPECT_EQ(1, R.ExitStatus);
    const std::vector<std::string> L = R.Lines();
    ASSERT_GE(L.size(), 2u);
    EXPECT_EQ("Usage: msgdump [--json] [--headers] [--netmail] <base>", L[1]);
  }
  const TRunResult Help = RunProgram(Program, {"--help"});
  EXPECT_EQ(0, Help.ExitStatus);
  EXPECT_EQ("Usage: msgdump [--json] [--headers] [--netmail] <base>", Help.Lines().at(0));

  const std::string Id = std::string(1, 'X').append(Dir.File("a"));
  const TRunResult Unknown = RunProgram(Program, {Id});
  EXPECT_EQ(1, Unknown.ExitStatus);
  EXPECT_EQ((std::vector<std::string>{"Cannot open base " + Id + ": (open) unrecognized ID"}),
            Unknown.Lines());
}

}  // namespace
}  // namespace vellumar_tests
