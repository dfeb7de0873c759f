// "zor pty" with real programs as the client: python3-serial asks a replayed
// instrument and gets its answers, a session's log replays to the same
// answers, SIGTERM ends the mode cleanly, a second one is kept off the link,
// and a terminal program under tmux shows the instrument's answers.
#include <gtest/gtest.h>

#include "support/background.h"
#include "support/process.h"
#include "support/program.h"
#include "support/recorder.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

#ifdef ZOR_APP_PATH

using zor_test::waitUntil;
using zortest::kZor;
const char* const kPython = "/usr/bin/python3";

std::vector<unsigned char> bytes(const std::string& s) { return {s.begin(), s.end()}; }

class PtyProgram : public zortest::Program {
protected:
  // zor pty in the background; true once it has said where its terminal is.
  bool startPty(std::unique_ptr<zortest::BackgroundProcess>& pty, std::vector<std::string> args) {
    args.insert(args.begin(), {kZor, "pty", "--link", link});
    pty = std::make_unique<zortest::BackgroundProcess>(args, file("pty.out"));
    return pty->started() &&
           waitUntil(
               [&] { return zortest::readText(file("pty.out")).find(" at /dev/pts/") != std::string::npos; },
               10000);
  }
  // python3-serial sends each query and prints each answer line.
  std::string ask(const std::vector<std::string>& queries) {
    std::vector<std::string> args = {"-c",
                                     "import serial, sys\n"
                                     "s = serial.Serial(sys.argv[1], 9600, timeout=10)\n"
                                     "for q in sys.argv[2:]:\n"
                                     "    s.write(q.encode() + b'\\n')\n"
                                     "    print(s.read_until(b'\\n').decode().strip())\n",
                                     link};
    args.insert(args.end(), queries.begin(), queries.end());
    auto r = zortest::runProcess(kPython, args, {}, 30000);
    return r.exitCode == 0 ? r.out : "exit " + std::to_string(r.exitCode) + ": " + r.err;
  }
  bool linkThere() const { return std::filesystem::exists(std::filesystem::symlink_status(link)); }
  const std::string link = file("port");
};

TEST_F(PtyProgram, PythonSerialTalksToAReplayedInstrumentAndASessionsLogReplays) {
  if (zortest::runProcess(kPython, {"-c", "import serial"}).exitCode != 0)
    GTEST_SKIP() << "python3-serial is not installed";
  std::string log;
  zor_test::addLogRecord(log, 0, 10, bytes("*IDN?\n"));
  zor_test::addLogRecord(log, 2, 200, bytes("ZOR,PTY,1\n"));
  zor_test::addLogRecord(log, 0, 300, bytes("MEAS?\n"));
  zor_test::addLogRecord(log, 2, 450, bytes("1.25\n"));
  zortest::writeText(file("instrument.log"), log);
  settings("Thread granularity=0\nTrue Playback Speed=1\n");
  std::unique_ptr<zortest::BackgroundProcess> pty;
  ASSERT_TRUE(startPty(pty, {"--port", "Playback", "--address", file("instrument.log")}));
  EXPECT_EQ(ask({"*IDN?", "MEAS?"}), "ZOR,PTY,1\n1.25\n");
  pty->stop();
  EXPECT_EQ(pty->exitCode(), 0);

  // A session over the loopback, logged; a second bridge is kept off its link.
  settings("Thread granularity=0\n");
  const std::string rec = file("session.log");
  ASSERT_TRUE(startPty(pty, {"--port", "NULL", "--loopback", "on", "--log", rec}));
  const std::string target = std::filesystem::read_symlink(link).string();
  auto second = zor({"pty", "--port", "NULL", "--link", link});
  EXPECT_EQ(second.exitCode, 1);
  EXPECT_NE(second.err.find("in use by another running bridge"), std::string::npos) << second.err;
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), target) << "the first one's link stays";
  EXPECT_EQ(ask({"alpha", "beta 42"}), "alpha\nbeta 42\n");
  pty->stop();  // SIGTERM
  EXPECT_EQ(pty->exitCode(), 0);
  EXPECT_FALSE(linkThere());
  EXPECT_FALSE(std::filesystem::exists(link + ".lock"));

  ASSERT_TRUE(startPty(pty, {"--port", "Playback", "--address", rec}));
  EXPECT_EQ(ask({"alpha", "beta 42"}), "alpha\nbeta 42\n");
  pty->stop();
  EXPECT_EQ(pty->exitCode(), 0);

  EXPECT_EQ(zor({"pty", "--link"}).exitCode, 2);
  EXPECT_EQ(zor({"pty", "--bogus"}).exitCode, 2);
  EXPECT_EQ(zor({"pty", "--link", link, "--help"}).out.rfind("usage: zor pty [--link PATH]", 0), 0u);
  EXPECT_NE(zor({"--help"}).out.find("\n  pty [--link PATH] "), std::string::npos);
}

TEST_F(PtyProgram, ATerminalProgramUnderTmuxShowsTheInstrumentsAnswers) {
  const char* program = zortest::haveProgram("picocom") ? "picocom"
                        : zortest::haveProgram("tio")   ? "tio"
                                                        : nullptr;
  if (program == nullptr || !zortest::haveProgram("tmux"))
    GTEST_SKIP() << "neither picocom nor tio, or no tmux: nothing to drive";
  std::string log;
  zor_test::addLogRecord(log, 0, 10, bytes("*IDN?\r"));
  zor_test::addLogRecord(log, 2, 20, bytes("ZOR,PTY,1\r\n"));
  zortest::writeText(file("instrument.log"), log);
  settings("Thread granularity=0\n");
  std::unique_ptr<zortest::BackgroundProcess> pty;
  ASSERT_TRUE(startPty(pty, {"--port", "Playback", "--address", file("instrument.log")}));

  const std::string server = "zor-pty-test-" + std::to_string(::getpid());
  const std::vector<std::pair<std::string, std::string>> env = {{"TERM", "xterm"}};
  auto tmux = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"-L", server});
    return zortest::runProcess("/usr/bin/tmux", args, env, 10000);
  };
  const std::string command = std::string(program) == "picocom" ? "picocom -q -l " + link : "tio " + link;
  ASSERT_EQ(tmux({"new-session", "-d", "-x", "100", "-y", "20", command}).exitCode, 0);
  std::string screen;
  // The program is ready once its port is open; the keys are sent again
  // only if the first ones came before that and went nowhere.
  const bool shown = waitUntil(
      [&] {
        tmux({"send-keys", "-t", "0", "*IDN?", "Enter"});
        return waitUntil(
            [&] {
              screen = tmux({"capture-pane", "-p", "-t", "0"}).out;
              return screen.find("ZOR,PTY,1") != std::string::npos;
            },
            1000);
      },
      15000);
  // The program ends with the tmux server; it is waited for, and killed should it linger.
  const int pane = std::atoi(tmux({"display-message", "-p", "-t", "0", "#{pane_pid}"}).out.c_str());
  tmux({"kill-server"});
  auto gone = [&] {
    const std::string stat = zortest::readText("/proc/" + std::to_string(pane) + "/stat");
    const auto close = stat.rfind(')');
    return stat.empty() || close == std::string::npos || stat.compare(close + 2, 1, "Z") == 0;
  };
  if (pane > 0 && !waitUntil(gone, 5000)) ::kill(pane, SIGKILL);
  EXPECT_TRUE(shown) << screen;
  pty->stop();
  EXPECT_EQ(pty->exitCode(), 0);
}

#endif

}  // namespace
