// The local pipe tests' fixtures: a channel that records what it hears, a
// private pipe folder and settings file per test, and the relay over a loopback.
#pragma once

#include <gtest/gtest.h>

#include <zor/devnet.h>
#include <zor/zor.h>

#include "support/background.h"
#include "support/process.h"
#include "support/recorder.h"
#include "support/serial_line.h"
#include "support/tcppeer.h"

#include "zor/platform/local_pipe.h"
#include "zor/platform/pipe_transport.h"
#include "zor/platform/platform.h"
#include "zor/remote/intranetserver.h"
#include "zor/remote/namedpipe.h"

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include <unistd.h>

using namespace zor;
using namespace zortest;
using zor_test::LogRecorder;
using zor_test::readBytes;
namespace fs = std::filesystem;

namespace {

// Records what a channel hears.
class RecordingPipe : public CNamedPipe {
public:
  RecordingPipe() : CNamedPipe(64) {}
  ~RecordingPipe() override { stop(); }

  void onRead(const void* data, unsigned long size) override {
    std::lock_guard lock(m_mutex);
    auto* p = static_cast<const unsigned char*>(data);
    m_bytes.insert(m_bytes.end(), p, p + size);
    m_largest = std::max(m_largest, size);
    m_cv.notify_all();
  }
  void onConnect(bool connected) override {
    std::lock_guard lock(m_mutex);
    m_links.push_back(connected);
    m_cv.notify_all();
  }
  std::vector<unsigned char> waitBytes(std::size_t n, int ms = 5000) {
    std::unique_lock lock(m_mutex);
    m_cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_bytes.size() >= n; });
    return m_bytes;
  }
  std::vector<bool> waitLinks(std::size_t n, int ms = 5000) {
    std::unique_lock lock(m_mutex);
    m_cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_links.size() >= n; });
    return m_links;
  }
  unsigned long largestChunk() {
    std::lock_guard lock(m_mutex);
    return m_largest;
  }
  void forget() {
    std::lock_guard lock(m_mutex);
    m_bytes.clear();
  }

private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<unsigned char> m_bytes;
  std::vector<bool> m_links;
  unsigned long m_largest = 0;
};

class LocalPipe : public ::testing::Test {
protected:
  void SetUp() override {
    root = scratchFolder("pipes");
    dir = root + "/run";
    setenv("ZOR_PIPE_DIR", dir.c_str(), 1);
    settings->m_threadGranularity = 2;
    settings->m_ioWriteTimeout = 1000;
    settings->m_autoresumeTimer = 100;
    settings->m_panicResume = true;
  }
  void TearDown() override { unsetenv("ZOR_PIPE_DIR"); }

  // Socket files now in the pipe folder.
  int sockets() const {
    int n = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
      if (entry.is_socket()) ++n;
    return n;
  }
  std::string sock(const char* leaf) const { return dir + "/" + leaf; }

  zor_test::SettingsScope settings;
  std::string root, dir;
};

bool write(CDevice& dev, const std::vector<unsigned char>& b) {
  return dev.WriteBuffer(b.data(), static_cast<unsigned long>(b.size()));
}

struct ExposedNet : CDevNet {
  using CDevNet::CDevNet;
  using CDevNet::GetIOSize;
  using CDevNet::on_io_error;
};

class PipeRelay : public LocalPipe {
protected:
  void SetUp() override {
    LocalPipe::SetUp();
    echo.Loopback(true);
    ASSERT_TRUE(echo.OpenDevice(0, 8192, 8192));
    serverLog.attach(echo);
  }
  void TearDown() override {
    echo.CloseDevice();
    LocalPipe::TearDown();
  }
  int nextState(DWORD ms = 5000) {
    MSG m;
    while (queue.get(m, ms))
      if (m.message == CRelayServer::WM_PIPE_STATE) return static_cast<int>(m.wParam);
    return -1;
  }

  LogRecorder serverLog, rec;  // outlive the devices that log into them
  CDevNull echo;
  MessageQueue queue;
};

}  // namespace
