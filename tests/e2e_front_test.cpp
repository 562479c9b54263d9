// End-to-end tests of the front end: the built program run in a temporary
// directory, judged by its standard output, line by line, and its exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "testing/test_support.h"
#include "tests/run_program.h"

namespace vellumar_tests {
namespace {

using testing_support::TTempDir;
using testing_support::WriteFileText;

const std::string Banner = "Vellumar/LNX v0.1beta Tamberlane";
// What a complete run of a one-message posting prints.
const std::vector<std::string> Posted = {Banner, "", "Message was succefully generated! :-)"};

class FrontEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Dir.Path().empty());
    Program = InstallProgram(VELLUMAR_BINARY, Dir.Path(), "vellumar");
    ASSERT_FALSE(Program.empty());
    ASSERT_TRUE(WriteFileText(Dir.File("head.tpl"), "# header\nHello from @FName\n"));
    ASSERT_TRUE(WriteFileText(Dir.File("foot.tpl"), "Bye\n"));
    ASSERT_TRUE(WriteFileText(Dir.File("data.bin"), "some bytes to post\n"));
  }

  TRunResult Run(const std::vector<std::string>& Args, const std::string& StdoutPath = "",
                 const std::vector<std::string>& Environment = {}) {
    TRunOptions Options;
    Options.WorkDir = Dir.Path();
    Options.StdoutPath = StdoutPath;
    Options.Environment = Environment;
    TRunResult Result = RunProgram(Program, Args, Options);
    EXPECT_TRUE(Result.Started);
    EXPECT_FALSE(Result.TimedOut);
    return Result;
  }

  // A run that must stop with one message after the banner, exit status 1.
  void ExpectRefusal(const std::vector<std::string>& Args, const std::string& Message) {
    const TRunResult R = Run(Args);
    EXPECT_EQ((std::vector<std::string>{Banner, Message}), R.Lines());
    EXPECT_TRUE(R.Exited);
    EXPECT_EQ(1, R.ExitStatus);
  }

  // Keywords of a complete echomail run, with the files of SetUp.
  static std::vector<std::string> ValidArgs() {
    return {"-o2:5020/100", "-mE",     "-d2:5020/1", "+hhead.tpl",
            "+ffoot.tpl",   "-eSbase", "-Fdata.bin"};
  }

  // The same with the base Id in place of the Squish base "base".
  static std::vector<std::string> ValidArgsFor(const std::string& Id) {
    std::vector<std::string> Args = ValidArgs();
    Args[5] = "-e" + Id;
    return Args;
  }

  static std::vector<std::string> With(std::vector<std::string> Args, const std::string& Extra) {
    Args.push_back(Extra);
    return Args;
  }

  TTempDir Dir;
  std::string Program;
};

TEST_F(FrontEndTest, NoArgumentsShowsTheUsageText) {
  const TRunResult R = Run({});
  const std::vector<std::string> L = R.Lines();
  ASSERT_EQ(30u, L.size());
  EXPECT_EQ(Banner, L[0]);
  EXPECT_EQ("Usage: vellumar <[keywords]>", L[1]);
  EXPECT_EQ("  -o<FAddr>    - message from address ", L[4]);
  EXPECT_EQ("      L:Loc  , K:KillSNT, P:PVT    , H:HOLD  ", L[25]);
  EXPECT_EQ("  -v           - version of Vellumar         ", L[28]);
  EXPECT_EQ("", L[29]);
  EXPECT_EQ('\n', R.Stdout.back());
  EXPECT_EQ(1, R.ExitStatus);
}

TEST_F(FrontEndTest, VersionKeywordOnlyAsTheWholeFirstArgument) {
  for (const char* Keyword : {"-v", "--version"}) {
    const TRunResult R = Run({Keyword, "ignored"});
    const std::vector<std::string> L = R.Lines();
    ASSERT_EQ(2u, L.size()) << Keyword;
    EXPECT_EQ(Banner, L[0]);
    EXPECT_EQ(0u, L[1].rfind("Vellumar/LNX v0.1beta was compiled ", 0)) << L[1];
    EXPECT_NE(std::string::npos, L[1].find(" with ")) << L[1];
    EXPECT_EQ(1, R.ExitStatus);
  }
  for (const std::vector<std::string>& Args :
       std::vector<std::vector<std::string>>{{"-V"}, {"-version"}, {"x", "-v"}})
    ExpectRefusal(Args, "You must define orig. fido address!");
}

