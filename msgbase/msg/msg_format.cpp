#include "msgbase/msg/msg_format.h"

#include <algorithm>
#include <string_view>

#include "msgbase/file_helpers.h"
#include "msgbase/le_codec.h"
#include "msgbase/message_base.h"

namespace msgbase {

static_assert(188 + 2 == TFidoHeader::Size, "the last field ends the header");

void EncodeFidoHeader(const TFidoHeader& H, std::span<std::uint8_t, TFidoHeader::Size> Out) {
  std::uint8_t* P = Out.data();
  PutFixedText(P + 0, H.FromUserName);
  PutFixedText(P + 36, H.ToUserName);
  PutFixedText(P + 72, H.Subject);
  PutFixedText(P + 144, H.DateTime);
  PutLE16(P + 164, H.TimesRead);
  PutLEInt16(P + 166, H.DestNode);
  PutLEInt16(P + 168, H.OrigNode);
  PutLE16(P + 170, H.Cost);
  PutLEInt16(P + 172, H.OrigNet);
  PutLEInt16(P + 174, H.DestNet);
  PutLE32(P + 176, H.DateWritten);
  PutLE32(P + 180, H.DateArrived);
  PutLE16(P + 184, H.ReplyTo);
  PutLE16(P + 186, H.Attribute);
  PutLE16(P + 188, H.NextReply);
}

bool DecodeFidoHeader(std::span<const std::uint8_t> Bytes, TFidoHeader& H) {
  if (Bytes.size() < TFidoHeader::Size) return false;
  const std::uint8_t* P = Bytes.data();
  GetFixedText(P + 0, H.FromUserName);
  GetFixedText(P + 36, H.ToUserName);
  GetFixedText(P + 72, H.Subject);
  GetFixedText(P + 144, H.DateTime);
  H.TimesRead = GetLE16(P + 164);
  H.DestNode = GetLEInt16(P + 166);
  H.OrigNode = GetLEInt16(P + 168);
  H.Cost = GetLE16(P + 170);
  H.OrigNet = GetLEInt16(P + 172);
  H.DestNet = GetLEInt16(P + 174);
  H.DateWritten = GetLE32(P + 176);
  H.DateArrived = GetLE32(P + 180);
  H.ReplyTo = GetLE16(P + 184);
  H.Attribute = GetLE16(P + 186);
  H.NextReply = GetLE16(P + 188);
  return true;
}

bool MapAttribute(std::int32_t Attribute, std::uint16_t& Bit) {
  // The first ten library attributes keep their value; from the file request
  // on, the header skips bit 0x0400.
  switch (Attribute) {
    case maPrivate:
    case maCrash:
    case maReceived:
    case maSent:
    case maFileAttached:
    case maInTransit:
    case maOrphan:
    case maKillSent:
    case maLocal:
    case maHold:
      Bit = static_cast<std::uint16_t>(Attribute);
      return true;
    case maFileRequest:
    case maReturnReceiptRequest:
    case maIsReturnReceipt:
    case maAuditRequest:
    case maUpdateRequest:
      Bit = static_cast<std::uint16_t>(Attribute << 1);
      return true;
    default:
      return false;
  }
}

namespace {

// A number as two characters: its decimal text cut to two characters, with a
// leading '0' when it has only one.
std::string LeadingZero(std::int32_t Value) {
  std::string Text = LongToStr(Value).substr(0, 2);
  if (Text.size() == 1) Text.insert(Text.begin(), '0');
  return Text;
}

std::uint16_t WordOf(std::uint8_t N, const std::string& S, std::string_view Delims) {
  std::uint16_t Value = 0;
  StrToWord(ExtractWord(N, S, Delims), Value);
  return Value;
}

// Characters of S from the 1-based position First on (empty beyond the end).
std::string From(const std::string& S, std::size_t First) {
  return First <= S.size() ? S.substr(First - 1) : std::string();
}

// The 1-based character at Position, or 0 beyond the end.
char At(const std::string& S, std::size_t Position) {
  return Position >= 1 && Position <= S.size() ? S[Position - 1] : '\0';
}

// Day, month name and year as the first three space-separated words of S.
void ReadDayMonthYear(const std::string& S, TMessageBaseDateTime& D) {
  D.Day = WordOf(1, S, " ");
  D.Month = MonthStringToMonthNumber(ExtractWord(2, S, " "));
  D.Year = WordOf(3, S, " ");
}

}  // namespace

std::string MakeFidoDateText(const TMessageBaseDateTime& D) {
  return LeadingZero(D.Day) + " " + MonthNumberToMonthString(D.Month) + " " +
         LeadingZero(Y2ToDouble(D.Year)) + "  " + LeadingZero(D.Hour) + ":" +
         LeadingZero(D.Minute) + ":" + LeadingZero(D.Second);
}

void ParseFidoDateText(const std::string& Text, TMessageBaseDateTime& D) {
  ClearMessageBaseDateTime(D);
  if (At(Text, 3) == ' ') {
    // "05 Aug 04  13:45:30", or with one space before the time.
    ReadDayMonthYear(Text, D);
    const std::string Time = From(Text, At(Text, 11) == ' ' ? 12 : 11);
    D.Hour = WordOf(1, Time, ":");
    D.Minute = WordOf(2, Time, ":");
    D.Second = WordOf(3, Time, ": ");
  } else if (At(Text, 4) == ' ') {
    // "Thu 05 Aug 04 13:45": a weekday first, no seconds.
    const std::string Rest = From(Text, 5);
    ReadDayMonthYear(Rest, D);
    const std::string Time = From(Rest, 11);
    D.Hour = WordOf(1, Time, ":");
    D.Minute = WordOf(2, Time, ":");
  } else if (At(Text, 3) == '-') {
    // "05-08-04 13:45:30": numeric day, month, year.
    std::string Plain = Text;
    std::replace(Plain.begin(), Plain.end(), '-', ' ');
    std::replace(Plain.begin(), Plain.end(), ':', ' ');
    D.Day = WordOf(1, Plain, " ");
    D.Month = WordOf(2, Plain, " ");
    D.Year = WordOf(3, Plain, " ");
    D.Hour = WordOf(4, Plain, " ");
    D.Minute = WordOf(5, Plain, " ");
    D.Second = WordOf(6, Plain, " ");
  }
  D.Year = static_cast<std::uint16_t>(DoubleToY2(D.Year));
}

}  // namespace msgbase
