#include "msgbase/stream.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <map>
#include <numeric>
#include <vector>

#include "msgbase/status.h"
#include "testing/test_support.h"

namespace msgbase {
namespace {

using testing_support::ReadFileBytes;
using testing_support::ReadFileText;
using testing_support::TBytes;
using testing_support::TTempDir;
using testing_support::WriteFileText;

TBytes Pattern(std::size_t Count, std::uint8_t Seed = 1) {
  TBytes Bytes(Count);
  for (std::size_t I = 0; I < Count; ++I) {
    Bytes[I] = static_cast<std::uint8_t>((I * 7 + Seed) & 0xFF);
  }
  return Bytes;
}

TEST(StreamTest, MemoryCapacityGrowsInWholeBlocks) {
  TMessageBaseRamStream S;
  EXPECT_EQ(0, S.GetCapacity());
  const std::uint8_t One = 0x42;
  S.Write(&One, 1);
  EXPECT_EQ(1, S.GetSize());
  EXPECT_EQ(8192, S.GetCapacity());

  TMessageBaseRamStream Full;
  const TBytes Block = Pattern(8192);
  Full.WriteBuffer(Block);
  EXPECT_EQ(8192, Full.GetSize());
  EXPECT_EQ(16384, Full.GetCapacity());

  // Filling up to the capacity in two steps still keeps it above the size.
  S.WriteBuffer(Pattern(8191));
  EXPECT_EQ(8192, S.GetSize());
  EXPECT_EQ(16384, S.GetCapacity());
}

TEST(StreamTest, MemoryWriteBeyondTheEndLeavesZeroGap) {
  TMessageBaseRamStream S;
  S.Seek(10);
  S.Write("abc", 3);
  EXPECT_EQ(13, S.GetSize());
  EXPECT_EQ(13, S.GetPos());
  std::array<std::uint8_t, 13> Back{};
  Back.fill(0xEE);
  S.Seek(0);
  S.Read(Back.data(), Back.size());
  EXPECT_EQ(TBytes(10, 0), TBytes(Back.begin(), Back.begin() + 10));
  EXPECT_EQ('c', Back[12]);
}

TEST(StreamTest, MemoryTruncateReleasesBlocksAndClearsTheTail) {
  TMessageBaseRamStream S;
  S.WriteBuffer(Pattern(20000));
  EXPECT_EQ(24576, S.GetCapacity());
  S.Seek(0);
  S.Truncate();
  EXPECT_EQ(0, S.GetSize());
  EXPECT_EQ(8192, S.GetCapacity());
  // Bytes once written but now past the end read as zero.
  std::array<std::uint8_t, 16> Back{};
  Back.fill(0xEE);
  S.Read(Back.data(), Back.size());
  EXPECT_EQ(TBytes(16, 0), TBytes(Back.begin(), Back.end()));
}

TEST(StreamTest, MemoryReadsAreBoundedByTheCapacity) {
  TMessageBaseRamStream S;
  S.WriteBuffer(Pattern(100));
  S.Seek(96);
  std::array<std::uint8_t, 10> Back{};
  Back.fill(0xEE);
  S.Read(Back.data(), Back.size());
  EXPECT_EQ(106, S.GetPos());
  EXPECT_EQ(Pattern(100)[99], Back[3]);
  EXPECT_EQ(0, Back[9]);  // beyond the size: zero, not left over

  S.Seek(8190);
  Back.fill(0xEE);
  S.Read(Back.data(), Back.size());
  EXPECT_EQ(8192, S.GetPos());  // only the two bytes up to the capacity
  EXPECT_EQ(TBytes(10, 0), TBytes(Back.begin(), Back.end()));

  S.Seek(1 << 20);
  S.Read(Back.data(), Back.size());
  EXPECT_EQ(1 << 20, S.GetPos());
}

TEST(StreamTest, MemoryGrowthKeepsWrittenBytes) {
  TMessageBaseRamStream S;
  const TBytes Data = Pattern(100000, 3);
  for (std::size_t I = 0; I < Data.size(); I += 777) {
    const std::size_t Count = std::min<std::size_t>(777, Data.size() - I);
    S.Write(Data.data() + I, static_cast<std::uint16_t>(Count));
  }
  TBytes Back(Data.size());
  S.Seek(0);
  S.ReadBuffer(Back);
  EXPECT_EQ(Data, Back);
  EXPECT_EQ(0, S.GetStatus());
}

TEST(StreamTest, MemoryNegativeSeekCountsAsZero) {
  TMessageBaseRamStream S;
  S.Seek(-5);
  EXPECT_EQ(0, S.GetPos());
  S.Write("x", 1);
  EXPECT_EQ(1, S.GetSize());
}

TEST(StreamTest, MemoryWritePastTheLargestSizeIsRefused) {
  TMessageBaseRamStream S;
  S.Seek(TMessageBaseRamStream::MaxRamStreamSize);
  S.Write("x", 1);
  EXPECT_EQ(0, S.GetSize());
  EXPECT_EQ(0, S.GetCapacity());
}

TEST(StreamTest, CopyFromMovesBytesBetweenStreams) {
  // More than one copy piece, ending part way into the last.
  constexpr std::int32_t Count = 40000;
  TMessageBaseRamStream Source;
  const TBytes Data = Pattern(Count + 2000);
  Source.WriteBuffer(Data);
  Source.Seek(1000);
  PMessageBaseStream Target = CreateMessageBaseMemoryStream(MaxMessageSize);
  Target->Write("head", 4);
  Target->CopyFrom(Source, Count);
  EXPECT_EQ(Count + 4, Target->GetSize());
  EXPECT_EQ(Count + 1000, Source.GetPos());
  TBytes Back(Count);
  Target->Seek(4);
  Target->ReadBuffer(Back);
  EXPECT_EQ(TBytes(Data.begin() + 1000, Data.begin() + 1000 + Count), Back);
}

TEST(StreamTest, FileStreamModes) {
  TTempDir Dir;
  const std::string Name = Dir.File("f.dat");
  EXPECT_EQ(nullptr, CreateMessageBaseFileStream(Name, 3));
  EXPECT_EQ(nullptr, CreateMessageBaseFileStream(Name, smDenyWrite));

  PMessageBaseStream Missing = CreateMessageBaseFileStream(Name, smRead);
  ASSERT_NE(nullptr, Missing);
  EXPECT_EQ(stStreamOpenFailed, Missing->GetStatus());

  {
    PMessageBaseStream Created = CreateMessageBaseFileStream(Name, smCreate);
    ASSERT_EQ(0, Created->GetStatus());
    Created->Write("hello", 5);
    EXPECT_EQ(5, Created->GetSize());
  }
  EXPECT_EQ("hello", ReadFileText(Name));
  {
    PMessageBaseStream Writer = CreateMessageBaseFileStream(Name, smWrite);
    ASSERT_EQ(0, Writer->GetStatus());
    Writer->Seek(1);
    Writer->Write("E", 1);
    std::uint8_t Byte = 0xEE;
    Writer->Read(&Byte, 1);  // write-only
    EXPECT_EQ(stStreamReadFailed, Writer->GetStatus());
  }
  EXPECT_EQ("hEllo", ReadFileText(Name));
  {
    PMessageBaseStream Reader = CreateMessageBaseFileStream(Name, smRead);
    Reader->Write("x", 1);  // read-only
    EXPECT_EQ(stStreamWriteFailed, Reader->GetStatus());
  }
  {
    PMessageBaseStream Emptied = CreateMessageBaseFileStream(Name, smCreate | smDenyWrite);
    EXPECT_EQ(0, Emptied->GetStatus());
    EXPECT_EQ(0, Emptied->GetSize());
  }
  PMessageBaseStream OnDirectory = CreateMessageBaseFileStream(Dir.Path(), smRead);
  EXPECT_EQ(stStreamOpenFailed, OnDirectory->GetStatus());
}

// What stands at a name decides how each kind of open ends: only a regular
// file opens, nothing blocks on a FIFO, a new file never takes a used name,
// and no create goes through a link.
TEST(StreamTest, OpensTakeOnlyRegularFilesAndCreatesNeverFollowLinks) {
  TTempDir Dir;
  ASSERT_TRUE(testing_support::WriteFileText(Dir.File("file"), "kept"));
  ASSERT_EQ(0, ::mkfifo(Dir.File("fifo").c_str(), 0644));
  ASSERT_EQ(0, ::symlink(Dir.File("file").c_str(), Dir.File("link").c_str()));
  ASSERT_EQ(0, ::symlink(Dir.File("gone").c_str(), Dir.File("dangling").c_str()));
  struct TCase {
    std::string Name;
    std::int32_t Mode;
    std::int32_t Failure;  // stOk: opens
  };
  const std::vector<TCase> Cases = {
      {"file", smRead, stOk},
      {"link", smReadWrite, stOk},  // existing files behind links open as they are
      {"fifo", smRead, stStreamNotRegular},
      {"fifo", smReadWrite, stStreamNotRegular},
      {"fifo", smWrite | smDenyWrite, stStreamNotRegular},
      {".", smRead, stStreamNotRegular},
      {"file", smCreate | smNew, stStreamExists},
      {"link", smCreate | smNew, stStreamExists},
      {"dangling", smCreate | smNew, stStreamExists},
      {"link", smCreate, stStreamNotRegular},
      {"dangling", smCreate, stStreamNotRegular},
      {"gone", smRead, stStreamOpenFailed},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name + " mode " + std::to_string(C.Mode));
    ResetFileOpenFailure();
    PMessageBaseStream S = CreateMessageBaseFileStream(Dir.File(C.Name), C.Mode);
    EXPECT_EQ(C.Failure == stOk ? stOk : stStreamOpenFailed, S->GetStatus());
    EXPECT_EQ(C.Failure, GetFileOpenFailure());
  }
  EXPECT_EQ("kept", ReadFileText(Dir.File("file")));
  EXPECT_FALSE(testing_support::PathExists(Dir.File("gone")));
  PMessageBaseStream Made = CreateMessageBaseFileStream(Dir.File("new"), smCreate | smNew);
  EXPECT_EQ(stOk, Made->GetStatus());
  TFileIdentity ByStream;
  TFileIdentity ByName;
  ASSERT_TRUE(Made->GetIdentity(ByStream));
  ASSERT_TRUE(GetFileIdentity(Dir.File("new"), ByName));
  EXPECT_EQ(ByName, ByStream);
}

TEST(StreamTest, AListedRegularFileIsReadInOneGoAndAnythingElseFailsWithoutWaiting) {
  TTempDir Dir;
  ASSERT_TRUE(testing_support::WriteFileText(Dir.File("file"), "kept"));
  ASSERT_EQ(0, ::mkfifo(Dir.File("fifo").c_str(), 0644));
  ASSERT_EQ(0, ::symlink(Dir.File("file").c_str(), Dir.File("link").c_str()));
  ASSERT_EQ(0, ::mkdir(Dir.File("dir").c_str(), 0755));
  // Only the listing's own regular file is plain.
  std::map<std::string, bool> Plain;
  PMessageBaseFind Find = CreateMessageBaseFind();
  for (bool More = Find->StartSearch(Dir.File("*"), faAnyFile | faNamesOnly); More;
       More = Find->NextSearch())
    Plain[Find->GetName()] = Find->IsPlainFile();
  Plain.erase(".");
  Plain.erase("..");
  EXPECT_EQ((std::map<std::string, bool>{
                {"dir", false}, {"fifo", false}, {"file", true}, {"link", false}}),
            Plain);
  // Opened as listed: a link is refused at the open, a FIFO or a folder put
  // at the name fails at the first read, and nothing waits.
  const struct {
    std::string Name;
    std::int32_t Opens;  // the status after opening
    std::int32_t Got;    // what ReadAtMost gives
  } Cases[] = {
      {"file", stOk, 4},
      {"link", stStreamOpenFailed, -1},
      {"fifo", stOk, -1},
      {"dir", stOk, -1},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    PMessageBaseStream S = CreateMessageBaseFileStream(Dir.File(C.Name), smRead | smKnownRegular);
    EXPECT_EQ(C.Opens, S->GetStatus());
    std::vector<std::uint8_t> Buf(64);
    EXPECT_EQ(C.Got, S->ReadAtMost(Buf));
    if (C.Got < 0) continue;
    EXPECT_EQ("kept", std::string(Buf.begin(), Buf.begin() + C.Got));
    EXPECT_EQ(4, S->GetSize());  // looked up when asked
    EXPECT_EQ(0, S->ReadAtMost(Buf));
  }
  // Any stream reads at most what it holds past its position.
  PMessageBaseStream Memory = CreateMessageBaseMemoryStream(0);
  Memory->WriteBuffer(std::vector<std::uint8_t>(10, 7));
  Memory->Seek(3);
  std::vector<std::uint8_t> Buf(100);
  EXPECT_EQ(7, Memory->ReadAtMost(Buf));
  EXPECT_EQ(0, Memory->ReadAtMost(Buf));
}

TEST(StreamTest, FileStreamFailureIsStickyUntilReset) {
  TTempDir Dir;
  const std::string Name = Dir.File("f.dat");
  ASSERT_TRUE(WriteFileText(Name, "abcdef"));
  PMessageBaseStream S = CreateMessageBaseFileStream(Name, smReadWrite);
  ASSERT_EQ(0, S->GetStatus());
  S->Seek(4);
  std::array<char, 4> Buf{'#', '#', '#', '#'};
  S->Read(Buf.data(), Buf.size());  // only two bytes are left
  EXPECT_EQ(stStreamReadFailed, S->GetStatus());
  EXPECT_EQ((std::array<char, 4>{}), Buf);

  S->Seek(0);
  S->Write("ZZ", 2);
  EXPECT_EQ(-1, S->GetPos());
  EXPECT_EQ(-1, S->GetSize());
  Buf.fill('#');
  S->Read(Buf.data(), 2);
  EXPECT_EQ('\0', Buf[0]);
  EXPECT_EQ(stStreamReadFailed, S->GetStatus());  // the first failure is kept
  EXPECT_EQ("abcdef", ReadFileText(Name));

  S->Reset();
  EXPECT_EQ(0, S->GetStatus());
  S->Seek(0);
  S->Write("ZZ", 2);
  EXPECT_EQ(2, S->GetPos());
  EXPECT_EQ("ZZcdef", ReadFileText(Name));
}

TEST(StreamTest, FileStreamSeekBeyondTheEndAndTruncate) {
  TTempDir Dir;
  const std::string Name = Dir.File("f.dat");
  PMessageBaseStream S = CreateMessageBaseFileStream(Name, smCreate);
  S->Write("ab", 2);
  S->Seek(6);
  S->Write("c", 1);
  EXPECT_EQ((TBytes{'a', 'b', 0, 0, 0, 0, 'c'}), ReadFileBytes(Name));
  S->Seek(-3);
  EXPECT_EQ(0, S->GetPos());
  S->Seek(1);
  S->Truncate();
  S->Flush();
  EXPECT_EQ(0, S->GetStatus());
  EXPECT_EQ(1, S->GetSize());
  EXPECT_EQ("a", ReadFileText(Name));
}

TEST(StreamTest, CopyFromAFailingSourceWritesZeros) {
  TTempDir Dir;
  const std::string Name = Dir.File("short.dat");
  ASSERT_TRUE(WriteFileText(Name, "xyz"));
  PMessageBaseStream Source = CreateMessageBaseFileStream(Name, smRead);
  TMessageBaseRamStream Target;
  Target.CopyFrom(*Source, 2000);
  EXPECT_EQ(stStreamReadFailed, Source->GetStatus());
  EXPECT_EQ(2000, Target.GetSize());
}

// The deny-write request holds a lock from open to disposal, against other
// processes as well as other streams of this one.
TEST(StreamTest, DenyWriteLocksAgainstAnotherProcess) {
  TTempDir Dir;
  const std::string Name = Dir.File("locked.dat");
  ASSERT_TRUE(WriteFileText(Name, "data"));
  int ToChild[2];
  int ToParent[2];
  ASSERT_EQ(0, ::pipe(ToChild));
  ASSERT_EQ(0, ::pipe(ToParent));
  const pid_t Child = ::fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    // Hold the file, say so, and wait for the word to let go.
    int Code = 1;
    {
      PMessageBaseStream Held = CreateMessageBaseFileStream(Name, smReadWrite | smDenyWrite);
      char Byte = Held->GetStatus() == 0 ? 'L' : 'F';
      if (::write(ToParent[1], &Byte, 1) == 1 && ::read(ToChild[0], &Byte, 1) == 1) Code = 0;
    }
    char Done = 'D';
    if (::write(ToParent[1], &Done, 1) != 1) Code = 1;
    ::_exit(Code);
  }
  char Byte = 0;
  ASSERT_EQ(1, ::read(ToParent[0], &Byte, 1));
  ASSERT_EQ('L', Byte);