TEST_F(FrontEndTest, HelpOnlyAsTheWholeFirstArgument) {
  for (const char* Keyword : {"-h", "--help"}) {
    const TRunResult R = Run({Keyword, "-o2:5020/100"});
    const std::vector<std::string> L = R.Lines();
    ASSERT_EQ(34u, L.size()) << Keyword;
    EXPECT_EQ("Usage: vellumar <[keywords]>", L[1]);
    EXPECT_EQ("  --check        - check the keywords and show every setting; post nothing", L[31]);
    EXPECT_EQ("See man vellumar.", L[33]);
    EXPECT_EQ(0, R.ExitStatus);
  }
  ExpectRefusal({"x", "--help"}, "You must define orig. fido address!");
}

TEST_F(FrontEndTest, CheckShowsEverySettingWithItsSourceAndWritesNothing) {
  ASSERT_TRUE(WriteFileText(Dir.File("check.cfg"), "-o2:5020/100 -mE\n+hhead.tpl\n-mX\n"));
  ASSERT_TRUE(WriteFileText(Dir.File("data-final.bin"), std::string(100, 'x')));
  // Keywords inside values: "-final" holds -f, and a subject with a blank
  // whose quotes the shell took keeps its first word only.
  const std::vector<std::string> Args = {"--check",          "-ccheck.cfg",  "-d2:5020/1",
                                         "+ffoot.tpl",       "-eJbase/area", "-Fdata-final.bin",
                                         "-sMonthly report", "-l1"};
  const testing_support::TFileSnapshot Before = testing_support::SnapshotFiles(Dir.Path());
  const TRunResult R = Run(Args);
  EXPECT_EQ(0, R.ExitStatus) << R.Stdout;
  const std::vector<std::string> Expected = {
      Banner,
      "Settings, as a posting would use them (nothing was posted):",
      "  -c  configuration file  \"check.cfg\"  (command line)",
      "  -o  sender address      \"2:5020/100\"  (configuration file)",
      "  -f  sender name         \"inal.bin\"  (command line)",
      "  -d  recipient address   \"2:5020/1\"  (command line)",
      "  -t  recipient name      \"All\"  (default)",
      "  -s  subject             \"Monthly\"  (command line)",
      "  =T  tagline             \"\"  (default)",
      "  +T  tearline            \"Vellumar/LNX v0.1beta Tamberlane\"  (default)",
      "  +O  origin              \"Vellumar/LNX v0.1beta\"  (default)",
      "  +h  header template     \"head.tpl\"  (configuration file)",
      "  +f  footer template     \"foot.tpl\"  (command line)",
      "  -e  message base        \"Jbase/area\"  (command line)",
      "  -m  mail type           echomail  (configuration file)",
      "  -F  file                \"data-final.bin\"  (command line)",
      "  -l  lines per message   1  (command line)",
      "  -a  attributes          \"\", set: LP  (default)",
      "Base: JAM at " + Dir.File("base/area") + ", does not exist yet (a posting creates it)",
      "Header template: " + Dir.File("head.tpl"),
      "Footer template: " + Dir.File("foot.tpl"),
      "File: " + Dir.File("data-final.bin") +
          ", 100 bytes, 3 sections of at most 1 lines; at most 491489 bytes with 1 lines per "
          "message"};
  EXPECT_EQ(Expected, R.Lines());
  EXPECT_EQ(Before, testing_support::SnapshotFiles(Dir.Path()));

  // After a posting the same check finds the base.
  EXPECT_EQ(0, Run(std::vector<std::string>(Args.begin() + 1, Args.end())).ExitStatus);
  const std::vector<std::string> Again = Run(Args).Lines();
  ASSERT_EQ(Expected.size(), Again.size());
  EXPECT_EQ("Base: JAM at " + Dir.File("base/area") + ", exists", Again[18]);
}

