// Support services: memory blocks, critical reports, version strings, and the
// circular byte buffer (worked example, overrun rule, tides and edges).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "utils/circbuff.h"
#include "zor/support/support.h"

using Ring = zor::CircBuff<unsigned char>;

namespace {

TEST(Memory, FlagEightGivesZeroedBlocks) {
  constexpr unsigned long kSize = 4096;
  auto* block = static_cast<unsigned char*>(zor::_utlMemAlloc(8, kSize));
  ASSERT_NE(block, nullptr);
  for (unsigned long i = 0; i < kSize; ++i) ASSERT_EQ(block[i], 0) << i;
  std::memset(block, 0xAB, kSize);
  EXPECT_TRUE(zor::_utlMemFree(0, block));
  EXPECT_FALSE(zor::_utlMemFree(0, nullptr));
}

TEST(Reports, OneLineWithExpressionFileLineAndBuildStamp) {
  testing::internal::CaptureStderr();
  zor::criticalAssert("m_buffer != NULL", "utils\\circbuff", 249, "Jan  1 2026", "12:34:56");
  zor::criticalMemoryError("m_ioLock", "zor\\core\\device", 42, "Jan  2 2026", "01:02:03");
  std::string err = testing::internal::GetCapturedStderr();
  auto nl = err.find('\n');
  ASSERT_NE(nl, std::string::npos);
  std::string first = err.substr(0, nl), second = err.substr(nl + 1);
  for (const char* part : {"assert", "m_buffer != NULL", "utils\\circbuff", "249", "Jan  1 2026", "12:34:56"})
    EXPECT_NE(first.find(part), std::string::npos) << part;
  for (const char* part : {"memory", "m_ioLock", "zor\\core\\device", "42", "Jan  2 2026", "01:02:03"})
    EXPECT_NE(second.find(part), std::string::npos) << part;
  ASSERT_FALSE(second.empty());
  EXPECT_EQ(second.find('\n'), second.size() - 1) << "one line each";

  testing::internal::CaptureStderr();
  zor::criticalAssert(nullptr, nullptr, 0, nullptr, nullptr);  // reports, does not crash
  EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
}

TEST(FileVersion, VersionAndUnknownCodes) {
  zor::CUtlFileVer ver(nullptr);
  std::string out;
  std::string version = ver.GetString(zor::CUtlFileVer::FileVersion, out);
  EXPECT_THAT(version, testing::MatchesRegex("[0-9]+\\.[0-9]+\\.[0-9]+"));
  EXPECT_EQ(out, version);
  EXPECT_STRNE(ver.GetString(zor::CUtlFileVer::LegalCopyright, out), "");
  EXPECT_STREQ(ver.GetString(static_cast<zor::CUtlFileVer::StringCode>(99), out), "");
}

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
  // The eighth byte overruns: the ring empties and says so once.
  EXPECT_FALSE(ring.putByte(data[7]));
  EXPECT_TRUE(ring.takeOverrun());
  EXPECT_FALSE(ring.takeOverrun());
  EXPECT_EQ(ring.count(), 0);
  EXPECT_FALSE(ring.notEmpty());
  EXPECT_TRUE(ring.belowLowTide());

  // A get takes what is there, and no more.
  ASSERT_TRUE(ring.put(data.data(), 6));
  EXPECT_EQ(ring.peekByte(), 1);
  unsigned char out[32] = {};
  EXPECT_EQ(ring.get(out, 32), 6);
  EXPECT_EQ(std::vector<unsigned char>(out, out + 6), bytes(6));
  EXPECT_FALSE(ring.notEmpty());
  EXPECT_EQ(ring.get(out, 32), 0);
  EXPECT_EQ(ring.getByte(), 0);
}

