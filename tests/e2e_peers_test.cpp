// End-to-end tests beside other FidoNet software: Debian's crashmail (a
// tosser) and jamnntpd (a JAM news gateway), run as black boxes. The tosser
// makes a JAM area and a *.msg area under its own names and tosses packets
// into them; msgdump must list what it stored, vellumar posts into the same
// areas, the tosser tosses more, and every generation is then read back by
// msgdump and by the other programs. Their quirks, found by running them:
// both name JAM files in lower case; crashmail never writes 1.msg (it keeps a
// high-water mark there) and locks byte 0 of the JAM header file for each
// message, but its JAM reader takes a text offset with a byte of $80 or more
// for a negative number (it fails on its own third message: a rescan of a JAM
// area is no reader to judge by, of a *.msg area it is); crashwrite draws its MSGID serials from
// the clock, so packets written within a second look like dupes (dupe checking is off here); the
// Debian build of jamnntpd takes a JAM index record for 16
// bytes, so it serves only the messages of every other record. Each test
// skips with a message when the programs are not installed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "testing/test_support.h"
#include "tests/run_program.h"

namespace vellumar_tests {
namespace {

using testing_support::ReadFileText;
using testing_support::TTempDir;
using testing_support::WriteFileText;

// One message as msgdump lists it.
struct TListed {
  std::int32_t Number = 0;
  bool Deleted = false;
  std::string Subject;
  std::vector<std::string> Body;  // the text lines that are no control lines
};

std::string TrimRight(std::string S) {
  while (!S.empty() && S.back() == ' ') S.pop_back();
  return S;
}

// Waits (5 ms a look, at most Tries looks) until some process holds a record
// write lock on byte 0 of File; true once one is seen.
bool AwaitRecordLock(const std::string& File, int Tries) {
  for (int Try = 0; Try < Tries; ++Try) {
    const int Fd = ::open(File.c_str(), O_RDWR);
    struct flock Lock {};
    Lock.l_type = F_WRLCK;
    Lock.l_whence = SEEK_SET;
    Lock.l_len = 1;
    const bool Held = Fd >= 0 && ::fcntl(Fd, F_GETLK, &Lock) == 0 && Lock.l_type != F_UNLCK;
    if (Fd >= 0) ::close(Fd);
    if (Held) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// A line-based client of an NNTP server on loopback.
class TNntpClient {
 public:
  explicit TNntpClient(int Port) {
    for (int Try = 0; Try < 50 && Fd_ < 0; ++Try) {
      const int Fd = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in Address{};
      Address.sin_family = AF_INET;
      Address.sin_port = htons(static_cast<std::uint16_t>(Port));
      Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::connect(Fd, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0) {
        Fd_ = Fd;
      } else {
        ::close(Fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
  }
  ~TNntpClient() {
    if (Fd_ >= 0) ::close(Fd_);
  }
  TNntpClient(const TNntpClient&) = delete;
  TNntpClient& operator=(const TNntpClient&) = delete;

  [[nodiscard]] bool Connected() const { return Fd_ >= 0; }

  // One line without its CR LF; empty when the connection ends.
  std::string ReadLine() {
    std::string Line;
    char Ch = 0;
    while (::read(Fd_, &Ch, 1) == 1) {
      if (Ch == '\n') break;
      Line += Ch;
    }
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    return Line;
  }
  // Sends Command and answers the status line.
  std::string Command(const std::string& Command) {
    const std::string Bytes = Command + "\r\n";
    if (::write(Fd_, Bytes.data(), Bytes.size()) != static_cast<ssize_t>(Bytes.size())) return "";
    return ReadLine();
  }
  // The lines of a multi-line answer up to the lone dot, dots unstuffed.
  std::vector<std::string> ReadBlock() {
    std::vector<std::string> Lines;
    for (std::string Line = ReadLine(); Line != "."; Line = ReadLine()) {
      if (Line.empty() && Fd_ < 0) break;
      if (Line.rfind("..", 0) == 0) Line.erase(0, 1);
      Lines.push_back(Line);
      if (Lines.size() > 100000) break;
    }
    return Lines;
  }

 private:
  int Fd_ = -1;
};

class PeersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CrashMail = FindTool("crashmail");
    CrashWrite = FindTool("crashwrite");
    if (CrashMail.empty() || CrashWrite.empty()) {
      GTEST_SKIP() << "crashmail is not installed (Debian package crashmail; scripts/deps.sh "
                      "installs it)";
    }
    ASSERT_FALSE(Dir.Path().empty());
    Vellumar = InstallProgram(VELLUMAR_BINARY, Dir.Path(), "vellumar");
    MsgDump = InstallProgram(MSGDUMP_BINARY, Dir.Path(), "msgdump");
    ASSERT_FALSE(Vellumar.empty());
    ASSERT_FALSE(MsgDump.empty());
    for (const char* Sub : {"inb", "outb", "tmp", "pkts", "areas"}) {
      ASSERT_EQ(0, ::mkdir(Dir.File(Sub).c_str(), 0700));
    }
    const std::string D = Dir.Path();
    ASSERT_TRUE(WriteFileText(
        Prefs(), "SYSOP \"Test Sysop\"\nLOGFILE \"" + D + "/crashmail.log\"\nLOGLEVEL 6\n" +
                     "DUPEFILE \"" + D + "/dupes\" 200\nDUPEMODE IGNORE\n" + "INBOUND \"" + D +
                     "/inb\"\nOUTBOUND \"" + D + "/outb\"\nTEMPDIR \"" + D + "/tmp\"\n" +
                     "CREATEPKTDIR \"" + D + "/tmp\"\nPACKETDIR \"" + D + "/outb\"\n" +
                     "STATSFILE \"" + D + "/stats\"\nDEFAULTZONE 2\nAKA 2:5020/100\n" +
                     "NODE 2:5020/1 \"\" \"\"\n" + "NETMAIL \"NETMAIL\" 2:5020/100 MSG \"" + D +
                     "/areas/netmail\"\n" + "AREA \"BAD\" 2:5020/100 MSG \"" + D +
                     "/areas/bad\"\n" + "AREA \"JAMAREA\" 2:5020/100 JAM \"" + JamPath() +
                     "\"\nEXPORT 2:5020/1\n" + "AREA \"MSGAREA\" 2:5020/100 MSG \"" + MsgPath() +
                     "\"\nEXPORT 2:5020/1\n"));
    ASSERT_TRUE(WriteFileText(Dir.File("head.tpl"), "Posted beside a tosser\n"));
    ASSERT_TRUE(WriteFileText(Dir.File("foot.tpl"), "End of section\n"));
  }

  std::string Prefs() const { return Dir.File("crashmail.prefs"); }
  std::string JamPath() const { return Dir.File("areas/jam"); }
  std::string MsgPath() const { return Dir.File("areas/msg"); }

  TRunResult Run(const std::string& Program, const std::vector<std::string>& Args) {
    TRunOptions Options;
    Options.WorkDir = Dir.Path();
    Options.TimeoutSeconds = 120;
    return RunProgram(Program, Args, Options);
  }

  // Packs one echomail message per subject for Area with crashwrite and
  // tosses them all with crashmail.
  // Writes one packet a subject into the inbound folder, for the next toss.
  void WritePackets(const std::string& Area, const std::vector<std::string>& Subjects) {
    for (const std::string& Subject : Subjects) {
      const std::string Text = Dir.File("text.txt");
      ASSERT_TRUE(WriteFileText(Text, "Tossed text of " + Subject + "\nA second line\n"));
      const TRunResult W =
          Run(CrashWrite, {"DIR", Dir.File("pkts"), "FROMNAME", "Tosser Sysop", "FROMADDR",
                           "2:5020/1", "TONAME", "All", "SUBJECT", Subject, "AREA", Area, "TEXT",
                           Text, "ORIGIN", "Peer station"});
      ASSERT_EQ(0, W.ExitStatus) << W.Stdout << W.Stderr;
    }
  }

  void Toss(const std::string& Area, const std::vector<std::string>& Subjects) {
    WritePackets(Area, Subjects);
    const TRunResult T =
        Run(CrashMail, {"SETTINGS", Prefs(), "TOSSDIR", Dir.File("pkts"), "NOSECURITY"});
    ASSERT_EQ(0, T.ExitStatus) << T.Stdout << T.Stderr;
    EXPECT_TRUE(std::filesystem::is_empty(Dir.File("pkts"))) << T.Stdout;
  }

  // Posts a file of Bytes bytes with vellumar, Lines encoded lines a message.
  TRunResult Post(const std::string& Id, const std::string& Subject, std::size_t Bytes, int Lines) {
    std::string Data;
    for (std::size_t I = 0; I < Bytes; ++I) Data += static_cast<char>('A' + I * 7 % 26);
    EXPECT_TRUE(WriteFileText(Dir.File("data.bin"), Data));
    return Run(Vellumar,
               {"-o2:5020/100", "-mE", "-d2:5020/1", "+hhead.tpl", "+ffoot.tpl", "-e" + Id,
                "-Fdata.bin", "-s\"" + Subject + "\"", "-l" + std::to_string(Lines)});
  }

  // msgdump's listing of Id, message by message; Count receives its count.
  // Status 1: a base whose stored count disagrees with its index, as some
  // peers leave it, reported and listed all the same.
  std::vector<TListed> List(const std::string& Id, std::int32_t* Count = nullptr, int Status = 0) {
    const TRunResult R = Run(MsgDump, {Id});
    EXPECT_EQ(Status, R.ExitStatus) << R.Stdout;
    if (Status != 0) {
      EXPECT_NE(std::string::npos,
                R.Stdout.find("The base is inconsistent: the base header counts "))
          << R.Stdout;
    }
    std::vector<TListed> Messages;
    bool InText = false;
    for (const std::string& Line : R.Lines()) {
      if (Count != nullptr && Line.rfind("Base ", 0) == 0) {
        *Count = std::stoi(Line.substr(Line.find(": ") + 2));
      }
      if (Line.rfind("Message ", 0) == 0) {
        TListed M;
        M.Number = std::stoi(Line.substr(8));
        M.Deleted = Line.find("(deleted)") != std::string::npos;
        Messages.push_back(M);
        InText = false;
      } else if (!Messages.empty() && Line.rfind("Subject:", 0) == 0) {
        Messages.back().Subject = Line.size() > 12 ? Line.substr(12) : "";
      } else if (Line == "Text:") {
        InText = true;
      } else if (InText && Line.rfind("  ", 0) == 0 && Line.rfind("  ^A", 0) != 0) {
        Messages.back().Body.push_back(Line.substr(2));
      }
    }
    return Messages;
  }

  // Subjects in listing order.
  static std::vector<std::string> Subjects(const std::vector<TListed>& Messages) {
    std::vector<std::string> Result;
    for (const TListed& M : Messages) Result.push_back(M.Subject);
    return Result;
  }

  // crashmail reads Area back: it rescans every message of it into a packet
  // for the linked node; the packets' bytes, the outbound emptied again.
  std::string Rescan(const std::string& Area) {
    const TRunResult R =
        Run(CrashMail, {"SETTINGS", Prefs(), "RESCAN", Area, "RESCANNODE", "2:5020/1"});
    EXPECT_EQ(0, R.ExitStatus) << R.Stdout;
    std::string Bytes;
    for (const auto& Entry : std::filesystem::directory_iterator(Dir.File("outb"))) {
      if (Entry.path().extension() == ".pkt") Bytes += ReadFileText(Entry.path().string());
      std::filesystem::remove(Entry.path());
    }
    return Bytes;
  }

  // Every body line of every listed message occurs in Bytes (SEEN-BY lines
  // excepted: the tosser rewrites them on export).
  static void ExpectBodiesIn(const std::vector<TListed>& Messages, const std::string& Bytes,
                             const std::string& Reader) {
    for (const TListed& M : Messages) {
      EXPECT_NE(std::string::npos, Bytes.find(M.Subject)) << Reader << ": " << M.Subject;
      for (const std::string& Line : M.Body) {
        if (Line.rfind("SEEN-BY", 0) == 0 || Line.empty()) continue;
        EXPECT_NE(std::string::npos, Bytes.find(Line + "\r"))
            << Reader << " lacks a line of message " << M.Number << ": " << Line;
      }
    }
  }

  TTempDir Dir;
  std::string CrashMail;
  std::string CrashWrite;
  std::string Vellumar;
  std::string MsgDump;
};

const std::vector<std::string> FirstTossed{"Tossed 1", "Tossed 2"};
const std::vector<std::string> LastTossed{"Tossed 3", "Tossed 4"};

TEST_F(PeersTest, ThreeGenerationsInOneAreaAreReadBackWhole) {
  for (const auto& [Area, Id] : {std::pair{std::string("JAMAREA"), "J" + JamPath()},
                                 std::pair{std::string("MSGAREA"), "F" + MsgPath()}}) {
    SCOPED_TRACE(Area);
    Toss(Area, FirstTossed);
    EXPECT_EQ(FirstTossed, Subjects(List(Id)));

    // Sections of 4 lines: the file goes out as several messages.
    const TRunResult P = Post(Id, "Vellumar post", 600, 4);
    ASSERT_EQ(0, P.ExitStatus) << P.Stdout;
    Toss(Area, LastTossed);

    // Listing leaves the tosser's files as they were, bytes and times.
    const auto Before = testing_support::SnapshotFiles(Dir.File("areas"));
    std::int32_t Count = 0;
    const std::vector<TListed> All = List(Id, &Count);
    EXPECT_EQ(Before, testing_support::SnapshotFiles(Dir.File("areas")));
    std::vector<std::string> Expected = FirstTossed;
    const std::size_t Sections = 4;  // 600 bytes: 14 data lines in sections of 4
    Expected.insert(Expected.end(), Sections, "Vellumar post");
    Expected.insert(Expected.end(), LastTossed.begin(), LastTossed.end());
    EXPECT_EQ(Expected, Subjects(All));
    EXPECT_EQ(static_cast<std::int32_t>(Expected.size()), Count);
    for (const TListed& M : All) {
      EXPECT_FALSE(M.Deleted) << M.Number;
      ASSERT_FALSE(M.Body.empty()) << M.Number;
      // As it was fed: the tosser's text, and each section's own first line.
      if (M.Subject.rfind("Tossed", 0) == 0) {
        EXPECT_EQ("Tossed text of " + M.Subject, M.Body[0]) << M.Number;
      } else {
        EXPECT_EQ("Posted beside a tosser", M.Body[0]) << M.Number;
      }
    }
    if (Area == "MSGAREA") ExpectBodiesIn(All, Rescan(Area), "crashmail");
  }
  // Vellumar wrote into the tosser's files and made none of its own.
  const std::vector<std::string> Files = [this] {
    std::vector<std::string> Names;
    for (const auto& [Name, File] : testing_support::SnapshotFiles(Dir.File("areas"))) {
      Names.push_back(Name);
    }
    return Names;
  }();
  for (const std::string& Name : Files) {
    EXPECT_EQ(std::string::npos, Name.find(".J")) << Name;
    EXPECT_NE("msg/1.msg", Name);  // the tosser keeps its high-water mark there
  }

  // The gateway serves the JAM area over NNTP on loopback: each article it
  // serves is a listed message, whole.
  const std::string Gateway = FindTool("jamnntpd");
  if (Gateway.empty()) GTEST_SKIP() << "jamnntpd is not installed (Debian package jamnntpd)";
  ASSERT_TRUE(WriteFileText(Dir.File("groups"), "fido.test A 2:5020/100 " + JamPath() + "\n"));
  ASSERT_TRUE(WriteFileText(Dir.File("allow"), "127.0.0.1 A -\n"));
  ASSERT_TRUE(WriteFileText(Dir.File("users"), ""));
  const int Port = FreePort();
  ASSERT_NE(0, Port);
  const TBackground Server(Gateway,
                           {"-p", std::to_string(Port), "-g", Dir.File("groups"), "-a",
                            Dir.File("allow"), "-u", Dir.File("users"), "-l", Dir.File("nntp.log")},
                           Dir.Path());
  TNntpClient Client(Port);
  ASSERT_TRUE(Client.Connected());
  EXPECT_EQ("200", Client.ReadLine().substr(0, 3));
  const std::string Group = Client.Command("GROUP fido.test");
  ASSERT_EQ("211", Group.substr(0, 3)) << Group;
  const std::vector<TListed> All = List("J" + JamPath());
  // A gateway that reads the index right serves every message; the Debian
  // build serves every other one.
  const std::size_t Announced = std::stoul(Group.substr(4));
  ASSERT_TRUE(Announced == All.size() || Announced == All.size() / 2) << Group;
  const std::size_t Stride = Announced == All.size() ? 1 : 2;
  std::size_t Served = 0;
  std::size_t ServedOfOurs = 0;
  for (std::int32_t Article = 1; Article <= static_cast<std::int32_t>(All.size()); ++Article) {
    const std::string Status = Client.Command("ARTICLE " + std::to_string(Article));
    if (Status.substr(0, 3) != "220") continue;
    const std::vector<std::string> Lines = Client.ReadBlock();
    std::string Text;
    std::string Subject;
    for (const std::string& Line : Lines) {
      Text += TrimRight(Line) + "\r";
      if (Subject.empty() && Line.rfind("Subject: ", 0) == 0) Subject = Line.substr(9);
    }
    ++Served;
    const std::size_t Record = static_cast<std::size_t>(Article - 1) * Stride;
    ASSERT_LT(Record, All.size()) << "article " << Article;
    const TListed& M = All[Record];
    EXPECT_EQ(M.Subject, Subject) << "article " << Article;
    if (M.Subject == "Vellumar post") ++ServedOfOurs;
    for (const std::string& Line : M.Body) {
      if (Line.rfind("SEEN-BY", 0) == 0 || Line.rfind("--- ", 0) == 0 ||
          Line.rfind(" * Origin:", 0) == 0 || Line.empty()) {
        continue;
      }
      // The gateway drops blanks at the ends of lines.
      EXPECT_NE(std::string::npos, Text.find(TrimRight(Line) + "\r"))
          << "article " << Article << " lacks: " << Line;
    }
  }
  EXPECT_EQ(Announced, Served);
  EXPECT_GE(ServedOfOurs, 1u);
  (void)Client.Command("QUIT");
}

// crashmaint marks old JAM messages deleted and damages the headers it marks
// (it writes some fields back a little off, a text offset as a negative
// number). msgdump shows each marked message as deleted, never as a live one,
// and vellumar posts into the area afterwards.
TEST_F(PeersTest, NewJamAreaIsTheOneTheTosserUses) {
  // Vellumar makes the area; the tosser then tosses into those very files
  // and makes no second set beside them, and vellumar posts on.
  const std::string Id = "J" + JamPath();
  ASSERT_EQ(0, Post(Id, "First post", 200, 4).ExitStatus);
  Toss("JAMAREA", FirstTossed);
  const TRunResult P = Post(Id, "Second post", 200, 4);
  EXPECT_EQ(0, P.ExitStatus) << P.Stdout;
  std::vector<std::string> Files;
  for (const auto& [Name, File] : testing_support::SnapshotFiles(Dir.File("areas"))) {
    Files.push_back(Name);
  }
  EXPECT_EQ((std::vector<std::string>{"jam.jdt", "jam.jdx", "jam.jhr", "jam.jlr"}), Files);
  std::vector<std::string> Expected(2, "First post");
  Expected.insert(Expected.end(), FirstTossed.begin(), FirstTossed.end());
  Expected.insert(Expected.end(), 2, "Second post");
  EXPECT_EQ(Expected, Subjects(List(Id)));
}

TEST_F(PeersTest, MessagesTheMaintenanceToolDeletedAreShownAsDeleted) {
  const std::string Maint = FindTool("crashmaint");
  if (Maint.empty()) GTEST_SKIP() << "crashmaint is not installed (Debian package crashmail)";
  const std::string Id = "J" + JamPath();
  Toss("JAMAREA", FirstTossed);
  ASSERT_EQ(0, Post(Id, "Vellumar post", 200, 2).ExitStatus);  // 5 data lines: 3 sections
  Toss("JAMAREA", LastTossed);
  const std::vector<TListed> Before = List(Id);
  ASSERT_EQ(7u, Before.size());

  std::string Settings = ReadFileText(Prefs());
  const std::string Area = "JAM \"" + JamPath() + "\"\nEXPORT 2:5020/1\n";
  ASSERT_NE(std::string::npos, Settings.find(Area));
  Settings.insert(Settings.find(Area) + Area.size(), "KEEPNUM 3\n");
  ASSERT_TRUE(WriteFileText(Dir.File("maint.prefs"), Settings));
  const TRunResult M =
      Run(Maint, {"MAINT", "VERBOSE", "SETTINGS", Dir.File("maint.prefs"), "PATTERN", "JAMAREA"});
  ASSERT_EQ(0, M.ExitStatus) << M.Stdout;

  // The tool's count leaves out a message it did not mark: msgdump says so.
  const TRunResult R = Run(MsgDump, {Id});
  EXPECT_EQ(std::string::npos, R.Stdout.find("cannot be read")) << R.Stdout;
  std::int32_t Count = 0;
  const std::vector<TListed> After = List(Id, &Count, R.ExitStatus == 0 ? 0 : 1);
  ASSERT_EQ(Before.size(), After.size());  // every message keeps its number
  std::int32_t Live = 0;
  for (std::size_t I = 0; I < After.size(); ++I) {
    EXPECT_EQ(static_cast<std::int32_t>(I + 1), After[I].Number);
    if (After[I].Deleted) continue;
    ++Live;
    EXPECT_EQ(Before[I].Subject, After[I].Subject);
    EXPECT_EQ(Before[I].Body, After[I].Body);
  }
  EXPECT_LT(Live, 7) << R.Stdout;
  EXPECT_EQ(3, Count);  // as the tool stored it

  // An open for writing counts what is marked; the posting goes in after it.
  ASSERT_EQ(0, Post(Id, "After maintenance", 10, 50).ExitStatus);
  const std::vector<TListed> Last = List(Id, &Count);
  ASSERT_EQ(8u, Last.size());
  EXPECT_EQ("After maintenance", Last.back().Subject);
  EXPECT_EQ(Live + 1, Count);
}

// vellumar holds the JAM base for a long posting while crashmail tosses into
// it: crashmail's record lock on byte 0 of the header file is refused until
// vellumar is done, so the two never write at once, and the base then holds
// both postings whole.
TEST_F(PeersTest, TosserWaitsWhileVellumarPosts) {
  const std::string Id = "J" + JamPath();
  Toss("JAMAREA", FirstTossed);
  const std::string Header = JamPath() + ".jhr";
  ASSERT_TRUE(testing_support::PathExists(Header));
  WritePackets("JAMAREA", LastTossed);

  // One line a message: every message waits for its serial, so the posting
  // holds the base for a second or more.
  auto Posting =
      std::async(std::launch::async, [this, &Id] { return Post(Id, "Long post", 45 * 99, 1); });
  // Wait until the base is held: a lock on byte 0 shows up.
  const bool Held = AwaitRecordLock(Header, 500);
  ASSERT_TRUE(Held);
  const std::string Strace = FindTool("strace");
  const std::string Trace = Dir.File("crashmail.trace");
  std::vector<std::string> Args{"SETTINGS", Prefs(), "TOSSDIR", Dir.File("pkts"), "NOSECURITY"};
  TRunResult Tossed;
  if (Strace.empty()) {
    Tossed = Run(CrashMail, Args);
  } else {
    Args.insert(Args.begin(), {"-f", "-e", "trace=fcntl", "-o", Trace, CrashMail});
    Tossed = Run(Strace, Args);
  }
  const TRunResult Posted = Posting.get();
  ASSERT_EQ(0, Posted.ExitStatus) << Posted.Stdout;
  ASSERT_EQ(0, Tossed.ExitStatus) << Tossed.Stdout;
  EXPECT_EQ(std::string::npos, Tossed.Stdout.find("Timeout")) << Tossed.Stdout;
  if (!Strace.empty()) {
    const std::string Calls = ReadFileText(Trace);
    // Its first tries at the lock were refused while vellumar held the base.
    EXPECT_NE(std::string::npos,
              Calls.find("F_WRLCK, l_whence=SEEK_SET, l_start=0, l_len=1}) = -1"))
        << Calls.substr(0, 2000);
  }

  std::vector<std::string> Expected = FirstTossed;
  Expected.insert(Expected.end(), 100, "Long post");
  Expected.insert(Expected.end(), LastTossed.begin(), LastTossed.end());
  // crashmail counts ActiveMsgs from the header it read before it waited, so
  // it stores a count that leaves out what vellumar posted meanwhile: msgdump
  // reports it, and the next open for writing counts again from the records.
  const std::vector<TListed> All = List(Id, nullptr, 1);
  EXPECT_EQ(Expected, Subjects(All));
  for (const TListed& M : All) EXPECT_FALSE(M.Body.empty()) << M.Number;

  ASSERT_EQ(0, Post(Id, "Short post", 10, 50).ExitStatus);
  Expected.push_back("Short post");
  std::int32_t Count = 0;
  EXPECT_EQ(Expected, Subjects(List(Id, &Count)));
  EXPECT_EQ(static_cast<std::int32_t>(Expected.size()), Count);
}

// The other way round: crashmail tosses, slowed down by strace so that it
// holds its lock for a while, and vellumar starts meanwhile. vellumar's own
// lock is refused while crashmail writes a message; it waits and tries again,
// and both postings end up whole.
TEST_F(PeersTest, VellumarWaitsWhileTheTosserWrites) {
  const std::string Strace = FindTool("strace");
  if (Strace.empty()) GTEST_SKIP() << "strace is not installed (Debian package strace)";
  const std::string Id = "J" + JamPath();
  Toss("JAMAREA", FirstTossed);
  const std::string Header = JamPath() + ".jhr";
  WritePackets("JAMAREA", LastTossed);
  // Every write of the tosser takes a fifth of a second.
  auto Tossing = std::async(std::launch::async, [&] {
    return Run(Strace, {"-f", "-o", "/dev/null", "-e", "inject=write:delay_exit=200000", CrashMail,
                        "SETTINGS", Prefs(), "TOSSDIR", Dir.File("pkts"), "NOSECURITY"});
  });
  const bool Held = AwaitRecordLock(Header, 2000);
  ASSERT_TRUE(Held) << "the tosser never took its lock";
  ASSERT_TRUE(WriteFileText(Dir.File("data.bin"), "a short file"));
  const std::string Trace = Dir.File("vellumar.trace");
  // A leak check cannot run under a tracer; the other sanitizer checks can.
  const TRunResult Posted =
      Run(Strace, {"-f", "-E", "ASAN_OPTIONS=detect_leaks=0", "-e", "trace=fcntl", "-o", Trace,
                   Vellumar, "-o2:5020/100", "-mE", "-d2:5020/1", "+hhead.tpl", "+ffoot.tpl",
                   "-e" + Id, "-Fdata.bin", "-s\"While tossing\""});
  const TRunResult Tossed = Tossing.get();
  ASSERT_EQ(0, Posted.ExitStatus) << Posted.Stdout;
  ASSERT_EQ(0, Tossed.ExitStatus) << Tossed.Stdout;
  // At least one of vellumar's tries at the lock was refused.
  const std::string Calls = ReadFileText(Trace);
  EXPECT_NE(std::string::npos, Calls.find("F_OFD_SETLK, {l_type=F_WRLCK, l_whence=SEEK_SET, "
                                          "l_start=0, l_len=1}) = -1"))
      << Calls;

  std::vector<std::string> Got = Subjects(List(Id));
  std::vector<std::string> Expected = FirstTossed;
  Expected.insert(Expected.end(), LastTossed.begin(), LastTossed.end());
  Expected.push_back("While tossing");
  std::sort(Got.begin(), Got.end());
  std::sort(Expected.begin(), Expected.end());
  EXPECT_EQ(Expected, Got);
}

}  // namespace
}  // namespace vellumar_tests
