// Power cuts: every change a tool makes to a base is recorded call by call
// (the recorder module, loaded with LD_PRELOAD: each open, write, truncation,
// sync, rename, link, removal and new folder, with its bytes, and the writes
// to standard output), and the crash states a strict persistence model
// allows are built from it (crash_model.h): at every point of the run, only
// what was synced; everything, as after a kill; everything but one unsynced
// change, for each in turn; each file's unsynced writes in reverse order; the
// last unsynced write torn at a 512-byte boundary. A data change is durable
// once its file was synced after it, a folder entry once its folder was.
//
// Each state is written to the base's folder and judged: the independent
// reader reads it (forgiving what a crash may leave uncounted); every message
// the change leaves alone is there byte for byte; the change is all or nothing
// (for *.msg, whose next open for writing may complete a posting whose data
// was durable, only after that open); once the success line may have been
// printed, the change is there whole. Then the next run (an open for writing
// through the library, powercut_driver) must succeed, and leave a base the
// reader reads strictly, still all or nothing, which msgdump lists with exit
// status 0.
//
// The table says which (format, change) is expected sound today; each case
// prints its crash points, states, unsound states and the first unsound one
// (POWERCUT_SHOW=1 in the environment lists the recorded ops and every
// unsound state). A program that crashes on a state fails its case whatever
// the table says.
//
// Not modelled: writes through memory maps, descriptors copied with dup or
// fcntl, O_TMPFILE files, and rename's exchange flag (the programs use none);
// a write inside one 512-byte sector lands whole.
//
// The sanitizer build runs it in full: the recorder is loaded before the
// sanitizer runtime (which is told not to insist on coming first) and hands
// every call on to it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "testing/test_support.h"
#include "tests/base_reader.h"
#include "tests/powercut/crash_model.h"
#include "tests/powercut/trace_record.h"
#include "tests/run_program.h"

namespace vellumar_tests {
namespace {

namespace fs = std::filesystem;
using testing_support::TTempDir;
using testing_support::WriteFileText;

enum class TChange {
  PostNew,        // a posting that creates the base
  PostAppend,     // a posting into a base holding messages
  PostFreeFrame,  // a posting that reuses a removed message's frame
  KillOne,        // msgdump --kill
  RemoveSeveral,  // msgextract --remove of a whole posting
  LastRead,       // msgdump --set-lastread
  Rewrite,        // a stored message written back with a new subject
  CompactIndex,   // an open for writing that drops a removal mark
};

struct TCase {
  char Format;
  TChange Change;
  const char* Name;
  bool Sound;  // expected sound yet: flipped as each format becomes transactional
};

const TCase Cases[] = {
    {'F', TChange::PostNew, "MsgPostNew", true},
    {'F', TChange::PostAppend, "MsgPostAppend", true},
    {'F', TChange::KillOne, "MsgKillOne", true},
    {'F', TChange::RemoveSeveral, "MsgRemoveSeveral", true},
    {'F', TChange::LastRead, "MsgLastRead", true},
    {'F', TChange::Rewrite, "MsgRewrite", true},
    {'S', TChange::PostNew, "SquishPostNew", true},
    {'S', TChange::PostAppend, "SquishPostAppend", true},
    {'S', TChange::PostFreeFrame, "SquishPostFreeFrame", true},
    {'S', TChange::KillOne, "SquishKillOne", true},
    {'S', TChange::RemoveSeveral, "SquishRemoveSeveral", true},
    {'S', TChange::LastRead, "SquishLastRead", true},
    {'S', TChange::Rewrite, "SquishRewrite", true},
    {'J', TChange::PostNew, "JamPostNew", true},
    {'J', TChange::PostAppend, "JamPostAppend", true},
    {'J', TChange::KillOne, "JamKillOne", true},
    {'J', TChange::RemoveSeveral, "JamRemoveSeveral", true},
    {'J', TChange::LastRead, "JamLastRead", true},
    {'J', TChange::Rewrite, "JamRewrite", true},
    {'J', TChange::CompactIndex, "JamCompactIndex", true},
};

// CTest and GoogleTest name a case by its table entry.
void PrintTo(const TCase& Case, std::ostream* Out) {
  *Out << Case.Name;
}

// Bases that removals or rewrites made hold gaps, free frames and headers no
// index record refers to.
bool Edits(TChange Change) {
  return Change != TChange::PostNew && Change != TChange::PostAppend && Change != TChange::LastRead;
}

struct TFigures {
  std::size_t Points = 0;
  std::size_t States = 0;
  std::vector<std::string> Unsound;  // each unsound state and what was wrong with it
};

class PowerCut {
 public:
  explicit PowerCut(char Format) : Format_(Format) {
    Root_ = fs::canonical(Dir_.Path()).string() + "/area";
    fs::create_directory(Root_);
    Base_ = Root_ + "/base";
    Id_ = std::string(1, Format) + Base_ + (Format == 'F' ? "/" : "");
    Vellumar_ = InstallProgram(VELLUMAR_BINARY, Dir_.Path(), "vellumar");
    (void)WriteFileText(Dir_.File("head.tpl"), "Hello @TName,\n");
    (void)WriteFileText(Dir_.File("foot.tpl"), "Bye\n");
    // Three sections of two lines, or of four.
    (void)WriteFileText(Dir_.File("post.txt"), std::string(200, 'p'));
    (void)WriteFileText(Dir_.File("old.txt"), std::string(400, 'o'));
    fs::create_directory(Dir_.File("out"));  // where msgextract rebuilds the files
  }

