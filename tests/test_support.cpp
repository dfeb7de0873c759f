// Support services: memory blocks, critical reports and version strings.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "zor/support/support.h"

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
  for (const char* part : {"m_buffer != NULL", "utils\\circbuff", "249", "Jan  1 2026", "12:34:56"})
    EXPECT_NE(first.find(part), std::string::npos) << part;
  for (const char* part : {"m_ioLock", "zor\\core\\device", "42", "Jan  2 2026", "01:02:03"})
    EXPECT_NE(second.find(part), std::string::npos) << part;
  EXPECT_NE(first.find("assert"), std::string::npos);
  EXPECT_NE(second.find("memory"), std::string::npos);
  ASSERT_FALSE(second.empty());
  EXPECT_EQ(second.find('\n'), second.size() - 1) << "one line each";

  testing::internal::CaptureStderr();
  zor::criticalAssert(nullptr, nullptr, 0, nullptr, nullptr);  // reports, does not crash
  EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
}

TEST(FileVersion, VersionAndCopyright) {
  zor::CUtlFileVer ver(nullptr);
  std::string out;
  std::string version = ver.GetString(zor::CUtlFileVer::FileVersion, out);
  EXPECT_THAT(version, testing::MatchesRegex("[0-9]+\\.[0-9]+\\.[0-9]+"));
  EXPECT_EQ(out, version);
  EXPECT_STREQ(ver.GetString(zor::CUtlFileVer::LegalCopyright, out), "Copyright (C) 2026 zor developers");
  EXPECT_STREQ(ver.GetString(static_cast<zor::CUtlFileVer::StringCode>(99), out), "");
}

}  // namespace
