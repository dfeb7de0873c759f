// The circular byte buffer: worked example, overrun rule, tides and edges.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "utils/circbuff.h"

using Ring = zor::CircBuff<unsigned char>;

namespace {

std::vector<unsigned char> bytes(int n, unsigned char first = 1) {
  std::vector<unsigned char> v(static_cast<std::size_t>(n));
  std::iota(v.begin(), v.end(), first);
  return v;
}

TEST(CircBuff, WorkedExampleOfCapacityEight) {
  Ring ring;
  ASSERT_TRUE(ring.create(8, false));
  EXPECT_EQ(ring.capacity(), 8);
  EXPECT_EQ(ring.lowTide(), 2);
  EXPECT_EQ(ring.highTide(), 6);

  auto data = bytes(8);
  EXPECT_TRUE(ring.put(data.data(), 5));
  EXPECT_EQ(ring.count(), 5);
  EXPECT_EQ(ring.freeSpace(), 3);
  EXPECT_FALSE(ring.aboveHighTide());
  EXPECT_FALSE(ring.belowLowTide());

  EXPECT_TRUE(ring.put(data.data() + 5, 2));
  EXPECT_EQ(ring.count(), 7);
  EXPECT_TRUE(ring.aboveHighTide());

  EXPECT_FALSE(ring.putByte(data[7]));
  EXPECT_TRUE(ring.takeOverrun());
  EXPECT_FALSE(ring.takeOverrun());
  EXPECT_EQ(ring.count(), 0);
  EXPECT_FALSE(ring.notEmpty());
  EXPECT_TRUE(ring.belowLowTide());
}

TEST(CircBuff, ZeroOrNegativeCapacityHasNoStorage) {
  for (int size : {0, -1, -100}) {
    Ring ring;
    EXPECT_FALSE(ring.create(size, false));
    EXPECT_EQ(ring.count(), 0);
    EXPECT_EQ(ring.freeSpace(), 0);
    // Calls without storage are reported and touch nothing.
    unsigned char b = 7, out[4] = {};
    EXPECT_FALSE(ring.putByte(b));
    EXPECT_FALSE(ring.put(out, 4));
    EXPECT_EQ(ring.get(out, 4), 0);
    EXPECT_EQ(ring.getByte(), 0);
    EXPECT_EQ(ring.peekByte(), 0);
    EXPECT_FALSE(ring.takeOverrun());
  }
  Ring unused;  // a default ring has no storage either
  EXPECT_EQ(unused.capacity(), 0);
  EXPECT_EQ(unused.freeSpace(), 0);
}

TEST(CircBuff, TidesAreAQuarterAndThreeQuartersAndCapacityOneAlwaysOverruns) {
  Ring big, small;
  ASSERT_TRUE(big.create(1024, false));
  EXPECT_EQ(big.lowTide(), 256);
  EXPECT_EQ(big.highTide(), 768);
  ASSERT_TRUE(small.create(3, false));
  EXPECT_EQ(small.lowTide(), 0);
  EXPECT_EQ(small.highTide(), 3);
  EXPECT_TRUE(small.belowLowTide());
  unsigned char b = 1;
  small.putByte(b);
  EXPECT_FALSE(small.belowLowTide());
  small.putByte(b);
  EXPECT_FALSE(small.aboveHighTide()) << "2 bytes is all a ring of 3 holds, below its high tide";
  Ring one;
  ASSERT_TRUE(one.create(1, false));
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(one.putByte(b));
    EXPECT_TRUE(one.takeOverrun());
    EXPECT_EQ(one.count(), 0);
  }
}

