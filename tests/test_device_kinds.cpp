// The registry of device kinds, walked row by row: each kind is chosen by its
// name on the command line, lands on its own place in the port list, builds
// its own kind of device from the stored choice (the loopback and the
// playback really open), and is offered by the usage.
#include "support/process.h"
#include "support/recorder.h"
#include "support/serial_line.h"
#include "zor/host/device_kinds.h"
#include "zor/host/port_options.h"

#include <zor/zor.h>

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace zor {
namespace {

// The line of text that starts with prefix, without it; empty when there is none.
// With continued, the lines that continue it (indented past the option) follow.
std::string lineAfter(const std::string& text, const std::string& prefix, bool continued = false) {
  std::istringstream in(text);
  std::string found;
  bool inOption = false;
  for (std::string line; std::getline(in, line);) {
    if (inOption && continued && line.rfind("          ", 0) == 0) {
      found += " " + line.substr(line.find_first_not_of(' '));
      continue;
    }
    if (inOption) break;
    if (line.rfind(prefix, 0) == 0) {
      found = line.substr(prefix.size());
      inOption = true;
    }
  }
  return found;
}

TEST(DeviceKinds, EveryRowIsChosenByNameBuildsItsDeviceAndIsInTheUsage) {
  zor_test::TestEnv env;
  const std::string log = env.path("log.txt");
  zortest::writeText(log, "<<TX\t00:00:01.000\t2\t01 02 \r\n>>RX\t00:00:01.300\t3\t0a 0b 0c \r\n");
  const std::string usage = modeUsage("settings");
  std::set<std::string> offered;
  std::istringstream ports(lineAfter(usage, "  --port "));
  for (std::string name; std::getline(ports, name, '|');) offered.insert(name);
  const std::string addressHelp = lineAfter(usage, "  --address A ", true);

  std::set<int> entries;
  for (const DeviceKind& kind : deviceKinds()) {
    SCOPED_TRACE(kind.name);
    EXPECT_EQ(offered.erase(kind.name), 1u) << "not offered by --port";
    EXPECT_EQ(addressHelp.find(kind.name) != std::string::npos, kind.Uses(CRunZorSettings::CONTROL_ADDRESS));
    EXPECT_TRUE(entries.insert(kind.entry).second) << "two rows on one entry";
    EXPECT_EQ(&deviceKindAt(kind.entry), &kind);

    // "COMn" stands for the serial ports found at start; without one there is nothing to choose.
    std::string typed = kind.name;
    if (kind.IsSerial()) {
      if (zorNumComPorts() == 0) continue;
      typed = "COM" + std::to_string(zorGetComPortNumber(0));
    }
    CRunZorSettings settings(false);
    PortChoice choice;
    choice.port = typed.c_str();
    if (kind.Uses(CRunZorSettings::CONTROL_ADDRESS)) {
      // Without the address a kind that needs one is refused, and has nothing to build.
      ASSERT_FALSE(applyPortChoice("settings", choice, settings));
      EXPECT_EQ(std::unique_ptr<CDevice>(kind.make(settings)), nullptr);
      choice.address = kind.type == ZOR_PLAYBACK  ? log.c_str()
                       : kind.type == ZOR_RFC2217 ? "127.0.0.1:2217"
                                                  : "127.0.0.1";
    }
    ASSERT_TRUE(applyPortChoice("settings", choice, settings));
    EXPECT_EQ(settings.GetPortIndex(), kind.entry);
    EXPECT_EQ(CRunZorSettings::PortEntryOf(CRunZorSettings::PortEntryText(kind.entry).c_str()), kind.entry);

    std::unique_ptr<CDevice> built(kind.make(settings));
    ASSERT_NE(built, nullptr);
    EXPECT_EQ(built->Type(), kind.type);
    built.reset();
    if (kind.type == ZOR_NULL || kind.type == ZOR_PLAYBACK) {
      std::unique_ptr<CDevice> opened(openSelectedDevice(settings));
      ASSERT_NE(opened, nullptr);
      EXPECT_EQ(opened->Type(), kind.type);
      EXPECT_TRUE(opened->IsDeviceOpen());
    }

    // A server serves what it can open here; a network client it replaces by NULL.
    CRunZorSettings server(true);
    EXPECT_EQ(server.SelectPort(kind.entry), kind.servable ? kind.entry : CRunZorSettings::ENTRY_NULL);
  }
  EXPECT_TRUE(offered.empty()) << "--port offers " << *offered.begin() << ", which no row has";
}

// The ports found at start, as the test sets them; put back when it ends.
struct FoundPorts {
  explicit FoundPorts(std::vector<WORD> ports) : saved(theApp.m_comPorts) {
    theApp.m_comPorts = std::move(ports);
  }
  ~FoundPorts() { theApp.m_comPorts = saved; }
  std::vector<WORD> saved;
};

TEST(DeviceKinds, StoredEntriesKeepTheirKindWhereverTheListShowsThem) {
  using S = CRunZorSettings;
  zor_test::TestEnv env;
  zortest::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  ASSERT_TRUE(zortest::linkComPort(7, pty.path()));
  FoundPorts found({7});
  CIni ini;
  ini.UseSystemFile();
  ASSERT_TRUE(ini.WriteProfileStringA(IDS_SECTION, IDS_RUNZOR_ADDRESS, "127.0.0.1:2217"));
  const auto stored = [&ini](int entry) {
    EXPECT_TRUE(ini.WriteProfileInt(IDS_SECTION, IDS_RUNZOR_NUMDEV, entry));
    return S(false);
  };

  // A file written before any kind was added: 5 is still the first serial port, and it opens.
  const S com = stored(5);
  EXPECT_EQ(com.GetPortIndex(), 5);
  EXPECT_EQ(S::PortEntryText(5), "COM 7");
  std::unique_ptr<CDevice> serial(openSelectedDevice(com));
  ASSERT_NE(serial, nullptr);
  EXPECT_EQ(serial->Type(), ZOR_RS232);
  serial.reset();
  // A later kind's entry lies past every serial entry; a server snaps it to NULL as any network client.
  const S net = stored(1000);
  EXPECT_EQ(deviceKindAt(net.GetPortIndex()).type, ZOR_RFC2217);
  EXPECT_EQ(net.Describe().rfind("Port: RFC2217, server 127.0.0.1:2217, 9600 8N1", 0), 0u) << net.Describe();
  EXPECT_EQ(S(true).GetPortIndex(), S::ENTRY_NULL);
  // Out of range reads as it always did: kept, shown as no entry, enabled as a serial port, opening nothing.
  for (int entry : {-3, 6, 999, 1001, INT_MAX}) {
    const S none = stored(entry);
    EXPECT_EQ(none.GetPortIndex(), entry);
    EXPECT_EQ(S::PortPosition(entry), -1) << entry;
    EXPECT_EQ(S::PortEntryText(entry), "") << entry;
    EXPECT_TRUE(none.IsEnabled(S::CONTROL_SERIAL)) << entry;
    EXPECT_EQ(std::unique_ptr<CDevice>(openSelectedDevice(none)), nullptr) << entry;
  }
  EXPECT_EQ(S::PortEntryText(INT_MIN), "");

  // The list: the kinds, RFC2217 after Playback, then the port; every place maps to its entry and back.
  ASSERT_EQ(S::PortEntryCount(), 7);
  EXPECT_EQ(S::PortEntryAt(5), S::ENTRY_RFC2217);
  EXPECT_EQ(S::PortEntryAt(6), 5);
  EXPECT_EQ(S::PortEntryAt(7), -1);
  EXPECT_EQ(S::PortEntryAt(-1), -1);
  for (int at = 0; at < S::PortEntryCount(); ++at) EXPECT_EQ(S::PortPosition(S::PortEntryAt(at)), at);

  // So many ports found that their entries would reach the added kinds': the list stops short of them.
  std::vector<WORD> many(1200);
  for (std::size_t i = 0; i < many.size(); ++i) many[i] = static_cast<WORD>(i + 1);
  FoundPorts lots(many);
  EXPECT_EQ(S::PortEntryCount(), 6 + 995);
  EXPECT_EQ(S::PortEntryAt(S::PortEntryCount() - 1), 999);
  EXPECT_EQ(S::PortEntryText(1000), "RFC2217");
  EXPECT_EQ(S::PortEntryOf("COM995"), 999);
  EXPECT_EQ(S::PortEntryOf("COM996"), -1);
}

}  // namespace
}  // namespace zor