  PMessageBaseStream Refused = CreateMessageBaseFileStream(Name, smReadWrite | smDenyWrite);
  EXPECT_EQ(stStreamOpenFailed, Refused->GetStatus());
  PMessageBaseStream RefusedCreate = CreateMessageBaseFileStream(Name, smCreate | smDenyWrite);
  EXPECT_EQ(stStreamOpenFailed, RefusedCreate->GetStatus());
  EXPECT_EQ("data", ReadFileText(Name));  // the refused create did not empty it
  PMessageBaseStream Unshared = CreateMessageBaseFileStream(Name, smRead);
  EXPECT_EQ(0, Unshared->GetStatus());  // no request, no lock

  Byte = 'G';
  ASSERT_EQ(1, ::write(ToChild[1], &Byte, 1));
  ASSERT_EQ(1, ::read(ToParent[0], &Byte, 1));
  int Status = 0;
  ASSERT_EQ(Child, ::waitpid(Child, &Status, 0));
  EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0);

  PMessageBaseStream Free = CreateMessageBaseFileStream(Name, smReadWrite | smDenyWrite);
  EXPECT_EQ(0, Free->GetStatus());
  PMessageBaseStream Second = CreateMessageBaseFileStream(Name, smRead | smDenyWrite);
  EXPECT_EQ(stStreamOpenFailed, Second->GetStatus());
  Free.reset();
  PMessageBaseStream Third = CreateMessageBaseFileStream(Name, smRead | smDenyWrite);
  EXPECT_EQ(0, Third->GetStatus());
  for (int Fd : {ToChild[0], ToChild[1], ToParent[0], ToParent[1]}) ::close(Fd);
}

