// End-to-end tests of running in folders that others can write: links,
// FIFOs and left-over files at the names a run opens or creates, a base that
// another program holds while a tool wants to change it, a base the user may
// not write, and counts in a base that no base can hold. Every run has a short
// time limit, so that a tool that blocks fails its test instead of hanging.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "msgbase/open_base.h"
#include "testing/test_support.h"
#include "tests/run_program.h"

namespace vellumar_tests {
namespace {

using testing_support::TBytes;
using testing_support::TTempDir;

// Long enough for a tool to start and finish; shorter than the ten seconds a
// tool waits for a held base, so that waiting where it should not fails too.
constexpr int QuickSeconds = 5;
// The user and group id of "nobody" on Debian.
const std::string Nobody = "65534";

class SharedFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Dir.Path().empty());
    // Other accounts may pass through, as they may through a spool folder.
    ASSERT_EQ(0, ::chmod(Dir.Path().c_str(), 0755));
    Vellumar = InstallProgram(VELLUMAR_BINARY, Dir.Path(), "vellumar");
    MsgDump = InstallProgram(MSGDUMP_BINARY, Dir.Path(), "msgdump");
    MsgExtract = InstallProgram(MSGEXTRACT_BINARY, Dir.Path(), "msgextract");
    ASSERT_TRUE(testing_support::WriteFileText(Dir.File("head.tpl"), "Hello\n"));
    ASSERT_TRUE(testing_support::WriteFileText(Dir.File("foot.tpl"), "Bye\n"));
    ASSERT_TRUE(testing_support::WriteFileText(Dir.File("data.txt"), "shared folders\n"));
    ASSERT_TRUE(testing_support::WriteFileText(Dir.File("victim"), "not yours"));
    ASSERT_EQ(0, ::mkdir(Dir.File("area").c_str(), 0755));
    ASSERT_EQ(0, ::mkdir(Dir.File("out").c_str(), 0755));
  }

  // The base of Format ('F', 'S' or 'J') in the folder "area".
  std::string Id(char Format) const {
    return std::string(1, Format) + Dir.File(Format == 'F' ? "area" : "area/echo");
  }

  TRunResult Run(const std::string& Program, const std::vector<std::string>& Args,
                 int Seconds = QuickSeconds, const std::string& User = "") const {
    TRunOptions Options;
    Options.WorkDir = Dir.Path();
    Options.TimeoutSeconds = Seconds;
    if (User.empty()) return RunProgram(Program, Args, Options);
    std::vector<std::string> AsUser = {"--reuid=" + User, "--regid=" + User, "--clear-groups",
                                       Program};  // User: a numeric id
    AsUser.insert(AsUser.end(), Args.begin(), Args.end());
    return RunProgram("/usr/bin/setpriv", AsUser, Options);
  }

  TRunResult Post(char Format, int Seconds = QuickSeconds, const std::string& User = "") const {
    return Run(Vellumar,
               {"-o2:5020/100", "-mE", "-d2:5020/1", "+hhead.tpl", "+ffoot.tpl", "-e" + Id(Format),
                "-Fdata.txt"},
               Seconds, User);
  }

  // Empties the folders a run writes into.
  void FreshFolders() const {
    const std::string Area = Dir.File("area");
    const std::string Out = Dir.File("out");
    ASSERT_EQ(
        0,
        std::system(
            ("rm -rf '" + Area + "' '" + Out + "' && mkdir '" + Area + "' '" + Out + "'").c_str()));
  }

  static bool HasLine(const TRunResult& R, const std::string& Line) {
    for (const std::string& L : R.Lines()) {
      if (L == Line) return true;
    }
    return false;
  }

  TTempDir Dir;
  std::string Vellumar;
  std::string MsgDump;
  std::string MsgExtract;
};

// The names of a posted base's files, as the posting named them.
std::vector<std::string> BaseFiles(const std::string& Folder) {
  std::vector<std::string> Names;
  for (const auto& Entry : testing_support::SnapshotFiles(Folder)) Names.push_back(Entry.first);
  return Names;
}