TEST(CircBuff, EdgeCapacities) {
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

  // Tiny rings keep their tides; one of capacity 1 always overruns.
  Ring small, one;
  ASSERT_TRUE(small.create(3, false));
  EXPECT_EQ(small.lowTide(), 0);
  EXPECT_EQ(small.highTide(), 3);
  EXPECT_TRUE(small.belowLowTide());
  unsigned char b = 1;
  small.putByte(b);
  EXPECT_FALSE(small.belowLowTide());
  small.putByte(b);
  EXPECT_FALSE(small.aboveHighTide()) << "2 bytes is all a ring of 3 holds, below its high tide";
  ASSERT_TRUE(one.create(1, false));
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(one.putByte(b));
    EXPECT_TRUE(one.takeOverrun());
    EXPECT_EQ(one.count(), 0);
  }
}

// Filling the free space overruns (one less does not: the queue model below);
// clear keeps the storage, and recreating replaces it.
TEST(CircBuff, WritingTheFreeSpaceOverrunsAndClearKeepsTheStorage) {
  Ring ring;
  ASSERT_TRUE(ring.create(32, false));
  auto data = bytes(40);
  unsigned char out[8];
  ASSERT_TRUE(ring.put(data.data(), 7));
  ASSERT_EQ(ring.get(out, 4), 4);  // positions no longer start at 0
  EXPECT_FALSE(ring.put(data.data(), ring.freeSpace()));
  ring.clear();
  EXPECT_EQ(ring.capacity(), 32);
  EXPECT_FALSE(ring.takeOverrun()) << "a clear forgets the overrun";
  EXPECT_TRUE(ring.put(data.data(), 31));
  EXPECT_EQ(ring.count(), 31);

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

// Puts, gets (byte-wise too) and in-place fills of any length against a
// queue, on rings of many sizes, the positions going round many times: every
// copy that crosses the wrap, every span that ends at it or
// short of the reading position, and a clear between a fill and its commit.
TEST(CircBuff, BlockCopiesAndInPlaceFillsMatchAQueue) {
  std::mt19937 random(5);
  unsigned char next = 0;
  for (int size = 2; size <= 19; ++size) {
    Ring ring;
    ASSERT_TRUE(ring.create(size, false));
    std::deque<unsigned char> model;
    for (int step = 0; step < 400; ++step) {
      const int room = size - 1 - static_cast<int>(model.size());
      switch (random() % 4) {
        case 0: {  // a put that fits
          std::vector<unsigned char> in(random() % (room + 1));
          for (auto& b : in) model.push_back(b = next++);
          if (in.size() == 1)
            ASSERT_TRUE(ring.putByte(in[0]));
          else
            ASSERT_TRUE(ring.put(in.data(), static_cast<int>(in.size())));
          break;
        }
        case 1: {  // a fill in place, sometimes cleared before its commit
          unsigned char* span = nullptr;
          const int n = ring.freeSpan(&span);
          ASSERT_LE(n, room);
          ASSERT_EQ(n > 0, room > 0) << size << " " << step;
          const int used = n > 0 ? 1 + static_cast<int>(random() % n) : 0;
          if (random() % 5 == 0) {
            ring.clear();
            model.clear();
          }
          for (int i = 0; i < used; ++i) model.push_back(span[i] = next++);
          ring.commit(span, used);
          break;
        }
        default: {
          std::vector<unsigned char> out(random() % size + 1);
          int got = model.empty() ? 0 : 1;
          if (got && out.size() == 1)
            out[0] = ring.getByte();
          else if (got)
            got = ring.get(out.data(), static_cast<int>(out.size()));
          ASSERT_EQ(got, static_cast<int>(std::min(out.size(), model.size())));
          for (int i = 0; i < got; ++i, model.pop_front()) ASSERT_EQ(out[i], model.front()) << size;
        }
      }
      ASSERT_EQ(ring.count(), static_cast<int>(model.size()));
      ASSERT_FALSE(ring.takeOverrun());
    }
  }
  // A put beyond the capacity keeps its last lap and overruns.
  Ring small;
  ASSERT_TRUE(small.create(4, false));
  auto data = bytes(10);
  EXPECT_FALSE(small.put(data.data(), 10));
  EXPECT_TRUE(small.takeOverrun());
}

}  // namespace