// A reader under the shared deny-write lock keeps the size it opened with:
// no writer that asks for the lock gets in while it is held. A reader without
// the lock sees the file as it is now.
TEST(StreamTest, ASharedReaderKeepsTheSizeItOpenedWith) {
  TTempDir Dir;
  const std::string Name = Dir.File("held.dat");
  ASSERT_TRUE(WriteFileText(Name, "12345678"));
  PMessageBaseStream Held = CreateMessageBaseFileStream(Name, smRead | smDenyWriteShared);
  PMessageBaseStream Plain = CreateMessageBaseFileStream(Name, smRead);
  ASSERT_EQ(0, Held->GetStatus());
  ASSERT_EQ(0, Plain->GetStatus());
  EXPECT_EQ(stStreamOpenFailed,
            CreateMessageBaseFileStream(Name, smReadWrite | smDenyWrite)->GetStatus());
  std::array<std::uint8_t, 4> Bytes{};
  for (PMessageBaseStream* Stream : {&Held, &Plain}) {
    (*Stream)->Read(Bytes.data(), 4);
    EXPECT_EQ(8, (*Stream)->GetSize());
  }
  // Software that ignores the lock grows the file all the same.
  ASSERT_TRUE(WriteFileText(Name, "1234567890"));
  Held->Seek(8);
  Held->Read(Bytes.data(), 2);  // what is there reads, whatever the size says
  EXPECT_EQ(0, Held->GetStatus());
  EXPECT_EQ('9', Bytes[0]);
  EXPECT_EQ(8, Held->GetSize());
  EXPECT_EQ(10, Plain->GetSize());
  Held->Read(Bytes.data(), 1);  // past the end: a failure, as ever
  EXPECT_EQ(stStreamReadFailed, Held->GetStatus());
  EXPECT_EQ(-1, Held->GetSize());
}