// The name of the lastread file of the base of Format that Files hold, in
// the case of their names.
std::string LastReadName(char Format, const std::vector<std::string>& Files) {
  if (Format == 'F') return "lastread";
  std::string Name = Files.front();  // echo.JDT or echo.SQD, in some case
  const bool Lower = Name.back() >= 'a';
  Name.replace(Name.size() - 3, 3, Format == 'J' ? "JLR" : "SQL");
  if (Lower) {
    for (std::size_t I = Name.size() - 3; I < Name.size(); ++I)
      Name[I] = static_cast<char>(Name[I] + 32);
  }
  return Name;
}

TEST_F(SharedFolderTest, LinksAtNamesARunCreatesAreNeverWrittenThrough) {
  // A link where a run would make a file, dangling or leading to a file of
  // someone else's: the run refuses or passes over the name, and neither the
  // file behind the link nor the place it points at is touched.
  struct TCase {
    char Format;
    std::string Link;  // in "area"
    bool ToVictim;     // a link to an existing file, else a dangling one
  };
  // A dangling link is planted under the name in both cases: a search of
  // the folder does not see it, and a new base may be named either way.
  const std::vector<TCase> Cases = {
      {'J', "echo.JHR", false}, {'J', "echo.JDX", false}, {'J', "echo.JDT", false},
      {'J', "echo.JLR", false}, {'J', "echo.JLR", true},  {'S', "echo.SQD", false},
      {'S', "echo.SQI", false}, {'S', "echo.SQL", true},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(std::string(1, C.Format) + " " + C.Link);
    const std::string Target = C.ToVictim ? Dir.File("victim") : Dir.File("nowhere");
    std::string Lower = C.Link;
    for (std::size_t I = 5; I < Lower.size(); ++I) Lower[I] = static_cast<char>(Lower[I] + 32);
    for (const std::string& Name : C.ToVictim ? std::vector{C.Link} : std::vector{C.Link, Lower})
      ASSERT_EQ(0, ::symlink(Target.c_str(), Dir.File("area/" + Name).c_str()));
    const TRunResult R = Post(C.Format);
    EXPECT_FALSE(R.TimedOut);
    EXPECT_EQ(1, R.ExitStatus) << R.Stdout;
    EXPECT_EQ("not yours", testing_support::ReadFileText(Dir.File("victim")));
    EXPECT_FALSE(testing_support::PathExists(Dir.File("nowhere")));
    FreshFolders();
  }
}

TEST_F(SharedFolderTest, DanglingLastreadLinkCreatesNothingOutsideTheBase) {
  for (const char Format : {'F', 'S', 'J'}) {
    SCOPED_TRACE(Format);
    ASSERT_EQ(0, Post(Format).ExitStatus);
    // A JAM base has its lastread file from the start: it is replaced by the
    // link. The others make theirs at the first --set-lastread.
    const std::string Name = LastReadName(Format, BaseFiles(Dir.File("area")));
    (void)::unlink(Dir.File("area/" + Name).c_str());
    ASSERT_EQ(0, ::symlink(Dir.File("nowhere").c_str(), Dir.File("area/" + Name).c_str()));
    const TRunResult Set = Run(MsgDump, {"--set-lastread", "0", "1", Id(Format)});
    EXPECT_EQ(1, Set.ExitStatus) << Set.Stdout;
    // Only a JAM posting opens the lastread file.
    EXPECT_EQ(Format == 'J' ? 1 : 0, Post(Format).ExitStatus);
    EXPECT_FALSE(testing_support::PathExists(Dir.File("nowhere")));
    FreshFolders();
  }
}

