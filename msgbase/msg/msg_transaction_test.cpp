#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "msgbase/date_time.h"
#include "msgbase/msg/msg_base.h"
#include "msgbase/status.h"
#include "msgbase/transaction.h"
#include "testing/test_support.h"

namespace msgbase {
namespace {

namespace fs = std::filesystem;
using testing_support::ReadFileText;
using testing_support::TTempDir;
using testing_support::WriteFileText;

const std::string Dead = "vellumar999999999";  // no such process

class MsgTransactionTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& Name) const { return Dir.File(Name); }
  void Put(const std::string& Name, const std::string& Text) const {
    ASSERT_TRUE(WriteFileText(Path(Name), Text));
  }

  // The folder as "name=text" (files of up to eight bytes) or "name" items.
  std::string Listing() const {
    std::vector<std::string> Items;
    for (const fs::directory_entry& E : fs::directory_iterator(Dir.Path())) {
      std::string Item = E.path().filename().string();
      if (fs::file_size(E.path()) <= 8) Item += "=" + ReadFileText(E.path().string());
      Items.push_back(Item);
    }
    std::sort(Items.begin(), Items.end());
    std::string All;
    for (const std::string& Item : Items) All += (All.empty() ? "" : " ") + Item;
    return All;
  }

  // Removes message Kill (0: none) and posts Texts (message texts) in one
  // transaction, left open.
  void Post(TFidoMessageBase& Base, const std::vector<std::string>& Texts,
            std::int32_t Kill = 0) const {
    ASSERT_TRUE(Base.BeginTransaction());
    if (Kill != 0) {
      Base.SetLocation(Kill);
      ASSERT_TRUE(Base.KillMessage());
    }
    for (const std::string& Text : Texts) {
      ASSERT_TRUE(Base.CreateNewMessage());
      Base.PutString(Text);
      ASSERT_TRUE(Base.WriteMessage());
      ASSERT_TRUE(Base.CloseMessage());
    }
  }

  static std::size_t Count(const std::string& Text, const std::string& Part) {
    std::size_t N = 0;
    for (std::size_t At = Text.find(Part); At != std::string::npos; At = Text.find(Part, At + 1)) {
      ++N;
    }
    return N;
  }

  TTempDir Dir;
};

// Until the commit nothing of a posting is numbered and a removed message is
// only set aside; the commit numbers the posting and deletes the removed one,
// a rollback or a close puts that back and leaves no trace of the posting, nor
// does a second write of one message of what it replaced.
TEST_F(MsgTransactionTest, CommitNumbersAllRollbackAndCloseNone) {
  enum class TEnd { Commit, Rollback, Close };
  struct TCase {
    TEnd End;
    std::string After;
  };
  for (const TCase& C : std::vector<TCase>{{TEnd::Commit, "3.msg 4.msg 5.msg"},
                                           {TEnd::Rollback, "2.msg=X"},
                                           {TEnd::Close, "2.msg=X"}}) {
    fs::remove_all(Dir.Path());
    fs::create_directory(Dir.Path());
    Put("2.msg", "X");
    TFidoMessageBase Base;
    ASSERT_TRUE(Base.Open(Dir.Path()));
    Post(Base, {"one", "two"}, 2);
    ASSERT_TRUE(Base.CreateNewMessage());
    Base.PutString("three, first try");
    ASSERT_TRUE(Base.WriteMessage());
    Base.PutString(" and again");
    ASSERT_TRUE(Base.WriteMessage());
    EXPECT_EQ(0, Base.GetCount());
    EXPECT_EQ(3u, Count(Listing(), ".tmp"));  // one temporary file a message
    EXPECT_EQ(0u, Count(Listing(), ".msg"));
    EXPECT_EQ(1u, Count(Listing(), ".kill"));
    switch (C.End) {
      case TEnd::Commit:
        ASSERT_TRUE(Base.CommitTransaction());
        EXPECT_EQ(3, Base.GetCount());
        EXPECT_NE(std::string::npos, ReadFileText(Path("5.msg")).find("first try\r and again"));
        break;
      case TEnd::Rollback:
        Base.RollbackTransaction();
        EXPECT_EQ(1, Base.GetCount());
        EXPECT_EQ(2, Base.GetHighest());  // no number was given
        break;
      case TEnd::Close:
        Base.Close();
        break;
    }
    EXPECT_EQ(C.After, Listing());
  }
}

