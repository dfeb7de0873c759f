// The registry of device kinds, walked row by row: each kind is chosen by its
// name on the command line, lands on its own place in the port list, builds
// its own kind of device from the stored choice (the loopback and the
// playback really open), and is offered by the usage.
#include "support/process.h"
#include "support/recorder.h"
#include "zor/host/device_kinds.h"
#include "zor/host/port_options.h"

#include <zor/zor.h>

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <sstream>
#include <string>

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

}  // namespace
}  // namespace zor
