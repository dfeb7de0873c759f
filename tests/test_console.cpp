// "zor run --console" over loopback, a pty instrument, a playback log and a
// terminal of its own: what it moves, how it ends, and what it refuses.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "support/process.h"
#include "support/program.h"
#include "support/recorder.h"
#include "support/serial_line.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

#ifdef ZOR_APP_PATH

using Bytes = std::vector<unsigned char>;
using zortest::kZor;
using zortest::lineCount;
using zortest::Program;
using zortest::shellQuote;
using zortest::WithPort;

class Instrument {
public:
  explicit Instrument(zortest::PtyPair& pty) : m_pty(pty), m_thread([this] { run(); }) {}
  ~Instrument() {
    m_stop = true;
    m_thread.join();
  }
  std::string heard() {
    std::lock_guard lock(m_mutex);
    return m_heard;
  }

private:
  void run() {
    std::string pending;
    while (!m_stop) {
      std::string got = m_pty.receive(1, 20);
      if (got.empty()) continue;
      {
        std::lock_guard lock(m_mutex);
        m_heard += got;
      }
      pending += got;
      for (std::size_t at; (at = pending.find("*IDN?\n")) != std::string::npos;) {
        pending.erase(0, at + 6);
        m_pty.send("ZOR,PTY-INSTRUMENT,0,1.0\r\n");
      }
    }
  }
  zortest::PtyPair& m_pty;
  std::atomic<bool> m_stop{false};
  std::mutex m_mutex;
  std::string m_heard;
  std::thread m_thread;
};

TEST_F(WithPort, ConsoleQueryGetsItsAnswerAndItsLogReplaysToTheSameAnswer) {
  const std::string query = file("query.txt"), answer = file("answer.txt"), log = file("trace.txt");
  zortest::writeText(query, "*IDN?\n");
  {
    Instrument instrument(m_pty);
    auto r =
        zorPiped({"run", "--console", "--port", "COM7", "--idle-ms", "300", "--log", log}, query, answer);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(zortest::readText(answer), "ZOR,PTY-INSTRUMENT,0,1.0\r\n");
    EXPECT_EQ(instrument.heard(), "*IDN?\n");
  }
  EXPECT_THAT(zortest::readText(log), HasSubstr("<<TX\t")) << "in the hexadecimal view";
  EXPECT_THAT(zortest::readText(log), HasSubstr("2a 49 44 4e 3f 0a "));
  // The stored choice is still the default: --port was for that run only.
  EXPECT_THAT(zor({"settings"}).out, StartsWith("Port: NULL"));

  // No instrument now: the log answers.
  m_pty.hangUp();
  const std::string replayed = file("replayed.txt");
  auto p = zorPiped({"run", "--console", "--port", "Playback", "--address", log, "--idle-ms", "300"}, query,
                    replayed);
  EXPECT_EQ(p.exitCode, 0) << p.err;
  EXPECT_EQ(zortest::readText(replayed), "ZOR,PTY-INSTRUMENT,0,1.0\r\n");
}

