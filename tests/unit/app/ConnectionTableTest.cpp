#include <gtest/gtest.h>

#include "app/ConnectionTable.h"

namespace {

struct Conn {
  int id;
};

TEST(ConnectionTable, The129thIsRefusedAndTheFirst128Kept) {
  ConnectionTable<Conn> t;
  static Conn conns[129];
  for (int i = 0; i < 128; i++) ASSERT_TRUE(t.Register(&conns[i])) << i;
  EXPECT_FALSE(t.Register(&conns[128]));
  EXPECT_EQ(t.Count(), 128);
  EXPECT_EQ(t.At(0), &conns[0]);
  EXPECT_EQ(t.At(127), &conns[127]);
  EXPECT_FALSE(t.Contains(&conns[128]));
}

TEST(ConnectionTable, RemovingTheMiddleOneKeepsTheRestPacked) {
  ConnectionTable<Conn> t;
  Conn a{1}, b{2}, c{3};
  t.Register(&a);
  t.Register(&b);
  t.Register(&c);
  EXPECT_EQ(t.Deregister(&b), ConnectionTable<Conn>::Removed::SomeLeft);
  EXPECT_EQ(t.At(0), &a);
  EXPECT_EQ(t.At(1), &c);
  EXPECT_EQ(t.At(2), nullptr);
  EXPECT_EQ(t.Deregister(&b), ConnectionTable<Conn>::Removed::NotFound);
  EXPECT_EQ(t.Deregister(&a), ConnectionTable<Conn>::Removed::SomeLeft);
  EXPECT_EQ(t.Deregister(&c), ConnectionTable<Conn>::Removed::NowEmpty);
  EXPECT_EQ(t.Deregister(nullptr), ConnectionTable<Conn>::Removed::NotFound);
}

TEST(ConnectionTable, AFullTableLosesItsLastEntryCleanly) {
  ConnectionTable<Conn> t;
  static Conn conns[128];
  for (auto& c : conns) t.Register(&c);
  EXPECT_EQ(t.Deregister(&conns[127]), ConnectionTable<Conn>::Removed::SomeLeft);
  EXPECT_EQ(t.At(127), nullptr);
  EXPECT_EQ(t.Deregister(&conns[0]), ConnectionTable<Conn>::Removed::SomeLeft);
  EXPECT_EQ(t.At(0), &conns[1]);
  EXPECT_EQ(t.At(125), &conns[126]);
  EXPECT_EQ(t.Count(), 126);
  EXPECT_TRUE(t.Register(&conns[0]));
  EXPECT_EQ(t.At(126), &conns[0]);
}

}  // namespace