// --check stops where a posting stops, with the same line and status, and a
// base path starting "~/" without a home is refused by both before anything
// is made (cron with an empty environment would put the base into "/").
TEST_F(FrontEndTest, CheckAndPostingRefuseAlike) {
  const std::string Homeless = "Jvellumar_e2e_" + std::to_string(::getpid());
  struct TCase {
    std::vector<std::string> Args;
    std::vector<std::string> Environment;
    std::string Message;
  };
  const std::vector<TCase> Cases = {
      {{"-mE"}, {}, "You must define orig. fido address!"},
      {ValidArgsFor("Xbase"),
       {},
       "[!] Ombra: failed to open message base - (open) unrecognized ID"},
      {ValidArgsFor("J"), {}, "[!] Ombra: failed to open message base - (open) empty base path"},
      {ValidArgsFor("J~/" + Homeless), {"HOME"}, ""},
      {ValidArgsFor("F~/" + Homeless), {"HOME="}, ""},
  };
  const testing_support::TFileSnapshot Before = testing_support::SnapshotFiles(Dir.Path());
  for (const TCase& C : Cases) {
    const std::string Message =
        !C.Message.empty() ? C.Message
                           : "[!] Ombra: failed to open message base - (open) path starts with ~/ "
                             "but HOME is not set";
    SCOPED_TRACE(Message);
    std::vector<std::string> Check = C.Args;
    Check.insert(Check.begin(), "--check");
    for (const std::vector<std::string>& Args : {C.Args, Check}) {
      const TRunResult R = Run(Args, "", C.Environment);
      EXPECT_EQ((std::vector<std::string>{Banner, Message}), R.Lines());
      EXPECT_EQ(1, R.ExitStatus);
    }
  }
  EXPECT_EQ(Before, testing_support::SnapshotFiles(Dir.Path()));
  for (const auto& Entry : std::filesystem::directory_iterator("/"))
    EXPECT_FALSE(Entry.path().filename().string().starts_with(Homeless.substr(1))) << Entry.path();
}

TEST_F(FrontEndTest, EachCheckStopsWithItsMessage) {
  struct TCase {
    std::vector<std::string> Args;
    std::string Message;
  };
  const std::vector<TCase> Cases = {
      {{"nothing"}, "You must define orig. fido address!"},
      {{"-o2:5020"}, "Orig. fido address is not correct!"},
      {{"-o2:5020/100", "-mecho"}, "You must switch type of mail!"},
      {{"-o2:5020/100", "-mn"}, "You must define dest. address!"},
      {{"-o2:5020/100", "-me"}, "Dest. fido address is not correct!"},
      {{"-o2:5020/100", "-mE", "-d2:5020/1"}, "You must define header template!"},
      {{"-o2:5020/100", "-mE", "-d2:5020/1", "+hhead.tpl"}, "You must define footer template!"},
      {{"-o2:5020/100", "-mE", "-d2:5020/1", "+hnone.tpl", "+ffoot.tpl"},
       "Can't open \"none.tpl\" !"},
      {{"-o2:5020/100", "-mE", "-d2:5020/1", "+hhead.tpl", "+fnone.tpl"},
       "Can't open \"none.tpl\" !"},
      {{"-o2:5020/100", "-mE", "-d2:5020/1", "+hhead.tpl", "+ffoot.tpl"},
       "You must define path to echo!"},
      {With(ValidArgs(), "-l0"), "Uncorrect num of lines!"},
      {With(ValidArgs(), "-l65536"), "Uncorrect num of lines!"},
      {With(ValidArgs(), "-lmany"), "Uncorrect num of lines!"},
      {{"-o2:5020/100", "-mE", "-d2:5020/1", "+hhead.tpl", "+ffoot.tpl", "-eSbase"},
       "FileName must be defined!"},
      {{"-o2:5020/100", "-mE", "-d2:5020/1", "+hhead.tpl", "+ffoot.tpl", "-eSbase", "-Fnone"},
       "Can't open \"none\" !"},
      {{"-o2:5020/100", "-mE", "-d2:5020/1", "+h\"head.tpl"}, "You must define header template!"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Message);
    ExpectRefusal(C.Args, C.Message);
  }
}

TEST_F(FrontEndTest, ValidRunEndsWithStatusZero) {
  for (const char* Extra : {"-l30", "-aLKU", "-s\"A subject with blanks\"", "-l1"}) {
    const TRunResult R = Run(With(ValidArgs(), Extra));
    EXPECT_EQ(Posted, R.Lines()) << Extra;
    EXPECT_EQ(0, R.ExitStatus) << Extra;
  }
}

TEST_F(FrontEndTest, ConfigurationFileSuppliesWhatTheCommandLineLeavesOut) {
  ASSERT_TRUE(WriteFileText(Dir.File("vellumar.cfg"),
                            "# a comment line -oBAD\r\n"
                            "-o2:5020/100 -mE\r\n"
                            " -d2:5020/1 +hhead.tpl +ffoot.tpl\n"
                            "-eSbase -Fdata.bin"));
  const TRunResult R = Run({"-cvellumar.cfg"});
  EXPECT_EQ(Posted, R.Lines());
  EXPECT_EQ(0, R.ExitStatus);
}

