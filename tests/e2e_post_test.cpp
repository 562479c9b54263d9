// End-to-end tests of posting: the built program posts files of chosen sizes
// into each base format, as echomail and as netmail, and the files it wrote
// are read back with the independent reader of tests/base_reader.h. Each
// message is checked line by line against a posting built here from the
// layout of a uuencoded, cut file; sharutils' uudecode then turns the joined
// sections back into the original bytes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "testing/test_support.h"
#include "tests/base_reader.h"
#include "tests/run_program.h"

namespace vellumar_tests {
namespace {

using testing_support::ReadFileBytes;
using testing_support::TBytes;
using testing_support::TTempDir;
using testing_support::WriteFileBytes;
using testing_support::WriteFileText;

const std::string Banner = "Vellumar/LNX v0.1beta Tamberlane";
const std::string Credit = "  [by Vellumar/LNX v0.1beta]";
const std::string Pid = "\x01PID: Vellumar/LNX v0.1beta";
constexpr std::size_t DefaultLines = 50;
// The largest file that fits with the default 50 lines per section.
constexpr std::size_t LargestFile = 2680874;

// --- The expected posting, built from the layout of the encoded text ---

// The data lines of a uuencoded file: a length character, then four
// characters for each three bytes (a 6-bit 0 as a backquote); a file whose
// size is a multiple of 45 ends with a line of one blank.
std::vector<std::string> EncodeData(const TBytes& Data) {
  std::vector<std::string> Lines;
  const auto Char = [](unsigned V) { return static_cast<char>(V == 0 ? '`' : V + 32); };
  for (std::size_t At = 0; At < Data.size(); At += 45) {
    const std::size_t N = std::min<std::size_t>(45, Data.size() - At);
    std::string L(1, static_cast<char>(32 + N));
    for (std::size_t I = 0; I < N; I += 3) {
      unsigned B[3] = {0, 0, 0};
      for (std::size_t K = 0; K < 3 && I + K < N; ++K) B[K] = Data[At + I + K];
      L += Char(B[0] >> 2);
      L += Char((B[0] & 3) << 4 | B[1] >> 4);
      L += Char((B[1] & 15) << 2 | B[2] >> 6);
      L += Char(B[2] & 63);
    }
    Lines.push_back(L);
  }
  if (Data.size() % 45 == 0) Lines.push_back(" ");
  return Lines;
}

// The section lines of every message, in order, for a file posted under Name
// with Lines data lines per section.
std::vector<std::vector<std::string>> ExpectedSections(const TBytes& Data, const std::string& Name,
                                                       std::size_t Lines) {
  const std::vector<std::string> D = EncodeData(Data);
  const std::string Begin = "begin 644 " + Name;
  if (D.size() + 4 <= Lines) {
    std::vector<std::string> One = {"section 1 of 1 of file " + Name + " " + Credit, Begin};
    One.insert(One.end(), D.begin(), D.end());
    One.insert(One.end(), {"`", "end"});
    return {One};
  }
  std::size_t Full = D.size() / Lines;
  const bool Rest = Full > 0 && D.size() % Lines != 0;
  if (Full == 0) Full = 1;
  const std::size_t Total = Full + (Rest ? 1 : 0);
  std::vector<std::vector<std::string>> Sections;
  std::size_t Next = 0;
  for (std::size_t I = 1; I <= Total; ++I) {
    std::vector<std::string> S = {"Section " + std::to_string(I) + " of " + std::to_string(Total) +
                                      " of file " + Name + Credit,
                                  " "};
    if (I == 1) S.push_back(Begin);
    const std::size_t Take = I <= Full ? std::min(Lines, D.size() - Next) : D.size() - Next;
    S.insert(S.end(), D.begin() + static_cast<std::ptrdiff_t>(Next),
             D.begin() + static_cast<std::ptrdiff_t>(Next + Take));
    Next += Take;
    S.insert(S.end(), {"`", "end"});
    Sections.push_back(S);
  }
  return Sections;
}

TBytes SampleBytes(std::size_t Size) {
  return testing_support::SampleBytes(Size, 0x2545F491u);
}

// --- Runs ---

struct TFormat {
  char Letter;
  const char* Name;
};

// The base a run wrote, read by the format's letter.
TStoredBase ReadBase(char Letter, const std::string& Path) {
  switch (Letter) {
    case 'F':
      return ReadMsgBase(Path);
    case 'S':
      return ReadSquishBase(Path);
    default:
      return ReadJamBase(Path);
  }
}

// Every entry under Dir, recursively, with its size: what a run left behind.
std::vector<std::string> Listing(const std::string& Dir) {
  namespace fs = std::filesystem;
  std::vector<std::string> Entries;
  for (const fs::directory_entry& E : fs::recursive_directory_iterator(Dir)) {
    std::string Line = E.path().string();
    if (E.is_regular_file()) Line += " " + std::to_string(E.file_size());
    Entries.push_back(Line);
  }
  std::sort(Entries.begin(), Entries.end());
  return Entries;
}

std::string SuccessLine(std::size_t Parts) {
  return std::string("Message") + (Parts > 1 ? "'s" : "") + " was succefully generated! :-)";
}

class PostRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Dir.Path().empty());
    Program = InstallProgram(VELLUMAR_BINARY, Dir.Path(), "vellumar");
    ASSERT_FALSE(Program.empty());
    ASSERT_TRUE(WriteFileText(Dir.File("head.tpl"),
                              "# not posted: @FName\r\nHello @TName,\r\n\r\n"
                              "@fname (@FAddr) sends @subject.\r\n#x"));
    ASSERT_TRUE(WriteFileText(Dir.File("foot.tpl"), "#only a comment\nBye, @TNAME\n"));
  }

  TRunResult Run(const std::vector<std::string>& Args, const std::string& WorkDir = "",
                 bool StderrTerminal = false) {
    TRunOptions Options;
    Options.WorkDir = WorkDir.empty() ? Dir.Path() : WorkDir;
    Options.StderrTerminal = StderrTerminal;
    TRunResult R = RunProgram(Program, Args, Options);
    EXPECT_TRUE(R.Started);
    EXPECT_FALSE(R.TimedOut);
    return R;
  }

  // Runs a posting that must succeed with Parts messages.
  void ExpectPosted(const std::vector<std::string>& Args, std::size_t Parts) {
    const TRunResult R = Run(Args);
    EXPECT_EQ((std::vector<std::string>{Banner, "", SuccessLine(Parts)}), R.Lines());
    EXPECT_EQ("", R.Stderr);  // no progress where standard error is no terminal
    EXPECT_TRUE(R.Exited);
    EXPECT_EQ(0, R.ExitStatus);
  }

  TTempDir Dir;
  std::string Program;
};

