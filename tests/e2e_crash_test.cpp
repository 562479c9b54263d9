// Kill-point tests: a posting is stopped before each file-changing system call
// in turn (strace kills the run with SIGKILL before its N-th call of one
// system call), and what it left must be a sound base: (a) the independent
// reader and msgdump read it without error, (b) it holds every message it held
// before, unchanged, (c) it shows no partial message, and (d) it takes the
// next posting, after which it is consistent and lists the old messages, the
// new messages the killed run completed (or, where the killed run had begun
// to commit a posting, all of them: the next run finishes it) and the whole
// new posting. Until then msgdump may report the unfinished change, and only
// that, with exit status 1.
//
// Three starts per format: a base that holds messages, no base at all, and
// (Squish) a base with a free frame that the posting reuses. Each test
// prints how many kill points it tried and how many left a base that was not
// sound.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testing/test_support.h"
#include "tests/base_reader.h"
#include "tests/run_program.h"

namespace vellumar_tests {
namespace {

namespace fs = std::filesystem;
using testing_support::TTempDir;
using testing_support::WriteFileBytes;
using testing_support::WriteFileText;

const char* const Strace = "/usr/bin/strace";  // installed by scripts/deps.sh

// Every system call with which the program changes a file or a directory.
const char* const FileCalls[] = {"openat",    "write", "pwrite64", "ftruncate", "rename",
                                 "renameat2", "link",  "linkat",   "unlink",    "unlinkat",
                                 "mkdir",     "fsync", "fdatasync"};

const std::string SuccessLine = "Message's was succefully generated! :-)";

// The same posted message, whatever its serial and dates.
bool SamePosted(const TStoredMessage& A, const TStoredMessage& B) {
  if (A.Lines.empty() || B.Lines.empty() || A.Lines.size() != B.Lines.size()) return false;
  if (A.Lines[0].rfind("\x01MSGID: ", 0) != 0) return false;
  return A.From == B.From && A.To == B.To && A.Subject == B.Subject &&
         A.Attributes == B.Attributes && A.Orig == B.Orig && A.Dest == B.Dest &&
         A.SubfieldIds == B.SubfieldIds &&
         std::equal(A.Lines.begin() + 1, A.Lines.end(), B.Lines.begin() + 1);
}

class KillPoints : public ::testing::TestWithParam<char> {
 protected:
  void SetUp() override {
    if (::access(Strace, X_OK) != 0) GTEST_SKIP() << "strace is not installed";
    Program = InstallProgram(VELLUMAR_BINARY, Dir.Path(), "vellumar");
    ASSERT_FALSE(Program.empty());
    ASSERT_TRUE(WriteFileText(Dir.File("head.tpl"), "Hello @TName,\n"));
    ASSERT_TRUE(WriteFileText(Dir.File("foot.tpl"), "Bye\n"));
    // Five data lines: three sections of two lines, one section of eight.
    ASSERT_TRUE(WriteFileText(Dir.File("post.txt"), std::string(200, 'p')));
    ASSERT_TRUE(WriteFileText(Dir.File("old.txt"), std::string(400, 'o')));
  }

  char Letter() const { return GetParam(); }
  std::string Id(const std::string& Name) const {
    return std::string(1, Letter()) + BasePath(Name);
  }
  std::string BasePath(const std::string& Name) const {
    return Dir.File(Name) + (Letter() == 'F' ? "/" : "");
  }

  std::vector<std::string> PostArgs(const std::string& Base, const std::string& File,
                                    const std::string& Lines) const {
    return {"-o2:5020/100", "-mE",        "-d2:5020/1",
            "+hhead.tpl",   "+ffoot.tpl", "-e" + std::string(1, Letter()) + Dir.File(Base),
            "-F" + File,    "-l" + Lines};
  }

  TRunResult Run(const std::string& Path, const std::vector<std::string>& Args) const {
    TRunOptions Options;
    Options.WorkDir = Dir.Path();
    return RunProgram(Path, Args, Options);
  }

