// The zor program's help mode and its answer to a missing or unknown mode.
#include <gtest/gtest.h>

#include "support/process.h"

namespace {

const std::string kUsage =
    "\n\nUso:\n"
    "      run: avvia ZOR in modalita' client\n"
    "   server: avvia ZOR in modalita' server (intranet)\n"
    "   remote: avvia ZOR in modalita' server remoto (via TCP)\n"
    "\n";

#ifdef ZOR_APP_PATH
TEST(ZorProgram, HelpWritesTheUsageToStandardError) {
  auto r = zortest::runProcess(ZOR_APP_PATH, {"help"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err, kUsage);
  EXPECT_EQ(r.out, "");
}

TEST(ZorProgram, MissingOrUnknownModeShowsUsageAndFails) {
  auto none = zortest::runProcess(ZOR_APP_PATH, {});
  EXPECT_EQ(none.exitCode, 2);
  EXPECT_EQ(none.err, kUsage);

  auto unknown = zortest::runProcess(ZOR_APP_PATH, {"frobnicate"});
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_NE(unknown.err.find("frobnicate"), std::string::npos);
  ASSERT_GE(unknown.err.size(), kUsage.size());
  EXPECT_EQ(unknown.err.substr(unknown.err.size() - kUsage.size()), kUsage);
  EXPECT_EQ(unknown.out, "");
}
#endif

}  // namespace