TEST(StreamTest, ASharedReaderReadsAheadAndGivesTheFilesBytes) {
  // Records of the sizes a walk over a base reads (index records, frame and
  // message headers, texts), read one after another across the edges of what
  // is read ahead, and a last one that runs past the end of the file.
  TTempDir Dir;
  const std::string Name = Dir.File("records.dat");
  const TBytes Data = Pattern(80000, 5);
  ASSERT_TRUE(testing_support::WriteFileBytes(Name, Data));
  PMessageBaseStream Held = CreateMessageBaseFileStream(Name, smRead | smDenyWriteShared);
  ASSERT_EQ(0, Held->GetStatus());
  std::size_t At = 0;
  for (const std::uint16_t Size :
       std::array<std::uint16_t, 8>{8, 12, 28, 1100, 3566, 2048, 2049, 16384}) {
    for (int Round = 0; Round < 3; ++Round) {
      std::vector<std::uint8_t> Bytes(Size, 0xEE);
      Held->Read(Bytes.data(), Size);
      ASSERT_LE(At + Size, Data.size());
      ASSERT_EQ(0, Held->GetStatus()) << Size;
      EXPECT_TRUE(
          std::equal(Bytes.begin(), Bytes.end(), Data.begin() + static_cast<std::ptrdiff_t>(At)))
          << At;
      At += Size;
      EXPECT_EQ(static_cast<std::int32_t>(At), Held->GetPos());
    }
  }
  Held->Seek(static_cast<std::int32_t>(Data.size()) - 4);
  std::array<std::uint8_t, 8> Tail{};
  Tail.fill(0xEE);
  Held->Read(Tail.data(), Tail.size());
  EXPECT_EQ(stStreamReadFailed, Held->GetStatus());
  EXPECT_EQ((std::array<std::uint8_t, 8>{}), Tail);  // zeros, never a mix
}