TEST(CircBuff, GetReturnsWhatIsThereAndEmptiesTheRing) {
  Ring ring;
  ASSERT_TRUE(ring.create(16, false));
  auto data = bytes(6, 10);
  ASSERT_TRUE(ring.put(data.data(), 6));
  EXPECT_EQ(ring.peekByte(), 10);
  EXPECT_EQ(ring.count(), 6);
  unsigned char out[32] = {};
  EXPECT_EQ(ring.get(out, 32), 6);
  EXPECT_EQ(std::vector<unsigned char>(out, out + 6), data);
  EXPECT_FALSE(ring.notEmpty());
  EXPECT_EQ(ring.get(out, 32), 0);
  EXPECT_EQ(ring.getByte(), 0);
}

TEST(CircBuff, WritingTheFreeSpaceOverrunsButOneLessDoesNot) {
  Ring ring;
  ASSERT_TRUE(ring.create(32, false));
  auto data = bytes(40);
  ASSERT_TRUE(ring.put(data.data(), 10));
  unsigned char out[8];
  ASSERT_EQ(ring.get(out, 4), 4);  // positions no longer start at 0

  int free = ring.freeSpace();
  EXPECT_TRUE(ring.put(data.data(), free - 1));
  EXPECT_FALSE(ring.takeOverrun());
  EXPECT_EQ(ring.count(), 31);

  ring.clear();
  ASSERT_TRUE(ring.put(data.data(), 3));
  EXPECT_FALSE(ring.put(data.data(), ring.freeSpace()));
  EXPECT_TRUE(ring.takeOverrun());
}

TEST(CircBuff, ClearKeepsStorageAndRecreateReplacesIt) {
  Ring ring;
  ASSERT_TRUE(ring.create(4, false));
  auto data = bytes(4);
  ring.put(data.data(), 4);  // overruns
  ring.clear();
  EXPECT_EQ(ring.capacity(), 4);
  EXPECT_FALSE(ring.takeOverrun());
  EXPECT_EQ(ring.count(), 0);
  EXPECT_TRUE(ring.put(data.data(), 3));
  EXPECT_EQ(ring.count(), 3);

  ring.destroy();
  EXPECT_EQ(ring.capacity(), 0);
  ASSERT_TRUE(ring.create(16, false));
  EXPECT_EQ(ring.capacity(), 16);
  EXPECT_EQ(ring.count(), 0);
}

TEST(CircBuff, ThrowsOverflowAndUnderflowWhenAsked) {
  Ring ring;
  ASSERT_TRUE(ring.create(4, true));
  unsigned char out[4];
  auto data = bytes(4);
  auto thrown = [](auto call) {
    try {
      call();
    } catch (Ring::CircBuffException e) {
      return static_cast<int>(e);
    }
    return -1;
  };
  EXPECT_EQ(thrown([&] { ring.getByte(); }), Ring::CB_UNDERFLOW);
  EXPECT_EQ(thrown([&] { ring.get(out, 4); }), Ring::CB_UNDERFLOW);
  EXPECT_EQ(thrown([&] { ring.peekByte(); }), Ring::CB_UNDERFLOW);
  EXPECT_EQ(thrown([&] { ring.put(data.data(), 4); }), Ring::CB_OVERFLOW);
  EXPECT_TRUE(ring.takeOverrun()) << "the overrun is remembered even when it throws";
}

TEST(CircBuff, WrapsAroundInOrder) {
  Ring ring;
  ASSERT_TRUE(ring.create(7, false));
  std::vector<unsigned char> got;
  unsigned char next = 0;
  // Bounded passes of uneven puts and gets carry the positions round many times.
  for (int pass = 0; pass < 50; ++pass) {
    int n = 1 + pass % 5;
    for (int i = 0; i < n && ring.freeSpace() > 1; ++i) {
      EXPECT_TRUE(ring.putByte(next));
      ++next;
    }
    unsigned char out[3];
    int k = ring.get(out, 1 + pass % 3);
    got.insert(got.end(), out, out + k);
  }
  unsigned char out[8];
  int k = ring.get(out, 8);
  got.insert(got.end(), out, out + k);
  ASSERT_EQ(got.size(), next);
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], static_cast<unsigned char>(i)) << i;
}

}  // namespace
