#include "msgbase/date_time.h"

#include <gtest/gtest.h>

#include <set>

namespace msgbase {
namespace {

TMessageBaseDateTime MakeDate(std::uint16_t Year, std::uint16_t Month, std::uint16_t Day,
                              std::uint16_t Hour = 0, std::uint16_t Minute = 0,
                              std::uint16_t Second = 0, std::uint16_t Sec100 = 0) {
  TMessageBaseDateTime D;
  D.Year = Year;
  D.Month = Month;
  D.Day = Day;
  D.Hour = Hour;
  D.Minute = Minute;
  D.Second = Second;
  D.Sec100 = Sec100;
  return D;
}

void ExpectSameDate(const TMessageBaseDateTime& Expected, const TMessageBaseDateTime& Actual) {
  EXPECT_EQ(Expected.Year, Actual.Year);
  EXPECT_EQ(Expected.Month, Actual.Month);
  EXPECT_EQ(Expected.Day, Actual.Day);
  EXPECT_EQ(Expected.Hour, Actual.Hour);
  EXPECT_EQ(Expected.Minute, Actual.Minute);
  EXPECT_EQ(Expected.Second, Actual.Second);
  EXPECT_EQ(Expected.Sec100, Actual.Sec100);
}

// A replayable clock: each reading hands out the next entry, repeating the last.
std::vector<TMessageBaseDateTime> ClockReadings;
std::size_t ClockNext = 0;
void ReplayClock(TMessageBaseDateTime& D) {
  D = ClockReadings[std::min(ClockNext, ClockReadings.size() - 1)];
  ++ClockNext;
}

class DateTimeClockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetMessageIdSerials();
    ClockNext = 0;
  }
  void TearDown() override {
    SetClockSource(nullptr);
    ResetMessageIdSerials();
  }
};

TEST(DateTimeTest, UnixSecondsBothWays) {
  TMessageBaseDateTime D = MakeDate(1970, 1, 1);
  EXPECT_EQ(0, MessageBaseDateTimeToUnixDateTime(D));
  EXPECT_EQ(1078056000, MessageBaseDateTimeToUnixDateTime(MakeDate(2004, 2, 29, 12)));
  TMessageBaseDateTime Back = MakeDate(1999, 9, 9, 9, 9, 9, 42);
  UnixDateTimeToMessageBaseDateTime(1078056000, Back);
  ExpectSameDate(MakeDate(2004, 2, 29, 12, 0, 0, 42), Back);  // Sec100 untouched
  UnixDateTimeToMessageBaseDateTime(0, Back);
  ExpectSameDate(MakeDate(1970, 1, 1, 0, 0, 0, 42), Back);
}

TEST(DateTimeTest, JulianDayNumbers) {
  EXPECT_EQ(2451545, GregorianToJulian(MakeDate(2000, 1, 1)));
  EXPECT_EQ(2440588, GregorianToJulian(MakeDate(1970, 1, 1)));
  std::uint16_t Year = 0, Month = 0, Day = 0;
  JulianToGregorian(2451545, Year, Month, Day);
  EXPECT_EQ(2000, Year);
  EXPECT_EQ(1, Month);
  EXPECT_EQ(1, Day);
}

TEST(DateTimeTest, EveryDaySurvivesTheJulianRoundTrip) {
  std::int32_t Previous = GregorianToJulian(MakeDate(1900, 2, 28));
  const std::int32_t Last = GregorianToJulian(MakeDate(2200, 12, 31));
  for (std::int32_t J = GregorianToJulian(MakeDate(1900, 3, 1)); J <= Last; ++J) {
    std::uint16_t Year = 0, Month = 0, Day = 0;
    JulianToGregorian(J, Year, Month, Day);
    const std::int32_t Again = GregorianToJulian(MakeDate(Year, Month, Day));
    ASSERT_EQ(J, Again) << Year << "-" << Month << "-" << Day;
    ASSERT_EQ(Previous + 1, Again);
    Previous = Again;
  }
}

TEST(DateTimeTest, JulianOfAbsurdDayNumbersDoesNotOverflow) {
  std::uint16_t Year = 0, Month = 0, Day = 0;
  JulianToGregorian(INT32_MAX, Year, Month, Day);
  JulianToGregorian(INT32_MIN, Year, Month, Day);
  SUCCEED();  // the sanitizer build fails here on signed overflow
}

