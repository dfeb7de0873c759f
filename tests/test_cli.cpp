// The zor program as a Linux tool: its conventions (usage, version, exit
// codes and streams), "zor ports", "zor settings" with the settings dialog's
// rules, and "zor run --console" over loopback, a pty instrument, a playback
// log and a terminal. Also the library pieces those modes share with the
// later windows: CRunZorSettings' dialog rules, the Send tokens, the sysfs reading.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <zor/strings.h>
#include <zor/host.h>
#include <zor/zor.h>

#include "support/process.h"
#include "support/recorder.h"
#include "support/serial_line.h"

#include "zor/platform/platform.h"

#include <poll.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace zor;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

using Bytes = std::vector<unsigned char>;

// ---------------------------------------------------------------- library

TEST(SendTokens, FollowTheTerminalWindowsRulesInEachView) {
  EXPECT_EQ(sendTokens("65 66 300", 0), (Bytes{0x41, 0x42, 0x2C}));
  EXPECT_EQ(sendTokens("1 0a FF 123", 1), (Bytes{0x01, 0x0A, 0xFF, 0x12}));
  EXPECT_EQ(sendTokens("zz", 1), (Bytes{0x00}));
  EXPECT_EQ(sendTokens("AB C", 2), (Bytes{0x41, 0x42, 0x20, 0x43}));
  EXPECT_EQ(sendTokens(" \t 7 \t\t 8  ", 0), (Bytes{7, 8})) << "separators make no bytes";
  EXPECT_EQ(sendTokens("  f\t", 1), (Bytes{0x0F}));
  EXPECT_EQ(sendTokens("-1 12abc x", 0), (Bytes{0xFF, 12, 0})) << "atoi's reading";
  for (int view : {0, 1, 2, 3, -1}) EXPECT_TRUE(sendTokens("", view).empty()) << view;
  EXPECT_TRUE(sendTokens("65", 3).empty()) << "another view sends nothing";
}

class DialogRules : public ::testing::Test {
protected:
  zortest::ScopedSettingsFile m_cfg;
};

TEST_F(DialogRules, DefaultsFollowTheEntryAndKeepTheAddressAndTheSerialListsOfOtherEntries) {
  CRunZorSettings s(false);
  // Nothing stored: NULL, overlapped RX and XON/XOFF and RTS/CTS on, 9600 8N1.
  EXPECT_EQ(s.GetPortIndex(), 0);
  EXPECT_EQ(s.GetOverlappedRx(), 1);
  EXPECT_EQ(s.GetXonXoff(), 1);
  EXPECT_EQ(s.GetHwHandshake(), 1);
  EXPECT_EQ(s.GetBaudRate(), 9600u);
  s.SetAddress("host");
  s.SetBaudRateIndex(12);
  s.SelectPort(CRunZorSettings::ENTRY_TCP);
  EXPECT_EQ(s.GetOverlappedRx() + s.GetOverlappedTx() + s.GetXonXoff() + s.GetHwHandshake() + s.GetLoopback(),
            0)
      << "TCP: every check box clear";
  EXPECT_STREQ(s.GetAddress(), "host");
  EXPECT_EQ(s.GetBaudRateIndex(), 12) << "only a serial entry resets the serial lists";
  EXPECT_STREQ(s.AddressLabel(), "Server:");
  EXPECT_TRUE(s.IsEnabled(CRunZorSettings::CONTROL_ADDRESS));
  EXPECT_FALSE(s.IsEnabled(CRunZorSettings::CONTROL_BROWSE));
  EXPECT_FALSE(s.IsEnabled(CRunZorSettings::CONTROL_SERIAL));

  s.SelectPort(CRunZorSettings::ENTRY_USB);
  EXPECT_EQ(s.GetOverlappedRx(), 1);
  EXPECT_EQ(s.GetXonXoff(), 1);
  EXPECT_EQ(s.GetOverlappedTx() + s.GetHwHandshake() + s.GetLoopback(), 0);

  s.SelectPort(CRunZorSettings::ENTRY_PLAYBACK);
  EXPECT_STREQ(s.AddressLabel(), "File:");
  EXPECT_TRUE(s.IsEnabled(CRunZorSettings::CONTROL_BROWSE));
  EXPECT_FALSE(s.IsEnabled(CRunZorSettings::CONTROL_OVERLAPPED));
  EXPECT_FALSE(s.IsEnabled(CRunZorSettings::CONTROL_LOOPBACK));

  s.SetParityIndex(3);
  s.SelectPort(7);  // a serial entry
  EXPECT_EQ(s.GetOverlappedRx() + s.GetOverlappedTx() + s.GetHwHandshake(), 3);
  EXPECT_EQ(s.GetXonXoff(), 0);
  EXPECT_EQ(s.GetBaudRateIndex(), 6);
  EXPECT_EQ(s.GetParity(), 'N');
  EXPECT_EQ(s.GetDataBits(), 8);
  EXPECT_EQ(s.GetStopBits(), 0);

  CRunZorSettings server(true);
  EXPECT_EQ(server.SelectPort(CRunZorSettings::ENTRY_NET), 0) << "a server snaps NET back to NULL";
  EXPECT_EQ(server.SelectPort(CRunZorSettings::ENTRY_TCP), 0);
  EXPECT_EQ(server.GetOverlappedRx(), 0) << "with NULL's defaults";
}