  // A posting of post.txt into the base Base, run under strace with Options.
  // The leak checker cannot work under ptrace, so it is off for the program.
  // Command_, when set, runs instead of the posting (another operation on
  // the base "work").
  TRunResult Traced(const std::vector<std::string>& Options, const std::string& Base) const {
    std::vector<std::string> Args = {"-f", "-qq", "-E", "ASAN_OPTIONS=detect_leaks=0"};
    Args.insert(Args.end(), Options.begin(), Options.end());
    if (!Command_.empty()) {
      Args.insert(Args.end(), Command_.begin(), Command_.end());
      return Run(Strace, Args);
    }
    Args.push_back(Program);
    for (const std::string& A : PostArgs(Base, "post.txt", "2")) Args.push_back(A);
    return Run(Strace, Args);
  }

  bool Posted(const TRunResult& R) const {
    if (!Command_.empty()) return R.Exited && R.ExitStatus == 0;
    return R.Exited && R.ExitStatus == 0 && !R.Lines().empty() && R.Lines().back() == SuccessLine;
  }

  TStoredBase Read(const std::string& Base, TReadMode Mode) const {
    switch (Letter()) {
      case 'F':
        return ReadMsgBase(Dir.File(Base));
      case 'S':
        return ReadSquishBase(Dir.File(Base), Mode);
      default:
        return ReadJamBase(Dir.File(Base), Mode);
    }
  }

  // The files of the base Name, as they lie in the directory.
  std::vector<fs::path> BaseFiles(const std::string& Name) const {
    std::vector<fs::path> Files;
    std::error_code Ec;
    for (const fs::directory_entry& E : fs::directory_iterator(Dir.Path(), Ec)) {
      const std::string File = E.path().filename().string();
      if (File == Name || File.rfind(Name + ".", 0) == 0) Files.push_back(E.path());
    }
    return Files;
  }

  void RemoveBase(const std::string& Name) const {
    for (const fs::path& P : BaseFiles(Name)) fs::remove_all(P);
  }

  void CopyBase(const std::string& From, const std::string& To) const {
    RemoveBase(To);
    for (const fs::path& P : BaseFiles(From)) {
      const std::string Rest = P.filename().string().substr(From.size());
      fs::copy(P, Dir.File(To + Rest), fs::copy_options::recursive);
    }
  }

  // True when nothing of the base holds a byte: no file, empty files, or an
  // empty directory.
  // A change's record and files under temporary names (an unfinished
  // creation) are no part of a base.
  bool Nothing(const std::string& Name) const {
    for (const fs::path& P : BaseFiles(Name)) {
      const std::string Ext = P.extension().string();
      if (Ext == ".jtx" || Ext == ".sqt" || Ext == ".new" || Ext == ".tmp") continue;
      if (fs::is_directory(P) ? !fs::is_empty(P) : fs::file_size(P) != 0) return false;
    }
    return true;
  }