// --- Messages of every size, format and kind of mail ---

struct TMode {
  const char* Name;
  bool NetMail;
  const char* From;  // as given on the command line
  const char* To;
  std::vector<std::string> AddressLines;  // the control lines after MSGID
  TStoredAddress Orig;                    // as Squish stores it; also the *.msg net and node
  TStoredAddress Dest;
  const char* OrigText;  // JAM subfield 0
  const char* DestText;  // JAM subfield 1
};

const TMode Modes[] = {
    {"Echo",
     false,
     "2:5020/100.7",
     "2:5021/7.3",
     {},
     {2, 5020, 100, 7},
     {0, 0, 0, 0},
     "2:5020/100.7",
     "2:5020/100.7"},
    {"Net",
     true,
     "2:5020/100",
     "1:5021/7",
     {"\x01INTL 1:5021/7 2:5020/100"},
     {2, 5020, 100, 0},
     {1, 5021, 7, 0},
     "2:5020/100.0",
     "1:5021/7.0"},
    {"NetPoints",
     true,
     "2:5020/100.7",
     "2:5021/7.3",
     {"\x01INTL 2:5021/7 2:5020/100",
      "\x01"
      "FMPT 7",
      "\x01TOPT 3"},
     {2, 5020, 100, 7},
     {2, 5021, 7, 3},
     "2:5020/100.7",
     "2:5021/7.3"},
};

void PrintTo(const TFormat& F, std::ostream* Os) {
  *Os << F.Name;
}
void PrintTo(const TMode& M, std::ostream* Os) {
  *Os << M.Name;
}

const TFormat Formats[] = {{'F', "Msg"}, {'S', "Squish"}, {'J', "Jam"}};

