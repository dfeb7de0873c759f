// The zor program as a Linux tool: its conventions (usage, version, exit
// codes and streams), "zor ports" and "zor settings" with the settings
// dialog's rules. Also the library pieces those modes share with the later
// windows: CRunZorSettings' dialog rules, the Send tokens, the sysfs reading.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <zor/host.h>
#include <zor/zor.h>

#include "support/process.h"
#include "support/program.h"
#include "support/serial_line.h"

#include "zor/platform/platform.h"

#include <filesystem>
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
  EXPECT_EQ(CRunZorSettings::PortEntryOf("rfc2217"), CRunZorSettings::ENTRY_RFC2217);
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

using zortest::kZor;
using zortest::lineCount;
using zortest::Program;
using zortest::WithPort;

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
  // COM7's entry: the first serial entry + the number of serial ports found before it (the machine's own ttyS
  // ones).
  int entry = zor::CRunZorSettings::ENTRY_FIRST_SERIAL;
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