  // Builds the base the change starts from; false when a step failed.
  bool Prepare(TChange Change) {
    switch (Change) {
      case TChange::PostNew:
        return true;
      case TChange::PostFreeFrame:
        // The first message's frame, once removed, has room for the first
        // message of the posting.
        return Post("old.txt", "8") && Tool(MSGDUMP_BINARY, {"--kill", "1", Id_}) == 0;
      case TChange::RemoveSeveral:
        // An incomplete posting stays; the whole one goes.
        return Post("old.txt", "4") && Tool(MSGDUMP_BINARY, {"--kill", "2", Id_}) == 0 &&
               Post("post.txt", "2");
      case TChange::CompactIndex: {
        if (!Post("old.txt", "4")) return false;
        auto Jdx = testing_support::ReadFileBytes(Base_ + ".jdx");
        if (Jdx.size() != 24) return false;
        // Message 2 marked removed, as a removal stopped before its compaction
        // leaves it, and no longer counted active.
        std::fill(Jdx.begin() + 8, Jdx.begin() + 16, 0xFF);
        auto Jhr = testing_support::ReadFileBytes(Base_ + ".jhr");
        if (Jhr.size() < 1024) return false;
        Jhr[12] = 2;
        return testing_support::WriteFileBytes(Base_ + ".jdx", Jdx) &&
               testing_support::WriteFileBytes(Base_ + ".jhr", Jhr);
      }
      default:
        return Post("old.txt", "4");
    }
  }

  // Runs the change with the recorder; its standard output.
  std::string Record(TChange Change, bool NoSync) {
    std::vector<std::string> Environment = {std::string("LD_PRELOAD=") + POWERCUT_RECORDER,
                                            std::string(powercut::LogVariable) + "=" + Log(),
                                            // The sanitizer runtime need not come first: the
                                            // recorder hands every call on.
                                            "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1"};
    if (NoSync) Environment.push_back(std::string(powercut::NoSyncVariable) + "=1");
    fs::remove(Log());
    const auto [Program, Args] = Command(Change);
    std::string Output;
    (void)Tool(Program, Args, &Output, Environment);  // judged by what it wrote
    return Output;
  }