TEST_F(DialogRules, ListsAndNamesAreTheDialogs) {
  EXPECT_EQ(CRunZorSettings::BaudRateCount(), 15);
  EXPECT_EQ(CRunZorSettings::BaudRateAt(14), 256000u);
  EXPECT_EQ(CRunZorSettings::BaudRateIndexOf(115200), 12);
  EXPECT_EQ(CRunZorSettings::BaudRateIndexOf(12345), -1);
  EXPECT_EQ(CRunZorSettings::BaudRateAt(15), 0u);
  EXPECT_STREQ(CRunZorSettings::StopBitsText(1), "1.5");
  EXPECT_EQ(CRunZorSettings::StopBitsText(3), nullptr);
  CRunZorSettings s(false);
  EXPECT_FALSE(s.SetBaudRateIndex(15));
  EXPECT_FALSE(s.SetDataBitsIndex(-1));
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(CRunZorSettings::PortEntryOf(CRunZorSettings::PortEntryText(i).c_str()), i) << i;
  EXPECT_EQ(CRunZorSettings::PortEntryOf("playback"), 4);
  EXPECT_EQ(CRunZorSettings::PortEntryOf("COM0"), -1);
  EXPECT_EQ(CRunZorSettings::PortEntryOf("COM999"), -1) << "not found at start";
  EXPECT_EQ(CRunZorSettings::PortEntryText(-1), "");
  s.SetStopBitsIndex(1);
  s.SetParityIndex(3);
  s.SetDataBitsIndex(2);
  s.SetBaudRateIndex(14);
  EXPECT_EQ(s.GetStopBits(), 1);
  EXPECT_EQ(s.GetParity(), 'M');
  EXPECT_EQ(s.GetDataBits(), 7);
  EXPECT_EQ(s.GetBaudRate(), 256000u);
}

TEST_F(DialogRules, StoreWritesTheElevenKeysInOksOrderAndTheyReadBack) {
  CRunZorSettings s(false);
  s.SelectPort(CRunZorSettings::ENTRY_PLAYBACK);
  s.SetAddress("/tmp/trace.txt");
  ASSERT_TRUE(s.Store());
  const std::string text = zortest::readText(m_cfg.file);
  const char* order[] = {"runZor Address=/tmp/trace.txt",
                         "runZor Ovrlp RX=0",
                         "runZor Ovrlp TX=0",
                         "runZor XonXoff=0",
                         "runZor NumDev=4",
                         "runZor Hwhandshake=0",
                         "runZor Stopbit=0",
                         "runZor Databit=3",
                         "runZor Parity=0",
                         "runZor bdRate=6",
                         "runZor loopback=0"};
  std::size_t at = 0;
  for (const char* key : order) {
    std::size_t found = text.find(std::string(key) + "\n", at);
    ASSERT_NE(found, std::string::npos) << key << " after " << at << " in\n" << text;
    at = found;
  }
  CRunZorSettings back(false);
  EXPECT_EQ(back.GetPortIndex(), 4);
  EXPECT_STREQ(back.GetAddress(), "/tmp/trace.txt");
  EXPECT_EQ(back.Describe(), "Port: Playback, file /tmp/trace.txt, overlapped RX off, overlapped TX off");
}

