#include "msgbase/open_base.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <unistd.h>
#include <csignal>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "msgbase/jam/jam_base.h"
#include "msgbase/msg/msg_base.h"
#include "msgbase/squish/squish_base.h"
#include "msgbase/status.h"
#include "testing/test_support.h"

namespace msgbase {
namespace {

using testing_support::TTempDir;

TEST(OpenBaseTest, SplitIdReadsTheFormatLetter) {
  struct TCase {
    std::string Id;
    TMessageBaseFormat Format;
    std::string Path;
  };
  const TCase Cases[] = {
      {"S/var/spool/area", TMessageBaseFormat::mbfSquish, "/var/spool/area"},
      {"s/var/spool/area", TMessageBaseFormat::mbfSquish, "/var/spool/area"},
      {"J~/fido/jam/area", TMessageBaseFormat::mbfJam, "~/fido/jam/area"},
      {"j/x", TMessageBaseFormat::mbfJam, "/x"},
      {"F/net", TMessageBaseFormat::mbfFido, "/net"},
      {"m/net", TMessageBaseFormat::mbfFido, "/net"},
      {"*/net", TMessageBaseFormat::mbfFido, "/net"},
      {"X/net", TMessageBaseFormat::mbfUnknown, "X/net"},
  };
  for (const TCase& C : Cases) {
    TMessageBaseFormat Format = TMessageBaseFormat::mbfFido;
    std::string Path = "unchanged";
    SplitID(C.Id, Format, Path);
    EXPECT_EQ(C.Format, Format) << C.Id;
    EXPECT_EQ(C.Path, Path) << C.Id;
  }
  TMessageBaseFormat Format = TMessageBaseFormat::mbfFido;
  std::string Path = "unchanged";
  SplitID("", Format, Path);
  EXPECT_EQ(TMessageBaseFormat::mbfUnknown, Format);
  EXPECT_EQ("unchanged", Path);
}

TEST(OpenBaseTest, InitCreatesTheClassOfTheLetter) {
  PMessageBase Base;
  ASSERT_TRUE(InitMessageBase(Base, "S/tmp/a"));
  EXPECT_NE(nullptr, dynamic_cast<TSquishMessageBase*>(Base.get()));
  ASSERT_TRUE(InitMessageBase(Base, "*/tmp/a"));
  EXPECT_NE(nullptr, dynamic_cast<TFidoMessageBase*>(Base.get()));
  ASSERT_TRUE(InitMessageBase(Base, "j/tmp/a"));
  EXPECT_NE(nullptr, dynamic_cast<TJamMessageBase*>(Base.get()));
  EXPECT_TRUE(DoneMessageBase(Base));
  EXPECT_EQ(nullptr, Base);
  EXPECT_FALSE(DoneMessageBase(Base));
}

TEST(OpenBaseTest, UnknownOrEmptyIdentifierFailsWith256) {
  for (const std::string Id : {"X/tmp/area", ""}) {
    PMessageBase Base;
    SetOpenStatus(0);
    EXPECT_FALSE(OpenOrCreateMessageBase(Base, Id));
    EXPECT_EQ(nullptr, Base);
    EXPECT_EQ(stOpenUnrecognizedId, GetOpenStatus());
    EXPECT_FALSE(OpenMessageBase(Base, Id));
    EXPECT_FALSE(ExistMessageBase(Id));
  }
  PMessageBase Null;
  EXPECT_FALSE(CloseMessageBase(Null));
}

TEST(OpenBaseTest, ParsePathExpandsHomeAndProgramDirectory) {
  const char* OldHome = std::getenv("HOME");
  const std::string Saved = OldHome != nullptr ? OldHome : "";
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ("/home/u/fido/jam/area", ParsePath("~/fido/jam/area"));
  SetProgramPath("/opt/bin/prog");
  EXPECT_EQ("/opt/bin/netmail", ParsePath("./netmail"));
  EXPECT_EQ("/opt/bin", GetCurrentDir());
  EXPECT_EQ("~a", ParsePath("~a"));
  EXPECT_EQ(".", ParsePath("."));
  EXPECT_EQ("/abs/path", ParsePath("/abs/path"));
  EXPECT_EQ(255u, ParsePath("/" + std::string(400, 'a')).size());
  // Found through PATH: the running executable's own directory.
  SetProgramPath("prog");
  const std::string Dir = GetCurrentDir();
  EXPECT_FALSE(Dir.empty());
  EXPECT_EQ('/', Dir[0]);
  // Without a home a "~/" base is refused by every opener, never made in "/".
  TMessageBaseFormat Format = TMessageBaseFormat::mbfUnknown;
  std::string Path;
  EXPECT_TRUE(ResolveMessageBaseId("J~/area", Format, Path));
  EXPECT_EQ("/home/u/area", Path);
  for (const bool Unset : {false, true}) {
    if (Unset)
      unsetenv("HOME");
    else
      setenv("HOME", "", 1);
    EXPECT_FALSE(ResolveMessageBaseId("J~/area", Format, Path));
    EXPECT_EQ(stOpenNoHome, GetOpenStatus());
    PMessageBase Base;
    EXPECT_FALSE(OpenOrCreateMessageBase(Base, "S~/area"));
    EXPECT_EQ(stOpenNoHome, GetOpenStatus());
    EXPECT_TRUE(ResolveMessageBaseId("F/abs/area", Format, Path));
  }
  setenv("HOME", Saved.c_str(), 1);
}

TEST(OpenBaseTest, OpenOrCreateMakesEachFormatThenReopensIt) {
  TTempDir Dir;
  for (const std::string Letter : {"F", "S", "J"}) {
    const std::string Id = Letter + Dir.File("area" + Letter);
    EXPECT_FALSE(ExistMessageBase(Id)) << Id;
    PMessageBase Base;
    EXPECT_FALSE(OpenMessageBase(Base, Id)) << Id;
    EXPECT_EQ(nullptr, Base);
    EXPECT_NE(stOpenUnrecognizedId, GetOpenStatus()) << Id;

    ASSERT_TRUE(OpenOrCreateMessageBase(Base, Id)) << Id;
    ASSERT_NE(nullptr, Base);
    EXPECT_TRUE(Base->GetOpened());
    EXPECT_TRUE(CloseMessageBase(Base));
    EXPECT_EQ(nullptr, Base);
    EXPECT_TRUE(ExistMessageBase(Id)) << Id;

    ASSERT_TRUE(OpenMessageBase(Base, Id)) << Id;
    EXPECT_TRUE(CloseMessageBase(Base));
  }
}

// A close whose base header cannot be written says so, for the formats that
// write one at Close (JAM commits its header with each change); a status
// left from before is not taken for its result.
TEST(OpenBaseTest, CloseExReportsAFailedFinalWrite) {
  TTempDir Dir;
  // Squish saves its header with every message: nothing is left for Close.
  for (const auto& [Letter, Failure] :
       {std::pair{"F", stOk}, std::pair{"S", stOk}, std::pair{"J", stOk}}) {
    const std::string Id = Letter + Dir.File("area" + std::string(Letter));
    PMessageBase Base;
    ASSERT_TRUE(OpenOrCreateMessageBase(Base, Id)) << Id;
    Base->SetStatus(stMsgNotFound);
    std::int32_t Status = -1;
    EXPECT_TRUE(CloseMessageBaseEx(Base, Status)) << Id;
    EXPECT_EQ(stOk, Status) << Id;
    EXPECT_EQ(nullptr, Base);

    ASSERT_TRUE(OpenMessageBase(Base, Id)) << Id;
    ASSERT_TRUE(Base->CreateNewMessage()) << Id;
    Base->PutString("Hello");
    ASSERT_TRUE(Base->WriteMessage()) << Id;
    (void)Base->CloseMessage();  // the message is stored
    {
      testing_support::TFileSizeLimit Limit(100);  // less than either base header
      EXPECT_EQ(Failure == stOk, CloseMessageBaseEx(Base, Status)) << Id;
    }
    EXPECT_EQ(Failure, Status) << Id;
    EXPECT_EQ(nullptr, Base);
  }
  PMessageBase None;
  std::int32_t Status = -1;
  EXPECT_FALSE(CloseMessageBaseEx(None, Status));
}

TEST(OpenBaseTest, PartlyMissingBaseIsNeverCreatedOver) {
  TTempDir Dir;
  struct TCase {
    std::string Letter;
    std::string Removed;  // the file that goes missing
    std::string Kept;     // a file whose bytes must survive
    std::int32_t Status;  // what the failed open reports
  };
  const TCase Cases[] = {
      {"S", "sqi", "sqd", stSquishAbsentSqi},
      {"S", "sqd", "sqi", stSquishAbsentSqd},
      {"J", "jdx", "jhr", stJamAbsentJdx},
      {"J", "jhr", "jdt", stJamAbsentJhr},
  };
  int Round = 0;
  for (const TCase& C : Cases) {
    const std::string Path = Dir.File("part" + std::to_string(++Round));
    const std::string Id = C.Letter + Path;
    PMessageBase Base;
    ASSERT_TRUE(OpenOrCreateMessageBase(Base, Id));
    ASSERT_TRUE(Base->CreateNewMessage());
    Base->PutString("kept text");
    ASSERT_TRUE(Base->WriteMessage());
    (void)Base->CloseMessage();
    ASSERT_TRUE(CloseMessageBase(Base));

    ASSERT_EQ(0, unlink((Path + "." + C.Removed).c_str()));
    const testing_support::TBytes Before = testing_support::ReadFileBytes(Path + "." + C.Kept);
    EXPECT_FALSE(OpenOrCreateMessageBase(Base, Id)) << Id << " without " << C.Removed;
    EXPECT_EQ(C.Status, GetOpenStatus()) << Id;
    EXPECT_EQ(nullptr, Base);
    EXPECT_EQ(Before, testing_support::ReadFileBytes(Path + "." + C.Kept)) << Id;
    EXPECT_FALSE(testing_support::PathExists(Path + "." + C.Removed)) << Id;
  }
}

int CallsSeen = 0;
bool AlwaysShared(PMessageBase& Base, const std::string&) {
  ++CallsSeen;
  Base.reset();
  SetOpenStatus(stOpenSharingViolation);
  return false;
}
bool FailsOtherwise(PMessageBase& Base, const std::string&) {
  ++CallsSeen;
  Base.reset();
  SetOpenStatus(stSquishAbsentSqd);
  return false;
}

TEST(OpenBaseTest, OpenExRetriesOnlySharingViolations) {
  PMessageBase Base;
  CallsSeen = 0;
  EXPECT_FALSE(OpenMessageBaseEx(Base, "S/x", AlwaysShared, 3));
  EXPECT_EQ(3, CallsSeen);
  EXPECT_EQ(stOpenAttemptsExpired, GetOpenStatus());
  CallsSeen = 0;
  EXPECT_FALSE(OpenMessageBaseEx(Base, "S/x", FailsOtherwise, 3));
  EXPECT_EQ(1, CallsSeen);
  EXPECT_EQ(stSquishAbsentSqd, GetOpenStatus());
}

// A child process that runs Take and keeps what it took until it is killed
// (or HoldSeconds have passed); Holds tells whether Take succeeded.
class THolder {
 public:
  THolder(const std::string& Id, TMessageBaseOpenProcess Process)
      : THolder([&Id, Process] {
          static PMessageBase Held;  // lives in the child until it exits
          return Process(Held, Id);
        }) {}
  explicit THolder(const std::function<bool()>& Take, unsigned HoldSeconds = 30) {
    int Ready[2];
    if (pipe(Ready) != 0) return;
    Child_ = fork();
    if (Child_ == 0) {
      const char Byte = Take() ? '1' : '0';
      (void)!write(Ready[1], &Byte, 1);
      sleep(HoldSeconds);  // held until the parent has looked
      _exit(0);
    }
    char Byte = 0;
    Holds_ = Child_ > 0 && read(Ready[0], &Byte, 1) == 1 && Byte == '1';
    close(Ready[0]);
    close(Ready[1]);
  }
  ~THolder() {
    if (Child_ <= 0) return;
    kill(Child_, SIGKILL);
    int WaitStatus = 0;
    waitpid(Child_, &WaitStatus, 0);
  }
  THolder(const THolder&) = delete;
  THolder& operator=(const THolder&) = delete;
  [[nodiscard]] bool Holds() const { return Holds_; }