  // What is wrong with the base Name that a killed run left; "" when sound.
  // Old are the messages it held before, Posting a whole posting of post.txt.
  std::string Judge(const std::vector<TStoredMessage>& Old,
                    const std::vector<TStoredMessage>& Posting, bool FreeFrames) {
    const bool Absent = Old.empty() && Nothing("work");
    std::size_t Done = 0;
    if (!Absent) {
      // (a), (b), (c)
      CopyBase("work", "probe");
      const TRunResult Dump =
          Run(MSGDUMP_BINARY, {"--json", std::string(1, Letter()) + BasePath("probe")});
      // A record of an unfinished change is reported (the next writer
      // finishes or undoes it); nothing else may be.
      const bool Unfinished = fs::exists(Dir.File("work.jtx")) ||
                              fs::exists(Dir.File("work.sqt")) ||
                              fs::exists(Dir.File("work/vellumar.txn"));
      const std::size_t Line = Dump.Stdout.find("\"inconsistency\": \"an unfinished ");
      const bool OnlyUnfinished =
          Unfinished && Line != std::string::npos &&
          Dump.Stdout.substr(Line, Dump.Stdout.find('\n', Line) - Line).find("; ") ==
              std::string::npos;
      if (!Dump.Exited || (Dump.ExitStatus != 0 && !OnlyUnfinished)) {
        return "msgdump: " +
               Dump.Stdout.substr(Dump.Stdout.size() > 400 ? Dump.Stdout.size() - 400 : 0);
      }
      const TStoredBase Stored = Read("work", TReadMode::AfterCrash);
      if (!Stored.Ok) return "reader: " + Stored.Error;
      if (Stored.Messages.size() < Old.size()) return "messages lost";
      for (std::size_t I = 0; I < Old.size(); ++I) {
        if (Old[I] != Stored.Messages[I]) return "old message changed";
      }
      Done = Stored.Messages.size() - Old.size();
      if (Done > Posting.size()) return "too many messages";
      for (std::size_t I = 0; I < Done; ++I) {
        if (!SamePosted(Posting[I], Stored.Messages[Old.size() + I])) return "partial message";
      }
    }
    // (d)
    const TRunResult Next = Run(Program, PostArgs("work", "post.txt", "2"));
    if (!Posted(Next)) return "next posting: " + Next.Stdout;
    const TStoredBase After = Read("work", FreeFrames ? TReadMode::AfterCrash : TReadMode::Strict);
    if (!After.Ok) return "after the next posting: " + After.Error;
    if (After.Messages.size() < Old.size() + Posting.size()) return "count after next";
    const std::size_t Finished = After.Messages.size() - Old.size() - Posting.size();
    if (Finished != Done && Finished != Posting.size()) return "count after next";
    Done = Finished;
    for (std::size_t I = 0; I < Old.size(); ++I) {
      if (Old[I] != After.Messages[I]) return "old message changed by the next";
    }
    for (std::size_t I = 0; I < Done + Posting.size(); ++I) {
      const TStoredMessage& Want = Posting[I < Done ? I : I - Done];
      if (!SamePosted(Want, After.Messages[Old.size() + I])) return "next posting not whole";
    }
    if (Letter() == 'F') {
      for (const fs::directory_entry& E : fs::directory_iterator(Dir.File("work"))) {
        if (E.path().extension() == ".tmp" || E.path().extension() == ".txn") {
          return "temporary file left";
        }
      }
    }
    if (Letter() == 'S' && FreeFrames) {
      const auto Sqd = testing_support::ReadFileBytes(Dir.File("work.sqd"));
      const auto Sqi = testing_support::ReadFileBytes(Dir.File("work.sqi"));
      const auto U32 = [&](std::size_t At) {
        std::uint32_t Value = 0;
        for (std::size_t I = 4; I-- > 0;) Value = Value << 8 | Sqd[At + I];
        return Value;
      };
      if (U32(120) != Sqd.size() || Sqi.size() != std::size_t{U32(4)} * 12) {
        return "bytes left past the counted end";
      }
      if (FramesOutsideChains("work") != 0) return "a frame outside every chain";
    }
    return "";
  }

  // Frames of the Squish base Name that neither chain holds (or holds twice):
  // a frame a kill left outside both is space no writer ever finds again.
  std::size_t FramesOutsideChains(const std::string& Name) const {
    const auto Sqd = testing_support::ReadFileBytes(Dir.File(Name + ".sqd"));
    const auto U32 = [&](std::size_t At) {
      std::uint32_t Value = 0;
      for (std::size_t I = 4; I-- > 0;)
        Value = Value << 8 | (At + I < Sqd.size() ? Sqd[At + I] : 0);
      return Value;
    };
    std::multiset<std::uint32_t> Frames;
    for (std::uint32_t Pos = 256; Pos + 28 <= Sqd.size(); Pos += 28 + U32(Pos + 12)) {
      Frames.insert(Pos);
    }
    for (const std::size_t Head : {std::size_t{104}, std::size_t{112}}) {
      for (std::uint32_t Pos = U32(Head), N = 0; Pos != 0 && N <= Sqd.size() / 28; ++N) {
        const auto At = Frames.find(Pos);
        if (At == Frames.end()) return Frames.size() + 1;
        Frames.erase(At);
        Pos = U32(Pos + 4);
      }
    }
    return Frames.size();
  }

