#include "encode/dyn_array.h"

#include <gtest/gtest.h>

#include <string>

namespace vellumar {
namespace {

TEST(DynArrayTest, InsertAppendsAndPositionsStartAtOne) {
  TStrDynArray A;
  EXPECT_EQ(0, A.Count());
  ASSERT_TRUE(A.Insert("one"));
  ASSERT_TRUE(A.Insert("two"));
  EXPECT_EQ(2, A.Count());
  EXPECT_EQ("one", A.At(1));
  EXPECT_EQ("two", A.At(2));
}

TEST(DynArrayTest, InsertAtPlacesFirstMiddleAndLast) {
  TWordDynArray A;
  ASSERT_TRUE(A.Insert(2));
  ASSERT_TRUE(A.InsertAt(1, 1));
  ASSERT_TRUE(A.InsertAt(3, 4));
  ASSERT_TRUE(A.InsertAt(3, 3));
  ASSERT_EQ(4, A.Count());
  for (std::uint16_t I = 1; I <= 4; ++I) EXPECT_EQ(I, A.At(I));
  EXPECT_FALSE(A.InsertAt(0, 9));
  EXPECT_FALSE(A.InsertAt(6, 9));
  EXPECT_EQ(4, A.Count());
}

TEST(DynArrayTest, DeleteClosesTheGap) {
  TStrDynArray A;
  for (const char* S : {"a", "b", "c"}) ASSERT_TRUE(A.Insert(S));
  A.Delete(3);
  A.Delete(9);
  A.Delete(0);
  ASSERT_EQ(2, A.Count());
  A.Delete(1);
  EXPECT_EQ("b", A.At(1));
  A.Delete(1);
  EXPECT_EQ(0, A.Count());
}

TEST(DynArrayTest, PopFirstTakesFromTheFront) {
  TStrDynArray A;
  for (const char* S : {"a", "b"}) ASSERT_TRUE(A.Insert(S));
  EXPECT_EQ("a", A.PopFirst());
  EXPECT_EQ("b", A.PopFirst());
  EXPECT_EQ("", A.PopFirst());
  EXPECT_EQ(0, A.Count());
}

TEST(DynArrayTest, OutsidePositionsGiveEmptyValues) {
  TStrDynArray S;
  TWordDynArray W;
  EXPECT_EQ("", S.At(1));
  EXPECT_EQ(0, W.At(0));
  ASSERT_TRUE(W.Insert(7));
  EXPECT_EQ(0, W.At(2));
}

TEST(DynArrayTest, TextsAreCutTo255) {
  TStrDynArray A;
  const std::string Exact(255, 'x');
  ASSERT_TRUE(A.Insert(Exact));
  ASSERT_TRUE(A.InsertAt(1, Exact + "overflow"));
  EXPECT_EQ(Exact, A.At(1));
  EXPECT_EQ(Exact, A.At(2));
}

TEST(DynArrayTest, FullArrayRefusesWithoutWrapping) {
  TWordDynArray A;
  for (std::uint32_t I = 0; I < 65535; ++I) ASSERT_TRUE(A.Insert(static_cast<std::uint16_t>(I)));
  EXPECT_EQ(65535, A.Count());
  EXPECT_FALSE(A.Insert(1));
  EXPECT_FALSE(A.InsertAt(1, 1));
  EXPECT_EQ(65535, A.Count());
  EXPECT_EQ(0, A.At(1));
  EXPECT_EQ(65534, A.At(65535));
}

}  // namespace
}  // namespace vellumar
