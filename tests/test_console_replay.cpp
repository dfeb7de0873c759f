// "zor run --console" over a playback log: a session recorded with --log
// replays with the same input to the same answers, every time and whole,
// however the program's transmit thread happens to cut the input into writes.
#include <gtest/gtest.h>

#include "support/process.h"
#include "support/program.h"

#include <random>
#include <string>
#include <vector>

namespace {

#ifdef ZOR_APP_PATH

using zortest::kZor;
using zortest::shellQuote;

class ConsoleReplay : public ::testing::Test {
protected:
  // The program with its standard input from a file, or from a pipe that
  // hands it over in pieces of its own size; standard output to outFile.
  zortest::ProcessResult zor(const std::vector<std::string>& args, const std::string& in,
                             const std::string& out, bool piped) {
    std::string cmd = piped ? "dd bs=777 status=none if=" + shellQuote(in) + " | exec " : "exec ";
    cmd += shellQuote(kZor);
    for (const auto& a : args) cmd += " " + shellQuote(a);
    cmd += (piped ? "" : " <" + shellQuote(in)) + " >" + shellQuote(out);
    return zortest::runProcess("/bin/sh", {"-c", cmd}, {}, 30000);
  }
  std::string file(const std::string& name) const { return m_cfg.folder + "/" + name; }
  void settings(const std::string& lines) { zortest::writeText(m_cfg.file, "[ZOR.DLL]\n" + lines); }

  zortest::ScopedSettingsFile m_cfg;
};

TEST_F(ConsoleReplay, ALoopbackSessionReplaysWholeFromItsLogEveryTime) {
  std::string input(100000, '\0');
  std::mt19937 random(22);
  for (char& c : input) c = static_cast<char>(random());
  const std::string in = file("in.bin"), log = file("session.txt"), out = file("out.bin");
  zortest::writeText(in, input);
  // Recorded with threads that wait for their work itself, replayed in turn
  // so and at the default pace with the input piped in pieces: the writes
  // are cut differently from the recording's.
  settings("Thread granularity=0\n");
  auto rec = zor({"run", "--console", "--port", "NULL", "--loopback", "on", "--idle-ms", "300", "--log", log},
                 in, out, false);
  ASSERT_EQ(rec.exitCode, 0) << rec.err;
  ASSERT_TRUE(zortest::readText(out) == input) << "the recording itself lost bytes";

  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE(round);
    const bool paced = round % 2 == 1;
    settings(paced ? "" : "Thread granularity=0\n");
    const std::string replayed = file("replayed.bin");
    auto r = zor({"run", "--console", "--port", "Playback", "--address", log, "--idle-ms", "300"}, in,
                 replayed, round % 2 == 1);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "") << "no playback error";
    const std::string got = zortest::readText(replayed);
    EXPECT_EQ(got.size(), input.size());
    EXPECT_TRUE(got == input) << "not the recorded answers";
  }
}

#endif

}  // namespace