TEST_F(SharedFolderTest, FifoAtAnyBaseFileNameIsRefusedWithoutBlocking) {
  // Each file of each format is replaced by a FIFO in turn; every tool
  // answers at once. Only a lastread FIFO leaves a listing possible.
  for (const char Format : {'F', 'S', 'J'}) {
    ASSERT_EQ(0, Post(Format).ExitStatus);
    std::vector<std::string> Names = BaseFiles(Dir.File("area"));
    if (Format != 'J') Names.push_back(LastReadName(Format, Names));
    for (const std::string& Name : Names) {
      SCOPED_TRACE(std::string(1, Format) + " " + Name);
      const std::string Path = Dir.File("area/" + Name);
      const TBytes Kept = testing_support::ReadFileBytes(Path);
      (void)::unlink(Path.c_str());
      ASSERT_EQ(0, ::mkfifo(Path.c_str(), 0644));
      for (const TRunResult& R :
           {Run(MsgDump, {Id(Format)}), Run(MsgDump, {"--lastread", "0", Id(Format)}),
            Run(MsgDump, {"--set-lastread", "0", "1", Id(Format)}),
            Run(MsgExtract, {"--remove", Id(Format), Dir.File("out")}), Post(Format)}) {
        EXPECT_TRUE(R.Exited) << R.Stdout;
        EXPECT_FALSE(R.TimedOut);
      }
      (void)::unlink(Path.c_str());
      if (!Kept.empty()) {
        ASSERT_TRUE(testing_support::WriteFileBytes(Path, Kept));
      }
    }
    FreshFolders();
  }
}

TEST_F(SharedFolderTest, PartlyPresentBaseIsRefusedNeverCreatedOver) {
  struct TCase {
    char Format;
    std::string Leftover;
    std::string Line;
  };
  const std::vector<TCase> Cases = {
      {'J', "echo.JLR", "(jam) can't create JLR"},
      {'J', "echo.jlr", "(jam) can't create JLR"},
      {'S', "echo.SQL", "(sq) can't create SQD"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Leftover);
    ASSERT_TRUE(testing_support::WriteFileText(Dir.File("area/" + C.Leftover), "lastread"));
    const TRunResult R = Post(C.Format);
    EXPECT_EQ(1, R.ExitStatus);
    EXPECT_TRUE(HasLine(R, "[!] Ombra: failed to open message base - " + C.Line)) << R.Stdout;
    EXPECT_EQ(std::vector<std::string>{C.Leftover}, BaseFiles(Dir.File("area")));
    EXPECT_EQ("lastread", testing_support::ReadFileText(Dir.File("area/" + C.Leftover)));
    ASSERT_EQ(0, ::unlink(Dir.File("area/" + C.Leftover).c_str()));
  }
}

TEST_F(SharedFolderTest, WriteOpensWaitForAHeldBase) {
  // Another program holds the base for a moment; every tool that changes
  // the base waits for it, as a posting does, and then does its work.
  for (const char Format : {'S', 'J'}) {
    const std::vector<std::vector<std::string>> Changes = {
        {MsgDump, "--set-lastread", "0", "1", Id(Format)},
        {MsgDump, "--kill", "1", Id(Format)},
        {MsgExtract, "--remove", Id(Format), Dir.File("out")},
    };
    for (const auto& Command : Changes) {
      SCOPED_TRACE(std::string(1, Format) + " " + Command[1]);
      FreshFolders();
      ASSERT_EQ(0, Post(Format).ExitStatus);
      msgbase::PMessageBase Holder;
      ASSERT_TRUE(msgbase::OpenMessageBase(Holder, Id(Format)));
      std::thread Release([&Holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        (void)msgbase::CloseMessageBase(Holder);
      });
      const TRunResult R = Run(Command[0], {Command.begin() + 1, Command.end()}, 15);
      Release.join();
      EXPECT_EQ(0, R.ExitStatus) << R.Stdout;
    }
  }
}

