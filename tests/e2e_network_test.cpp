// End-to-end across a real network: two FidoNet nodes on one machine, A
// (2:5020/100) and B (2:5020/200), each with Debian's crashmail as tosser and
// binkd as mailer, talking binkp on 127.0.0.1 only. vellumar posts a file into
// an area of A, crashmail exports it into packets (SCAN), binkd carries them
// to B, crashmail on B tosses them into B's areas, and msgextract on B
// rebuilds the file, which must come back byte for byte, whatever SEEN-BY,
// PATH and Via lines the tossers added on the way.
//
// Limits of the peers, found by running them, that shape these tests:
// - crashmail cannot scan JAM areas it did not write itself (it exports none
//   of their messages) and reads no Squish, so A's areas are *.msg areas; B
//   tosses into *.msg and JAM areas alike.
// - crashmail keeps its high-water mark in 1.msg of a *.msg area (MSG_HIGHWATER,
//   on here as in its example configuration): it never exports 1.msg and
//   writes its mark over it.
// - crashmail names packets after the current second, so a second scan
//   within the same second overwrites a packet that is not sent yet: every
//   scan waits for the next second first.
// - crashmail drops SEEN-BY lines as it tosses unless IMPORTSEENBY is on (on
//   here, so that they reach the stored messages).
// - packets are cut at MAXPKTSIZE (50 KB here), so a large posting travels
//   in many packets, which is what makes a lost packet a realistic case.
//
// binkd runs as a server for B only, started by the test on a free port of
// 127.0.0.1 with its own configuration and stopped by its process id; A's
// binkd runs as a client that polls B once and quits. No system binkd or
// configuration is used or touched. Every wait is bounded in tries and time.
//
// The largest file that fits at -l50 (1192 sections) crosses the network
// only when VELLUMAR_NETWORK_LARGEST is set; it then reports the time of
// each stage. The suite skips with one line where crashmail or binkd is not
// installed (scripts/deps.sh installs both).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "testing/test_support.h"
#include "tests/run_program.h"

namespace vellumar_tests {
namespace {

namespace fs = std::filesystem;
using testing_support::ReadFileText;
using testing_support::TTempDir;
using testing_support::WriteFileText;

// A file of 204800 bytes: 92 sections at -l50.
constexpr std::size_t SmallFileSize = 204800;
// The largest file that fits at -l50: 1192 sections.
constexpr std::size_t LargestFileSize = 2680874;

// One node: its address, its folder and the port its binkd would listen on.
struct TNode {
  std::string Name;
  std::string Address;
  std::string Root;
  int Port = 0;

