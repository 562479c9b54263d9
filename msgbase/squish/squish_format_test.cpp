#include "msgbase/squish/squish_format.h"

#include <gtest/gtest.h>

#include <array>

#include "testing/test_support.h"

namespace msgbase {
namespace {

using testing_support::PutLE16;
using testing_support::PutLE32;
using testing_support::PutText;
using testing_support::TBytes;

template <typename TRecord>
TBytes Encoded(const TRecord& Record) {
  std::array<std::uint8_t, TRecord::Size> Buf{};
  Record.Encode(Buf);
  return TBytes(Buf.begin(), Buf.end());
}

template <std::size_t N>
std::array<char, N> Text(const char* S) {
  std::array<char, N> Field{};
  for (std::size_t I = 0; S[I] != '\0' && I < N; ++I) Field[I] = S[I];
  return Field;
}

TEST(SquishFormatTest, BaseHeaderMatchesHandWrittenBytes) {
  TSquishBaseHeader Header;
  Header.Len = 0x0100;
  Header.Reserved1 = 0x0302;
  Header.NumMsg = 0x07060504;
  Header.HighMsg = 0x0B0A0908;
  Header.SkipMsg = 0x0F0E0D0C;
  Header.HighWater = 0x13121110;
  Header.Uid = 0x17161514;
  Header.BaseName = Text<80>("/fido/uue");
  Header.BeginFrame = 0x1B1A1918;
  Header.LastFrame = 0x1F1E1D1C;
  Header.FreeFrame = 0x23222120;
  Header.LastFreeFrame = 0x27262524;
  Header.EndFrame = 0x2B2A2928;
  Header.MaxMsg = 0x2F2E2D2C;
  Header.KeepDays = 0x3130;
  Header.SzSqHdr = 0x3332;
  Header.Reserved2[0] = 0x34;
  Header.Reserved2[123] = 0x35;

  TBytes Expected;
  PutLE16(Expected, 0x0100);
  PutLE16(Expected, 0x0302);
  PutLE32(Expected, 0x07060504);
  PutLE32(Expected, 0x0B0A0908);
  PutLE32(Expected, 0x0F0E0D0C);
  PutLE32(Expected, 0x13121110);
  PutLE32(Expected, 0x17161514);
  PutText(Expected, "/fido/uue", 80);
  PutLE32(Expected, 0x1B1A1918);
  PutLE32(Expected, 0x1F1E1D1C);
  PutLE32(Expected, 0x23222120);
  PutLE32(Expected, 0x27262524);
  PutLE32(Expected, 0x2B2A2928);
  PutLE32(Expected, 0x2F2E2D2C);
  PutLE16(Expected, 0x3130);
  PutLE16(Expected, 0x3332);
  Expected.push_back(0x34);
  Expected.resize(255, 0);
  Expected.push_back(0x35);
  ASSERT_EQ(Expected.size(), TSquishBaseHeader::Size);
  EXPECT_BYTES_EQ(Expected, Encoded(Header));

  TSquishBaseHeader Decoded;
  ASSERT_TRUE(Decoded.Decode(Expected));
  EXPECT_EQ(Decoded.Len, 0x0100);
  EXPECT_EQ(Decoded.Uid, 0x17161514u);
  EXPECT_EQ(Decoded.BeginFrame, 0x1B1A1918u);
  EXPECT_EQ(Decoded.EndFrame, 0x2B2A2928u);
  EXPECT_EQ(Decoded.SzSqHdr, 0x3332);
  EXPECT_BYTES_EQ(Expected, Encoded(Decoded));
}

TEST(SquishFormatTest, FrameMatchesHandWrittenBytes) {
  TSquishFrame Frame;
  Frame.Id = SquishFrameId;
  Frame.NextFrame = 0x11223344;
  Frame.PrevFrame = 0x55667788;
  Frame.FrameLength = 0x01020304;
  Frame.MsgLength = 0x05060708;
  Frame.ClenLength = 0x090A0B0C;
  Frame.FrameType = sqfFree;
  Frame.Reserved = 0xBEEF;

  const TBytes Expected{0x53, 0x44, 0xAE, 0xAF, 0x44, 0x33, 0x22, 0x11, 0x88, 0x77,
                        0x66, 0x55, 0x04, 0x03, 0x02, 0x01, 0x08, 0x07, 0x06, 0x05,
                        0x0C, 0x0B, 0x0A, 0x09, 0x01, 0x00, 0xEF, 0xBE};
  EXPECT_BYTES_EQ(Expected, Encoded(Frame));

  TSquishFrame Decoded;
  ASSERT_TRUE(Decoded.Decode(Expected));
  EXPECT_EQ(Decoded.Id, SquishFrameId);
  EXPECT_EQ(Decoded.NextFrame, 0x11223344u);
  EXPECT_EQ(Decoded.PrevFrame, 0x55667788u);
  EXPECT_EQ(Decoded.FrameLength, 0x01020304u);
  EXPECT_EQ(Decoded.MsgLength, 0x05060708u);
  EXPECT_EQ(Decoded.ClenLength, 0x090A0B0Cu);
  EXPECT_EQ(Decoded.FrameType, sqfFree);
  EXPECT_EQ(Decoded.Reserved, 0xBEEF);
}

TEST(SquishFormatTest, MessageHeaderMatchesHandWrittenBytes) {
  TSquishMessageHeader Header;
  Header.Attr = 0x000A0101;
  Header.From = Text<36>("Sender Name");
  Header.To = Text<36>("All");
  Header.Subject = Text<72>("report.zip [1/3]");
  Header.Orig = TAddress{2, 5020, 100, 7};
  Header.Dest = TAddress{-1, 300, 4, 0};
  Header.DateWritten = 0x70A45D86;
  Header.DateArrived = 0x12345678;
  Header.UtcOfs = 0x0102;
  Header.ReplyTo = 0x0A0B0C0D;
  for (std::size_t I = 0; I < Header.Replies.size(); ++I) {
    Header.Replies[I] = 0x100u + static_cast<std::uint32_t>(I);
  }
  Header.UMsgId = 0x00C0FFEE;
  Header.FtscDate = Text<20>("06 Dec 26  14:05:08");

  TBytes Expected;
  PutLE32(Expected, 0x000A0101);
  PutText(Expected, "Sender Name", 36);
  PutText(Expected, "All", 36);
  PutText(Expected, "report.zip [1/3]", 72);
  for (const std::uint16_t V :
       std::initializer_list<std::uint16_t>{2, 5020, 100, 7, 0xFFFF, 300, 4, 0})
    PutLE16(Expected, V);
  PutLE32(Expected, 0x70A45D86);
  PutLE32(Expected, 0x12345678);
  PutLE16(Expected, 0x0102);
  PutLE32(Expected, 0x0A0B0C0D);
  for (std::uint32_t I = 0; I < 9; ++I) PutLE32(Expected, 0x100 + I);
  PutLE32(Expected, 0x00C0FFEE);
  PutText(Expected, "06 Dec 26  14:05:08", 20);
  ASSERT_EQ(Expected.size(), TSquishMessageHeader::Size);
  EXPECT_BYTES_EQ(Expected, Encoded(Header));

  TSquishMessageHeader Decoded;
  ASSERT_TRUE(Decoded.Decode(Expected));
  EXPECT_EQ(Decoded.Orig.Net, 5020);
  EXPECT_EQ(Decoded.Orig.Point, 7);
  EXPECT_EQ(Decoded.Dest.Zone, -1);
  EXPECT_EQ(Decoded.UtcOfs, 0x0102);
  EXPECT_EQ(Decoded.Replies[8], 0x108u);
  EXPECT_EQ(Decoded.UMsgId, 0x00C0FFEEu);
  EXPECT_BYTES_EQ(Expected, Encoded(Decoded));
}

TEST(SquishFormatTest, IndexRecordMatchesHandWrittenBytes) {
  const TSquishIndex Index{0x00000100, 0x00000002, 0x00006854};
  const TBytes Expected{0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x54, 0x68, 0x00, 0x00};
  EXPECT_BYTES_EQ(Expected, Encoded(Index));
  TSquishIndex Decoded;
  ASSERT_TRUE(Decoded.Decode(Expected));
  EXPECT_EQ(Decoded.Ofs, 0x100u);
  EXPECT_EQ(Decoded.UMsgId, 2u);
  EXPECT_EQ(Decoded.Hash, 0x6854u);
}

TEST(SquishFormatTest, FixedTextKeepsBytesAfterItsTerminator) {
  TBytes Bytes(TSquishMessageHeader::Size, 0);
  Bytes[4] = 'A';
  Bytes[5] = 0;
  Bytes[6] = 'x';  // left over from a longer name, stays when written back
  TSquishMessageHeader Header;
  ASSERT_TRUE(Header.Decode(Bytes));
  EXPECT_BYTES_EQ(Bytes, Encoded(Header));
}

TEST(SquishFormatTest, DecodersRefuseShortBuffers) {
  const TBytes Short(TSquishBaseHeader::Size - 1, 0xAA);
  TSquishBaseHeader Base;
  TSquishFrame Frame;
  TSquishMessageHeader Message;
  TSquishIndex Index;
  EXPECT_FALSE(Base.Decode(Short));
  EXPECT_FALSE(Frame.Decode({Short.data(), TSquishFrame::Size - 1}));
  EXPECT_FALSE(Message.Decode({Short.data(), TSquishMessageHeader::Size - 1}));
  EXPECT_FALSE(Index.Decode({Short.data(), TSquishIndex::Size - 1}));
  // Nothing was read into the records.
  EXPECT_EQ(Base.Len, 0);
  EXPECT_EQ(Frame.Id, 0u);
  EXPECT_EQ(Message.Attr, 0u);
  EXPECT_EQ(Index.Ofs, 0u);
}

}  // namespace
}  // namespace msgbase