TEST_F(SharedFolderTest, BaseTheUserMayNotWriteIsRefusedAtOnce) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a tool as nobody";
  for (const char Format : {'S', 'J'}) {
    SCOPED_TRACE(Format);
    ASSERT_EQ(0, Post(Format).ExitStatus);
    const std::string Refusal = "(open) access denied";
    const TRunResult Set =
        Run(MsgDump, {"--set-lastread", "0", "1", Id(Format)}, QuickSeconds, Nobody);
    EXPECT_NE(std::string::npos, Set.Stdout.find(Refusal)) << Set.Stdout;
    EXPECT_EQ(1, Set.ExitStatus);
    const TRunResult Posted = Post(Format, QuickSeconds, Nobody);
    EXPECT_TRUE(HasLine(Posted, "[!] Ombra: failed to open message base - " + Refusal))
        << Posted.Stdout;
    // Looking needs no more than reading.
    EXPECT_EQ(0, Run(MsgDump, {Id(Format)}, QuickSeconds, Nobody).ExitStatus);
    FreshFolders();
  }
}

TEST_F(SharedFolderTest, FilesMadeAsRootBelongToTheAreasOwner) {
  // Root posts into an area that another account owns; that account can then
  // update every file, and new files are as open as the area's older ones.
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to post as root into another's area";
  for (const char Format : {'F', 'S', 'J'}) {
    SCOPED_TRACE(Format);
    ASSERT_EQ(0, ::chown(Dir.File("area").c_str(), 65534, 65534));
    ASSERT_EQ(0, Post(Format).ExitStatus);
    ASSERT_EQ(0, Run(MsgDump, {"--set-lastread", "0", "1", Id(Format)}).ExitStatus);
    for (const std::string& Name : BaseFiles(Dir.File("area"))) {
      struct stat Info {};
      ASSERT_EQ(0, ::stat(Dir.File("area/" + Name).c_str(), &Info));
      EXPECT_EQ(65534u, Info.st_uid) << Name;
      EXPECT_EQ(65534u, Info.st_gid) << Name;
      if (Format == 'F') {
        ASSERT_EQ(0, ::chmod(Dir.File("area/" + Name).c_str(), 0660));
      }
    }
    EXPECT_EQ(
        0, Run(MsgDump, {"--set-lastread", "0", "2", Id(Format)}, QuickSeconds, Nobody).ExitStatus);
    if (Format == 'F') {
      // A new message takes the permissions of the messages there.
      ASSERT_EQ(0, Post(Format).ExitStatus);
      const std::vector<std::string> Files = BaseFiles(Dir.File("area"));
      struct stat Info {};
      ASSERT_EQ(0, ::stat(Dir.File("area/" + Files[Files.size() - 2]).c_str(), &Info));
      EXPECT_EQ(0660u, Info.st_mode & 07777) << Files[Files.size() - 2];
    }
    // A new *.msg area starts at 2.msg, the other formats at 1.
    const std::string First = Format == 'F' ? "2" : "1";
    EXPECT_EQ(0, Run(MsgDump, {"--kill", First, Id(Format)}, QuickSeconds, Nobody).ExitStatus);
    FreshFolders();
  }
}

TEST_F(SharedFolderTest, ImpossibleCountIsAnInconsistency) {
  ASSERT_EQ(0, Post('S').ExitStatus);
  // The message count of the Squish base header, at offset 4, with its top
  // bit set.
  const std::string Sqd = Dir.File("area/" + BaseFiles(Dir.File("area")).front());
  TBytes Bytes = testing_support::ReadFileBytes(Sqd);
  ASSERT_GE(Bytes.size(), 8u);
  Bytes[7] = 0x80;
  ASSERT_TRUE(testing_support::WriteFileBytes(Sqd, Bytes));
  const TRunResult R = Run(MsgDump, {Id('S')});
  EXPECT_EQ(1, R.ExitStatus);
  EXPECT_EQ(
      "The base is inconsistent: the base counts -2147483647 messages, which no base can hold",
      R.Lines().back());
}

}  // namespace
}  // namespace vellumar_tests