class PostEveryFormat : public PostRun,
                        public ::testing::WithParamInterface<std::tuple<TFormat, TMode>> {
 protected:
  const TFormat& Format() const { return std::get<0>(GetParam()); }
  const TMode& Mode() const { return std::get<1>(GetParam()); }

  std::vector<std::string> Args(const std::string& Base, const std::string& Attributes) const {
    return {std::string("-o") + Mode().From,
            Mode().NetMail ? "-mN" : "-mE",
            std::string("-d") + Mode().To,
            "+hhead.tpl",
            "+ffoot.tpl",
            "-e" + std::string(1, Format().Letter) + Base,
            "-Fdata.bin",
            "-f\"John Doe\"",
            "-t\"Jane Roe\"",
            "-s\"Files for you\"",
            "=T\"Tagged\"",
            "+T\"Tear\"",
            "+O\"Far Station\"",
            "-a" + Attributes};
  }

  // The lines of a message around its section, MSGID serial masked.
  std::vector<std::string> ExpectedLines(const std::vector<std::string>& Section) const {
    std::vector<std::string> L = {"\x01MSGID: " + std::string(Mode().From) + " ########"};
    if (Format().Letter != 'J')  // JAM keeps these in its address subfields only
      L.insert(L.end(), Mode().AddressLines.begin(), Mode().AddressLines.end());
    L.insert(L.end(), {Pid, "Hello Jane Roe,", "",
                       "John Doe (" + std::string(Mode().From) + ") sends Files for you."});
    L.insert(L.end(), Section.begin(), Section.end());
    L.insert(L.end(), {"Bye, Jane Roe", "... Tagged", "--- Tear",
                       " * Origin: Far Station (" + std::string(Mode().From) + ")"});
    return L;
  }

  // The attribute bits of local and private, as this format stores them.
  std::uint32_t LocalPrivateBits() const {
    switch (Format().Letter) {
      case 'F':
        return 0x0101;
      case 'S':
        return 0x20101;
      default:
        return 0x0005 | (Mode().NetMail ? 0x2000000u : 0x1000000u);
    }
  }

  // Checks one stored message against the expected lines and the settings
  // of Args; Serials collects the MSGID serials.
  void CheckMessage(const TStoredMessage& M, const std::vector<std::string>& Section,
                    std::set<std::string>& Serials) const {
    ASSERT_FALSE(M.Lines.empty());
    const std::string Head = "\x01MSGID: " + std::string(Mode().From) + " ";
    std::vector<std::string> Got = M.Lines;
    ASSERT_EQ(Head.size() + 8, Got[0].size()) << Got[0];
    ASSERT_EQ(Head, Got[0].substr(0, Head.size()));
    const std::string Serial = Got[0].substr(Head.size());
    EXPECT_TRUE(std::all_of(Serial.begin(), Serial.end(), [](char C) {
      return (C >= '0' && C <= '9') || (C >= 'a' && C <= 'f');
    })) << Serial;
    EXPECT_TRUE(Serials.insert(Serial).second) << "repeated serial " << Serial;
    Got[0] = Head + "########";
    EXPECT_EQ(ExpectedLines(Section), Got);

    EXPECT_EQ("John Doe", M.From);
    EXPECT_EQ("Jane Roe", M.To);
    EXPECT_EQ("Files for you", M.Subject);
    EXPECT_EQ(LocalPrivateBits(), M.Attributes);
    switch (Format().Letter) {
      case 'F':
        EXPECT_EQ(Mode().Orig.Net, M.Orig.Net);
        EXPECT_EQ(Mode().Orig.Node, M.Orig.Node);
        EXPECT_EQ(Mode().NetMail ? Mode().Dest.Net : 0, M.Dest.Net);
        EXPECT_EQ(Mode().NetMail ? Mode().Dest.Node : 0, M.Dest.Node);
        break;
      case 'S':
        EXPECT_EQ(Mode().Orig, M.Orig);
        EXPECT_EQ(Mode().Dest, M.Dest);
        break;
      default:
        EXPECT_EQ(Mode().OrigText, M.OrigText);
        EXPECT_EQ(Mode().DestText, M.DestText);
        EXPECT_EQ((std::vector<std::uint16_t>{2, 0, 3, 1, 6, 4, 7}), M.SubfieldIds);
    }
    if (Format().Letter == 'J') {
      // Local Unix seconds of the same moment, written and arrived.
      EXPECT_GT(M.DateWritten, 1600000000u);
      EXPECT_LE(M.DateArrived - M.DateWritten + 1, 2u);
    } else {
      // "DD Mon YY  HH:MM:SS"
      ASSERT_EQ(19u, M.DateText.size()) << M.DateText;
      EXPECT_EQ("  ", M.DateText.substr(9, 2)) << M.DateText;
      EXPECT_EQ(':', M.DateText[13]);
      EXPECT_NE(0u, M.DateWritten);
    }
  }
};

TEST_P(PostEveryFormat, EverySizePostsItsSectionsInOrder) {
  // Empty, one byte, one full data line and one more byte, the largest
  // uncut block, one line over it (one cut section), exactly one section of
  // 50 data lines, 51 data lines of which the last is the blank line of a
  // multiple of 45, one data line over a section, and several sections.
  for (const std::size_t Size :
       std::initializer_list<std::size_t>{0, 1, 45, 46, 2069, 2070, 2249, 2250, 2251, 10000}) {
    SCOPED_TRACE("size " + std::to_string(Size));
    const TBytes Data = SampleBytes(Size);
    ASSERT_TRUE(WriteFileBytes(Dir.File("data.bin"), Data));
    const std::string Base = "b" + std::to_string(Size);
    const auto Sections = ExpectedSections(Data, "data.bin", DefaultLines);
    ExpectPosted(Args(Base, "LP"), Sections.size());

    const TStoredBase Stored = ReadBase(Format().Letter, Dir.File(Base));
    ASSERT_TRUE(Stored.Ok) << Stored.Error;
    ASSERT_EQ(Sections.size(), Stored.Messages.size());
    std::set<std::string> Serials;
    for (std::size_t I = 0; I < Sections.size(); ++I) {
      SCOPED_TRACE("message " + std::to_string(I + 1));
      CheckMessage(Stored.Messages[I], Sections[I], Serials);
    }
  }
}