std::vector<std::string> OpenedNames;
std::vector<std::int32_t> OpenedModes;
int ClosedCount = 0;
void RecordOpen(const std::string& FileName, std::int32_t Mode, TMessageBaseStream& /*Stream*/) {
  OpenedNames.push_back(FileName);
  OpenedModes.push_back(Mode);
}
void RecordClose(TMessageBaseStream& /*Stream*/) {
  ++ClosedCount;
}

TEST(StreamTest, HooksSeeEveryStream) {
  TTempDir Dir;
  OpenedNames.clear();
  OpenedModes.clear();
  ClosedCount = 0;
  RegisterFileOpen = RecordOpen;
  RegisterFileClose = RecordClose;
  {
    PMessageBaseStream File = CreateMessageBaseFileStream(Dir.File("x"), smCreate | smDenyWrite);
    PMessageBaseStream Memory = CreateMessageBaseMemoryStream(MaxMessageSize);
    EXPECT_EQ(0, ClosedCount);
  }
  RegisterFileOpen = DefaultRegisterFileOpen;
  RegisterFileClose = DefaultRegisterFileClose;
  EXPECT_EQ((std::vector<std::string>{Dir.File("x"), ""}), OpenedNames);
  EXPECT_EQ((std::vector<std::int32_t>{0x2001, 0}), OpenedModes);
  EXPECT_EQ(2, ClosedCount);
}