TEST_F(FrontEndTest, CommandLineWinsOverTheConfigurationFile) {
  ASSERT_TRUE(WriteFileText(Dir.File("bad.cfg"), "-o2:5020\n-lnone\n"));
  const TRunResult R = Run(With(With(ValidArgs(), "-cbad.cfg"), "-l40"));
  EXPECT_EQ(0, R.ExitStatus) << R.Stdout;

  ASSERT_TRUE(WriteFileText(Dir.File("good.cfg"), "-o2:5020/100\n"));
  ExpectRefusal({"-cgood.cfg", "-o2:5020"}, "Orig. fido address is not correct!");
}

TEST_F(FrontEndTest, LaterConfigurationLinesOverrideEarlierOnes) {
  ASSERT_TRUE(WriteFileText(Dir.File("two.cfg"), "-d2:5020/1\n-dbad\n"));
  ExpectRefusal({"-ctwo.cfg", "-o2:5020/100", "-mE"}, "Dest. fido address is not correct!");
}

TEST_F(FrontEndTest, MissingConfigurationFileStopsFirst) {
  ExpectRefusal({"-cnone.cfg"}, "Can't open \"none.cfg\" !");
}

TEST_F(FrontEndTest, UnreadableConfigurationFileIsARunTimeError) {
  const TRunResult R = Run({"-c/proc/self/mem"});
  EXPECT_EQ(
      (std::vector<std::string>{Banner, "Runtime error 100: disk read error (/proc/self/mem)"}),
      R.Lines());
  EXPECT_EQ(100, R.ExitStatus);
}

TEST_F(FrontEndTest, KeywordsAreFoundInTheInvocationPathToo) {
  ASSERT_EQ(0, ::mkdir(Dir.File("at-o7:7").c_str(), 0700));
  const std::string Odd = InstallProgram(VELLUMAR_BINARY, Dir.File("at-o7:7"), "vellumar");
  ASSERT_FALSE(Odd.empty());
  TRunOptions Options;
  Options.WorkDir = Dir.Path();
  const TRunResult R = RunProgram(Odd, ValidArgs(), Options);
  EXPECT_EQ((std::vector<std::string>{Banner, "Orig. fido address is not correct!"}), R.Lines());
  EXPECT_EQ(1, R.ExitStatus);
}

TEST_F(FrontEndTest, FailedOutputEndsWithANonZeroStatus) {
  for (const std::vector<std::string>& Args :
       std::vector<std::vector<std::string>>{{}, {"-v"}, ValidArgs()}) {
    const TRunResult R = Run(Args, "/dev/full");
    EXPECT_TRUE(R.Exited) << "no crash";
    EXPECT_EQ(101, R.ExitStatus);
    EXPECT_EQ("Runtime error 101: disk write error (standard output)\n", R.Stderr);
  }
}

TEST_F(FrontEndTest, FileTooLargeIsRefusedBeforePosting) {
  // One byte more than fits is refused before the base is made; the largest
  // that fits is posted. At 1000 lines a message that is 66 messages; the
  // largest file at the default 50 lines (1192 messages, twelve seconds of
  // serial clock) is posted into every format by e2e_post_test.
  const struct {
    const char* Lines;
    off_t Largest;
    bool Post;
  } Cases[] = {{"50", 2680874, false}, {"1000", 2934224, true}};
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Lines);
    // Sparse files: only the size counts.
    const int Fd = ::open(Dir.File("big.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(Fd, 0);
    ASSERT_EQ(0, ::ftruncate(Fd, Case.Largest + 1));
    ::close(Fd);
    std::vector<std::string> Args = ValidArgs();
    Args.back() = "-Fbig.bin";
    Args.push_back(std::string("-l") + Case.Lines);
    ExpectRefusal(Args, "File \"big.bin\" is too large to post (" +
                            std::to_string(Case.Largest + 1) + " bytes; at most " +
                            std::to_string(Case.Largest) + " with " + Case.Lines +
                            " lines per message)!");
    EXPECT_FALSE(testing_support::PathExists(Dir.File("base.sqd")));
    if (!Case.Post) continue;
    ASSERT_EQ(0, ::truncate(Dir.File("big.bin").c_str(), Case.Largest));
    const TRunResult R = Run(Args);
    EXPECT_EQ(0, R.ExitStatus) << R.Stdout;
    EXPECT_TRUE(testing_support::PathExists(Dir.File("base.sqd")));
  }
}

}  // namespace
}  // namespace vellumar_tests