 private:
  pid_t Child_ = -1;
  bool Holds_ = false;
};

TEST(OpenBaseTest, BaseHeldByAnotherProgramIsASharingViolation) {
  TTempDir Dir;
  for (const std::string Letter : {"S", "J"}) {
    const std::string Id = Letter + Dir.File("held" + Letter);
    PMessageBase Base;
    ASSERT_TRUE(OpenOrCreateMessageBase(Base, Id));
    ASSERT_TRUE(CloseMessageBase(Base));
    {
      // A writer keeps out writers and readers alike.
      const THolder Writer(Id, OpenMessageBase);
      ASSERT_TRUE(Writer.Holds()) << Id;
      EXPECT_FALSE(OpenOrCreateMessageBase(Base, Id)) << Id;
      EXPECT_EQ(stOpenSharingViolation, GetOpenStatus());
      EXPECT_EQ(nullptr, Base);
      EXPECT_FALSE(OpenMessageBaseReadOnly(Base, Id)) << Id;
      EXPECT_EQ(stOpenSharingViolation, GetOpenStatus());
    }
    {
      // Readers share the base and keep out a writer.
      const THolder Reader(Id, OpenMessageBaseReadOnly);
      ASSERT_TRUE(Reader.Holds()) << Id;
      ASSERT_TRUE(OpenMessageBaseReadOnly(Base, Id)) << Id;
      EXPECT_TRUE(CloseMessageBase(Base));
      EXPECT_FALSE(OpenOrCreateMessageBase(Base, Id)) << Id;
      EXPECT_EQ(stOpenSharingViolation, GetOpenStatus());
    }
    ASSERT_TRUE(OpenOrCreateMessageBase(Base, Id)) << Id;
    EXPECT_TRUE(CloseMessageBase(Base));
  }
}

// Other software names a base's files in another case. Such a base is found,
// appended to under those very names, and never doubled by a second base
// beside it; when a file is there under two names, nothing is touched.
TEST(OpenBaseTest, BaseFilesAreFoundWhateverTheCaseOfTheirNames) {
  struct TCase {
    std::string Letter;
    std::vector<std::pair<std::string, std::string>> Renames;  // as made -> as other software names
    std::string Twin;                                          // a second name for one file
  };
  const TCase Cases[] = {
      {"J",
       {{"area.jhr", "AREA.JHR"}, {"area.jdx", "AREA.JDX"}, {"area.jdt", "AREA.JDT"}},
       "area.jhr"},
      {"S", {{"area.sqd", "AREA.SQD"}, {"area.sqi", "AREA.SQI"}}, "area.sqd"},
      {"F", {{"area/2.msg", "area/2.MSG"}, {"area/lastread", "area/LASTREAD"}}, "area/2.msg"},
  };
  const auto Post = [](TMessageBase& Base, const std::string& Subject) {
    ASSERT_TRUE(Base.CreateNewMessage());
    Base.SetSubject(Subject);
    Base.PutString("Body of " + Subject);
    ASSERT_TRUE(Base.WriteMessage());
    (void)Base.CloseMessage();  // stored
  };
  for (const TCase& C : Cases) {
    TTempDir Dir;
    const std::string Id = C.Letter + Dir.File("area");
    PMessageBase Base;
    ASSERT_TRUE(OpenOrCreateMessageBase(Base, Id));
    Post(*Base, "First");
    Base->SetLastRead(0, 1);
    ASSERT_TRUE(CloseMessageBase(Base));
    // The lastread files of JAM and Squish are left with the names made:
    // each file is found on its own.
    for (const auto& [From, To] : C.Renames) {
      ASSERT_EQ(0, std::rename(Dir.File(From).c_str(), Dir.File(To).c_str())) << From;
    }
    const auto Names = [&Dir] {
      std::vector<std::string> Result;
      for (const auto& [Name, File] : testing_support::SnapshotFiles(Dir.Path()))
        Result.push_back(Name);
      return Result;
    };
    const std::vector<std::string> Before = Names();

    EXPECT_TRUE(ExistMessageBase(Id)) << Id;
    ASSERT_TRUE(OpenOrCreateMessageBase(Base, Id)) << Id << " " << GetOpenStatus();
    EXPECT_EQ(1, Base->GetCount()) << Id;
    EXPECT_EQ(1, Base->GetLastRead(0)) << Id;
    Post(*Base, "Second");
    Base->SetLastRead(0, 2);
    ASSERT_TRUE(CloseMessageBase(Base));
    std::vector<std::string> Expected = Before;
    if (C.Letter == "F")
      Expected.insert(Expected.begin() + 1, "area/3.msg");  // new files: as defined
    EXPECT_EQ(Expected, Names()) << Id;

    ASSERT_TRUE(OpenMessageBaseReadOnly(Base, Id)) << Id;
    EXPECT_EQ(2, Base->GetCount()) << Id;
    EXPECT_EQ(2, Base->GetLastRead(0)) << Id;
    Base->Seek(1);
    ASSERT_TRUE(Base->OpenMessage()) << Id;
    EXPECT_EQ("First", Base->GetSubject());
    (void)Base->CloseMessage();  // only read
    ASSERT_TRUE(CloseMessageBase(Base));

    // Two names for one file: refused, both left alone.
    const std::string Kept = testing_support::ReadFileText(Dir.File(C.Renames[0].second));
    ASSERT_TRUE(testing_support::WriteFileText(Dir.File(C.Twin), Kept));
    const auto Snapshot = testing_support::SnapshotFiles(Dir.Path());
    EXPECT_FALSE(OpenOrCreateMessageBase(Base, Id)) << Id;
    const std::int32_t Why = C.Letter == "J"   ? stJamTwoNames
                             : C.Letter == "S" ? stSquishTwoNames
                                               : stMsgTwoNames;
    EXPECT_EQ(Why, GetOpenStatus()) << Id;
    EXPECT_FALSE(OpenMessageBaseReadOnly(Base, Id)) << Id;
    EXPECT_EQ(Why, GetOpenStatus()) << Id;
    EXPECT_EQ(Snapshot, testing_support::SnapshotFiles(Dir.Path())) << Id;

    // A link under the other name (the usual way to give a tosser's files
    // the names a program asks for) is one file: the base opens, and the
    // real name is written, so the link keeps leading to what was posted.
    ASSERT_EQ(0, std::remove(Dir.File(C.Twin).c_str()));
    const std::string Real = C.Renames[0].second;
    ASSERT_EQ(0, ::symlink(Real.substr(Real.rfind('/') + 1).c_str(), Dir.File(C.Twin).c_str()));
    ASSERT_TRUE(OpenOrCreateMessageBase(Base, Id)) << Id << " " << GetOpenStatus();
    EXPECT_EQ(2, Base->GetCount()) << Id;
    Post(*Base, "Third");
    ASSERT_TRUE(CloseMessageBase(Base));
    EXPECT_TRUE(std::filesystem::is_symlink(Dir.File(C.Twin))) << Id;
    ASSERT_TRUE(OpenMessageBaseReadOnly(Base, Id)) << Id << " " << GetOpenStatus();
    EXPECT_EQ(3, Base->GetCount()) << Id;
    Base->Seek(1);
    Base->SeekNext();
    ASSERT_TRUE(Base->OpenMessage()) << Id;
    EXPECT_EQ("Second", Base->GetSubject());
    (void)Base->CloseMessage();  // only read
    ASSERT_TRUE(CloseMessageBase(Base));
  }
}

// Other FidoNet software on Linux serialises writers with a POSIX record lock
// on the first byte of the JAM header file or the Squish data file, and
// ignores flock. Such a lock keeps this library out, and this library's lock
// keeps it out, across processes in each direction.
namespace {
// Takes the record lock the way that software does (F_SETLK, not an
// open-file-description lock); true when it was granted.
bool TakeClassicLock(const std::string& File, short Type) {
  const int Fd = ::open(File.c_str(), Type == F_RDLCK ? O_RDONLY : O_RDWR);
  if (Fd < 0) return false;
  struct flock Lock {};
  Lock.l_type = Type;
  Lock.l_whence = SEEK_SET;
  Lock.l_start = 0;
  Lock.l_len = 1;
  return ::fcntl(Fd, F_SETLK, &Lock) == 0;  // the descriptor stays open with its lock
}
}  // namespace

TEST(OpenBaseTest, RecordLockOfOtherSoftwareKeepsWritersApart) {
  TTempDir Dir;
  for (const auto& [Letter, LockedFile] :
       {std::pair{"J", "area.jhr"}, std::pair{"S", "area.sqd"}}) {
    const std::string Id = Letter + Dir.File("area");
    const std::string File = Dir.File(LockedFile);
    PMessageBase Base;
    ASSERT_TRUE(OpenOrCreateMessageBase(Base, Id));
    ASSERT_TRUE(CloseMessageBase(Base));
    {
      // The other program writes: neither a writer nor a reader gets in.
      const THolder Other([&File] { return TakeClassicLock(File, F_WRLCK); });
      ASSERT_TRUE(Other.Holds()) << File;
      EXPECT_FALSE(OpenOrCreateMessageBase(Base, Id)) << Id;
      EXPECT_EQ(stOpenSharingViolation, GetOpenStatus());
      EXPECT_FALSE(OpenMessageBaseReadOnly(Base, Id)) << Id;
      EXPECT_EQ(stOpenSharingViolation, GetOpenStatus());
    }
    {
      // It lets go after a moment: a waiting open gets in then.
      const THolder Other([&File] { return TakeClassicLock(File, F_WRLCK); }, 1);
      ASSERT_TRUE(Other.Holds()) << File;
      EXPECT_TRUE(OpenMessageBaseEx(Base, Id, OpenOrCreateMessageBase, 5)) << GetOpenStatus();
      ASSERT_TRUE(CloseMessageBase(Base));
    }
    // This library writes: the other program's lock is refused; a reader here
    // refuses its write lock but lets it read.
    ASSERT_TRUE(OpenOrCreateMessageBase(Base, Id));
    EXPECT_FALSE(THolder([&File] { return TakeClassicLock(File, F_WRLCK); }, 0).Holds());
    EXPECT_FALSE(THolder([&File] { return TakeClassicLock(File, F_RDLCK); }, 0).Holds());
    ASSERT_TRUE(CloseMessageBase(Base));
    ASSERT_TRUE(OpenMessageBaseReadOnly(Base, Id));
    EXPECT_FALSE(THolder([&File] { return TakeClassicLock(File, F_WRLCK); }, 0).Holds());
    EXPECT_TRUE(THolder([&File] { return TakeClassicLock(File, F_RDLCK); }, 0).Holds());
    ASSERT_TRUE(CloseMessageBase(Base));
    EXPECT_TRUE(THolder([&File] { return TakeClassicLock(File, F_WRLCK); }, 0).Holds());
  }
}

TEST(OpenBaseTest, ReadOnlyOpenNeverCreatesAndRefusesAnEmptyPath) {
  TTempDir Dir;
  for (const std::string Letter : {"F", "S", "J"}) {
    PMessageBase Base;
    EXPECT_FALSE(OpenMessageBaseReadOnly(Base, Letter + Dir.File("none"))) << Letter;
    EXPECT_NE(stOpenSharingViolation, GetOpenStatus());
    EXPECT_FALSE(OpenMessageBaseReadOnly(Base, Letter));
    EXPECT_EQ(stOpenEmptyPath, GetOpenStatus());
    EXPECT_FALSE(OpenOrCreateMessageBase(Base, Letter));
    EXPECT_EQ(stOpenEmptyPath, GetOpenStatus());
    EXPECT_FALSE(ExistMessageBase(Letter));
    EXPECT_EQ(nullptr, Base);
  }
  EXPECT_TRUE(testing_support::SnapshotFiles(Dir.Path()).empty());
}

}  // namespace
}  // namespace msgbase