TEST(DateTimeTest, PackedStampsInBothOrders) {
  const TMessageBaseDateTime D = MakeDate(2004, 8, 11, 13, 45, 30);
  EXPECT_EQ(0x310B6DAFu, MessageBaseDateTimeToDosDateTime(D));
  EXPECT_EQ(0x6DAF310Bu, MessageBaseDateTimeToMsgDateTime(D));
  TMessageBaseDateTime Back = MakeDate(1, 1, 1, 1, 1, 1, 77);
  DosDateTimeToMessageBaseDateTime(0x310B6DAF, Back);
  ExpectSameDate(MakeDate(2004, 8, 11, 13, 45, 30, 77), Back);
  Back = MakeDate(1, 1, 1, 1, 1, 1, 77);
  MsgDateTimeToMessageBaseDateTime(0x6DAF310B, Back);
  ExpectSameDate(MakeDate(2004, 8, 11, 13, 45, 30, 77), Back);
}

TEST(DateTimeTest, PackingLosesTheOddSecond) {
  TMessageBaseDateTime Back;
  DosDateTimeToMessageBaseDateTime(
      MessageBaseDateTimeToDosDateTime(MakeDate(2004, 8, 11, 1, 2, 31)), Back);
  EXPECT_EQ(30, Back.Second);
}

TEST(DateTimeTest, PackersTreatOutOfRangeFieldsDifferently) {
  // Minute 64: the DOS packer carries into the hour, the *.msg packer masks.
  const TMessageBaseDateTime D = MakeDate(2004, 8, 11, 1, 64, 0);
  EXPECT_EQ(2u * 2048u, MessageBaseDateTimeToDosDateTime(D) & 0xFFFFu);
  EXPECT_EQ(1u * 2048u, MessageBaseDateTimeToMsgDateTime(D) >> 16);
}

TEST(DateTimeTest, ValidityAndComparison) {
  EXPECT_TRUE(IsValidMessageBaseDateTime(MakeDate(2004, 2, 31)));  // days not checked per month
  EXPECT_FALSE(IsValidMessageBaseDateTime(MakeDate(1979, 12, 31)));
  EXPECT_FALSE(IsValidMessageBaseDateTime(MakeDate(2004, 13, 1)));
  EXPECT_FALSE(IsValidMessageBaseDateTime(MakeDate(2004, 1, 1, 24)));
  EXPECT_TRUE(IsRealMessageBaseDateTime(MakeDate(1980, 0, 0)));
  EXPECT_EQ(0, MessageBaseDateTimeCompare(MakeDate(2004, 1, 1, 0, 0, 0, 1),
                                          MakeDate(2004, 1, 1, 0, 0, 0, 99)));
  EXPECT_EQ(-1, MessageBaseDateTimeCompare(MakeDate(2004, 1, 1), MakeDate(2004, 1, 2)));
  EXPECT_EQ(1, MessageBaseDateTimeCompare(MakeDate(2005, 1, 1), MakeDate(2004, 12, 31, 23)));
  TMessageBaseDateTime D = MakeDate(2004, 1, 1, 1, 1, 1, 1);
  ClearMessageBaseDateTime(D);
  ExpectSameDate(TMessageBaseDateTime{}, D);
}

TEST(DateTimeTest, MonthNamesAndTwoDigitYears) {
  EXPECT_EQ(8, MonthStringToMonthNumber("aug"));
  EXPECT_EQ(0, MonthStringToMonthNumber("Augu"));
  EXPECT_EQ(0, MonthStringToMonthNumber("JANUARY"));
  EXPECT_EQ("Aug", MonthNumberToMonthString(8));
  EXPECT_EQ("???", MonthNumberToMonthString(13));
  EXPECT_EQ("???", MonthNumberToMonthString(0));
  EXPECT_EQ(2070, DoubleToY2(70));
  EXPECT_EQ(1971, DoubleToY2(71));
  EXPECT_EQ(99, Y2ToDouble(1999));
  EXPECT_EQ(4, Y2ToDouble(2004));
  EXPECT_EQ("0000abcd", LongIntToHex(0xABCD));
}

