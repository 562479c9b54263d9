// Dates, message identifiers and CRC-32. TMessageBaseDateTime is the one date
// record the abstract base exchanges with every format; this unit converts it
// to and from every stored form (packed DOS and *.msg stamps, Julian day
// numbers, Unix seconds). All dates are local wall-clock time: nothing converts
// between time zones, and Unix seconds count from 1970-01-01 00:00 of the
// local clock. The converters do not reject out-of-range fields; callers that
// need a sound date check it with IsValidMessageBaseDateTime first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace msgbase {

struct TMessageBaseDateTime {
  std::uint16_t Hour = 0;
  std::uint16_t Minute = 0;
  std::uint16_t Second = 0;
  std::uint16_t Sec100 = 0;
  std::uint16_t Day = 0;
  std::uint16_t Month = 0;
  std::uint16_t Year = 0;  // full year
};

void ClearMessageBaseDateTime(TMessageBaseDateTime& D);
// Year 1980 or later.
[[nodiscard]] bool IsRealMessageBaseDateTime(const TMessageBaseDateTime& D);
// Year >= 1980, Month 1..12, Day 1..31 (not checked against the month),
// Hour <= 23, Minute <= 59, Second <= 59; Sec100 may hold anything.
[[nodiscard]] bool IsValidMessageBaseDateTime(const TMessageBaseDateTime& D);

// The clock: fills all seven fields with the local date and time. Tests
// inject their own clock with SetClockSource to make dates and message
// identifiers deterministic; nullptr restores DefaultClockSource
// (clock_gettime and localtime_r).
using TClockSource = void (*)(TMessageBaseDateTime& D);
void DefaultClockSource(TMessageBaseDateTime& D);
void SetClockSource(TClockSource Source);
void GetCurrentMessageBaseDateTime(TMessageBaseDateTime& D);

// -1, 0 or 1 comparing Year, Month, Day, Hour, Minute, Second (Sec100 ignored).
[[nodiscard]] std::int32_t MessageBaseDateTimeCompare(const TMessageBaseDateTime& A,
                                                      const TMessageBaseDateTime& B);

// Packed stamps: date half = Day | Month << 5 | (Year - 1980) << 9, time half
// = Second / 2 | Minute << 5 | Hour << 11.
// DOS order: time half in the low 16 bits. Fields are not masked, so
// out-of-range values carry into their neighbours.
[[nodiscard]] std::uint32_t MessageBaseDateTimeToDosDateTime(const TMessageBaseDateTime& D);
// Stored-message order: date half in the low 16 bits. Every field but the
// month is masked to its width.
[[nodiscard]] std::uint32_t MessageBaseDateTimeToMsgDateTime(const TMessageBaseDateTime& D);
// The unpackers fill the six date and time fields (Second comes back even) and
// leave Sec100 as it was.
void DosDateTimeToMessageBaseDateTime(std::uint32_t L, TMessageBaseDateTime& D);
void MsgDateTimeToMessageBaseDateTime(std::uint32_t L, TMessageBaseDateTime& D);

// Julian day number of D's date (2000-01-01 is 2451545), and its inverse.
[[nodiscard]] std::int32_t GregorianToJulian(const TMessageBaseDateTime& D);
void JulianToGregorian(std::int32_t J, std::uint16_t& Year, std::uint16_t& Month,
                       std::uint16_t& Day);
// Seconds since 1970-01-01 00:00:00 local, in 32-bit arithmetic; only values
// from 0 upward give meaningful dates. The reverse leaves Sec100 as it was.
[[nodiscard]] std::int32_t MessageBaseDateTimeToUnixDateTime(const TMessageBaseDateTime& D);
void UnixDateTimeToMessageBaseDateTime(std::int32_t U, TMessageBaseDateTime& D);

// "Jan".."Dec" for 1..12, "???" otherwise.
[[nodiscard]] std::string MonthNumberToMonthString(std::uint16_t M);
// 1..12 when S, upper-cased, is exactly "JAN".."DEC"; otherwise 0.
[[nodiscard]] std::uint16_t MonthStringToMonthNumber(const std::string& S);
// Four digits to two (2004 -> 4, 1999 -> 99) and two to four (70 -> 2070,
// 71 -> 1971).
[[nodiscard]] std::int32_t Y2ToDouble(std::int32_t Y);
[[nodiscard]] std::int32_t DoubleToY2(std::int32_t Y);
// Exactly 8 lower-case hexadecimal digits.
[[nodiscard]] std::string LongIntToHex(std::uint32_t L);

// The serial of a MSGID line, 8 hexadecimal digits, built from the local date
// and time with the hundredths in the low 7 bits. Never returns the value it
// returned last: while the clock gives that value it sleeps until the next
// hundredth begins and reads it again, so an injected clock must move on
// between calls.
[[nodiscard]] std::string GenerateMsgId();
// 8 hexadecimal digits of the current Unix time; waits for the next second
// rather than repeat its last value.
[[nodiscard]] std::string GenerateUnixTimeMsgId();
// Forgets the serials handed out so far (for tests that replay a clock).
void ResetMessageIdSerials();

// Reflected CRC-32 (polynomial 0xEDB88320). None of these sets a start value or
// inverts the result: the caller passes 0xFFFFFFFF for the standard CRC and
// inverts at the end.
[[nodiscard]] std::uint32_t UpdateCRC32(std::uint8_t B, std::uint32_t Crc);
[[nodiscard]] std::uint32_t StringCRC32(const std::string& S, std::uint32_t Crc);
// Folds the bytes of P up to its terminating zero (or Limit bytes).
[[nodiscard]] std::uint32_t PCharCRC32(const char* P, std::size_t Limit, std::uint32_t Crc);
// 'A'..'Z' to 'a'..'z'; every other byte unchanged.
[[nodiscard]] char LoCase(char Ch);

}  // namespace msgbase
