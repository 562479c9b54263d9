#include "msgbase/date_time.h"

#include <time.h>

#include <cerrno>

#include <array>
#include <string_view>

namespace msgbase {

namespace {

constexpr std::array<std::string_view, 12> MonthNamesUpper{
    "JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
constexpr std::array<std::string_view, 12> MonthNames{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::string_view HexDigits = "0123456789abcdef";

// Julian day number of 1970-01-01, the Unix epoch.
constexpr std::int32_t UnixEpochJulian = 2440588;
constexpr std::int32_t SecondsPerDay = 86400;

constexpr std::array<std::uint32_t, 256> MakeCrc32Table() {
  std::array<std::uint32_t, 256> Table{};
  for (std::uint32_t I = 0; I < 256; ++I) {
    std::uint32_t Crc = I;
    for (int Bit = 0; Bit < 8; ++Bit) Crc = (Crc & 1u) != 0 ? (Crc >> 1) ^ 0xEDB88320u : Crc >> 1;
    Table[I] = Crc;
  }
  return Table;
}
constexpr std::array<std::uint32_t, 256> Crc32Table = MakeCrc32Table();
static_assert(Crc32Table[1] == 0x77073096u);

TClockSource ClockSource = DefaultClockSource;
std::uint32_t LastMsgId = 0;
std::uint32_t LastUnixTimeMsgId = 0;

// Keeps the low 32 bits of a wider intermediate, as the stored forms do.
std::int32_t Wrap32(std::int64_t Value) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(Value & 0xFFFFFFFF));
}

}  // namespace

void ClearMessageBaseDateTime(TMessageBaseDateTime& D) {
  D = TMessageBaseDateTime{};
}

bool IsRealMessageBaseDateTime(const TMessageBaseDateTime& D) {
  return D.Year >= 1980;
}

bool IsValidMessageBaseDateTime(const TMessageBaseDateTime& D) {
  return D.Year >= 1980 && D.Month >= 1 && D.Month <= 12 && D.Day >= 1 && D.Day <= 31 &&
         D.Hour <= 23 && D.Minute <= 59 && D.Second <= 59;
}

void DefaultClockSource(TMessageBaseDateTime& D) {
  // One reading for date and time, so a call at midnight cannot pair one
  // day's date with the next day's time.
  timespec Now{};
  ::clock_gettime(CLOCK_REALTIME, &Now);
  tm Local{};
  ::localtime_r(&Now.tv_sec, &Local);
  D.Year = static_cast<std::uint16_t>(Local.tm_year + 1900);
  D.Month = static_cast<std::uint16_t>(Local.tm_mon + 1);
  D.Day = static_cast<std::uint16_t>(Local.tm_mday);
  D.Hour = static_cast<std::uint16_t>(Local.tm_hour);
  D.Minute = static_cast<std::uint16_t>(Local.tm_min);
  // A leap second reads as 59, the range every stored form accepts.
  D.Second = static_cast<std::uint16_t>(Local.tm_sec > 59 ? 59 : Local.tm_sec);
  D.Sec100 = static_cast<std::uint16_t>(Now.tv_nsec / 10000000L);
}

void SetClockSource(TClockSource Source) {
  ClockSource = Source != nullptr ? Source : DefaultClockSource;
}

void GetCurrentMessageBaseDateTime(TMessageBaseDateTime& D) {
  ClockSource(D);
}

std::int32_t MessageBaseDateTimeCompare(const TMessageBaseDateTime& A,
                                        const TMessageBaseDateTime& B) {
  const std::array<std::uint16_t, 6> Left{A.Year, A.Month, A.Day, A.Hour, A.Minute, A.Second};
  const std::array<std::uint16_t, 6> Right{B.Year, B.Month, B.Day, B.Hour, B.Minute, B.Second};
  for (std::size_t I = 0; I < Left.size(); ++I) {
    if (Left[I] != Right[I]) return Left[I] < Right[I] ? -1 : 1;
  }
  return 0;
}

std::uint32_t MessageBaseDateTimeToDosDateTime(const TMessageBaseDateTime& D) {
  // 16-bit sums without masking: out-of-range fields carry into neighbours.
  const auto Date = static_cast<std::uint16_t>((D.Year - 1980) * 512 + D.Month * 32 + D.Day);
  const auto Time = static_cast<std::uint16_t>(D.Hour * 2048 + D.Minute * 32 + D.Second / 2);
  return static_cast<std::uint32_t>(Time) | (static_cast<std::uint32_t>(Date) << 16);
}

std::uint32_t MessageBaseDateTimeToMsgDateTime(const TMessageBaseDateTime& D) {
  // Every field but the month is cut to its width before shifting.
  const auto Date =
      static_cast<std::uint16_t>((D.Day & 31) + D.Month * 32 + ((D.Year - 1980) & 127) * 512);
  const auto Time = static_cast<std::uint16_t>(((D.Second / 2) & 31) + (D.Minute & 63) * 32 +
                                               (D.Hour & 31) * 2048);
  return static_cast<std::uint32_t>(Date) | (static_cast<std::uint32_t>(Time) << 16);
}

namespace {

constexpr long NanosPerHundredth = 10'000'000L;
constexpr long NanosPerSecond = 1'000'000'000L;

// A serial may not repeat, so a caller within the same hundredth (or second)
// waits for the clock to move on: one sleep for the time left until the
// real-time clock's next step of Step nanoseconds begins, after which the
// caller reads the clock again (so a wake-up a little early, or a clock that was
// set meanwhile, costs one more round, never a wrong serial). The sleep is
// measured on the monotonic clock: a real-time clock set back during it
// does not stretch it.
void SleepUntilNextStep(long Step) {
  timespec Now{};
  ::clock_gettime(CLOCK_REALTIME, &Now);
  timespec Left{0, Step - Now.tv_nsec % Step};
  if (Left.tv_nsec >= NanosPerSecond) {
    Left.tv_sec = Left.tv_nsec / NanosPerSecond;
    Left.tv_nsec %= NanosPerSecond;
  }
  while (::clock_nanosleep(CLOCK_MONOTONIC, 0, &Left, &Left) == EINTR) {
  }
}

void UnpackDate(std::uint16_t Date, TMessageBaseDateTime& D) {
  D.Day = static_cast<std::uint16_t>(Date & 31u);
  D.Month = static_cast<std::uint16_t>((Date >> 5) & 15u);
  D.Year = static_cast<std::uint16_t>((Date >> 9) + 1980u);
}

void UnpackTime(std::uint16_t Time, TMessageBaseDateTime& D) {
  D.Second = static_cast<std::uint16_t>((Time & 31u) * 2u);
  D.Minute = static_cast<std::uint16_t>((Time >> 5) & 63u);
  D.Hour = static_cast<std::uint16_t>(Time >> 11);
}

}  // namespace

void DosDateTimeToMessageBaseDateTime(std::uint32_t L, TMessageBaseDateTime& D) {
  UnpackTime(static_cast<std::uint16_t>(L & 0xFFFFu), D);
  UnpackDate(static_cast<std::uint16_t>(L >> 16), D);
}

void MsgDateTimeToMessageBaseDateTime(std::uint32_t L, TMessageBaseDateTime& D) {
  UnpackDate(static_cast<std::uint16_t>(L & 0xFFFFu), D);
  UnpackTime(static_cast<std::uint16_t>(L >> 16), D);
}

std::int32_t GregorianToJulian(const TMessageBaseDateTime& D) {
  std::int32_t Y = D.Year;
  std::int32_t M = D.Month;
  const std::int32_t Day = D.Day;
  if (M <= 2) {
    Y -= 1;
    M += 12;
  }
  M -= 3;  // March is month 0, so the leap day ends the counted year
  const std::int32_t K = Y / 100;
  const std::int32_t A = Y % 100;
  return (M * 153 + 2) / 5 + Day + 1721119 + (A * 1461) / 4 + (K * 146097) / 4;
}

void JulianToGregorian(std::int32_t J, std::uint16_t& Year, std::uint16_t& Month,
                       std::uint16_t& Day) {
  // 64-bit intermediates: a day number read from a damaged file must not
  // overflow; for every real date the results equal the 32-bit ones.
  std::int64_t T = (static_cast<std::int64_t>(J) - 1721119) * 4 - 1;
  const std::int64_t X = (T % 146097) | 3;
  const std::int64_t K = T / 146097;
  std::int64_t Y = X / 1461;
  T = ((X % 1461 + 4) / 4) * 5 - 3;
  std::int64_t M = T / 153;
  const std::int64_t D = (T % 153 + 5) / 5;
  if (M >= 10) {
    Y += 1;
    M -= 12;
  }
  M += 3;
  Year = static_cast<std::uint16_t>(K * 100 + Y);
  Month = static_cast<std::uint16_t>(M);
  Day = static_cast<std::uint16_t>(D);
}

std::int32_t MessageBaseDateTimeToUnixDateTime(const TMessageBaseDateTime& D) {
  const std::int64_t Days = static_cast<std::int64_t>(GregorianToJulian(D)) - UnixEpochJulian;
  return Wrap32(Days * SecondsPerDay + D.Hour * 3600 + D.Minute * 60 + D.Second);
}

void UnixDateTimeToMessageBaseDateTime(std::int32_t U, TMessageBaseDateTime& D) {
  JulianToGregorian(U / SecondsPerDay + UnixEpochJulian, D.Year, D.Month, D.Day);
  const std::int32_t R = U % SecondsPerDay;
  D.Hour = static_cast<std::uint16_t>(R / 3600);
  D.Minute = static_cast<std::uint16_t>((R % 3600) / 60);
  D.Second = static_cast<std::uint16_t>(R % 60);
}

std::string MonthNumberToMonthString(std::uint16_t M) {
  if (M < 1 || M > 12) return "???";
  return std::string(MonthNames[M - 1u]);
}

std::uint16_t MonthStringToMonthNumber(const std::string& S) {
  std::string Upper = S;
  for (char& Ch : Upper) {
    if (Ch >= 'a' && Ch <= 'z') Ch = static_cast<char>(Ch - 'a' + 'A');
  }
  for (std::size_t I = 0; I < MonthNamesUpper.size(); ++I) {
    if (Upper == MonthNamesUpper[I]) return static_cast<std::uint16_t>(I + 1);
  }
  return 0;
}

std::int32_t Y2ToDouble(std::int32_t Y) {
  return Y >= 2000 ? Y - 2000 : Y - 1900;
}

std::int32_t DoubleToY2(std::int32_t Y) {
  return Y <= 70 ? 2000 + Y : 1900 + Y;
}

std::string LongIntToHex(std::uint32_t L) {
  std::string Text(8, '0');
  for (std::size_t I = 8; I-- > 0; L >>= 4) Text[I] = HexDigits[L & 15u];
  return Text;
}

std::string GenerateMsgId() {
  std::uint32_t Value = 0;
  for (bool First = true;; First = false) {
    if (!First) SleepUntilNextStep(NanosPerHundredth);
    TMessageBaseDateTime Now;
    GetCurrentMessageBaseDateTime(Now);
    // A year of 355 days and months of 30: the serial need only grow with
    // time and differ, not be a calendar.
    const std::int64_t Seconds = (static_cast<std::int64_t>(Now.Year) + 10) * 355 * SecondsPerDay +
                                 static_cast<std::int64_t>(Now.Month) * 30 * SecondsPerDay +
                                 static_cast<std::int64_t>(Now.Day) * SecondsPerDay +
                                 Now.Hour * 3600 + Now.Minute * 60 + Now.Second;
    Value = (static_cast<std::uint32_t>(Seconds & 0xFFFFFFFF) << 7) | (Now.Sec100 & 127u);
    if (Value != LastMsgId) break;
  }
  LastMsgId = Value;
  return LongIntToHex(Value);
}

std::string GenerateUnixTimeMsgId() {
  std::uint32_t Value = 0;
  for (bool First = true;; First = false) {
    if (!First) SleepUntilNextStep(NanosPerSecond);
    TMessageBaseDateTime Now;
    GetCurrentMessageBaseDateTime(Now);
    Value = static_cast<std::uint32_t>(MessageBaseDateTimeToUnixDateTime(Now));
    if (Value != LastUnixTimeMsgId) break;
  }
  LastUnixTimeMsgId = Value;
  return LongIntToHex(Value);
}

void ResetMessageIdSerials() {
  LastMsgId = 0;
  LastUnixTimeMsgId = 0;
}

std::uint32_t UpdateCRC32(std::uint8_t B, std::uint32_t Crc) {
  return Crc32Table[(B ^ Crc) & 255u] ^ (Crc >> 8);
}

std::uint32_t StringCRC32(const std::string& S, std::uint32_t Crc) {
  for (const char Ch : S) Crc = UpdateCRC32(static_cast<std::uint8_t>(Ch), Crc);
  return Crc;
}

std::uint32_t PCharCRC32(const char* P, std::size_t Limit, std::uint32_t Crc) {
  for (std::size_t I = 0; I < Limit && P[I] != '\0'; ++I) {
    Crc = UpdateCRC32(static_cast<std::uint8_t>(P[I]), Crc);
  }
  return Crc;
}

char LoCase(char Ch) {
  return Ch >= 'A' && Ch <= 'Z' ? static_cast<char>(Ch - 'A' + 'a') : Ch;
}

}  // namespace msgbase