  // Records the change and judges every crash state.
  TFigures Run(TChange Change, bool NoSync) {
    TFigures F;
    const powercut::TTree Start = powercut::ReadTree(Root_);
    Before_ = Read(StrictMode(Change));
    const std::string OldLastRead = LastRead(Change);
    const std::string Output = Record(Change, NoSync);
    After_ = Read(StrictMode(Change));
    NewLastRead_ = LastRead(Change);
    OldLastRead_ = OldLastRead;
    EXPECT_TRUE(Before_.Ok) << Before_.Error;
    EXPECT_TRUE(After_.Ok) << After_.Error << "\n" << Output;
    const powercut::TOpLog Log = powercut::ReadOps(this->Log(), Root_, Start);
    // The recorder saw every change: replayed, its ops make what the run left.
    EXPECT_EQ(powercut::Flatten(powercut::ReadTree(Root_)),
              powercut::Flatten(powercut::Replay(Log)))
        << "the recorded calls do not make the files the run left";
    std::size_t Success = Log.Ops.size();
    for (std::size_t I = 0; I < Log.Ops.size() && Success == Log.Ops.size(); ++I) {
      if (Log.Ops[I].Kind == powercut::TOpKind::Output &&
          Log.Ops[I].Bytes.find(SuccessText(Change)) != std::string::npos) {
        Success = I;
      }
    }
    EXPECT_LT(Success, Log.Ops.size()) << "no success line in: " << Output;
    // POWERCUT_SHOW=1 lists the recorded ops and every unsound state.
    const bool Show = std::getenv("POWERCUT_SHOW") != nullptr;
    for (std::size_t I = 0; Show && I < Log.Ops.size(); ++I) {
      std::cout << "  #" << I << " " << Log.Ops[I].What << "\n";
    }
    const std::vector<powercut::TCrashState> States = powercut::CrashStates(Log, Success);
    F.Points = Log.Ops.size() + 1;
    F.States = States.size();
    for (const powercut::TCrashState& State : States) {
      if (!powercut::WriteTree(State.Tree, Root_)) {
        ADD_FAILURE() << "cannot write the state " << State.Variant;
        break;
      }
      const std::string Problem = Judge(Change, State.AfterSuccess);
      if (Problem.empty()) continue;
      F.Unsound.push_back(State.Variant + ": " + Problem);
      if (Show) std::cout << "  unsound: " << State.Variant << ": " << Problem << "\n";
    }
    return F;
  }

 private:
  std::string Log() const { return Dir_.File("calls.log"); }

  std::vector<std::string> PostArgs(const std::string& File, const std::string& Lines) const {
    return {"-o2:5020/100", "-mE",      "-d2:5020/1", "+hhead.tpl",
            "+ffoot.tpl",   "-e" + Id_, "-F" + File,  "-l" + Lines};
  }

  bool Post(const std::string& File, const std::string& Lines) {
    return Tool(Vellumar_, PostArgs(File, Lines)) == 0;
  }

  // Runs Program in the test's folder; its exit status, -1 when it did not
  // exit.
  int Tool(const std::string& Program, const std::vector<std::string>& Args,
           std::string* Output = nullptr, const std::vector<std::string>& Environment = {}) const {
    TRunOptions Options;
    Options.WorkDir = Dir_.Path();
    Options.Environment = Environment;
    const TRunResult R = RunProgram(Program, Args, Options);
    if (Output != nullptr) *Output = R.Stdout;
    // Whatever a state holds, no program may crash on it: that fails the
    // case whether or not the change is expected sound yet.
    if (!R.Exited || R.Stderr.find("Sanitizer") != std::string::npos ||
        R.Stderr.find("runtime error:") != std::string::npos) {
      ADD_FAILURE() << Program << " crashed (signal " << R.Signal << "): " << R.Stderr;
    }
    return R.Exited ? R.ExitStatus : -1;
  }

  std::pair<std::string, std::vector<std::string>> Command(TChange Change) const {
    switch (Change) {
      case TChange::PostNew:
      case TChange::PostAppend:
      case TChange::PostFreeFrame:
        return {Vellumar_, PostArgs("post.txt", "2")};
      case TChange::KillOne:
        return {MSGDUMP_BINARY, {"--kill", "2", Id_}};
      case TChange::RemoveSeveral:
        return {MSGEXTRACT_BINARY, {"--remove", Id_, Dir_.File("out")}};
      case TChange::LastRead:
        return {MSGDUMP_BINARY, {"--set-lastread", "1", "2", Id_}};
      case TChange::Rewrite:
        return {POWERCUT_DRIVER, {"rewrite", Id_, "2"}};
      case TChange::CompactIndex:
        return {POWERCUT_DRIVER, {"open", Id_}};
    }
    return {};
  }