TEST_F(Program, ConsoleEchoesAMebibyteOverLoopbackByteForByteAndEndsAfterTheIdleTime) {
  settings("Thread granularity=0\n");
  std::string data(1u << 20, '\0');
  std::mt19937 random(7);
  for (char& c : data) c = static_cast<char>(random());
  zortest::writeText(file("in.bin"), data);
  for (const char* input : {"file", "pipe"}) {
    const std::string out = file("out.bin");
    auto start = std::chrono::steady_clock::now();
    zortest::ProcessResult r;
    if (std::strcmp(input, "file") == 0) {
      r = zorPiped({"run", "--console", "--port", "NULL", "--loopback", "on", "--idle-ms", "400"},
                   file("in.bin"), out);
    } else {
      r = zortest::runProcess(
          "/bin/sh",
          {"-c", "cat " + shellQuote(file("in.bin")) + " | exec " + shellQuote(kZor) +
                     " run --console --port NULL --loopback on --idle-ms 400 >" + shellQuote(out)});
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string got = zortest::readText(out);
    EXPECT_EQ(got.size(), data.size()) << input;
    EXPECT_TRUE(got == data) << input << ": not byte for byte";
    EXPECT_GE(ms.count(), 400) << "ends only after the idle time";
    EXPECT_LT(ms.count(), 15000);
  }
  // Nothing to send and nothing received: ends after the idle time all the same.
  zortest::writeText(file("empty"), "");
  auto start = std::chrono::steady_clock::now();
  auto r = zorPiped({"run", "--console", "--port", "NULL", "--idle-ms", "200"}, file("empty"), file("o"));
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_GE(ms.count(), 200);
  EXPECT_LT(ms.count(), 3000);
}

TEST_F(Program, ConsoleBurstsOverLoopbackAndPlaybackReachASlowReaderWholeAndInOrder) {
  // Far more than the device's 8 KB receive ring; standard output is read
  // only after a pause, so the program's own reads fall behind.
  std::string data(200 * 1024, '\0');
  std::mt19937 random(11);
  for (char& c : data) c = static_cast<char>(random());
  zortest::writeText(file("in.bin"), data.substr(0, 100 * 1024));
  std::string log;
  for (std::size_t at = 0; at < data.size(); at += 4096)
    zor_test::addLogRecord(
        log, 2, 0, Bytes(data.begin() + static_cast<long>(at), data.begin() + static_cast<long>(at + 4096)));
  zortest::writeText(file("log.txt"), log);
  zortest::writeText(file("empty"), "");
  for (const char* granularity : {"0", "15"}) {
    settings(std::string("Thread granularity=") + granularity + "\n");
    for (bool playback : {false, true}) {
      SCOPED_TRACE(testing::Message()
                   << "granularity " << granularity << (playback ? ", playback" : ", loopback"));
      const std::string args = playback ? " --port Playback --address " + shellQuote(file("log.txt")) + " <" +
                                              shellQuote(file("empty"))
                                        : " --port NULL --loopback on <" + shellQuote(file("in.bin"));
      const std::string out = file("out.bin"), code = file("code");
      auto r = zortest::runProcess(
          "/bin/sh", {"-c", "{ " + shellQuote(kZor) + " run --console --idle-ms 400" + args + "; echo $? >" +
                                shellQuote(code) + "; } | { sleep 1; cat >" + shellQuote(out) + "; }"});
      EXPECT_EQ(zortest::readText(code), "0\n") << r.err;
      EXPECT_EQ(r.err, "");
      const std::string got = zortest::readText(out);
      EXPECT_EQ(got.size(), playback ? data.size() : 100 * 1024u);
      EXPECT_TRUE(got == (playback ? data : data.substr(0, 100 * 1024))) << "not byte for byte";
    }
  }
}

TEST_F(Program, ConsoleThatCannotOpenSaysSoAndExitsOne) {
  zortest::writeText(file("empty"), "");
  auto r = zorPiped({"run", "--console", "--port", "Playback", "--address", file("no-such-log.txt")},
                    file("empty"), file("o"));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_THAT(r.err, HasSubstr("Error opening the selected port"));
  auto bad = zorPiped({"run", "--console", "--port", "TCP"}, file("empty"), file("o"));
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_THAT(bad.err, HasSubstr("needs --address"));
  EXPECT_EQ(zorPiped({"run", "--console", "--idle-ms", "soon"}, file("empty"), file("o")).exitCode, 2);
}

// The program on a terminal of its own: forkpty's master is the keyboard and screen.
class Terminal {
public:
  explicit Terminal(const std::vector<std::string>& args) {
    std::vector<std::string> argv{kZor};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> c;
    for (auto& a : argv) c.push_back(a.data());
    c.push_back(nullptr);
    // A terminal in a known cooked state, whatever the machine's default for a new pty.
    termios cooked{};
    cooked.c_iflag = ICRNL | IXON;
    cooked.c_oflag = OPOST | ONLCR;
    cooked.c_cflag = CS8 | CREAD | CLOCAL;
    cooked.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN;
    cooked.c_cc[VINTR] = 3;
    cooked.c_cc[VEOF] = 4;
    cooked.c_cc[VERASE] = 0x7F;
    cooked.c_cc[VMIN] = 1;
    cfsetispeed(&cooked, B38400);
    cfsetospeed(&cooked, B38400);
    m_pid = forkpty(&m_master, nullptr, &cooked, nullptr);
    if (m_pid == 0) {
      ::execv(c[0], c.data());
      ::_exit(127);
    }
  }
  ~Terminal() {
    if (m_pid > 0 && !m_reaped) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
    if (m_master >= 0) ::close(m_master);
  }
  void type(const std::string& keys) {
    ASSERT_EQ(::write(m_master, keys.data(), keys.size()), (ssize_t)keys.size());
  }
  // The screen's output until it holds text (or ms pass).
  std::string screenUntil(const std::string& text, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (m_screen.find(text) == std::string::npos && std::chrono::steady_clock::now() < end) {
      pollfd p{m_master, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) {
        char buf[4096];
        ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n <= 0) break;
        m_screen.append(buf, static_cast<std::size_t>(n));
      }
    }
    return m_screen;
  }
  // Exit status once the program ended (-1: it did not within ms).
  int exitCode(int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      screenUntil("\x01never", 10);  // keep the screen drained
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      int status = 0;
      if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_reaped = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
    }
    return -1;
  }
  int master() const { return m_master; }
  void signal(int number) { ::kill(m_pid, number); }