TEST_F(DateTimeClockTest, MsgIdFromAnInjectedClock) {
  ClockReadings = {MakeDate(2004, 8, 11, 12, 0, 0, 0), MakeDate(2004, 8, 11, 12, 0, 0, 1)};
  SetClockSource(ReplayClock);
  EXPECT_EQ("a37c2000", GenerateMsgId());
  EXPECT_EQ("a37c2001", GenerateMsgId());
}

TEST_F(DateTimeClockTest, MsgIdWaitsForTheClockToMoveOn) {
  // Three equal readings before the hundredths change: the second identifier
  // comes from the fourth reading.
  ClockReadings = {MakeDate(2004, 8, 11, 12, 0, 0, 0), MakeDate(2004, 8, 11, 12, 0, 0, 0),
                   MakeDate(2004, 8, 11, 12, 0, 0, 0), MakeDate(2004, 8, 11, 12, 0, 0, 5)};
  SetClockSource(ReplayClock);
  EXPECT_EQ("a37c2000", GenerateMsgId());
  EXPECT_EQ("a37c2005", GenerateMsgId());
  EXPECT_EQ(4u, ClockNext);
}

TEST_F(DateTimeClockTest, UnixTimeMsgIdFromAnInjectedClock) {
  ClockReadings = {MakeDate(2004, 2, 29, 12), MakeDate(2004, 2, 29, 12, 0, 0, 50),
                   MakeDate(2004, 2, 29, 12, 0, 1)};
  SetClockSource(ReplayClock);
  EXPECT_EQ(LongIntToHex(1078056000), GenerateUnixTimeMsgId());
  EXPECT_EQ(LongIntToHex(1078056001), GenerateUnixTimeMsgId());
  EXPECT_EQ(3u, ClockNext);
}

// Counts the readings of the real clock.
std::size_t RealReadings = 0;
void CountingRealClock(TMessageBaseDateTime& D) {
  ++RealReadings;
  DefaultClockSource(D);
}

TEST_F(DateTimeClockTest, WaitForTheNextHundredthSleepsOnce) {
  // Back-to-back serials each wait for a new hundredth. Sleeping until it
  // begins takes two readings (one to find the repeat, one after the sleep);
  // three allows for a late wake-up. Polling took dozens.
  RealReadings = 0;
  SetClockSource(CountingRealClock);
  constexpr std::size_t Calls = 30;
  std::set<std::string> Seen;
  for (std::size_t I = 0; I < Calls; ++I) EXPECT_TRUE(Seen.insert(GenerateMsgId()).second);
  EXPECT_LE(RealReadings, 3 * Calls);
}

TEST_F(DateTimeClockTest, RealClockIdsNeverRepeat) {
  std::set<std::string> Seen;
  for (int I = 0; I < 20; ++I) EXPECT_TRUE(Seen.insert(GenerateMsgId()).second);
  TMessageBaseDateTime Now;
  GetCurrentMessageBaseDateTime(Now);
  EXPECT_TRUE(IsValidMessageBaseDateTime(Now));
  EXPECT_LT(Now.Sec100, 100);
}

TEST(DateTimeTest, Crc32) {
  EXPECT_EQ(0x12345678u, StringCRC32("", 0x12345678u));
  EXPECT_EQ(0xCBF43926u, ~StringCRC32("123456789", 0xFFFFFFFFu));
  const char Text[] = "123456789\0garbage";
  EXPECT_EQ(0xCBF43926u, ~PCharCRC32(Text, sizeof(Text), 0xFFFFFFFFu));
  EXPECT_EQ(0xCBF43926u, ~PCharCRC32("1234567890", 9, 0xFFFFFFFFu));  // bounded by Limit
  EXPECT_EQ(0x77073096u, UpdateCRC32(1, 0));
}

TEST(DateTimeTest, LoCaseFoldsOnlyAsciiLetters) {
  EXPECT_EQ('a', LoCase('A'));
  EXPECT_EQ('[', LoCase('['));
  EXPECT_EQ('\xC4', LoCase('\xC4'));
}

}  // namespace
}  // namespace msgbase