TEST(StreamTest, FindMatchesWildcardsAndAttributes) {
  TTempDir Dir;
  ASSERT_TRUE(WriteFileText(Dir.File("1.msg"), "12345"));
  ASSERT_TRUE(WriteFileText(Dir.File("22.msg"), "x"));
  ASSERT_TRUE(WriteFileText(Dir.File(".hidden.msg"), "x"));
  ASSERT_TRUE(WriteFileText(Dir.File("note.txt"), "x"));
  ASSERT_EQ(0, ::mkdir(Dir.File("sub.msg").c_str(), 0777));
  ASSERT_EQ(0, ::chmod(Dir.File("22.msg").c_str(), 0444));

  PMessageBaseFind Find = CreateMessageBaseFind();
  std::map<std::string, std::int32_t> Found;
  for (bool More = Find->StartSearch(Dir.File("*.msg"), faAnyFile); More;
       More = Find->NextSearch()) {
    Found[Find->GetName()] = Find->GetAttr();
    if (Find->GetName() == "1.msg") {
      EXPECT_EQ(5, Find->GetSize());
      EXPECT_NE(0, Find->GetTime());
    }
    if (Find->GetName() == "sub.msg") {
      EXPECT_EQ(0, Find->GetSize());
    }
  }
  Find->StopSearch();
  EXPECT_EQ((std::map<std::string, std::int32_t>{{".hidden.msg", faArchive},
                                                 {"1.msg", faArchive},
                                                 {"22.msg", faArchive | faReadOnly},
                                                 {"sub.msg", faDirectory}}),
            Found);

  // Regular writable files only.
  std::vector<std::string> Plain;
  for (bool More = Find->StartSearch(Dir.File("?.msg"), faArchive); More;
       More = Find->NextSearch()) {
    Plain.push_back(Find->GetName());
  }
  EXPECT_EQ((std::vector<std::string>{"1.msg"}), Plain);

  // Names only: the same entries and kinds, without looking each one up.
  std::map<std::string, std::int32_t> Kinds;
  for (bool More = Find->StartSearch(Dir.File("*.msg"), faAnyFile | faNamesOnly); More;
       More = Find->NextSearch()) {
    Kinds[Find->GetName()] = Find->GetAttr() & ~faReadOnly;
  }
  EXPECT_EQ((std::map<std::string, std::int32_t>{{".hidden.msg", faArchive},
                                                 {"1.msg", faArchive},
                                                 {"22.msg", faArchive},
                                                 {"sub.msg", faDirectory}}),
            Kinds);
  std::vector<std::string> Directories;
  for (bool More = Find->StartSearch(Dir.File("s*"), faDirectory | faNamesOnly); More;
       More = Find->NextSearch()) {
    Directories.push_back(Find->GetName());
  }
  EXPECT_EQ((std::vector<std::string>{"sub.msg"}), Directories);
  EXPECT_FALSE(Find->StartSearch(Dir.File("missing/*"), faAnyFile));
  EXPECT_FALSE(Find->NextSearch());
}

TEST(StreamDeathTest, AbstractEndsTheProgramWith217) {
  struct TBare : TMessageBaseStream {
    TBare() : TMessageBaseStream("", 0) {}
  };
  EXPECT_EXIT(
      {
        TBare Bare;
        Bare.Flush();
      },
      ::testing::ExitedWithCode(217), "");
}

}  // namespace
}  // namespace msgbase