TEST_P(PostEveryFormat, AttributeSwitchesMapToTheFormatsBits) {
  ASSERT_TRUE(WriteFileBytes(Dir.File("data.bin"), SampleBytes(3)));
  ExpectPosted(Args("all", "lkphcfrqasut"), 1);
  ExpectPosted(Args("none", "X"), 1);
  const TStoredBase All = ReadBase(Format().Letter, Dir.File("all"));
  const TStoredBase None = ReadBase(Format().Letter, Dir.File("none"));
  ASSERT_TRUE(All.Ok) << All.Error;
  ASSERT_TRUE(None.Ok) << None.Error;
  ASSERT_EQ(1u, All.Messages.size());
  ASSERT_EQ(1u, None.Messages.size());
  // Received is always off; JAM has no bit for update request.
  const std::uint32_t Type = Mode().NetMail ? 0x2000000u : 0x1000000u;
  switch (Format().Letter) {
    case 'F':
      EXPECT_EQ(0xDBBBu, All.Messages[0].Attributes);
      EXPECT_EQ(0u, None.Messages[0].Attributes);
      break;
    case 'S':
      // Update request has the Squish bit 0x8000 here.
      EXPECT_EQ(0x2DBBBu, All.Messages[0].Attributes);
      EXPECT_EQ(0x20000u, None.Messages[0].Attributes);
      break;
    default:
      EXPECT_EQ(0x331B7u | Type, All.Messages[0].Attributes);
      EXPECT_EQ(Type, None.Messages[0].Attributes);
      // The subject travels as the attached and requested file too.
      EXPECT_EQ((std::vector<std::uint16_t>{2, 0, 3, 1, 6, 9, 11, 4, 7}),
                All.Messages[0].SubfieldIds);
  }
}

TEST_P(PostEveryFormat, SecondRunAddsToTheSameBase) {
  ASSERT_TRUE(WriteFileBytes(Dir.File("data.bin"), SampleBytes(2251)));
  ExpectPosted(Args("area", "LP"), 2);
  ExpectPosted(Args("area", "LP"), 2);
  const TStoredBase Stored = ReadBase(Format().Letter, Dir.File("area"));
  ASSERT_TRUE(Stored.Ok) << Stored.Error;
  ASSERT_EQ(4u, Stored.Messages.size());
  const auto Sections = ExpectedSections(SampleBytes(2251), "data.bin", DefaultLines);
  std::set<std::string> Serials;
  for (std::size_t I = 0; I < 4; ++I) {
    SCOPED_TRACE("message " + std::to_string(I + 1));
    CheckMessage(Stored.Messages[I], Sections[I % 2], Serials);
  }
}

INSTANTIATE_TEST_SUITE_P(Posting, PostEveryFormat,
                         ::testing::Combine(::testing::ValuesIn(Formats),
                                            ::testing::ValuesIn(Modes)),
                         [](const ::testing::TestParamInfo<std::tuple<TFormat, TMode>>& Info) {
                           return std::string(std::get<0>(Info.param).Name) +
                                  std::get<1>(Info.param).Name;
                         });

// --- The posting decodes to the original bytes ---

// Joins the sections of a posting into one uuencoded text: the begin line of
// section 1, the data lines of every section in order, then "`" and "end".
std::string JoinSections(const std::vector<TStoredMessage>& Messages) {
  std::string Joined;
  for (const TStoredMessage& M : Messages) {
    const auto Header = std::find_if(M.Lines.begin(), M.Lines.end(), [](const std::string& L) {
      return L.rfind("section ", 0) == 0 || L.rfind("Section ", 0) == 0;
    });
    if (Header == M.Lines.end()) return "";
    auto At = Header + 1;
    if (Header->front() == 'S' && At != M.Lines.end()) ++At;  // the blank after a cut header
    for (; At != M.Lines.end() && *At != "`"; ++At) Joined += *At + "\n";
  }
  return Joined + "`\nend\n";
}