  static std::string SuccessText(TChange Change) {
    switch (Change) {
      case TChange::PostNew:
      case TChange::PostAppend:
      case TChange::PostFreeFrame:
        return "Message's was succefully generated! :-)";
      case TChange::KillOne:
        return "Message 2 removed";
      case TChange::RemoveSeveral:
        return "Removed 3 messages";
      case TChange::LastRead:
        return "set to 2";
      default:
        return "done";
    }
  }

  static TReadMode StrictMode(TChange Change) {
    return Edits(Change) ? TReadMode::Edited : TReadMode::Strict;
  }
  // A *.msg posting cut short may show any of its messages, gaps included,
  // until the next open for writing completes it.
  TReadMode CrashMode(TChange Change) const {
    return Edits(Change) || Format_ == 'F' ? TReadMode::EditedAfterCrash : TReadMode::AfterCrash;
  }

  // The base as the reader sees it; no base at all (no file of the base's
  // own holding a byte: other files, a transaction's record among them, are
  // not the base's) is an empty one.
  TStoredBase Read(TReadMode Mode) const {
    const std::set<std::string> Own = {".msg", ".sqd", ".sqi", ".jhr", ".jdx",
                                       ".jdt", ".JHR", ".JDX", ".JDT"};
    bool Any = false;
    std::error_code Ec;
    for (const fs::directory_entry& E : fs::recursive_directory_iterator(Root_, Ec)) {
      const fs::path& P = E.path();
      const bool Mine = Format_ == 'F' ? P.parent_path() == Base_ && P.extension() == ".msg"
                                       : P.stem() == "base" && Own.count(P.extension()) != 0;
      Any = Any || (Mine && E.is_regular_file(Ec) && E.file_size(Ec) > 0);
    }
    if (!Any) return TStoredBase{true, "", {}};
    switch (Format_) {
      case 'F':
        return ReadMsgBase(Base_, Mode);
      case 'S':
        return ReadSquishBase(Base_, Mode);
      default:
        return ReadJamBase(Base_, Mode);
    }
  }

  std::string LastRead(TChange Change) const {
    if (Change != TChange::LastRead) return "";
    std::string Output;
    (void)Tool(MSGDUMP_BINARY, {"--lastread", "1", Id_}, &Output);
    return Output;
  }

  // What the state now under the root says of the change; "" when allowed.
  std::string Allowed(const TStoredBase& Now, bool AfterSuccess, bool Whole) const {
    for (const TStoredMessage& M : Before_.Messages) {
      const bool Stays =
          std::find(After_.Messages.begin(), After_.Messages.end(), M) != After_.Messages.end();
      if (Stays && std::find(Now.Messages.begin(), Now.Messages.end(), M) == Now.Messages.end()) {
        return "a message the change leaves alone is lost or changed";
      }
    }
    if (!Whole) return "";
    const bool Done = Now.Messages == After_.Messages;
    if (AfterSuccess && !Done) return "the success line was printed, the change is not there";
    if (!Done && Now.Messages != Before_.Messages) {
      return "half the change: the base holds " + std::to_string(Now.Messages.size()) +
             " messages, " + std::to_string(Before_.Messages.size()) + " before it, " +
             std::to_string(After_.Messages.size()) + " after it";
    }
    return "";
  }