TEST(SysfsReading, AUsbAdaptersTtyGivesVendorProductAndSerial) {
  zortest::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  struct stat st;
  ASSERT_EQ(::stat(pty.path().c_str(), &st), 0);
  // A sysfs of our own: the pty's device number leads to a tty under a USB device.
  const std::string root = zortest::scratchFolder("sysfs");
  const std::string usb = root + "/devices/pci0000:00/usb1/1-2";
  const std::string tty = usb + "/1-2:1.0/ttyUSB0/tty/ttyUSB0";
  std::filesystem::create_directories(tty);
  std::filesystem::create_directories(root + "/dev/char");
  std::filesystem::create_directories(root + "/class/tty");
  for (auto [name, value] : {std::pair{"idVendor", "0403"},
                             {"idProduct", "6001"},
                             {"serial", "A50285BI"},
                             {"manufacturer", "FTDI"},
                             {"product", "FT232R USB UART"}})
    zortest::writeText(usb + "/" + name, std::string(value) + "\n");
  const std::string node = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
  std::filesystem::create_directory_symlink(tty, root + "/dev/char/" + node);
  std::filesystem::create_directory_symlink(tty, root + "/class/tty/ttyUSB0");
  std::filesystem::create_directories(root + "/devices/virtual/tty/tty0");
  std::filesystem::create_directory_symlink(root + "/devices/virtual/tty/tty0", root + "/class/tty/tty0");

  ComPortInfo info = describeTty(pty.path(), root);
  EXPECT_TRUE(info.usb);
  EXPECT_EQ(info.vendorId, "0403");
  EXPECT_EQ(info.productId, "6001");
  EXPECT_EQ(info.serial, "A50285BI");
  EXPECT_EQ(info.manufacturer, "FTDI");
  EXPECT_EQ(info.product, "FT232R USB UART");
  EXPECT_EQ(usbSerialTtys(root), std::vector<std::string>{"/dev/ttyUSB0"}) << "tty0 is no USB adapter";
  EXPECT_FALSE(describeTty(pty.path(), root + "/nowhere").usb);
  EXPECT_TRUE(describeTty("/no/such/tty", root).tty.empty());
  std::filesystem::remove_all(root);
}

// ---------------------------------------------------------------- program

#ifdef ZOR_APP_PATH

const std::string kZor = ZOR_APP_PATH;

std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

int lineCount(const std::string& s) { return static_cast<int>(std::count(s.begin(), s.end(), '\n')); }

class Program : public ::testing::Test {
protected:
  zortest::ProcessResult zor(const std::vector<std::string>& args, int timeoutMs = 20000) {
    return zortest::runProcess(
        kZor, args, {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}}, timeoutMs);
  }
  // The program with standard input from stdinFile, standard output to outFile.
  zortest::ProcessResult zorPiped(const std::vector<std::string>& args, const std::string& stdinFile,
                                  const std::string& outFile, int timeoutMs = 30000) {
    std::string cmd = "exec " + shellQuote(kZor);
    for (const auto& a : args) cmd += " " + shellQuote(a);
    cmd += " <" + shellQuote(stdinFile) + " >" + shellQuote(outFile);
    return zortest::runProcess("/bin/sh", {"-c", cmd}, {}, timeoutMs);
  }
  void settings(const std::string& lines) { zortest::writeText(m_cfg.file, "[ZOR.DLL]\n" + lines); }
  std::string file(const std::string& name) const { return m_cfg.folder + "/" + name; }

  zortest::ScopedSettingsFile m_cfg;
};

