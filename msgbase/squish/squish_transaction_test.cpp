// Transactions of the Squish base. Every change is run inside an explicit
// transaction so that the files can be taken as a kill leaves them at its two
// telling moments: everything written but not committed, and committed but
// with the record still there. The next open for writing must give the base
// as before the change in the first case and as after it in the second, whole
// (every frame in exactly one chain), and take a further posting.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "msgbase/squish/squish_base.h"
#include "msgbase/status.h"
#include "testing/test_support.h"

// Every sync this program makes, the library's included, is counted here.
namespace {
int Syncs = 0;
}  // namespace
extern "C" int fdatasync(int Fd) {
  ++Syncs;
  return static_cast<int>(::syscall(SYS_fdatasync, Fd));
}
extern "C" int fsync(int Fd) {
  ++Syncs;
  return static_cast<int>(::syscall(SYS_fsync, Fd));
}

namespace msgbase {
namespace {

using testing_support::ReadFileBytes;
using testing_support::TBytes;
using testing_support::TFileSnapshot;
using testing_support::TTempDir;

// The files' names and bytes, without their times.
std::map<std::string, TBytes> Contents(const TFileSnapshot& Files) {
  std::map<std::string, TBytes> Out;
  for (const auto& [Name, File] : Files) Out[Name] = File.second;
  return Out;
}

using testing_support::Le32;

class SquishTransactionTest : public ::testing::Test {
 protected:
  std::string Base() const { return Dir.File("area"); }

  static bool Post(TSquishMessageBase& B, const std::string& Text) {
    if (!B.CreateNewMessage()) return false;
    B.SetTo("All");
    B.SetSubject("s");
    B.PutString(Text);
    const bool Ok = B.WriteMessage();
    return B.CloseMessage() && Ok;
  }

  // Puts back the files of a snapshot, and only those.
  void Restore(const TFileSnapshot& Files) const {
    DIR* Folder = ::opendir(Dir.Path().c_str());
    while (const dirent* E = Folder != nullptr ? ::readdir(Folder) : nullptr) {
      if (E->d_name[0] != '.') (void)::unlink(Dir.File(E->d_name).c_str());
    }
    if (Folder != nullptr) ::closedir(Folder);
    for (const auto& [Name, File] : Files) {
      ASSERT_TRUE(testing_support::WriteFileBytes(Dir.File(Name), File.second));
    }
  }

  // What a reader sees: each message's id, subject and text, the high-water
  // mark and user 5's lastread; "" when the base does not open.
  std::string Seen() const {
    TSquishMessageBase B;
    B.SetOpenMode(omReadOnly);
    if (!B.Open(Base())) return "";
    std::string Out =
        "hw " + std::to_string(B.GetHighWater()) + " lr " + std::to_string(B.GetLastRead(5)) + ";";
    for (B.Seek(1); B.SeekFound(); B.SeekNext()) {
      if (!B.OpenMessage()) return Out + " unreadable";
      Out += " " + std::to_string(B.Current()) + B.GetSubject() + ":";
      while (!B.EndOfMessage()) Out += B.GetString() + "|";
    }
    return Out;
  }

  // Every frame from the first to the end of the data file lies in exactly
  // one of the two chains, and the chain agrees with the index.
  void ExpectWhole() const {
    const TBytes Sqd = ReadFileBytes(Dir.File("area.sqd"));
    std::multiset<std::uint32_t> Chained;
    for (const std::size_t Head : {104u, 112u}) {
      for (std::uint32_t Pos = Le32(Sqd, Head), N = 0; Pos != 0 && N < 1000; ++N) {
        Chained.insert(Pos);
        Pos = Le32(Sqd, Pos + 4);
      }
    }
    std::multiset<std::uint32_t> Frames;
    for (std::uint32_t Pos = 256; Pos + 28 <= Sqd.size(); Pos += 28 + Le32(Sqd, Pos + 12)) {
      Frames.insert(Pos);
    }
    EXPECT_EQ(Frames, Chained);
    EXPECT_EQ(Le32(Sqd, 120), Sqd.size());
    TSquishMessageBase B;
    B.SetOpenMode(omReadOnly);
    ASSERT_TRUE(B.Open(Base()));
    EXPECT_EQ(std::vector<std::string>{}, B.GetInconsistencies());
  }

