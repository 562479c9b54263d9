#include "msgbase/address.h"

#include <gtest/gtest.h>

namespace msgbase {
namespace {

// A record whose every field is distinct, to see which ones a parse writes.
constexpr TAddress Marked{11, 22, 33, 44};

void ExpectAddress(const TAddress& A, std::int16_t Zone, std::int16_t Net, std::int16_t Node,
                   std::int16_t Point) {
  EXPECT_EQ(Zone, A.Zone);
  EXPECT_EQ(Net, A.Net);
  EXPECT_EQ(Node, A.Node);
  EXPECT_EQ(Point, A.Point);
}

TEST(AddressTest, FullFormsReadAllFourParts) {
  TAddress A = Marked;
  EXPECT_TRUE(StrToAddress("2:5020/100", A));
  ExpectAddress(A, 2, 5020, 100, 0);
  EXPECT_TRUE(StrToAddress("2:5020/100.7", A));
  ExpectAddress(A, 2, 5020, 100, 7);
  A = Marked;
  EXPECT_TRUE(StrToAddress("2.5020:100/7", A));  // the separators' order does not matter
  ExpectAddress(A, 2, 5020, 100, 7);
  EXPECT_TRUE(StrToAddress("2:5020/100.5.7", A));  // words beyond the fourth are ignored
  ExpectAddress(A, 2, 5020, 100, 5);
}

TEST(AddressTest, DomainIsDropped) {
  TAddress A = Marked;
  EXPECT_TRUE(StrToAddress("2:5020/100.7@fidonet", A));
  ExpectAddress(A, 2, 5020, 100, 7);
  A = Marked;
  EXPECT_FALSE(StrToAddress("@fidonet", A));
  ExpectAddress(A, 11, 22, 33, 44);
  EXPECT_FALSE(StrToAddress("", A));
  ExpectAddress(A, 11, 22, 33, 44);
}

TEST(AddressTest, PartialFormsWriteOnlyTheirFields) {
  TAddress A = Marked;
  EXPECT_TRUE(StrToAddress("2:5020", A));
  ExpectAddress(A, 2, 5020, 33, 44);
  A = Marked;
  EXPECT_TRUE(StrToAddress("5020/100", A));
  ExpectAddress(A, 11, 5020, 100, 0);
  A = Marked;
  EXPECT_TRUE(StrToAddress(".7", A));
  ExpectAddress(A, 11, 22, 33, 7);
  A = Marked;
  EXPECT_TRUE(StrToAddress(".", A));
  ExpectAddress(A, 11, 22, 33, 0);
  A = Marked;
  EXPECT_TRUE(StrToAddress("100", A));
  ExpectAddress(A, 11, 22, 100, 0);
  A = Marked;
  EXPECT_TRUE(StrToAddress(":5020/100", A));
  ExpectAddress(A, 11, 5020, 100, 0);
  A = Marked;
  EXPECT_TRUE(StrToAddress("/100", A));
  ExpectAddress(A, 11, 22, 100, 0);
}

TEST(AddressTest, BadPartStopsTheParse) {
  TAddress A = Marked;
  EXPECT_FALSE(StrToAddress("2:5020/1x0", A));
  ExpectAddress(A, 2, 5020, 0, 44);
  A = Marked;
  EXPECT_FALSE(StrToAddress("x:5020/1", A));
  ExpectAddress(A, 0, 22, 33, 44);
}

TEST(AddressTest, LargeValuesWrapTo16Bits) {
  TAddress A;
  EXPECT_TRUE(StrToAddress("2:5020/40000", A));
  EXPECT_EQ(-25536, A.Node);
  EXPECT_EQ("2:5020/-25536.0", AddressToStr(A));
}

TEST(AddressTest, PrintingForms) {
  const TAddress Node{2, 5020, 100, 0};
  const TAddress Point{2, 5020, 100, 7};
  EXPECT_EQ("2:5020/100.0", AddressToStr(Node));
  EXPECT_EQ("2:5020/100", AddressToStrEx(Node));
  EXPECT_EQ("2:5020/100.7", AddressToStrEx(Point));
  EXPECT_EQ("2:5020/100", AddressToStrPointless(Point));
}

TEST(AddressTest, CompareIsSignedFieldByField) {
  EXPECT_EQ(-1, AddressCompare({1, 1, 1, 5}, {2, 1, 1, 0}));
  EXPECT_EQ(1, AddressCompare({2, 1, 1, 0}, {1, 1, 1, 5}));
  EXPECT_EQ(0, AddressCompare({2, 5020, 100, 7}, {2, 5020, 100, 7}));
  EXPECT_EQ(-1, AddressCompare({2, 5020, -1, 0}, {2, 5020, 1, 0}));
  EXPECT_EQ(1, AddressCompare({2, 5020, 100, 8}, {2, 5020, 100, 7}));
  EXPECT_TRUE(AddressEqu({1, 2, 3, 4}, {1, 2, 3, 4}));
  EXPECT_FALSE(AddressEqu({1, 2, 3, 4}, {1, 2, 3, 5}));
  TAddress A{1, 2, 3, 4};
  EXPECT_FALSE(IsCleanAddress(A));
  ClearAddress(A);
  EXPECT_TRUE(IsCleanAddress(A));
}

TEST(AddressTest, PatchFillsOnlyEmptyFlaggedFields) {
  TAddress Dst{0, 0, 100, 0};
  PatchAddress(15, {2, 5020, 1, 3}, Dst);
  ExpectAddress(Dst, 2, 5020, 100, 3);
  Dst = {0, 0, 0, 0};
  PatchAddress(apNet | apPoint | 0x100, {2, 5020, 1, 3}, Dst);
  ExpectAddress(Dst, 0, 5020, 0, 3);
}

TEST(AddressTest, RingHandsOutSixteenRecords) {
  TAddress& First = StrToAddressR("1:1/1");
  ExpectAddress(First, 1, 1, 1, 0);
  for (int I = 0; I < 15; ++I) EXPECT_NE(&First, &StrToAddressR("2:2/2"));
  TAddress& Seventeenth = StrToAddressR("5020/3");
  EXPECT_EQ(&First, &Seventeenth);
  ExpectAddress(Seventeenth, 0, 5020, 3, 0);  // cleared before the parse
}

}  // namespace
}  // namespace msgbase
