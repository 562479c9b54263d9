#include "msgbase/transaction.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "msgbase/status.h"
#include "testing/test_support.h"

namespace msgbase {
namespace {

void WriteFile(const std::string& Path, const std::string& Bytes) {
  std::ofstream(Path, std::ios::binary | std::ios::trunc) << Bytes;
}

TIntent SampleIntent() {
  TIntent I;
  I.Kind = 7;
  I.Phase = 1;
  I.Pid = 4242;
  I.Files = {{"/a/area.jhr", 1024}, {"/a/area.jlr", -1}};
  I.Images = {{0, 0, std::string("\0\x01header", 8)}};
  I.Extra = "extra";
  return I;
}

TEST(TransactionTest, EveryCutOfARecordKeepsTheLastWholeEntryOrIsTorn) {
  const std::string First = EncodeIntent(SampleIntent());
  TIntent Second = SampleIntent();
  Second.Phase = 2;
  const std::string Record = First + EncodeIntent(Second);
  for (std::size_t Cut = 0; Cut <= Record.size(); ++Cut) {
    TIntent Read;
    const TIntentState State = DecodeIntent(Record.substr(0, Cut), Read);
    if (Cut < First.size()) {
      EXPECT_EQ(State, TIntentState::Torn) << Cut;
      continue;
    }
    ASSERT_EQ(State, TIntentState::Whole) << Cut;
    EXPECT_EQ(Read.Phase, Cut == Record.size() ? 2U : 1U) << Cut;
    EXPECT_EQ(Read.Files.size(), 2U);
    EXPECT_EQ(Read.Files[1].Size, -1);
    EXPECT_EQ(Read.Images[0].Bytes, std::string("\0\x01header", 8));
    EXPECT_EQ(Read.Extra, "extra");
  }
  // A flipped byte anywhere in the one entry makes it torn.
  for (std::size_t At = 0; At < First.size(); ++At) {
    std::string Damaged = First;
    Damaged[At] = static_cast<char>(Damaged[At] ^ 0x40);
    TIntent Read;
    EXPECT_EQ(DecodeIntent(Damaged, Read), TIntentState::Torn) << At;
  }
}

TEST(TransactionTest, RollBackRestoresOldBytesAndSizesAndIsSafeToRepeat) {
  testing_support::TTempDir Dir;
  const std::string Data = Dir.Path() + "/area.dat";
  const std::string Made = Dir.Path() + "/area.new";
  const std::string Record = Dir.Path() + "/area.vtx";
  WriteFile(Data, "0123456789");

  TIntent Intent;
  const std::uint32_t D = Intent.AddFile(Data, 10);
  (void)Intent.AddFile(Made, -1);
  ASSERT_TRUE(Intent.SaveBefore(D, 2, 3));
  ASSERT_TRUE(Intent.SaveBefore(D, 8, 5));   // cut at the old end
  ASSERT_TRUE(Intent.SaveBefore(D, 12, 4));  // past it: no image needed
  EXPECT_EQ(Intent.Images.size(), 2U);
  ASSERT_TRUE(BeginIntent(Record, Intent));
  EXPECT_FALSE(BeginIntent(Record, Intent)) << "a record is never made over another";

  // The change: an overwrite, an append, a new file.
  WriteFile(Data, "01XYZ56789appended");
  WriteFile(Made, "new");
  TIntent Read;
  ASSERT_EQ(ReadIntent(Record, Read), TIntentState::Whole);
  // A reader sees the file through the record as it was, and cannot write.
  {
    PMessageBaseStream View =
        CreateCommittedView(CreateMessageBaseFileStream(Data, smRead), Read, D);
    std::string Seen(10, '\0');
    View->Seek(0);
    View->Read(Seen.data(), 10);
    EXPECT_EQ(Seen, "0123456789");
    EXPECT_EQ(View->GetSize(), 10);
    View->Read(Seen.data(), 1);
    EXPECT_EQ(View->GetStatus(), stStreamReadFailed);
    View->Reset();
    View->Write("x", 1);
    EXPECT_NE(View->GetStatus(), stOk);
  }
  for (int Round = 0; Round < 2; ++Round) {
    ASSERT_TRUE(RollBack(Read));
    EXPECT_EQ(testing_support::ReadFileText(Data), "0123456789");
    EXPECT_NE(::access(Made.c_str(), F_OK), 0);
  }
  // A further entry is read in place of the first; removing ends it.
  Read.Phase = 3;
  ASSERT_TRUE(AppendIntent(Record, Read));
  ASSERT_EQ(ReadIntent(Record, Read), TIntentState::Whole);
  EXPECT_EQ(Read.Phase, 3U);
  ASSERT_TRUE(EndIntent(Record));
  EXPECT_EQ(ReadIntent(Record, Read), TIntentState::None);
}

TEST(TransactionTest, ProcessGoneIsNeverTrueOfTheLivingOrThisProcess) {
  EXPECT_FALSE(ProcessGone(static_cast<std::int32_t>(::getpid())));
  EXPECT_FALSE(ProcessGone(1));
  EXPECT_FALSE(ProcessGone(0));
}

}  // namespace
}  // namespace msgbase
