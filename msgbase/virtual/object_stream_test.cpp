#include "msgbase/virtual/object_stream.h"

#include <gtest/gtest.h>

#include <array>

#include "testing/test_support.h"

namespace msgbase {
namespace {

using testing_support::TBytes;

TEST(ObjectStreamTest, WriteSeekReadRoundTrip) {
  TMemoryStream S;
  const std::array<std::uint8_t, 5> In{1, 2, 3, 4, 5};
  S.Write(In.data(), 5);
  EXPECT_EQ(S.GetPos(), 5);
  EXPECT_EQ(S.GetSize(), 5);
  S.Seek(1);
  std::array<std::uint8_t, 3> Out{};
  S.Read(Out.data(), 3);
  EXPECT_EQ(Out, (std::array<std::uint8_t, 3>{2, 3, 4}));
  EXPECT_EQ(S.GetPos(), 4);
  EXPECT_EQ(S.GetStatus(), tsOk);
}

TEST(ObjectStreamTest, WriteBeyondEndFillsGapWithZeros) {
  TMemoryStream S;
  S.Seek(3);
  const std::uint8_t B = 0xAB;
  S.Write(&B, 1);
  EXPECT_BYTES_EQ((TBytes{0, 0, 0, 0xAB}), S.GetBytes());
}

TEST(ObjectStreamTest, ReadPastEndZeroFillsAndStaysFailedUntilReset) {
  TMemoryStream S;
  const std::array<std::uint8_t, 2> In{7, 8};
  S.Write(In.data(), 2);
  S.Seek(1);
  std::array<std::uint8_t, 4> Out{0xFF, 0xFF, 0xFF, 0xFF};
  S.Read(Out.data(), 4);
  EXPECT_EQ(Out, (std::array<std::uint8_t, 4>{8, 0, 0, 0}));
  EXPECT_EQ(S.GetStatus(), tsReadError);
  // Sticky: a write does nothing and the position is unknown.
  S.Write(In.data(), 2);
  EXPECT_EQ(S.GetPos(), -1);
  EXPECT_EQ(S.GetSize(), -1);
  S.Reset();
  EXPECT_EQ(S.GetStatus(), tsOk);
  EXPECT_EQ(S.GetSize(), 2);
}

TEST(ObjectStreamTest, LimitedStreamRefusesWritesPastItsLimit) {
  TMemoryStream S(4);
  const std::array<std::uint8_t, 3> In{1, 2, 3};
  S.Write(In.data(), 3);
  EXPECT_EQ(S.GetStatus(), tsOk);
  S.Write(In.data(), 3);
  EXPECT_EQ(S.GetStatus(), tsWriteError);
  S.Reset();
  EXPECT_BYTES_EQ((TBytes{1, 2, 3}), S.GetBytes());
}

TEST(ObjectStreamTest, TruncateAndNegativeSeek) {
  TMemoryStream S;
  const std::array<std::uint8_t, 4> In{1, 2, 3, 4};
  S.Write(In.data(), 4);
  S.Seek(2);
  S.Truncate();
  EXPECT_BYTES_EQ((TBytes{1, 2}), S.GetBytes());
  S.Seek(-1);
  EXPECT_EQ(S.GetStatus(), tsSeekError);
}

}  // namespace
}  // namespace msgbase
