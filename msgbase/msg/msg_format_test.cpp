#include "msgbase/msg/msg_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "msgbase/message_base.h"
#include "testing/test_support.h"

namespace msgbase {
namespace {

using testing_support::PutLE16;
using testing_support::PutLE32;
using testing_support::PutText;
using testing_support::TBytes;

// A header with a different value in every field, and its bytes by hand.
TFidoHeader DistinctHeader() {
  TFidoHeader H;
  SetFixedFieldText(H.FromUserName, "From Name");
  SetFixedFieldText(H.ToUserName, "To Name");
  SetFixedFieldText(H.Subject, "A subject");
  SetFixedFieldText(H.DateTime, "05 Aug 04  13:45:30");
  H.TimesRead = 0x0102;
  H.DestNode = 0x0304;
  H.OrigNode = 0x0506;
  H.Cost = 0x0708;
  H.OrigNet = 0x090A;
  H.DestNet = 0x0B0C;
  H.DateWritten = 0x6DAF3105;
  H.DateArrived = 0x11223344;
  H.ReplyTo = 0x1516;
  H.Attribute = 0x8101;
  H.NextReply = 0x191A;
  return H;
}

TBytes DistinctHeaderBytes() {
  TBytes B;
  PutText(B, "From Name", 36);
  PutText(B, "To Name", 36);
  PutText(B, "A subject", 72);
  PutText(B, "05 Aug 04  13:45:30", 20);
  for (const int V : {0x0102, 0x0304, 0x0506, 0x0708, 0x090A, 0x0B0C})
    PutLE16(B, static_cast<std::uint16_t>(V));
  PutLE32(B, 0x6DAF3105);
  PutLE32(B, 0x11223344);
  for (const int V : {0x1516, 0x8101, 0x191A}) PutLE16(B, static_cast<std::uint16_t>(V));
  return B;
}

TEST(MsgFormatTest, HeaderEncodesToHandWrittenBytes) {
  std::array<std::uint8_t, TFidoHeader::Size> Out{};
  EncodeFidoHeader(DistinctHeader(), Out);
  EXPECT_BYTES_EQ(DistinctHeaderBytes(), TBytes(Out.begin(), Out.end()));
}

TEST(MsgFormatTest, HeaderDecodesFromHandWrittenBytes) {
  TFidoHeader H;
  ASSERT_TRUE(DecodeFidoHeader(DistinctHeaderBytes(), H));
  EXPECT_EQ(FixedFieldText(H.FromUserName), "From Name");
  EXPECT_EQ(FixedFieldText(H.ToUserName), "To Name");
  EXPECT_EQ(FixedFieldText(H.Subject), "A subject");
  EXPECT_EQ(FixedFieldText(H.DateTime), "05 Aug 04  13:45:30");
  EXPECT_EQ(H.TimesRead, 0x0102);
  EXPECT_EQ(H.DestNode, 0x0304);
  EXPECT_EQ(H.OrigNode, 0x0506);
  EXPECT_EQ(H.Cost, 0x0708);
  EXPECT_EQ(H.OrigNet, 0x090A);
  EXPECT_EQ(H.DestNet, 0x0B0C);
  EXPECT_EQ(H.DateWritten, 0x6DAF3105u);
  EXPECT_EQ(H.DateArrived, 0x11223344u);
  EXPECT_EQ(H.ReplyTo, 0x1516);
  EXPECT_EQ(H.Attribute, 0x8101);
  EXPECT_EQ(H.NextReply, 0x191A);
}

TEST(MsgFormatTest, ShortBufferIsRefusedAndBytesAfterTextsSurvive) {
  TBytes Bytes = DistinctHeaderBytes();
  TFidoHeader H;
  EXPECT_FALSE(DecodeFidoHeader(std::span<const std::uint8_t>(Bytes.data(), 189), H));
  EXPECT_EQ(FixedFieldText(H.FromUserName), "");

  // Leftovers after a name's zero byte, as other software leaves them.
  Bytes[20] = 'X';
  Bytes[35] = 'Y';
  ASSERT_TRUE(DecodeFidoHeader(Bytes, H));
  SetFixedFieldText(H.FromUserName, "Bob");
  std::array<std::uint8_t, TFidoHeader::Size> Out{};
  EncodeFidoHeader(H, Out);
  EXPECT_EQ(std::string(Out.begin(), Out.begin() + 4), std::string("Bob\0", 4));
  EXPECT_EQ(Out[20], 'X');
  EXPECT_EQ(Out[35], 'Y');
}

TEST(MsgFormatTest, FixedFieldsCutAndReadWithoutZeroByte) {
  std::array<char, 36> Name{};
  SetFixedFieldText(Name, std::string(40, 'n'));
  EXPECT_EQ(FixedFieldText(Name), std::string(35, 'n'));
  Name.fill('z');
  EXPECT_EQ(FixedFieldText(Name), std::string(36, 'z'));
}

TEST(MsgFormatTest, AttributeMapping) {
  const std::vector<std::pair<std::int32_t, std::uint16_t>> Table = {
      {maPrivate, 0x0001},         {maCrash, 0x0002},
      {maReceived, 0x0004},        {maSent, 0x0008},
      {maFileAttached, 0x0010},    {maInTransit, 0x0020},
      {maOrphan, 0x0040},          {maKillSent, 0x0080},
      {maLocal, 0x0100},           {maHold, 0x0200},
      {maFileRequest, 0x0800},     {maReturnReceiptRequest, 0x1000},
      {maIsReturnReceipt, 0x2000}, {maAuditRequest, 0x4000},
      {maUpdateRequest, 0x8000},
  };
  for (const auto& [Attribute, Expected] : Table) {
    std::uint16_t Bit = 0;
    EXPECT_TRUE(MapAttribute(Attribute, Bit)) << Attribute;
    EXPECT_EQ(Bit, Expected) << Attribute;
  }
  for (const std::int32_t Refused : {maScanned, maPrivate | maLocal, 0, 0x10000, -1}) {
    std::uint16_t Bit = 0;
    EXPECT_FALSE(MapAttribute(Refused, Bit)) << Refused;
  }
}

TEST(MsgFormatTest, WrittenDateText) {
  TMessageBaseDateTime D;
  D.Year = 2004;
  D.Month = 8;
  D.Day = 5;
  D.Hour = 13;
  D.Minute = 45;
  D.Second = 30;
  EXPECT_EQ(MakeFidoDateText(D), "05 Aug 04  13:45:30");
  D = TMessageBaseDateTime{3, 4, 5, 0, 2, 1, 2010};
  EXPECT_EQ(MakeFidoDateText(D), "02 Jan 10  03:04:05");
  D = TMessageBaseDateTime{23, 59, 58, 0, 31, 12, 1999};
  EXPECT_EQ(MakeFidoDateText(D), "31 Dec 99  23:59:58");
}

struct TDateCase {
  const char* Text;
  std::uint16_t Year, Month, Day, Hour, Minute, Second;
};

TEST(MsgFormatTest, WrittenDateTextInEveryLayout) {
  const TDateCase Cases[] = {
      {"05 Aug 04  13:45:30", 2004, 8, 5, 13, 45, 30},
      {"05 Aug 99 13:45:30", 1999, 8, 5, 13, 45, 30},
      {"Thu 05 Aug 04 13:45", 2004, 8, 5, 13, 45, 0},
      {"05-08-04 13:45:30", 2004, 8, 5, 13, 45, 30},
      {"05 aug 04  13:45:30", 2004, 8, 5, 13, 45, 30},
      {"01 Jan 70  00:00:00", 2070, 1, 1, 0, 0, 0},
      {"01 Jan 71  00:00:00", 1971, 1, 1, 0, 0, 0},
      {"", 2000, 0, 0, 0, 0, 0},
      {"garbage", 2000, 0, 0, 0, 0, 0},
      {"05 Xyz 04  ab:cd:ef", 2004, 0, 5, 0, 0, 0},
      {"05 Aug", 2000, 8, 5, 0, 0, 0},
  };
  for (const TDateCase& C : Cases) {
    TMessageBaseDateTime D;
    D.Sec100 = 77;
    ParseFidoDateText(C.Text, D);
    EXPECT_EQ(D.Year, C.Year) << C.Text;
    EXPECT_EQ(D.Month, C.Month) << C.Text;
    EXPECT_EQ(D.Day, C.Day) << C.Text;
    EXPECT_EQ(D.Hour, C.Hour) << C.Text;
    EXPECT_EQ(D.Minute, C.Minute) << C.Text;
    EXPECT_EQ(D.Second, C.Second) << C.Text;
    EXPECT_EQ(D.Sec100, 0) << C.Text;
  }
}

}  // namespace
}  // namespace msgbase