class DecodeEveryFormat : public PostRun, public ::testing::WithParamInterface<TFormat> {
 protected:
  void SetUp() override {
    PostRun::SetUp();
    if (std::system("command -v uudecode >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "sharutils' uudecode is not installed";
  }

  // Posts Size bytes into a base of its own, checks that every section is
  // there, and that uudecode turns the joined sections back into the bytes;
  // returns the base's identifier.
  std::string PostAndDecode(std::size_t Size) {
    SCOPED_TRACE("size " + std::to_string(Size));
    const char Letter = GetParam().Letter;
    const TBytes Data = SampleBytes(Size);
    EXPECT_TRUE(WriteFileBytes(Dir.File("data.bin"), Data));
    const std::string Base = "d" + std::to_string(Size);
    const auto Expected = ExpectedSections(Data, "data.bin", DefaultLines);
    ExpectPosted({"-o2:5020/100", "-mE", "-d2:5020/1", "+hhead.tpl", "+ffoot.tpl",
                  "-e" + std::string(1, Letter) + Base, "-Fdata.bin"},
                 Expected.size());
    const TStoredBase Stored = ReadBase(Letter, Dir.File(Base));
    EXPECT_TRUE(Stored.Ok) << Stored.Error;
    EXPECT_EQ(Expected.size(), Stored.Messages.size());

    EXPECT_TRUE(WriteFileText(Dir.File("joined.uue"), JoinSections(Stored.Messages)));
    ::unlink(Dir.File("decoded").c_str());
    // The exit status is not looked at: uudecode reports a missing end line
    // (status 2) when the size is a multiple of 45, yet decodes completely.
    const std::string Command =
        "cd '" + Dir.Path() + "' && uudecode -o decoded joined.uue >/dev/null 2>&1";
    testing_support::RunUudecode(Command);
    EXPECT_TRUE(testing_support::PathExists(Dir.File("decoded")));
    EXPECT_TRUE(ReadFileBytes(Dir.File("decoded")) == Data) << "decoded bytes differ";
    return std::string(1, Letter) + Dir.File(Base);
  }
};

TEST_P(DecodeEveryFormat, UudecodeGivesBackTheOriginalBytes) {
  for (const std::size_t Size : std::initializer_list<std::size_t>{0, 44, 2250, 123457})
    (void)PostAndDecode(Size);  // the base is not looked at again
}

// The largest file (1192 messages, each waiting for its serial) is posted
// once a format, and that posting also proves the receiving side: msgextract
// lists all its sections and rebuilds the very bytes.
TEST_P(DecodeEveryFormat, LargestFileIsPostedWholeAndRebuilt) {
  const std::string Id = PostAndDecode(LargestFile);
  const std::string Extract = InstallProgram(MSGEXTRACT_BINARY, Dir.Path(), "msgextract");
  ASSERT_FALSE(Extract.empty());
  TRunOptions Options;
  Options.WorkDir = Dir.Path();
  TRunResult R = RunProgram(Extract, {"--list", Id}, Options);
  EXPECT_EQ(0, R.ExitStatus) << R.Stdout;
  const auto HasLine = [](const TRunResult& Run, const std::string& Line) {
    const std::vector<std::string> Lines = Run.Lines();
    return std::find(Lines.begin(), Lines.end(), Line) != Lines.end();
  };
  EXPECT_TRUE(HasLine(R, "  Sections: 1192, present 1-1192, missing none")) << R.Stdout;
  EXPECT_TRUE(HasLine(R, "  Size:     2680874 bytes")) << R.Stdout;
  ASSERT_EQ(0, ::mkdir(Dir.File("out").c_str(), 0700));
  R = RunProgram(Extract, {Id, "out"}, Options);
  EXPECT_EQ(0, R.ExitStatus) << R.Stdout;
  EXPECT_TRUE(HasLine(R, "Wrote data.bin, 2680874 bytes from 1192 sections by 2:5020/100"))
      << R.Stdout;
  EXPECT_TRUE(ReadFileBytes(Dir.File("out/data.bin")) == SampleBytes(LargestFile));
}

INSTANTIATE_TEST_SUITE_P(Posting, DecodeEveryFormat, ::testing::ValuesIn(Formats),
                         [](const ::testing::TestParamInfo<TFormat>& Info) {
                           return std::string(Info.param.Name);
                         });

// --- Failures ---

class PostFailure : public PostRun {
 protected:
  void SetUp() override {
    PostRun::SetUp();
    ASSERT_TRUE(WriteFileBytes(Dir.File("data.bin"), SampleBytes(20000)));
  }
  static std::vector<std::string> Args(const std::string& Id) {
    return {"-o2:5020/100", "-mE",     "-d2:5020/1", "+hhead.tpl",
            "+ffoot.tpl",   "-e" + Id, "-Fdata.bin"};
  }
  void ExpectRefusal(const std::vector<std::string>& RunArgs, const std::string& Message) {
    const TRunResult R = Run(RunArgs);
    EXPECT_EQ((std::vector<std::string>{Banner, Message}), R.Lines());
    EXPECT_EQ("", R.Stderr);
    EXPECT_TRUE(R.Exited);
    EXPECT_EQ(1, R.ExitStatus);
  }
};

TEST_F(PostFailure, UnknownBaseLetterWritesNothing) {
  const std::vector<std::string> Before = Listing(Dir.Path());
  ExpectRefusal(Args("Xbase"), "[!] Ombra: failed to open message base - (open) unrecognized ID");
  EXPECT_EQ(Before, Listing(Dir.Path()));
}

// A format letter with no path would mean the root directory for *.msg and
// hidden files in the working directory for the others.
TEST_F(PostFailure, EmptyBasePathIsRefusedBeforeAnythingIsMade) {
  const std::vector<std::string> Before = Listing(Dir.Path());
  for (const char* Letter : {"F", "S", "J", "m", "*"}) {
    ExpectRefusal(Args(Letter), "[!] Ombra: failed to open message base - (open) empty base path");
  }
  EXPECT_EQ(Before, Listing(Dir.Path()));
}

TEST_F(PostFailure, BaseThatCannotBeCreated) {
  ASSERT_TRUE(WriteFileText(Dir.File("plain"), "a file, not a directory"));
  ExpectRefusal(Args("Splain/area"),
                "[!] Ombra: failed to open message base - (sq) can't create SQD");
  ExpectRefusal(Args("Jplain/area"),
                "[!] Ombra: failed to open message base - (jam) can't create JHR");
  ExpectRefusal(Args("Fplain/area"), "[!] Ombra: failed to open message base - (msg) wrong path");
}

TEST_F(PostFailure, NoNumberLeftForANewMessage) {
  // 32767 is the highest number a *.msg base gives out.
  ASSERT_EQ(0, ::mkdir(Dir.File("full").c_str(), 0700));
  ASSERT_TRUE(WriteFileText(Dir.File("full/32767.msg"), ""));
  const std::vector<std::string> Before = Listing(Dir.Path());
  ExpectRefusal(Args("Ffull"), "[!] Ombra: Can't create message - (msg) unable to create stream");
  EXPECT_EQ(Before, Listing(Dir.Path()));
}

TEST_F(PostFailure, BaseFileThatIsNoRegularFileIsRefusedAtOnce) {
  // A data file that is a directory is no file to wait for: refused at once.
  ASSERT_EQ(0, ::mkdir(Dir.File("held.sqd").c_str(), 0700));
  ASSERT_TRUE(WriteFileText(Dir.File("held.sqi"), ""));
  ExpectRefusal(Args("Sheld"),
                "[!] Ombra: failed to open message base - (open) not a regular file");
}

// The progress line a terminal on standard error receives for section Index
// of Count.
std::string ProgressLine(std::uint32_t Index, std::uint32_t Count) {
  return "Posting section " + std::to_string(Index) + " of " + std::to_string(Count) + ", about " +
         (Count - Index + 1 > 100 ? "0:02" : "0:01") + " left";
}

TEST_F(PostFailure, ProgressOnATerminalIsRedrawnAtMostTenTimesASecond) {
  // 20000 bytes are 445 data lines: 149 sections of 3, about a second and a
  // half at the serials' pace of a hundred messages a second.
  std::vector<std::string> Arguments = Args("Sarea");
  Arguments.push_back("-l3");
  const auto Start = std::chrono::steady_clock::now();
  const TRunResult R = Run(Arguments, "", true);
  const double Seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  if (!R.Started) GTEST_SKIP() << "no pseudo-terminal on this system";
  EXPECT_EQ((std::vector<std::string>{Banner, "", SuccessLine(149)}), R.Lines());
  EXPECT_EQ(0, R.ExitStatus);
  EXPECT_EQ(149u, ReadSquishBase(Dir.File("area")).Messages.size());
  // Section 1 at once, then at most ten drawings a second, then erased
  // (two carriage returns).
  const std::string& E = R.Stderr;
  EXPECT_EQ(0u, E.find("\r" + ProgressLine(1, 149))) << E;
  const auto Draws = static_cast<double>(std::count(E.begin(), E.end(), '\r') - 2);
  EXPECT_LE(Draws, Seconds * 10 + 1) << E;
  EXPECT_TRUE(E.ends_with(" \r")) << E;
}

TEST_F(PostFailure, ProgressIsErasedBeforeARefusal) {
  ASSERT_EQ(0, ::mkdir(Dir.File("full").c_str(), 0700));
  ASSERT_TRUE(WriteFileText(Dir.File("full/32767.msg"), ""));
  const TRunResult R = Run(Args("Ffull"), "", true);
  if (!R.Started) GTEST_SKIP() << "no pseudo-terminal on this system";
  EXPECT_EQ((std::vector<std::string>{
                Banner, "[!] Ombra: Can't create message - (msg) unable to create stream"}),
            R.Lines());
  const std::string Line = ProgressLine(1, 9);
  EXPECT_EQ("\r" + Line + "\r" + std::string(Line.size(), ' ') + "\r", R.Stderr);
  EXPECT_EQ(1, R.ExitStatus);
}

// A posting stopped by SIGTERM (a cron timeout, Ctrl-C sends SIGINT) after
// it began is rolled back: the progress line is erased, one line says so, the
// exit status is 1, and the base holds what it held before, byte for byte.
TEST_F(PostFailure, SignalledPostingIsRolledBack) {
  const std::string Strace = "/usr/bin/strace";
  if (::access(Strace.c_str(), X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  std::vector<std::string> First = Args("Jarea");
  First.push_back("-l500");
  ExpectPosted(First, 1);
  auto Bytes = [this] {
    std::map<std::string, TBytes> Files;
    for (const auto& [Name, File] : testing_support::SnapshotFiles(Dir.Path()))
      Files[Name] = File.second;
    return Files;
  };
  const auto Before = Bytes();
  // strace sends the signal at the posting's twelfth write, a few messages in.
  std::vector<std::string> Traced{"-f",   "-qq",
                                  "-o",   "/dev/null",
                                  "-e",   "trace=pwrite64",
                                  "-e",   "inject=pwrite64:signal=TERM:when=12",
                                  "-E",   "ASAN_OPTIONS=detect_leaks=0",
                                  Program};
  for (const std::string& A : Args("Jarea")) Traced.push_back(A);
  Traced.push_back("-l3");
  TRunOptions Options;
  Options.WorkDir = Dir.Path();
  Options.StderrTerminal = true;
  const TRunResult R = RunProgram(Strace, Traced, Options);
  if (!R.Started) GTEST_SKIP() << "no pseudo-terminal on this system";
  EXPECT_EQ((std::vector<std::string>{Banner, "[!] Ombra: interrupted - nothing was posted"}),
            R.Lines());
  EXPECT_EQ(1, R.ExitStatus);
  EXPECT_EQ(0u, R.Stderr.find("\r" + ProgressLine(1, 149))) << R.Stderr;
  EXPECT_TRUE(R.Stderr.ends_with(" \r")) << R.Stderr;
  EXPECT_TRUE(Before == Bytes());
}

// What a killed creation leaves: empty files make no base, and the posting
// creates it; a file that holds bytes but too few for its header is a
// damaged base, said so, never a held one.
TEST_F(PostFailure, EmptyFilesMakeNoBaseAndShortOnesAreDamaged) {
  for (const char* Name : {"empty.sqd", "empty.sqi", "empty.JHR", "empty.JDX"})
    ASSERT_TRUE(WriteFileText(Dir.File(Name), ""));
  for (const char* Id : {"Sempty", "Jempty"}) {
    const TRunResult R = Run(Args(Id));
    EXPECT_EQ(0, R.ExitStatus) << Id << ": " << R.Stdout;
  }
  EXPECT_TRUE(ReadSquishBase(Dir.File("empty")).Ok);
  EXPECT_TRUE(ReadJamBase(Dir.File("empty")).Ok);
  ASSERT_TRUE(WriteFileText(Dir.File("short.sqd"), std::string(100, 'x')));
  ASSERT_TRUE(WriteFileText(Dir.File("short.sqi"), ""));
  ASSERT_TRUE(WriteFileText(Dir.File("short.JHR"), std::string(100, 'x')));
  ASSERT_TRUE(WriteFileText(Dir.File("short.JDX"), ""));
  ASSERT_TRUE(WriteFileText(Dir.File("short.JDT"), ""));
  ExpectRefusal(Args("Sshort"),
                "[!] Ombra: failed to open message base - (sq) base header problems");
  ExpectRefusal(Args("Jshort"), "[!] Ombra: failed to open message base - (jam) damaged base");
}

TEST_F(PostFailure, DotSlashPathMeansTheProgramsDirectory) {
  ASSERT_EQ(0, ::mkdir(Dir.File("elsewhere").c_str(), 0700));
  std::vector<std::string> RunArgs = Args("J./area");
  RunArgs.back() = "-F" + Dir.File("data.bin");
  RunArgs[3] = "+h" + Dir.File("head.tpl");
  RunArgs[4] = "+f" + Dir.File("foot.tpl");
  const TRunResult R = Run(RunArgs, Dir.File("elsewhere"));
  EXPECT_EQ(0, R.ExitStatus) << R.Stdout;
  const TStoredBase Stored = ReadJamBase(Dir.File("area"));
  ASSERT_TRUE(Stored.Ok) << Stored.Error;
  EXPECT_EQ(9u, Stored.Messages.size());
}

// A write that fails part way (the files may grow only so far) stops the run
// with the base's reason.
class WriteFailure : public PostFailure, public ::testing::WithParamInterface<TFormat> {
 protected:
  // Runs the program with files limited to 8 KB; a write past that fails
  // instead of ending the process.
  TRunResult RunLimited(const std::string& Keywords) {
    TRunOptions Options;
    Options.WorkDir = Dir.Path();
    return RunProgram("/bin/sh",
                      {"-c",
                       "ulimit -f 16 && trap '' XFSZ && exec ./vellumar -o2:5020/100 -mE "
                       "-d2:5020/1 +hhead.tpl +ffoot.tpl -Fdata.bin " +
                           Keywords},
                      Options);
  }
};

// Whether Lines hold Section as one run of lines.
bool HoldsSection(const std::vector<std::string>& Lines, const std::vector<std::string>& Section) {
  return std::search(Lines.begin(), Lines.end(), Section.begin(), Section.end()) != Lines.end();
}

TEST_P(WriteFailure, StopsWithTheReasonOfTheBaseAndKeepsWhatWasStored) {
  // 20000 bytes are 9 sections of about 3.3 KB, so a Squish or JAM base takes
  // a few before its files reach the limit. *.msg files are one per message:
  // there the file goes as one section to pass the limit, after a run without
  // the limit has stored it once.
  const char Letter = GetParam().Letter;
  const std::string Area = Dir.File("area");
  std::vector<std::string> Before;
  if (Letter == 'F') {
    std::vector<std::string> First = Args("Farea");
    First.push_back("-l500");
    ExpectPosted(First, 1);
    Before = Listing(Area);
  }
  const TRunResult R =
      RunLimited("-e" + std::string(1, Letter) + "area" + (Letter == 'F' ? " -l500" : ""));
  ASSERT_TRUE(R.Exited);
  EXPECT_EQ(1, R.ExitStatus);
  const std::string Reason = Letter == 'F'   ? "(msg) unable to create stream"
                             : Letter == 'S' ? "(sq) data problems"
                                             : "(jam) stream problems";
  EXPECT_EQ((std::vector<std::string>{Banner, "[!] Ombra: can't write message - " + Reason}),
            R.Lines());

  // The messages stored before the failure are whole and readable, and no
  // part of the one that failed is left: the reader also checks the counts,
  // the links and that no file holds bytes past its last message. The JAM
  // base header reaches the disk only when the base is closed, so this also
  // shows that it was closed before the run stopped.
  const TStoredBase Stored = ReadBase(Letter, Area);
  ASSERT_TRUE(Stored.Ok) << Stored.Error;
  const auto Sections = ExpectedSections(SampleBytes(20000), "data.bin", Letter == 'F' ? 500 : 50);
  if (Letter == 'F') {
    EXPECT_EQ(1u, Stored.Messages.size());
    EXPECT_EQ(Before, Listing(Area));
  } else {
    EXPECT_EQ(0u, Stored.Messages.size());  // the posting is one change, undone whole
  }
  for (std::size_t I = 0; I < Stored.Messages.size() && I < Sections.size(); ++I)
    EXPECT_TRUE(HoldsSection(Stored.Messages[I].Lines, Sections[I])) << "message " << I + 1;
}

INSTANTIATE_TEST_SUITE_P(Posting, WriteFailure, ::testing::ValuesIn(Formats),
                         [](const ::testing::TestParamInfo<TFormat>& Info) {
                           return std::string(Info.param.Name);
                         });

// An index that lost records (a damaged disk, another program, `truncate -s
// 8 area.jdx`) costs no message: the next posting indexes the whole headers
// past the last record again and goes in after them.
TEST_F(PostFailure, LostIndexRecordsAreIndexedAgainNotCut) {
  std::vector<std::string> Three = Args("Jarea");
  Three.push_back("-l150");
  ExpectPosted(Three, 3);
  ASSERT_EQ(0, ::truncate(Dir.File("area.jdx").c_str(), 8));
  ExpectPosted(Three, 3);
  const TStoredBase Stored = ReadJamBase(Dir.File("area"));
  ASSERT_TRUE(Stored.Ok) << Stored.Error;
  const auto Sections = ExpectedSections(SampleBytes(20000), "data.bin", 150);
  ASSERT_EQ(6u, Stored.Messages.size());
  for (std::size_t I = 0; I < Stored.Messages.size(); ++I)
    EXPECT_TRUE(HoldsSection(Stored.Messages[I].Lines, Sections[I % 3])) << "message " << I + 1;
}

}  // namespace
}  // namespace vellumar_tests