private:
  int m_master = -1;
  pid_t m_pid = -1;
  bool m_reaped = false;
  std::string m_screen;
};

TEST_F(WithPort, InteractiveLinesAreSentByTheViewsTokensAndAnswersShownUntilCtrlD) {
  struct Case {
    const char* view;
    std::string typed, sent, answer, shown;
  };
  for (const Case& c : {Case{"dec", "65 66 300", "\x41\x42\x2C", "OK\r", "79 75 13"},
                        Case{"hex", "1 0a FF 123 zz", std::string("\x01\x0A\xFF\x12\x00", 5), "\x7f", "7F"},
                        Case{"ascii", "AB C", "AB C\r\n", "hi\r\n", "hi\\r\\n"}}) {
    Terminal t({"run", "--console", "--view", c.view, "--port", "COM7", "--eol", "crlf"});
    ASSERT_THAT(t.screenUntil("> ", 5000), HasSubstr("> ")) << c.view;
    t.type(c.typed + "\r");
    EXPECT_EQ(m_pty.receive(c.sent.size(), 3000), c.sent) << c.view;
    EXPECT_EQ(m_pty.receive(1, 100), "") << c.view << ": nothing more";
    m_pty.send(c.answer);
    EXPECT_THAT(t.screenUntil(c.shown + "\r\n", 3000), HasSubstr(c.shown)) << c.view;
    t.type("\x04");
    EXPECT_EQ(t.exitCode(5000), 0) << c.view;
    termios after{};
    ASSERT_EQ(tcgetattr(t.master(), &after), 0);
    EXPECT_TRUE(after.c_lflag & ICANON) << "terminal restored";
    EXPECT_TRUE(after.c_lflag & ECHO) << "terminal restored";
  }
  // Ctrl-C ends as cleanly, and so does a hang-up, the terminal restored.
  Terminal t({"run", "--console", "--port", "COM7"});
  ASSERT_THAT(t.screenUntil("> ", 5000), HasSubstr("> "));
  t.type("\x03");
  EXPECT_EQ(t.exitCode(5000), 0);
  Terminal hup({"run", "--console", "--port", "COM7"});
  ASSERT_THAT(hup.screenUntil("> ", 5000), HasSubstr("> "));
  hup.signal(SIGHUP);
  EXPECT_EQ(hup.exitCode(5000), 0);
  termios after{};
  ASSERT_EQ(tcgetattr(hup.master(), &after), 0);
  EXPECT_TRUE(after.c_lflag & ICANON) << "terminal restored after SIGHUP";
}

