// End to end: the serial device talks over a socat pty pair to an independent
// program (python3-serial) on the other end of the line.
#include <zor/zor.h>

#include "support/background.h"
#include "support/process.h"
#include "support/recorder.h"
#include "support/serial_line.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

using namespace zor;
using namespace zor_test;

using zortest::portNumber;

namespace {

// The instrument: says it is ready (its open empties the line), reads a request line, answers it in capitals;
// then reads a binary block of 4096 bytes and sends it back reversed.
const char* kPeer = R"(
import sys, serial
port = serial.Serial(sys.argv[1], 19200, bytesize=8, parity='N', stopbits=1, timeout=10,
                     xonxoff=False, rtscts=False)
port.write(b'ready\n')
line = port.read_until(b'\n')
port.write(line.upper())
block = port.read(4096)
if len(block) != 4096:
    sys.exit(2)
port.write(block[::-1])
port.flush()
print("peer done")
)";

bool exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

TEST(SerialPeer, TalksToAnIndependentProgramOverSocat) {
  if (!exists("/usr/bin/socat") || !exists("/usr/bin/python3")) GTEST_SKIP() << "needs socat and python3";
  SettingsScope settings;
  theApp.m_threadGranularity = 2;
  std::string dir = zortest::scratchFolder("serial_peer_" + std::to_string(getpid()));
  std::string ours = dir + "/ours";
  std::string theirs = dir + "/theirs";
  zortest::BackgroundProcess socat(
      {"/usr/bin/socat", "pty,raw,echo=0,link=" + ours, "pty,raw,echo=0,link=" + theirs});
  ASSERT_TRUE(socat.started());
  ASSERT_TRUE(waitUntil([&] { return exists(ours) && exists(theirs); }, 5000)) << "socat made no ptys";
  zortest::writeText(dir + "/peer.py", kPeer);
  ASSERT_TRUE(zortest::linkComPort(portNumber(), ours));

  CDevRS232 dev;
  dev.DeviceProgram(false, 19200, 'N', 8, 1);
  ASSERT_TRUE(dev.OpenDevice(portNumber(), 3, 8192, 8192));

  zortest::ProcessResult peer;
  std::thread instrument([&] { peer = zortest::runProcess("/usr/bin/python3", {dir + "/peer.py", theirs}); });

  auto ready = readBytes(dev, 6, 10000);
  EXPECT_EQ(std::string(ready.begin(), ready.end()), "ready\n");
  const std::string request = "measure voltage?\n";
  // No ASSERT while the instrument's thread runs: it must be joined.
  EXPECT_TRUE(dev.WriteBuffer(reinterpret_cast<const unsigned char*>(request.data()), request.size()));
  auto answer = readBytes(dev, request.size(), 10000);
  EXPECT_EQ(std::string(answer.begin(), answer.end()), "MEASURE VOLTAGE?\n");

  std::string block(4096, '\0');
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 13 + i / 256);
  EXPECT_TRUE(dev.WriteBuffer(reinterpret_cast<const unsigned char*>(block.data()), block.size()));
  auto back = readBytes(dev, block.size(), 10000);
  instrument.join();
  EXPECT_EQ(std::string(back.begin(), back.end()), std::string(block.rbegin(), block.rend()));
  EXPECT_EQ(peer.exitCode, 0) << peer.out << peer.err;
  EXPECT_NE(peer.out.find("peer done"), std::string::npos);
  dev.CloseDevice();
  zortest::unlinkComPort(portNumber());
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

}  // namespace
