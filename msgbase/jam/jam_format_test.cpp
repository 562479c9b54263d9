#include "msgbase/jam/jam_format.h"

#include <gtest/gtest.h>

#include "testing/test_support.h"

namespace msgbase {
namespace {

using testing_support::PutLE16;
using testing_support::PutLE32;
using testing_support::TBytes;

TBytes ToBytes(std::span<const std::uint8_t> Raw) {
  return TBytes(Raw.begin(), Raw.end());
}

TEST(JamFormatTest, HeaderInfoMatchesHandWrittenBytes) {
  TJamHeaderInfo R;
  R.Signature = JamSignature;
  R.DateCreated = 0x11223344;
  R.ModCounter = 0x55667788;
  R.ActiveMsgs = 0x0A0B0C0D;
  R.PasswordCrc = 0xFFFFFFFE;
  R.BaseMsgNum = 0x01020304;
  R.Reserved[0] = 0xA5;
  R.Reserved[999] = 0x5A;

  TBytes Expected{'J', 'A', 'M', 0};
  PutLE32(Expected, 0x11223344);
  PutLE32(Expected, 0x55667788);
  PutLE32(Expected, 0x0A0B0C0D);
  PutLE32(Expected, 0xFFFFFFFE);
  PutLE32(Expected, 0x01020304);
  Expected.push_back(0xA5);
  Expected.resize(1023, 0);
  Expected.push_back(0x5A);
  EXPECT_BYTES_EQ(Expected, ToBytes(EncodeJamHeaderInfo(R)));

  TJamHeaderInfo Back;
  ASSERT_TRUE(DecodeJamHeaderInfo(Expected, Back));
  EXPECT_EQ(Back.Signature, JamSignature);
  EXPECT_EQ(Back.DateCreated, 0x11223344u);
  EXPECT_EQ(Back.ModCounter, 0x55667788u);
  EXPECT_EQ(Back.ActiveMsgs, 0x0A0B0C0Du);
  EXPECT_EQ(Back.PasswordCrc, 0xFFFFFFFEu);
  EXPECT_EQ(Back.BaseMsgNum, 0x01020304u);
  EXPECT_EQ(Back.Reserved, R.Reserved);
  Expected.pop_back();
  EXPECT_FALSE(DecodeJamHeaderInfo(Expected, Back));
}

TEST(JamFormatTest, MessageHeaderMatchesHandWrittenBytes) {
  TJamMessageHeaderFirst R;
  R.Signature = {'J', 'A', 'M', 'x'};
  R.Revision = 0x0102;
  R.ReservedWord = 0x0304;
  const std::uint32_t Base = 0xA0000000;  // field k holds Base + k
  R.SubfieldLen = Base + 1;
  R.TimesRead = Base + 2;
  R.MsgIdCrc = Base + 3;
  R.ReplyCrc = Base + 4;
  R.ReplyTo = Base + 5;
  R.ReplyFirst = Base + 6;
  R.ReplyNext = Base + 7;
  R.DateWritten = Base + 8;
  R.DateReceived = Base + 9;
  R.DateProcessed = Base + 10;
  R.MessageNumber = Base + 11;
  R.Attribute = Base + 12;
  R.Attribute2 = Base + 13;
  R.Offset = Base + 14;
  R.TxtLen = Base + 15;
  R.PasswordCrc = Base + 16;
  R.Cost = Base + 17;

  TBytes Expected{'J', 'A', 'M', 'x', 0x02, 0x01, 0x04, 0x03};
  for (std::uint32_t K = 1; K <= 17; ++K) PutLE32(Expected, Base + K);
  ASSERT_EQ(Expected.size(), TJamMessageHeaderFirst::Size);
  EXPECT_BYTES_EQ(Expected, ToBytes(EncodeJamMessageHeader(R)));

  TJamMessageHeaderFirst Back;
  ASSERT_TRUE(DecodeJamMessageHeader(Expected, Back));
  EXPECT_EQ(ToBytes(EncodeJamMessageHeader(Back)), Expected);
  EXPECT_EQ(Back.Revision, 0x0102);
  EXPECT_EQ(Back.SubfieldLen, Base + 1);
  EXPECT_EQ(Back.DateProcessed, Base + 10);
  EXPECT_EQ(Back.Offset, Base + 14);
  EXPECT_EQ(Back.Cost, Base + 17);
  Expected.pop_back();
  EXPECT_FALSE(DecodeJamMessageHeader(Expected, Back));
}

TEST(JamFormatTest, SmallRecordsMatchHandWrittenBytes) {
  TBytes Subfield;
  PutLE16(Subfield, 2001);
  PutLE16(Subfield, 0xBEEF);
  PutLE32(Subfield, 0x00012345);
  TJamSubfield S;
  ASSERT_TRUE(DecodeJamSubfield(Subfield, S));
  EXPECT_EQ(S.LoId, 2001);
  EXPECT_EQ(S.HiId, 0xBEEF);
  EXPECT_EQ(S.DatLen, 0x00012345u);
  EXPECT_BYTES_EQ(Subfield, ToBytes(EncodeJamSubfield(S)));

  TBytes Index;
  PutLE32(Index, 0xDEADBEEF);
  PutLE32(Index, 0x00000400);
  TJamIndex I;
  ASSERT_TRUE(DecodeJamIndex(Index, I));
  EXPECT_EQ(I.UserCrc, 0xDEADBEEFu);
  EXPECT_EQ(I.HdrOffset, 0x400u);
  EXPECT_BYTES_EQ(Index, ToBytes(EncodeJamIndex(I)));

  TBytes LastRead;
  PutLE32(LastRead, 0x01010101);
  PutLE32(LastRead, 0x02020202);
  PutLE32(LastRead, 0x03030303);
  PutLE32(LastRead, 0x04040404);
  TJamLastRead L;
  ASSERT_TRUE(DecodeJamLastRead(LastRead, L));
  EXPECT_EQ(L.UserCrc, 0x01010101u);
  EXPECT_EQ(L.UserId, 0x02020202u);
  EXPECT_EQ(L.LastReadMsg, 0x03030303u);
  EXPECT_EQ(L.HighReadMsg, 0x04040404u);
  EXPECT_BYTES_EQ(LastRead, ToBytes(EncodeJamLastRead(L)));

  EXPECT_FALSE(DecodeJamSubfield(std::span(Subfield).first(7), S));
  EXPECT_FALSE(DecodeJamIndex(std::span(Index).first(7), I));
  EXPECT_FALSE(DecodeJamLastRead(std::span(LastRead).first(15), L));
}

}  // namespace
}  // namespace msgbase