// zor run --console with standard output a pipe the test reads only when it
// wants to; standard input from inPath, standard error to errPath.
class Console {
public:
  Console(const std::vector<std::string>& args, const std::string& inPath, const std::string& errPath) {
    std::vector<std::string> argv{kZor, "run", "--console"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> c;
    for (auto& a : argv) c.push_back(a.data());
    c.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    int in = ::open(inPath.c_str(), O_RDONLY | O_CLOEXEC);
    int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    m_pid = ::fork();
    if (m_pid == 0) {
      ::dup2(in, 0);
      ::dup2(out[1], 1);
      ::dup2(err, 2);
      ::execv(c[0], c.data());
      ::_exit(127);
    }
    ::close(in);
    ::close(err);
    ::close(out[1]);
    m_out = out[0];
  }
  ~Console() {
    if (m_pid > 0 && !m_reaped) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0) ::close(m_out);
  }
  long rssKb() const {
    std::ifstream status("/proc/" + std::to_string(m_pid) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
  }
  bool running() { return exitCode(0) == -2; }
  void signal(int number) { ::kill(m_pid, number); }
  // Standard output until its end (or count bytes), at most ms long.
  std::string readAll(int ms, std::size_t count = std::string::npos) {
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
      pollfd p{m_out, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char buf[65536];
      ssize_t n = ::read(m_out, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }
  // Exit status; -2 while it runs after ms, -1 when it did not exit normally.
  int exitCode(int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    do {
      int status = 0;
      if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_reaped = true;
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (m_reaped) return m_status;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < end);
    return -2;
  }

private:
  pid_t m_pid = -1;
  int m_out = -1;
  bool m_reaped = false;
  int m_status = -1;
};

constexpr long kRssBoundKb = 64 * 1024;

TEST_F(WithPort, ConsoleHoldsAFloodingInstrumentBackWhileStandardOutputIsNotRead) {
  // The instrument sends as fast as the line takes it for a while; nobody reads zor's output meanwhile.
  zortest::writeText(file("empty"), "");
  Console c({"--port", "COM7", "--idle-ms", "300"}, file("empty"), file("err"));
  // What comes before the open is stale input, which the open discards: the
  // flood starts once a probe came through.
  bool open = false;
  for (int i = 0; i < 100 && !open; ++i) open = m_pty.send("S") && c.readAll(50, 1) == "S";
  ASSERT_TRUE(open) << zortest::readText(file("err"));
  std::atomic<bool> stop{false};
  std::atomic<long long> sent{0};
  std::thread flood([&] {
    const std::string block(65536, 'F');
    for (int i = 0; i < 8000 && !stop && m_pty.send(block); ++i) sent += block.size();
  });
  long peak = 0;
  for (int i = 0; i < 300 && sent < (400ll << 20); ++i) {  // up to 3 s or 400 MiB
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    peak = std::max(peak, c.rssKb());
  }
  stop = true;
  flood.join();
  RecordProperty("peak_rss_kb", static_cast<int>(peak));
  RecordProperty("sent_mib", static_cast<int>(sent >> 20));
  EXPECT_LT(peak, kRssBoundKb) << "what standard output has not taken is held in memory; " << (sent >> 20)
                               << " MiB sent";
  // The tty's own buffer holds the instrument back too: every block it took arrives.
  std::string out = c.readAll(20000);
  out.erase(0, out.find_first_not_of('S'));  // a late probe
  EXPECT_GE(static_cast<long long>(out.size()), sent.load());
  EXPECT_EQ(out.find_first_not_of('F'), std::string::npos);
  EXPECT_EQ(c.exitCode(5000), 0) << zortest::readText(file("err"));
}

TEST_F(Program, ConsoleWithStalledOutputLosesNothingAndEndsOnceItIsRead) {
  settings("Thread granularity=0\n");
  std::string data(8u << 20, '\0');
  std::mt19937 random(11);
  for (char& ch : data) ch = static_cast<char>(random());
  zortest::writeText(file("in.bin"), data);
  Console c({"--port", "NULL", "--loopback", "on", "--idle-ms", "300"}, file("in.bin"), file("err"));
  long peak = 0;
  for (int i = 0; i < 150; ++i) {  // 1.5 s unread
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    peak = std::max(peak, c.rssKb());
  }
  EXPECT_TRUE(c.running()) << "a stalled output is no idleness";
  EXPECT_LT(peak, kRssBoundKb);
  const std::string got = c.readAll(30000);
  EXPECT_EQ(c.exitCode(5000), 0) << zortest::readText(file("err"));
  EXPECT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data) << "not byte for byte";
}

TEST_F(Program, ConsoleFailuresEndWithOneLineAndTheSettingsFileIsNeverWritten) {
  settings("Thread granularity=0\n");
  const std::string stored = zortest::readText(m_cfg.file);
  zortest::writeText(file("in.bin"), std::string(200000, 'x'));
  const std::vector<std::string> loop{"run",        "--console", "--port",    "NULL",
                                      "--loopback", "on",        "--idle-ms", "200"};

  // Standard output full (/dev/full) or gone (a reader that left).
  auto full = zorPiped(loop, file("in.bin"), "/dev/full");
  EXPECT_EQ(full.exitCode, 1);
  EXPECT_EQ(lineCount(full.err), 1) << full.err;
  EXPECT_THAT(full.err, HasSubstr("standard output failed (No space left on device)"));
  std::string cmd = "exec " + shellQuote(kZor);
  for (const auto& a : loop) cmd += " " + shellQuote(a);
  auto broken = zortest::runProcess(
      "/bin/bash",
      {"-c", cmd + " <" + shellQuote(file("in.bin")) + " | head -c 10 >/dev/null; exit ${PIPESTATUS[0]}"});
  EXPECT_EQ(broken.exitCode, 1);
  EXPECT_THAT(broken.err, HasSubstr("standard output failed (Broken pipe)"));

  // A log that cannot take its rows: a file size limit, its signal ignored.
  std::vector<std::string> logged = loop;
  logged.insert(logged.end(), {"--log", file("trace.txt")});
  std::string limited = "trap '' XFSZ; ulimit -f 4; exec " + shellQuote(kZor);
  for (const auto& a : logged) limited += " " + shellQuote(a);
  auto log =
      zortest::runProcess("/bin/sh", {"-c", limited + " <" + shellQuote(file("in.bin")) + " >/dev/null"});
  EXPECT_EQ(log.exitCode, 1);
  EXPECT_EQ(lineCount(log.err), 1) << log.err;
  EXPECT_THAT(log.err, HasSubstr("writing the traffic log " + file("trace.txt") + " failed"));

  // A FIFO (nobody reads it) or a folder as the log: refused before the device opens.
  ASSERT_EQ(::mkfifo(file("fifo").c_str(), 0600), 0);
  for (const std::string& target : {file("fifo"), m_cfg.folder}) {
    std::vector<std::string> args = loop;
    args.insert(args.end(), {"--log", target});
    auto r = zorPiped(args, file("in.bin"), file("out.bin"), 5000);
    EXPECT_EQ(r.exitCode, 2) << target;
    EXPECT_EQ(lineCount(r.err), 1) << r.err;
    EXPECT_THAT(r.err, HasSubstr("not a regular file"));
    EXPECT_EQ(zortest::readText(file("out.bin")), "") << "nothing sent";
  }

  // A time-out beyond 32 bits of milliseconds does not end the run early; SIGTERM does, with status 0.
  zortest::writeText(file("empty"), "");
  {
    Console c({"--port", "NULL", "--timeout-s", "4294968", "--idle-ms", "86400000"}, "/dev/zero",
              file("err"));
    EXPECT_EQ(c.exitCode(1500), -2) << zortest::readText(file("err"));
    c.signal(SIGTERM);
    c.readAll(5000);
    EXPECT_EQ(c.exitCode(5000), 0);
  }
  EXPECT_EQ(zorPiped({"run", "--console", "--timeout-s", "31536001"}, file("empty"), file("o")).exitCode, 2);
  EXPECT_EQ(zortest::readText(m_cfg.file), stored) << "zor run --console writes no settings";
}

#endif  // ZOR_APP_PATH

}  // namespace