  std::string Path(const std::string& Sub) const { return Root + "/" + Sub; }
  std::string Prefs() const { return Path("crashmail.prefs"); }
  std::string Binkd() const { return Path("binkd.cfg"); }
  std::string Area(const std::string& Folder) const { return Path("areas/" + Folder); }
};

// Bytes of every value, the same in every run.
std::string FileBytes(std::size_t Size) {
  std::string Data(Size, '\0');
  std::uint32_t State = 12345;
  for (char& Ch : Data) {
    State = State * 1103515245u + 12345u;
    Ch = static_cast<char>(State >> 24);
  }
  return Data;
}

// Sleeps into the next second of the clock (crashmail names packets after it).
void WaitForNextSecond() {
  const std::time_t Now = std::time(nullptr);
  for (int Try = 0; Try < 300 && std::time(nullptr) == Now; ++Try) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// True once something accepts connections on 127.0.0.1:Port (50 tries, 100 ms
// apart).
bool AwaitListener(int Port) {
  for (int Try = 0; Try < 50; ++Try) {
    const int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(static_cast<std::uint16_t>(Port));
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool Up = ::connect(Fd, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0;
    ::close(Fd);
    if (Up) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// The section numbers of a posting named File that Bytes (a packet) carries.
std::set<int> SectionsIn(const std::string& Bytes, const std::string& File) {
  std::set<int> Sections;
  const std::regex Header("Section ([0-9]+) of [0-9]+ of file " + File);
  for (auto It = std::sregex_iterator(Bytes.begin(), Bytes.end(), Header);
       It != std::sregex_iterator(); ++It) {
    Sections.insert(std::stoi((*It)[1].str()));
  }
  return Sections;
}

// "3-5, 9" for {3, 4, 5, 9}, as msgextract names sections.
std::string RangesOf(const std::set<int>& Numbers) {
  std::string Text;
  for (auto It = Numbers.begin(); It != Numbers.end();) {
    const int From = *It;
    int To = From;
    while (++It != Numbers.end() && *It == To + 1) ++To;
    Text += (Text.empty() ? "" : ", ") + std::to_string(From);
    if (To != From) Text += "-" + std::to_string(To);
  }
  return Text;
}

// Regular files of Dir whose names end in Extension, sorted.
std::vector<std::string> FilesIn(const std::string& Dir, const std::string& Extension) {
  std::vector<std::string> Names;
  for (const auto& Entry : fs::directory_iterator(Dir)) {
    if (Entry.is_regular_file() && Entry.path().extension() == Extension) {
      Names.push_back(Entry.path().string());
    }
  }
  std::sort(Names.begin(), Names.end());
  return Names;
}

class NetworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The largest file is sent on request only (it costs about half a minute).
    const std::string Name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    if (Name == "LargestFileArrivesWhole" && std::getenv("VELLUMAR_NETWORK_LARGEST") == nullptr) {
      GTEST_SKIP() << "set VELLUMAR_NETWORK_LARGEST=1 to send the largest file (1192 sections)";
    }
    CrashMail = FindTool("crashmail");
    Binkd = FindTool("binkd");
    if (CrashMail.empty() || Binkd.empty()) {
      GTEST_SKIP() << "crashmail or binkd is not installed (Debian packages crashmail and "
                      "binkd; scripts/deps.sh installs them)";
    }
    ASSERT_FALSE(Dir.Path().empty());
    Vellumar = InstallProgram(VELLUMAR_BINARY, Dir.Path(), "vellumar");
    ASSERT_FALSE(Vellumar.empty());
    ASSERT_TRUE(WriteFileText(Dir.File("head.tpl"), "Sent across the network\n"));
    ASSERT_TRUE(WriteFileText(Dir.File("foot.tpl"), "End of section\n"));
    A = {"a", "2:5020/100", Dir.File("a"), FreePort()};
    B = {"b", "2:5020/200", Dir.File("b"), FreePort()};
    ASSERT_NE(0, A.Port);
    ASSERT_NE(0, B.Port);
    // The same area tags on both nodes; B keeps TOJAM as a JAM area.
    WriteNode(A, B, {{"FILES", "MSG"}, {"TOJAM", "MSG"}, {"FRESH", "MSG"}});
    WriteNode(B, A, {{"FILES", "MSG"}, {"TOJAM", "JAM"}, {"FRESH", "MSG"}});
    Server = std::make_unique<TBackground>(Binkd, std::vector<std::string>{"-s", "-q", B.Binkd()},
                                           B.Root);
    ASSERT_TRUE(AwaitListener(B.Port)) << "binkd for B does not listen on port " << B.Port;
    // Started whole: the pid file it removes as it ends is there.
    for (int Try = 0; Try < 50 && !fs::exists(B.Path("binkd.pid")); ++Try) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(fs::exists(B.Path("binkd.pid")));
  }

  void TearDown() override {
    if (Server == nullptr) return;
    Server.reset();
    // binkd removes its pid file as it ends; it must be gone with it.
    EXPECT_FALSE(fs::exists(B.Path("binkd.pid")));
  }

  // The folders and both configuration files of Node, which exchanges mail
  // with Peer only; Areas are (tag, format) pairs, all exported to Peer.
  void WriteNode(const TNode& Node, const TNode& Peer,
                 const std::vector<std::pair<std::string, std::string>>& Areas) {
    for (const char* Sub : {"", "/inb", "/tinb", "/outb", "/pkt", "/tmp", "/areas"}) {
      ASSERT_TRUE(fs::create_directory(Node.Root + Sub)) << Sub;
    }
    std::string Prefs =
        "SYSOP \"Sysop " + Node.Name + "\"\nLOGFILE \"" + Node.Path("crashmail.log") +
        "\"\nLOGLEVEL 5\nDUPEFILE \"" + Node.Path("dupes") + "\" 200\nDUPEMODE BAD\nINBOUND \"" +
        Node.Path("inb") + "\"\nOUTBOUND \"" + Node.Path("outb") + "\"\nTEMPDIR \"" +
        Node.Path("tmp") + "\"\nCREATEPKTDIR \"" + Node.Path("tmp") + "\"\nPACKETDIR \"" +
        Node.Path("pkt") + "\"\nSTATSFILE \"" + Node.Path("stats") +
        "\"\nDEFAULTZONE 2\nMAXPKTSIZE 50\nMSG_HIGHWATER\nIMPORTSEENBY\nAKA " + Node.Address +
        "\nNODE " + Peer.Address + " \"\" \"\"\nROUTE \"" + Peer.Address + "\" \"" + Peer.Address +
        "\" " + Node.Address + "\nNETMAIL \"NETMAIL\" " + Node.Address + " MSG \"" +
        Node.Area("netmail") + "\"\nAREA \"BAD\" " + Node.Address + " MSG \"" + Node.Area("bad") +
        "\"\n";
    for (const auto& [Tag, Format] : Areas) {
      std::string Folder = Tag;  // the tag in lower case
      for (char& Ch : Folder) Ch = static_cast<char>(Ch - 'A' + 'a');
      Prefs += "AREA \"" + Tag + "\" " + Node.Address + " " + Format + " \"" + Node.Area(Folder) +
               "\"\nEXPORT " + Peer.Address + "\n";
    }
    ASSERT_TRUE(WriteFileText(Node.Prefs(), Prefs));
    ASSERT_TRUE(WriteFileText(
        Node.Binkd(),
        "domain fidonet " + Node.Path("outb") + " 2\naddress " + Node.Address +
            "@fidonet\nsysname \"Node " + Node.Name + "\"\nsysop \"Sysop " + Node.Name +
            "\"\nlocation \"Loopback\"\nnodeinfo 115200,TCP,BINKP\nlisten 127.0.0.1:" +
            std::to_string(Node.Port) + "\ninbound " + Node.Path("inb") + "\ninbound-nonsecure " +
            Node.Path("inb") + "\ntemp-inbound " + Node.Path("tinb") + "\nlog " +
            Node.Path("binkd.log") + "\nloglevel 4\npid-file " + Node.Path("binkd.pid") +
            "\nnode " + Peer.Address + "@fidonet 127.0.0.1:" + std::to_string(Peer.Port) + " -\n"));
  }

  TRunResult Run(const std::string& Program, const std::vector<std::string>& Args) {
    TRunOptions Options;
    Options.WorkDir = Dir.Path();
    Options.TimeoutSeconds = 120;
    return RunProgram(Program, Args, Options);
  }

  // Posts the file Name of Size bytes from A into the *.msg area Area.
  void Post(const std::string& Area, const std::string& Name, std::size_t Size, bool Netmail,
            int Lines = 50) {
    ASSERT_TRUE(WriteFileText(Dir.File(Name), FileBytes(Size)));
    const TRunResult R =
        Run(Vellumar, {"-o" + A.Address, Netmail ? "-mN" : "-mE", "-d" + B.Address, "+hhead.tpl",
                       "+ffoot.tpl", "-eF" + A.Area(Area), "-F" + Name,
                       "-l" + std::to_string(Lines), "-s\"" + Name + "\""});
    ASSERT_EQ(0, R.ExitStatus) << R.Stdout;
  }

  // crashmail on A exports what is new in every area into packets for B.
  void Scan() {
    WaitForNextSecond();
    const TRunResult R = Run(CrashMail, {"SETTINGS", A.Prefs(), "SCAN"});
    ASSERT_EQ(0, R.ExitStatus) << R.Stdout;
  }

  // A's binkd calls B once and sends everything queued; the outbound is empty
  // afterwards.
  void Carry() {
    const TRunResult R = Run(Binkd, {"-p", "-q", "-P", B.Address, A.Binkd()});
    ASSERT_EQ(0, R.ExitStatus) << R.Stdout << R.Stderr;
    EXPECT_TRUE(FilesIn(A.Path("outb"), ".flo").empty()) << ReadFileText(A.Path("binkd.log"));
    EXPECT_TRUE(FilesIn(A.Path("outb"), ".out").empty()) << ReadFileText(A.Path("binkd.log"));
  }

  // crashmail on B tosses every packet in its inbound.
  void Toss() {
    const TRunResult R = Run(CrashMail, {"SETTINGS", B.Prefs(), "TOSS"});
    ASSERT_EQ(0, R.ExitStatus) << R.Stdout;
    EXPECT_TRUE(FilesIn(B.Path("inb"), ".pkt").empty()) << R.Stdout;
  }

  // msgextract on base Id into a fresh folder Out.
  TRunResult Extract(const std::string& Id, const std::string& Out) {
    fs::create_directories(Dir.File(Out));
    return Run(MSGEXTRACT_BINARY, {Id, Dir.File(Out)});
  }

  // msgextract on base Id writes the file Name into Out exactly as it was
  // posted, and exits 0; its output.
  std::string ExpectRebuilt(const std::string& Id, const std::string& Out,
                            const std::string& Name) {
    const TRunResult R = Extract(Id, Out);
    EXPECT_EQ(0, R.ExitStatus) << R.Stdout;
    const std::string Rebuilt = Dir.File(Out + "/" + Name);
    EXPECT_TRUE(fs::exists(Rebuilt)) << Out;
    EXPECT_TRUE(ReadFileText(Rebuilt) == ReadFileText(Dir.File(Name))) << Out << " differs";
    return R.Stdout;
  }

  // Every *.msg file of the area at Path, concatenated.
  static std::string AreaBytes(const std::string& Path) {
    std::string Bytes;
    for (const std::string& File : FilesIn(Path, ".msg")) Bytes += ReadFileText(File);
    return Bytes;
  }

  TTempDir Dir;
  TNode A;
  TNode B;
  std::string CrashMail;
  std::string Binkd;
  std::string Vellumar;
  std::unique_ptr<TBackground> Server;
};

TEST_F(NetworkTest, EchomailArrivesWholeInMsgAndJamAreas) {
  Post("files", "report.bin", SmallFileSize, false);
  Post("tojam", "other.bin", SmallFileSize, false);
  Scan();
  Carry();
  Toss();
  // The tossers added their lines on the way; they are no part of a section.
  const std::string Tossed = AreaBytes(B.Area("files"));
  EXPECT_NE(std::string::npos, Tossed.find("SEEN-BY: 5020/100 200"));
  EXPECT_NE(std::string::npos, Tossed.find("\x01PATH: 5020/100"));

  const std::string Msg = ExpectRebuilt("F" + B.Area("files"), "out1", "report.bin");
  EXPECT_NE(std::string::npos, Msg.find("from 92 sections")) << Msg;
  ExpectRebuilt("J" + B.Area("tojam"), "out2", "other.bin");
}

TEST_F(NetworkTest, NetmailArrivesWhole) {
  Post("netmail", "direct.bin", SmallFileSize, true);
  Scan();
  Carry();
  Toss();
  EXPECT_NE(std::string::npos, AreaBytes(B.Area("netmail")).find("\x01Via 2:5020/100"));
  ExpectRebuilt("F" + B.Area("netmail"), "out", "direct.bin");
}

// A new *.msg area: vellumar leaves 1.msg to the tosser, which keeps its
// high-water mark there and never exports it. Every section reaches B, and A
// keeps them all after the tosser wrote its mark.
TEST_F(NetworkTest, FreshMsgAreaLosesNoSection) {
  Post("fresh", "fresh.bin", 1000, false, 5);  // 23 data lines: 5 sections
  EXPECT_FALSE(fs::exists(A.Area("fresh/1.msg")));
  Scan();
  ASSERT_TRUE(fs::exists(A.Area("fresh/1.msg")));  // the tosser's mark
  Carry();
  Toss();
  ExpectRebuilt("F" + B.Area("fresh"), "there", "fresh.bin");
  ExpectRebuilt("F" + A.Area("fresh"), "here", "fresh.bin");
}

// A packet lost on the way: msgextract names exactly the sections it held,
// writes nothing and exits 2; once A sends the packet again, the file is
// rebuilt.
TEST_F(NetworkTest, LostPacketIsNamedAndSentAgain) {
  Post("files", "report.bin", SmallFileSize, false);
  Scan();
  Carry();
  const std::vector<std::string> Packets = FilesIn(B.Path("inb"), ".pkt");
  ASSERT_GE(Packets.size(), 3u);
  const std::string Lost = Packets[Packets.size() / 2];
  const std::string Bytes = ReadFileText(Lost);
  const std::set<int> Sections = SectionsIn(Bytes, "report.bin");
  ASSERT_FALSE(Sections.empty());
  fs::remove(Lost);
  Toss();

  const TRunResult Incomplete = Extract("F" + B.Area("files"), "out");
  EXPECT_EQ(2, Incomplete.ExitStatus) << Incomplete.Stdout;
  EXPECT_NE(std::string::npos,
            Incomplete.Stdout.find("sections " + RangesOf(Sections) + " of 92 missing"))
      << Incomplete.Stdout;
  EXPECT_TRUE(fs::is_empty(Dir.File("out")));

  // Sent again as a packet in A's outbound (BSO: <net><node>.out).
  ASSERT_TRUE(WriteFileText(A.Path("outb/139c00c8.out"), Bytes));
  Carry();
  Toss();
  ExpectRebuilt("F" + B.Area("files"), "out", "report.bin");
}

// The largest file that fits at -l50, on request only (see SetUp): 1192
// sections in about 80 packets, with the time of each stage.
TEST_F(NetworkTest, LargestFileArrivesWhole) {
  using Clock = std::chrono::steady_clock;
  std::vector<std::pair<std::string, double>> Stages;
  auto Start = Clock::now();
  const auto Stage = [&](const std::string& Name) {
    const auto Now = Clock::now();
    Stages.emplace_back(Name, std::chrono::duration<double>(Now - Start).count());
    Start = Now;
  };
  Post("tojam", "largest.bin", LargestFileSize, false);
  Stage("post");
  Scan();
  Stage("scan");
  const std::size_t Packets = FilesIn(A.Path("pkt"), ".pkt").size();
  Carry();
  Stage("carry");
  Toss();
  Stage("toss");
  const std::string Rebuilt = ExpectRebuilt("J" + B.Area("tojam"), "out", "largest.bin");
  Stage("rebuild");  // with the comparison, a few milliseconds
  EXPECT_NE(std::string::npos, Rebuilt.find("from 1192 sections")) << Rebuilt;
  std::cout << "1192 sections in " << Packets << " packets; seconds:";
  for (const auto& [Name, Seconds] : Stages) std::cout << " " << Name << " " << Seconds;
  std::cout << "\n";
}

}  // namespace
}  // namespace vellumar_tests