  TTempDir Dir;
};

struct TOperation {
  const char* Name;
  std::function<bool(TSquishMessageBase&)> Change;
};

TEST_F(SquishTransactionTest, AKillLeavesEachChangeWhollyDoneOrUndone) {
  const auto Kill = [](TSquishMessageBase& B, std::int32_t Id) {
    B.Seek(Id);
    return B.Current() == Id && B.KillMessage();
  };
  const auto Rewrite = [](TSquishMessageBase& B, std::int32_t Id, const std::string& Text) {
    B.Seek(Id);
    if (!B.OpenMessage()) return false;
    B.SetSubject("changed");
    B.SetTextPos(B.GetTextSize());
    if (!Text.empty()) B.PutString(Text);
    return B.WriteMessage();
  };
  const std::vector<TOperation> Operations = {
      {"posting three, the first into the free frame",
       [](TSquishMessageBase& B) { return Post(B, "a") && Post(B, "b") && Post(B, "c"); }},
      {"removing one", [&](TSquishMessageBase& B) { return Kill(B, 2); }},
      {"removing two", [&](TSquishMessageBase& B) { return Kill(B, 1) && Kill(B, 3); }},
      {"removing and posting",
       [&](TSquishMessageBase& B) { return Kill(B, 2) && Post(B, std::string(300, 'n')); }},
      {"rewriting in place", [&](TSquishMessageBase& B) { return Rewrite(B, 3, ""); }},
      {"rewriting larger",
       [&](TSquishMessageBase& B) { return Rewrite(B, 1, std::string(90, 'g')); }},
      {"a lastread change",
       [](TSquishMessageBase& B) {
         B.SetLastRead(5, 3);
         return true;
       }},
      {"a high-water change",
       [](TSquishMessageBase& B) {
         B.SetHighWater(3);
         return true;
       }},
  };
  // Four messages, the last one removed: its frame is free, and large enough
  // for a new message.
  {
    TSquishMessageBase B;
    ASSERT_TRUE(B.Create(Base()));
    for (const char* Text : {"one", "two", "three", "a longer fourth message"}) {
      ASSERT_TRUE(Post(B, Text));
    }
    ASSERT_TRUE(B.KillMessage());
  }
  const TFileSnapshot Start = testing_support::SnapshotFiles(Dir.Path());
  const std::string Before = Seen();
  for (const TOperation& Op : Operations) {
    SCOPED_TRACE(Op.Name);
    Restore(Start);
    TFileSnapshot Written;
    {
      TSquishMessageBase B;
      ASSERT_TRUE(B.Open(Base()));
      ASSERT_TRUE(B.BeginTransaction());
      ASSERT_TRUE(Op.Change(B));
      Written = testing_support::SnapshotFiles(Dir.Path());
      ASSERT_TRUE(B.CommitTransaction());
    }
    const std::string After = Seen();
    EXPECT_NE(Before, After);
    TFileSnapshot Committed = testing_support::SnapshotFiles(Dir.Path());
    EXPECT_EQ(0u, Committed.count("area.sqt"));
    // Committed, its record still there: finished when the commit was a new
    // base header; a change that leaves the header as it was commits by
    // removing its record, so it is undone.
    if (Written.contains("area.sqt")) Committed["area.sqt"] = Written["area.sqt"];
    const auto Header = [](const TFileSnapshot& Files) {
      const TBytes& Sqd = Files.at("area.sqd").second;
      return TBytes(Sqd.begin(), Sqd.begin() + 256);
    };
    const std::string& Finished = Header(Committed) != Header(Start) ? After : Before;
    for (const auto& [State, Want] :
         {std::pair{&Written, &Before}, std::pair{&Committed, &Finished}}) {
      Restore(*State);
      EXPECT_EQ(*Want, Seen());  // a reader sees what was committed
      {
        TSquishMessageBase B;
        B.SetOpenMode(omReadOnly);
        ASSERT_TRUE(B.Open(Base()));
        if (State->contains("area.sqt")) {
          ASSERT_FALSE(B.GetInconsistencies().empty());
          EXPECT_NE(B.GetInconsistencies()[0].find("an unfinished change begun by process"),
                    std::string::npos);
        }
      }
      {
        TSquishMessageBase B;
        ASSERT_TRUE(B.Open(Base()));
      }
      EXPECT_FALSE(testing_support::PathExists(Dir.File("area.sqt")));
      EXPECT_EQ(*Want, Seen());
      ExpectWhole();
      TSquishMessageBase B;
      ASSERT_TRUE(B.Open(Base()));
      ASSERT_TRUE(Post(B, "next"));
      B.Close();
      ExpectWhole();
    }
  }
}

// Group commit: a posting's syncs do not grow with its messages.
TEST_F(SquishTransactionTest, APostingMakesAsManySyncsWhateverItsLength) {
  std::vector<int> Counts;
  for (const int Messages : {3, 300}) {
    TSquishMessageBase B;
    ASSERT_TRUE(B.Create(Dir.File("area" + std::to_string(Messages))));
    Syncs = 0;
    ASSERT_TRUE(B.BeginTransaction());
    for (int N = 0; N < Messages; ++N) ASSERT_TRUE(Post(B, "section " + std::to_string(N)));
    ASSERT_TRUE(B.CommitTransaction());
    Counts.push_back(Syncs);
    EXPECT_EQ(Messages, B.GetCount());
  }
  EXPECT_EQ(Counts[0], Counts[1]);
  // The record and its folder, both files, the header, the folder.
  EXPECT_EQ(6, Counts[0]);
}

TEST_F(SquishTransactionTest, RollbackAndCloseLeaveNothingOfThePosting) {
  {
    TSquishMessageBase B;
    ASSERT_TRUE(B.Create(Base()));
    ASSERT_TRUE(Post(B, "kept"));
  }
  const auto Start = Contents(testing_support::SnapshotFiles(Dir.Path()));
  for (const bool ByClose : {false, true}) {
    TSquishMessageBase B;
    ASSERT_TRUE(B.Open(Base()));
    ASSERT_TRUE(B.BeginTransaction());
    ASSERT_TRUE(Post(B, "dropped"));
    ASSERT_TRUE(Post(B, "dropped too"));
    EXPECT_EQ(3, B.GetCount());
    if (ByClose) {
      B.Close();
    } else {
      B.RollbackTransaction();
      EXPECT_EQ(1, B.GetCount());
      EXPECT_EQ(1, B.GetHighest());
      B.Close();
    }
    EXPECT_EQ(Start, Contents(testing_support::SnapshotFiles(Dir.Path())));
  }
}

// A read-only open says where the message chain and the index part.
TEST_F(SquishTransactionTest, AChainThatDisagreesWithTheIndexIsReported) {
  {
    TSquishMessageBase B;
    ASSERT_TRUE(B.Create(Base()));
    for (const char* Text : {"one", "two", "three"}) ASSERT_TRUE(Post(B, Text));
  }
  const TBytes Sqd = ReadFileBytes(Dir.File("area.sqd"));
  const TBytes Sqi = ReadFileBytes(Dir.File("area.sqi"));
  struct TCase {
    std::size_t File;  // 0: data, 1: index
    std::size_t At;
    std::uint32_t Value;
    std::string Line;
  };
  const std::vector<TCase> Cases = {
      {1, 12, Le32(Sqi, 24), "the message chain disagrees with the index at message 2"},
      {0, 108, Le32(Sqd, 104), "the message chain does not end at its last frame"},
      {0, Le32(Sqd, 104) + 4, 0, "the message chain disagrees with the index at message 2"},
  };
  for (const TCase& C : Cases) {
    TBytes Damaged = C.File == 0 ? Sqd : Sqi;
    for (std::size_t I = 0; I < 4; ++I)
      Damaged[C.At + I] = static_cast<std::uint8_t>(C.Value >> (8 * I));
    ASSERT_TRUE(
        testing_support::WriteFileBytes(Dir.File(C.File == 0 ? "area.sqd" : "area.sqi"), Damaged));
    TSquishMessageBase B;
    B.SetOpenMode(omReadOnly);
    ASSERT_TRUE(B.Open(Base()));
    const std::vector<std::string> Lines = B.GetInconsistencies();
    ASSERT_EQ(1u, Lines.size()) << C.Line;
    EXPECT_EQ(0u, Lines[0].find(C.Line)) << Lines[0];
    B.Close();
    ASSERT_TRUE(testing_support::WriteFileBytes(Dir.File("area.sqd"), Sqd));
    ASSERT_TRUE(testing_support::WriteFileBytes(Dir.File("area.sqi"), Sqi));
  }
}

}  // namespace
}  // namespace msgbase