  // The syncs of a posting of File at Lines lines into the base "start".
  std::size_t CountSyncs(const std::string& File, const std::string& Lines) const {
    std::vector<std::string> Args = {"-f",   "-qq",
                                     "-E",   "ASAN_OPTIONS=detect_leaks=0",
                                     "-o",   Dir.File("syncs"),
                                     "-e",   "trace=fsync,fdatasync",
                                     Program};
    for (const std::string& A : PostArgs("start", File, Lines)) Args.push_back(A);
    EXPECT_TRUE(Posted(Run(Strace, Args)));
    const std::string Trace = testing_support::ReadFileText(Dir.File("syncs"));
    std::size_t Syncs = 0;
    for (std::size_t At = Trace.find("sync("); At != std::string::npos;
         At = Trace.find("sync(", At + 1)) {
      ++Syncs;
    }
    return Syncs;
  }

  // The file calls of a posting into a copy of "start" that touch the base
  // (their path, or the path of the descriptor they work on, lies in it), as
  // a traced run makes them: the N-th call of Call. The program's other
  // calls (loading libraries, the sanitizers' own, standard output) cannot
  // harm a base and are not tried.
  struct TKillPoint {
    std::string Call;
    int N = 0;
  };
  std::vector<TKillPoint> BaseCalls() {
    CopyBase("start", "work");
    std::string Calls = "trace=";
    for (const char* Call : FileCalls) Calls += std::string(Call) + ",";
    Calls.pop_back();
    EXPECT_TRUE(Posted(Traced({"-y", "-o", Dir.File("calls"), "-e", Calls}, "work")));
    std::vector<TKillPoint> Points;
    std::map<std::string, int> Seen;
    std::istringstream Trace(testing_support::ReadFileText(Dir.File("calls")));
    for (std::string Line; std::getline(Trace, Line);) {
      // "<pid> <call>(<arguments>) = <result>"; lines of signals and exits
      // hold no call.
      const std::size_t Start = Line.find_first_not_of(' ', Line.find(' '));
      const std::size_t Open = Line.find('(');
      if (Start == std::string::npos || Open == std::string::npos || Open < Start) continue;
      const std::string Call = Line.substr(Start, Open - Start);
      if (std::find(std::begin(FileCalls), std::end(FileCalls), Call) == std::end(FileCalls)) {
        continue;
      }
      const int N = ++Seen[Call];
      if (Line.find(Dir.File("work")) != std::string::npos) Points.push_back({Call, N});
    }
    return Points;
  }

  // Kills a posting into a copy of the base "start" before each file call
  // that touches the base, in turn, and judges what is left.
  void KillEverywhere(bool FreeFrames) {
    const TStoredBase Before =
        Nothing("start") ? TStoredBase{true, "", {}} : Read("start", TReadMode::AfterCrash);
    ASSERT_TRUE(Before.Ok) << Before.Error;
    // A whole posting of post.txt into an empty base is the measure of a
    // whole new message.
    ASSERT_TRUE(Posted(Run(Program, PostArgs("whole", "post.txt", "2"))));
    const TStoredBase Whole = Read("whole", TReadMode::Strict);
    ASSERT_TRUE(Whole.Ok) << Whole.Error;
    ASSERT_EQ(3u, Whole.Messages.size());

    int Points = 0;
    int Unsound = 0;
    const std::vector<TKillPoint> Kills = BaseCalls();
    ASSERT_FALSE(Kills.empty());
    for (const TKillPoint& Kill : Kills) {
      CopyBase("start", "work");
      const std::string Inject =
          "inject=" + Kill.Call + ":signal=KILL:when=" + std::to_string(Kill.N);
      const TRunResult Killed =
          Traced({"-o", "/dev/null", "-e", "trace=" + Kill.Call, "-e", Inject}, "work");
      ASSERT_TRUE(Killed.Started);
      ASSERT_FALSE(Posted(Killed)) << Kill.Call << " #" << Kill.N << " was not reached";
      ++Points;
      const std::string Problem = Judge(Before.Messages, Whole.Messages, FreeFrames);
      if (!Problem.empty()) {
        ++Unsound;
        ADD_FAILURE() << Kill.Call << " #" << Kill.N << ": " << Problem;
      }
    }
    std::cout << "[ kill points ] " << Letter() << ": " << Points << " tried, " << Unsound
              << " left an unsound base\n";
  }