// A commit that cannot number every message (another program took the last
// numbers meanwhile) numbers none of them, leaves no file behind and puts the
// message it removed back.
TEST_F(MsgTransactionTest, FailedCommitNumbersNone) {
  Put("32763.msg", "gone");
  Put("32764.msg", "old");
  TFidoMessageBase Base;
  ASSERT_TRUE(Base.Open(Dir.Path()));
  Post(Base, {"one", "two", "three"}, 32763);
  Put("32766.msg", "X");
  EXPECT_FALSE(Base.CommitTransaction());
  EXPECT_EQ(stMsgCantCreateStream, Base.GetStatus());
  EXPECT_EQ("32763.msg=gone 32764.msg=old 32766.msg=X", Listing());
  EXPECT_TRUE(Base.Exists(32763));
}

// A posting of three messages whose commit stopped at some step (or that of
// a writer still running), with or without a removal, and what the next open
// for writing makes of it: finished whole when the record is, else nothing of
// it numbered and the removed message back.
TEST_F(MsgTransactionTest, OpenFinishesAWholeRecordAndRemovesTheRest) {
  enum class TRecord { None, Whole, Torn };
  struct TCase {
    const char* What;
    TRecord Record;
    bool Live;             // its writer is still running
    std::size_t Numbered;  // messages linked to their number before the stop
    bool NamesRemoved;     // and their temporary names removed
    bool Taken;            // another program took number 3 meanwhile
    bool Removal;          // message 7 was set aside by the same transaction
    std::string After;
  };
  const std::string Live = "vellumar" + std::to_string(::getppid());
  const std::vector<TCase> Cases = {
      {"whole, none numbered", TRecord::Whole, false, 0, false, false, false,
       "2.msg=A 3.msg=B 4.msg=C"},
      {"whole, one numbered", TRecord::Whole, false, 1, false, false, false,
       "2.msg=A 3.msg=B 4.msg=C"},
      {"whole, two numbered and their names gone", TRecord::Whole, false, 2, true, false, false,
       "2.msg=A 3.msg=B 4.msg=C"},
      {"whole, a number taken meanwhile", TRecord::Whole, false, 0, false, true, false,
       "2.msg=A 3.msg=X 4.msg=B 5.msg=C"},
      {"whole, with a removal", TRecord::Whole, false, 1, false, false, true,
       "2.msg=A 3.msg=B 4.msg=C"},
      {"torn", TRecord::Torn, false, 0, false, false, false, ""},
      {"torn, with a removal", TRecord::Torn, false, 0, false, false, true, "7.msg=K"},
      {"no record", TRecord::None, false, 0, false, false, false, ""},
      {"no record, with a removal", TRecord::None, false, 0, false, false, true, "7.msg=K"},
      {"a live writer's", TRecord::Whole, true, 1, false, false, false,
       "2.msg=A vellumar.txn " + Live + ".1.tmp=B " + Live + ".2.tmp=C " + Live + ".tmp=A"},
      {"a live writer's, being written", TRecord::Torn, true, 0, false, false, true,
       "7." + Live + ".kill=K vellumar.txn=VTX1 " + Live + ".1.tmp=B " + Live + ".2.tmp=C " + Live +
           ".tmp=A"}};
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.What);
    fs::remove_all(Dir.Path());
    fs::create_directory(Dir.Path());
    const std::string Mark = C.Live ? Live : Dead;
    const std::vector<std::string> Temps = {Mark + ".tmp", Mark + ".1.tmp", Mark + ".2.tmp"};
    TIntent Intent;
    Intent.Kind = C.Removal ? 2 : 1;
    Intent.Pid = C.Live ? static_cast<std::int32_t>(::getppid()) : 999999999;
    for (std::size_t I = 0; I < 3; ++I) {
      Put(Temps[I], std::string(1, static_cast<char>('A' + I)));
      Intent.Extra += std::to_string(I + 2) + " " + Temps[I] + "\n";
    }
    if (C.Removal) {
      Put("7." + Mark + ".kill", "K");
      Intent.Extra += "7 7." + Mark + ".kill\n";
    }
    if (C.Taken) Put("3.msg", "X");
    for (std::size_t I = 0; I < C.Numbered; ++I) {
      ASSERT_EQ(0, ::link(Path(Temps[I]).c_str(), Path(std::to_string(I + 2) + ".msg").c_str()));
      if (C.NamesRemoved) fs::remove(Path(Temps[I]));
    }
    if (C.Record == TRecord::Torn) {
      Put("vellumar.txn", EncodeIntent(Intent).substr(0, 4));
    } else if (C.Record != TRecord::None) {
      ASSERT_TRUE(BeginIntent(Path("vellumar.txn"), Intent));
    }
    TFidoMessageBase Base;
    ASSERT_TRUE(Base.Open(Dir.Path()));
    EXPECT_EQ(C.After, Listing());
    EXPECT_TRUE(Base.GetInconsistencies().empty());
  }
}