TEST_F(Program, HelpAndVersionGoToStandardOutputWithExitZero) {
  auto help = zor({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_THAT(help.out, StartsWith("usage: zor <mode>"));
  for (const char* mode : {"run", "server", "remote", "help", "ports", "settings", "usb"})
    EXPECT_THAT(help.out, HasSubstr(std::string("\n  ") + mode + " ")) << mode;
  for (const char* text : {"zor.ini", "ports/COMn", "ZOR_CONFIG", "XDG_CONFIG_HOME"})
    EXPECT_THAT(help.out, HasSubstr(text));
  auto h = zor({"-h"});
  EXPECT_EQ(h.exitCode, 0);
  EXPECT_EQ(h.out, help.out);

  for (const char* mode : {"run", "remote", "help", "ports", "settings"}) {
    for (const char* flag : {"--help", "-h"}) {
      auto r = zor({mode, flag});
      EXPECT_EQ(r.exitCode, 0) << mode;
      EXPECT_THAT(r.out, StartsWith(std::string("usage: zor ") + mode)) << mode;
      EXPECT_EQ(r.err, "") << mode;
    }
  }
  EXPECT_THAT(zor({"run", "--console", "--port", "COM1", "--help"}).out, StartsWith("usage: zor run"))
      << "--help anywhere after the mode";

  auto version = zor({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "zor " ZOR_VERSION_TEXT "\n");
  EXPECT_EQ(version.err, "");
  EXPECT_EQ(versionLine(), "zor " ZOR_VERSION_TEXT) << "the library's version record";
}

TEST_F(Program, HelpModeKeepsItsShortUsageByteForByteOnStandardError) {
  auto r = zor({"help"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, std::string("\n\nUso:\n      run: avvia ZOR in modalita' client\n"
                               "   server: avvia ZOR in modalita' server (intranet)\n"
                               "   remote: avvia ZOR in modalita' server remoto (via TCP)\n\n"));
}

TEST_F(Program, UnknownModesAndOptionsGiveOneLineAndExitTwo) {
  struct Case {
    std::vector<std::string> args;
    std::string named;
  };
  for (const Case& c : {Case{{"frobnicate"}, "frobnicate"}, Case{{"--frob"}, "--frob"},
                        Case{{"settings", "--frob"}, "--frob"}, Case{{"ports", "-x"}, "-x"},
                        Case{{"run", "--console", "--bogus"}, "--bogus"}, Case{{"help", "extra"}, "extra"}}) {
    auto r = zor(c.args);
    EXPECT_EQ(r.exitCode, 2) << c.named;
    EXPECT_EQ(r.out, "") << c.named;
    EXPECT_EQ(lineCount(r.err), 1) << r.err;
    EXPECT_THAT(r.err, HasSubstr("\"" + c.named + "\""));
    EXPECT_THAT(r.err, HasSubstr("try zor "));
    EXPECT_THAT(r.err, HasSubstr(" --help"));
  }
  auto none = zor({});
  EXPECT_EQ(none.exitCode, 2);
  EXPECT_THAT(none.err, HasSubstr("usage: zor <mode>"));
}

TEST_F(Program, RunWithoutConsoleAndDisplayNamesTheConsole) {
  auto r = zor({"run"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(lineCount(r.err), 1) << r.err;
  EXPECT_THAT(r.err, HasSubstr("display"));
  EXPECT_THAT(r.err, HasSubstr("zor run --console"));
}

TEST_F(Program, WindowedModesReachTheWindowLayerOnlyWithADisplay) {
  for (const char* mode : {"server", "remote"}) {
    auto r = zor({mode});
    EXPECT_EQ(r.exitCode, 1) << mode;
    EXPECT_EQ(lineCount(r.err), 1) << r.err;
    EXPECT_THAT(r.err, HasSubstr(std::string("zor ") + mode + " --headless"));
  }
  // With one, the program loads libzor-gui and waits in the settings dialog
  // (until killed here) instead of failing at once.
  auto shown = zortest::runProcess(kZor, {"run"}, {{"QT_QPA_PLATFORM", "offscreen"}}, 1500);
  EXPECT_EQ(shown.exitCode, -1) << shown.err;
  EXPECT_THAT(shown.err, ::testing::Not(HasSubstr("cannot be loaded")));
  // zor view: a file that is no log is refused by the window layer with one line.
  auto view = zor({"view", "/nonexistent/log.txt"});
  EXPECT_EQ(view.exitCode, 1);
  EXPECT_THAT(view.err, HasSubstr("display"));
  auto bad =
      zortest::runProcess(kZor, {"view", "/nonexistent/log.txt"}, {{"QT_QPA_PLATFORM", "offscreen"}}, 10000);
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_THAT(bad.err, HasSubstr("zor view: /nonexistent/log.txt: there is no such file"));
  EXPECT_EQ(zor({"view"}).exitCode, 2);
}

// A pty as serial port COM7, with the port probed at start.
class WithPort : public Program {
protected:
  void SetUp() override {
    ASSERT_TRUE(m_pty.ok());
    settings("Max COM Port number=8\nThread granularity=0\n");
    ASSERT_TRUE(zortest::linkComPort(7, m_pty.path()));
  }
  zortest::PtyPair m_pty;
};

TEST_F(WithPort, PortsListsTheLinkedPortAndItsTtyAlsoAsJson) {
  auto r = zor({"ports"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const std::string tty = std::filesystem::canonical(m_pty.path()).string();
  bool listed = false;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("COM7 ", 0) == 0) {
      listed = true;
      EXPECT_THAT(line, HasSubstr(tty));
      EXPECT_THAT(line, HasSubstr("link ports/COM7"));
    }
  EXPECT_TRUE(listed) << r.out;

  auto json = zor({"ports", "--json"});
  EXPECT_EQ(json.exitCode, 0);
  const std::string out = file("ports.json");
  zortest::writeText(out, json.out);
  auto parsed = zortest::runProcess(
      "python3", {"-c",
                  "import json,sys; a=json.load(open(sys.argv[1])); p=[x for x in a if x['com']==7][0]; "
                  "print(p['tty'], p['found'], p['link'] is not None, p['usb'])",
                  out});
  EXPECT_EQ(parsed.exitCode, 0) << parsed.err << json.out;
  EXPECT_EQ(parsed.out, tty + " True True None\n");

  // A link names a port whatever the maximum; a link to a folder names none.
  ASSERT_TRUE(zortest::linkComPort(12, m_pty.path()));
  ASSERT_TRUE(zortest::linkComPort(3, m_cfg.folder));
  const std::string listing = zor({"ports"}).out;
  EXPECT_THAT(listing, HasSubstr("COM12 " + tty));
  EXPECT_THAT(listing, HasSubstr("(link ports/COM3 -> " + m_cfg.folder + "; no tty there)"));
  EXPECT_THAT(zor({"settings", "--port", "COM12"}).out, StartsWith("Port: COM 12,"));
  zortest::unlinkComPort(3);
  zortest::unlinkComPort(12);
}

TEST_F(WithPort, SettingsWriteTheDialogsKeysAndRefuseBadInputWritingNothing) {
  // COM7's entry: 5 + the number of serial ports found before it (the machine's own ttyS ones).
  int entry = 5;
  std::istringstream ports(zor({"ports"}).out);
  for (std::string line; std::getline(ports, line) && line.rfind("COM7 ", 0) != 0;) ++entry;
  auto r = zor({"settings", "--port", "COM7", "--baud", "115200", "--parity", "E"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "Port: COM 7, 115200 8E1, RTS/CTS on, XON/XOFF off, overlapped RX on, overlapped TX on\n");
  const std::string stored = zortest::readText(m_cfg.file);
  EXPECT_THAT(stored, HasSubstr("runZor Address=\nrunZor Ovrlp RX=1\nrunZor Ovrlp TX=1\nrunZor XonXoff=0\n"
                                "runZor NumDev=" +
                                std::to_string(entry) +
                                "\nrunZor Hwhandshake=1\nrunZor Stopbit=0\nrunZor Databit=3\n"
                                "runZor Parity=1\nrunZor bdRate=12\nrunZor loopback=0\n"));
  auto shown = zor({"settings"});
  EXPECT_EQ(shown.out, r.out) << "shown as written";

  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"settings", "--port", "COM7", "--baud", "12345"},
        {"settings", "--port", "COM9"},
        {"settings", "--port", "ttyS0"},
        {"settings", "--port", "TCP"},
        {"settings", "--port", "NET", "--address", ""},
        {"settings", "--port", "Playback"},
        {"settings", "--baud", "fast"},
        {"settings", "--data", "9"},
        {"settings", "--stop", "3"},
        {"settings", "--rtscts", "maybe"},
        {"settings", "--port", "NULL", "--baud", "9600"},
        {"settings", "--port", "COM7", "--loopback", "on"},
        {"settings", "--port"}}) {
    auto b = zor(bad);
    EXPECT_EQ(b.exitCode, 2) << bad.back() << ": " << b.err;
    EXPECT_EQ(lineCount(b.err), 1) << b.err;
    EXPECT_EQ(b.out, "");
    EXPECT_EQ(zortest::readText(m_cfg.file), stored) << "untouched after " << bad.back();
  }
  EXPECT_THAT(zor({"settings", "--baud", "12345"}).err, HasSubstr("110 300 600"));
  EXPECT_THAT(zor({"settings", "--port", "COM9"}).err, HasSubstr("Max COM Port number"));

  auto reset = zor({"settings", "--defaults"});
  EXPECT_EQ(reset.exitCode, 0);
  EXPECT_EQ(reset.out, "Port: NULL, loopback off, overlapped RX on, overlapped TX off\n");
  EXPECT_THAT(zortest::readText(m_cfg.file), HasSubstr("runZor NumDev=0\n"));
}

// The instrument on the pty's far end: answers each "*IDN?\n" with a line.
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

TEST_F(Program, ConcurrentSettingsWritersEachLeaveAWholeChoice) {
  const std::string tcp =
      "Port: TCP, server far.example, XON/XOFF off, overlapped RX off, overlapped TX off\n";
  const std::string file = "Port: Playback, file /tmp/a.log, overlapped RX off, overlapped TX off\n";
  for (int round = 0; round < 100; ++round) {
    zortest::ProcessResult a, b;
    std::thread other([&] { b = zor({"settings", "--port", "Playback", "--address", "/tmp/a.log"}); });
    a = zor({"settings", "--port", "TCP", "--address", "far.example"});
    other.join();
    ASSERT_EQ(a.exitCode, 0) << a.err;
    ASSERT_EQ(b.exitCode, 0) << b.err;
    const std::string shown = zor({"settings"}).out;
    ASSERT_TRUE(shown == tcp || shown == file) << "round " << round << ": " << shown;
  }
}

#endif  // ZOR_APP_PATH

}  // namespace