  std::string Judge(TChange Change, bool AfterSuccess) {
    // Peers read Squish and JAM bases as they are, so a posting must be there
    // whole or not at all at once. A removal, rewrite or compaction rewrites
    // records in place (links, index records) where no single write can
    // carry it; only the next open for writing can finish or undo it, so
    // those are judged after that open, like every *.msg change, whose
    // messages the reader must still find intact at once.
    const bool Posting = Change == TChange::PostNew || Change == TChange::PostAppend ||
                         Change == TChange::PostFreeFrame;
    if (Posting || Format_ == 'F') {
      const TStoredBase Raw = Read(CrashMode(Change));
      if (!Raw.Ok) return "reader: " + Raw.Error;
      if (std::string Wrong = Allowed(Raw, AfterSuccess, Format_ != 'F'); !Wrong.empty()) {
        return Wrong;
      }
    }
    std::string Output;
    if (Tool(POWERCUT_DRIVER, {"open", Id_}, &Output) != 0) return "next open: " + Output;
    const TStoredBase Next = Read(StrictMode(Change));
    if (!Next.Ok) return "reader after the next open: " + Next.Error;
    if (std::string Wrong = Allowed(Next, AfterSuccess, true); !Wrong.empty()) {
      return Wrong + " after the next open";
    }
    if (Change == TChange::LastRead) {
      const std::string Now = LastRead(Change);
      if (Now != NewLastRead_ && (AfterSuccess || Now != OldLastRead_)) {
        return "lastread reads " + Now.substr(0, Now.find('\n'));
      }
    }
    // States that the next open made alike are listed once.
    const auto [Listed, New] = Listings_.try_emplace(powercut::Flatten(powercut::ReadTree(Root_)));
    if (New) {
      if (const int Status = Tool(MSGDUMP_BINARY, {Id_}, &Output); Status != 0) {
        Listed->second = "msgdump exit status " + std::to_string(Status) + ": " +
                         Output.substr(0, Output.find('\n'));
      }
    }
    return Listed->second;
  }

  TTempDir Dir_;
  char Format_;
  std::string Root_;
  std::string Base_;
  std::string Id_;
  std::string Vellumar_;
  TStoredBase Before_;
  TStoredBase After_;
  std::string OldLastRead_;
  std::string NewLastRead_;
  std::map<std::string, std::string>
      Listings_;  // the tree after the next open -> msgdump's verdict
};

void Report(const char* Name, const TFigures& F) {
  std::cout << "[ power cut ] " << Name << ": " << F.Points << " crash points, " << F.States
            << " states, " << F.Unsound.size() << " unsound"
            << (F.Unsound.empty() ? "" : "; first: " + F.Unsound[0]) << "\n";
}

class PowerCutTest : public ::testing::TestWithParam<TCase> {};

TEST_P(PowerCutTest, EveryCrashStateIsSound) {
  const TCase& Case = GetParam();
  PowerCut Cut(Case.Format);
  ASSERT_TRUE(Cut.Prepare(Case.Change));
  const TFigures F = Cut.Run(Case.Change, false);
  Report(Case.Name, F);
  EXPECT_GT(F.States, 1u);
  if (Case.Sound) {
    EXPECT_TRUE(F.Unsound.empty()) << F.Unsound[0];
  } else if (F.Unsound.empty()) {
    std::cout << "[ power cut ] " << Case.Name << " is sound now: mark it so in the table\n";
  }
}

INSTANTIATE_TEST_SUITE_P(Changes, PowerCutTest, ::testing::ValuesIn(Cases),
                         [](const ::testing::TestParamInfo<TCase>& Info) {
                           return std::string(Info.param.Name);
                         });

// The test has teeth: with every sync made a no-op that succeeds, nothing a
// JAM posting writes is durable, and states appear that the syncs rule out
// (more unsound states than with them): among them an index record that
// landed while the text it points to did not.
TEST(PowerCutShim, SyncsAsNoOpsLeaveUnsoundStates) {
  TFigures With;
  TFigures Without;
  for (const bool NoSync : {false, true}) {
    PowerCut Cut('J');
    ASSERT_TRUE(Cut.Prepare(TChange::PostAppend));
    (NoSync ? Without : With) = Cut.Run(TChange::PostAppend, NoSync);
  }
  Report("JamPostAppend without syncs", Without);
  EXPECT_GT(Without.Unsound.size(), With.Unsound.size());
  EXPECT_TRUE(std::any_of(Without.Unsound.begin(), Without.Unsound.end(), [](const std::string& S) {
    return S.find("(write base.jdt") != std::string::npos &&
           S.find(": reader: ") != std::string::npos;
  }));
}

}  // namespace
}  // namespace vellumar_tests