// A read-only open changes nothing, hides what an unfinished posting numbered
// already and says so, with the removal of the same transaction and a message
// a dead remover set aside with no record.
TEST_F(MsgTransactionTest, ReadOnlyOpenReportsAndHidesAnUnfinishedPosting) {
  TIntent Intent;
  Intent.Kind = 2;
  Intent.Pid = 999999999;
  Intent.Extra = "2 " + Dead + ".tmp\n3 " + Dead + ".1.tmp\n5 5." + Dead + ".kill\n";
  Put("5." + Dead + ".kill", "R");
  Put(Dead + ".tmp", "A");
  Put(Dead + ".1.tmp", "B");
  ASSERT_EQ(0, ::link(Path(Dead + ".tmp").c_str(), Path("2.msg").c_str()));
  ASSERT_TRUE(BeginIntent(Path("vellumar.txn"), Intent));
  Put("7." + Dead + ".kill", "K");
  const auto Before = testing_support::SnapshotFiles(Dir.Path());
  TFidoMessageBase Base;
  Base.SetOpenMode(omReadOnly);
  ASSERT_TRUE(Base.Open(Dir.Path()));
  EXPECT_EQ(0, Base.GetCount());
  const std::vector<std::string> Lines = Base.GetInconsistencies();
  ASSERT_EQ(2u, Lines.size());
  EXPECT_NE(std::string::npos,
            Lines[0].find("unfinished posting of 2 messages and a removal of 1 message "));
  EXPECT_NE(std::string::npos, Lines[1].find("7." + Dead + ".kill"));
  EXPECT_TRUE(Before == testing_support::SnapshotFiles(Dir.Path()));
}

// The syncs of a posting: one per message file and a constant, so a posting
// of 30 makes 27 more than one of 3. Counted by running this test again under
// strace, which then makes the posting.
TEST_F(MsgTransactionTest, PostingSyncsOncePerMessage) {
  if (const char* Child = std::getenv("MSG_SYNC_POSTING"); Child != nullptr) {
    TFidoMessageBase Base;
    ASSERT_TRUE(Base.Create(Dir.File("area")));
    Post(Base, std::vector<std::string>(static_cast<std::size_t>(std::atoi(Child)), "text"));
    ASSERT_TRUE(Base.CommitTransaction());
    return;
  }
  if (::access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  const auto Syncs = [&](int Messages) {
    const std::string Trace = Dir.File("trace" + std::to_string(Messages));
    const std::string Command =
        "/usr/bin/strace -f -qq -o " + Trace +
        " -e trace=fsync,fdatasync -E ASAN_OPTIONS=detect_leaks=0 -E MSG_SYNC_POSTING=" +
        std::to_string(Messages) + " /proc/" + std::to_string(::getpid()) +
        "/exe --gtest_filter=MsgTransactionTest.PostingSyncsOncePerMessage >/dev/null 2>&1";
    EXPECT_EQ(0, std::system(Command.c_str()));
    return Count(ReadFileText(Trace), "sync(");
  };
  const std::size_t Three = Syncs(3);
  EXPECT_EQ(Three + 27, Syncs(30));
  EXPECT_LE(Three, 3u + 8u);  // creation 2, commit 6
}

}  // namespace
}  // namespace msgbase