  TTempDir Dir;
  std::string Program;
  std::vector<std::string> Command_;
};

TEST_P(KillPoints, PostingIntoABaseThatHoldsMessages) {
  ASSERT_TRUE(Posted(Run(Program, PostArgs("start", "old.txt", "4"))));
  KillEverywhere(false);
}

TEST_P(KillPoints, PostingThatCreatesTheBase) {
  KillEverywhere(false);
}

INSTANTIATE_TEST_SUITE_P(Crash, KillPoints, ::testing::Values('F', 'S', 'J'),
                         [](const ::testing::TestParamInfo<char>& Info) {
                           return std::string(Info.param == 'F'   ? "Msg"
                                              : Info.param == 'S' ? "Squish"
                                                                  : "Jam");
                         });

// Durability must not silently disappear: a posting of three messages into a
// base that holds messages makes exactly the syncs its order of writes
// needs. *.msg: each file, and at most six for the directory, its parent and
// the transaction record (msgbase/msg/msg_transaction_test.cpp shows that
// they do not grow with the messages); Squish: the record and its folder,
// data and index, the header, the folder once the record is gone; JAM: the
// record and its folder, texts and headers, the record's commit entry, the
// index, the base header and the folder once the record is gone.
TEST_P(KillPoints, PostingSyncsWhatItWrote) {
  ASSERT_TRUE(Posted(Run(Program, PostArgs("start", "old.txt", "4"))));
  const std::size_t Syncs = CountSyncs("post.txt", "2");
  if (Letter() == 'F') {
    EXPECT_LE(Syncs, 3u + 6u);
  } else {
    EXPECT_EQ(Letter() == 'S' ? 6u : 8u, Syncs);
  }
}

// Group commit: a posting's syncs do not grow with its messages.
class GroupCommit : public KillPoints {};

TEST_P(GroupCommit, ThreeAndThreeHundredMessagesMakeTheSameSyncs) {
  ASSERT_TRUE(WriteFileText(Dir.File("big.txt"), std::string(297 * 45, 'b')));
  ASSERT_TRUE(Posted(Run(Program, PostArgs("start", "old.txt", "4"))));
  const std::size_t Three = CountSyncs("post.txt", "2");
  EXPECT_EQ(Three, CountSyncs("big.txt", "1"));
  EXPECT_GE(Read("start", TReadMode::Strict).Messages.size(), 303u);
}

INSTANTIATE_TEST_SUITE_P(Crash, GroupCommit, ::testing::Values('S', 'J'),
                         [](const ::testing::TestParamInfo<char>& Info) {
                           return std::string(Info.param == 'S' ? "Squish" : "Jam");
                         });

// A removal (msgdump --kill) stopped before each of its file calls is done
// or undone whole: after the next open for writing the base holds the old
// messages, or all of them but the removed one, byte for byte.
class RemovalKillPoints : public KillPoints {};

TEST_P(RemovalKillPoints, RemovalIsDoneOrUndoneWhole) {
  // msgdump's listing of a base, message by message (the posting's reader
  // expects headers in posting order, which a removal leaves behind).
  const auto Listed = [this](const std::string& Name) {
    std::vector<std::string> Blocks;
    for (const std::string& Line : Run(MSGDUMP_BINARY, {Id(Name)}).Lines()) {
      if (Line.rfind("Message ", 0) == 0) Blocks.emplace_back();
      if (!Blocks.empty() && !Line.empty()) Blocks.back() += Line + "\n";
    }
    return Blocks;
  };
  ASSERT_TRUE(Posted(Run(Program, PostArgs("start", "post.txt", "2"))));
  CopyBase("start", "done");
  ASSERT_EQ(0, Run(MSGDUMP_BINARY, {"--kill", "2", Id("done")}).ExitStatus);
  std::vector<std::string> Before = Listed("start");
  std::vector<std::string> Done = Listed("done");
  ASSERT_EQ(Before.size(), Done.size() + 1);
  const std::vector<std::string> Kill = {MSGDUMP_BINARY, "--kill", "2", Id("work")};
  Command_ = Kill;
  const std::vector<TKillPoint> Kills = BaseCalls();
  ASSERT_FALSE(Kills.empty());
  int Unsound = 0;
  for (const TKillPoint& Point : Kills) {
    CopyBase("start", "work");
    Command_ = Kill;
    (void)Traced({"-o", "/dev/null", "-e", "trace=" + Point.Call, "-e",
                  "inject=" + Point.Call + ":signal=KILL:when=" + std::to_string(Point.N)},
                 "work");
    Command_.clear();
    const bool Next = Posted(Run(Program, PostArgs("work", "post.txt", "2")));
    const std::vector<std::string> After = Listed("work");
    // The old messages as they were, or without the removed one; the
    // posting after them.
    const auto Holds = [&](const std::vector<std::string>& Old) {
      return After.size() == Old.size() + 3 && std::equal(Old.begin(), Old.end(), After.begin());
    };
    const bool Chains = Letter() != 'S' || FramesOutsideChains("work") == 0;
    if (!Next || !Chains || (!Holds(Before) && !Holds(Done))) {
      ++Unsound;
      ADD_FAILURE() << Point.Call << " #" << Point.N << ": " << After.size() << " messages"
                    << (After.empty() ? "" : After[0]);
    }
  }
  std::cout << "[ kill points ] " << Letter() << " removal: " << Kills.size() << " tried, "
            << Unsound << " left an unsound base\n";
}

INSTANTIATE_TEST_SUITE_P(Crash, RemovalKillPoints, ::testing::Values('S', 'J'),
                         [](const ::testing::TestParamInfo<char>& Info) {
                           return std::string(Info.param == 'S' ? "Squish" : "Jam");
                         });

// A file system without hard links (FAT) refuses link(): the *.msg base then
// gives a message its number with a rename that replaces nothing.
TEST(KillPointsMsg, PostingWhereLinksAreRefused) {
  if (::access(Strace, X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  TTempDir Dir;
  const std::string Program = InstallProgram(VELLUMAR_BINARY, Dir.Path(), "vellumar");
  ASSERT_TRUE(WriteFileText(Dir.File("t.tpl"), "Hi\n"));
  ASSERT_TRUE(WriteFileText(Dir.File("post.txt"), std::string(200, 'p')));
  fs::create_directory(Dir.File("area"));
  ASSERT_TRUE(WriteFileText(Dir.File("area/1.msg"), ""));  // taken: passed over
  TRunOptions Options;
  Options.WorkDir = Dir.Path();
  const TRunResult R =
      RunProgram(Strace,
                 {"-f", "-qq", "-E", "ASAN_OPTIONS=detect_leaks=0", "-o", "/dev/null", "-e",
                  "inject=link:error=EPERM", Program, "-o2:5020/100", "-mE", "-d2:5020/1",
                  "+ht.tpl", "+ft.tpl", "-eF" + Dir.File("area"), "-Fpost.txt", "-l2"},
                 Options);
  ASSERT_EQ(0, R.ExitStatus) << R.Stdout;
  std::vector<std::string> Names;
  for (const fs::directory_entry& E : fs::directory_iterator(Dir.File("area")))
    Names.push_back(E.path().filename().string());
  std::sort(Names.begin(), Names.end());
  EXPECT_EQ((std::vector<std::string>{"1.msg", "2.msg", "3.msg", "4.msg"}), Names);
  EXPECT_EQ(0u, fs::file_size(Dir.File("area/1.msg")));
  EXPECT_GT(fs::file_size(Dir.File("area/4.msg")), 190u);
}

class KillPointsFree : public KillPoints {};

TEST_P(KillPointsFree, PostingThatReusesAFreeFrame) {
  // Sections of eight lines and of one: the first message's frame, once
  // removed, has room for the first message of the posting.
  ASSERT_TRUE(Posted(Run(Program, PostArgs("start", "old.txt", "8"))));
  const TRunResult Kill =
      Run(MSGDUMP_BINARY, {"--kill", "1", std::string(1, 'S').append(Dir.File("start"))});
  ASSERT_EQ(0, Kill.ExitStatus) << Kill.Stdout;
  KillEverywhere(true);
}

INSTANTIATE_TEST_SUITE_P(Crash, KillPointsFree, ::testing::Values('S'),
                         [](const ::testing::TestParamInfo<char>&) {
                           return std::string("Squish");
                         });

}  // namespace
}  // namespace vellumar_tests
