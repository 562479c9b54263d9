// On-disk layout of the *.msg directory base: the 190-byte stored-message
// header at the start of every message file, its attribute bits, the written
// date kept as text inside it, the file names and the lastread file. Shared by
// the base's writing and reading code. The whole format, with a dump of a
// small base, is described in docs/msg_format.md.
//
// A base is a directory; message n is the file "<n>.msg" (n from 1 to 32767,
// in decimal without leading zeros): the header, the text byte for byte, one
// terminating zero byte. "lastread" holds one unsigned 16-bit number per user.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "msgbase/date_time.h"

namespace msgbase {

// Message numbers run from 1 to this.
inline constexpr std::int32_t MaxFidoMessage = 32767;
// Tossers keep their high-water mark in 1.msg: they never export it and may
// write their mark over it. A new message is therefore never numbered this;
// a 1.msg that exists is read like any other message.
inline constexpr std::int32_t FidoHighWaterMessage = 1;
// Bits of the map of existing numbers (7680 bytes).
inline constexpr std::int32_t FidoMapBits = 61440;
inline constexpr std::size_t FidoMapBytes = FidoMapBits / 8;
// One bit for every number the map can hold.
using TNumberBits = std::array<std::uint8_t, FidoMapBytes>;
// Extension of message files and name of the lastread file.
inline constexpr const char* FidoMessageExtension = ".msg";
inline constexpr const char* FidoLastReadName = "lastread";
// Bytes of one lastread entry (entry u at offset 2 * u).
inline constexpr std::int32_t FidoLastReadEntrySize = 2;
// The largest message text this library holds in memory; a message file with
// a longer text is refused rather than read.
inline constexpr std::int32_t MaxFidoTextSize = 16 * 1024 * 1024;

// Attribute bits of the header.
inline constexpr std::uint16_t mhPrivate = 0x0001;
inline constexpr std::uint16_t mhCrash = 0x0002;
inline constexpr std::uint16_t mhReceived = 0x0004;
inline constexpr std::uint16_t mhSent = 0x0008;
inline constexpr std::uint16_t mhFileAttached = 0x0010;
inline constexpr std::uint16_t mhInTransit = 0x0020;
inline constexpr std::uint16_t mhOrphan = 0x0040;
inline constexpr std::uint16_t mhKillSent = 0x0080;
inline constexpr std::uint16_t mhLocal = 0x0100;
inline constexpr std::uint16_t mhHold = 0x0200;
// 0x0400 is never set or tested.
inline constexpr std::uint16_t mhFileRequest = 0x0800;
inline constexpr std::uint16_t mhReturnReceiptRequest = 0x1000;
inline constexpr std::uint16_t mhIsReturnReceipt = 0x2000;
inline constexpr std::uint16_t mhAuditRequest = 0x4000;
inline constexpr std::uint16_t mhUpdateRequest = 0x8000;

// The stored-message header. Text fields hold characters and a zero byte; the
// bytes after the zero are kept as the file held them. Zones and points are
// not here: they travel in the INTL, FMPT and TOPT control lines of the text.
struct TFidoHeader {
  static constexpr std::size_t Size = 190;

  std::array<char, 36> FromUserName{};  // at most 35 characters
  std::array<char, 36> ToUserName{};
  std::array<char, 72> Subject{};   // at most 71 characters
  std::array<char, 20> DateTime{};  // written date as text, see MakeFidoDateText
  std::uint16_t TimesRead = 0;      // 0 = unread
  std::int16_t DestNode = 0;
  std::int16_t OrigNode = 0;
  std::uint16_t Cost = 0;  // written as 0
  std::int16_t OrigNet = 0;
  std::int16_t DestNet = 0;
  std::uint32_t DateWritten = 0;  // packed, date half in the low 16 bits
  std::uint32_t DateArrived = 0;
  std::uint16_t ReplyTo = 0;  // number of the message this one answers
  std::uint16_t Attribute = 0;
  std::uint16_t NextReply = 0;
};

// The 190 stored bytes of H.
void EncodeFidoHeader(const TFidoHeader& H, std::span<std::uint8_t, TFidoHeader::Size> Out);
// H from stored bytes; false (H untouched) when Bytes holds fewer than 190.
[[nodiscard]] bool DecodeFidoHeader(std::span<const std::uint8_t> Bytes, TFidoHeader& H);

// The header bit of one library attribute constant (maPrivate ...
// maUpdateRequest); false for maScanned, combinations and unknown values.
[[nodiscard]] bool MapAttribute(std::int32_t Attribute, std::uint16_t& Bit);

// The 19-character written date: day, month name, two-digit year, two
// spaces, hours, minutes, seconds ("05 Aug 04  13:45:30").
[[nodiscard]] std::string MakeFidoDateText(const TMessageBaseDateTime& D);
// Reads a written-date text in any of the four layouts other software uses:
// day first with two spaces or one before the time, weekday first without
// seconds ("Thu 05 Aug 04 13:45"), or numeric day-month-year
// ("05-08-04 13:45:30"). Two-digit years become 1971..2070; a text in no known
// layout gives year 2000 and every other field 0. Sec100 is always 0.
void ParseFidoDateText(const std::string& Text, TMessageBaseDateTime& D);

// The text of a fixed field up to its first zero byte, or all of its bytes
// when it has none.
template <std::size_t N>
[[nodiscard]] std::string FixedFieldText(const std::array<char, N>& Field) {
  std::size_t Length = 0;
  while (Length < N && Field[Length] != '\0') ++Length;
  return std::string(Field.data(), Length);
}
// Stores the first N - 1 characters of S and a zero byte; the bytes after the
// zero keep their values.
template <std::size_t N>
void SetFixedFieldText(std::array<char, N>& Field, const std::string& S) {
  const std::size_t Length = S.size() < N - 1 ? S.size() : N - 1;
  for (std::size_t I = 0; I < Length; ++I) Field[I] = S[I];
  Field[Length] = '\0';
}

}  // namespace msgbase
