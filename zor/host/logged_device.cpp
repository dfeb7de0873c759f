#include "zor/host/logged_device.h"

#include "zor/host/device_kinds.h"

#include <zor/app.h>
#include <zor/host.h>
#include <zor/monitor.h>

#include <cstdio>
#include <filesystem>

namespace zor {
namespace {

// What path is ("a FIFO", "a directory", ...) when it exists and is no
// regular file; null for a regular file or a name not there yet.
const char* nonRegularKind(const char* path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (ec || !fs::exists(st) || fs::is_regular_file(st)) return nullptr;
  switch (st.type()) {
    case fs::file_type::directory:
      return "a directory";
    case fs::file_type::fifo:
      return "a FIFO";
    case fs::file_type::character:
      return "a character device";
    case fs::file_type::block:
      return "a block device";
    case fs::file_type::socket:
      return "a socket";
    default:
      return "a special file";
  }
}

}  // namespace

int prepareTrafficLog(const char* mode, const CRunZorSettings& settings, const char* log) {
  if (log == nullptr) return 0;
  if (deviceKindAt(settings.GetPortIndex()).type == ZOR_PLAYBACK) {
    std::fprintf(stderr, "zor %s: --log: a playback device replays a log and writes none; leave --log out\n",
                 mode);
    return 2;
  }
  if (const char* kind = nonRegularKind(log)) {
    std::fprintf(stderr, "zor %s: --log %s is %s, not a regular file; give --log a file\n", mode, log, kind);
    return 2;
  }
  theApp.m_monitorView = 1;
  theApp.m_filterRX = false;
  theApp.m_filterTX = false;
  return 0;
}

std::unique_ptr<CDevice> openLoggedDevice(const char* mode, const CRunZorSettings& settings, const char* log,
                                          char* name, std::size_t nameSize) {
  selectedDeviceName(settings, name, static_cast<int>(nameSize));
  std::unique_ptr<CDevice> device(openSelectedDevice(settings));
  if (!device) {
    std::fprintf(stderr,
                 "zor %s: Error opening the selected port (%s); check the choice with zor settings and the "
                 "serial ports with zor ports\n",
                 mode, name);
    return nullptr;
  }
  if (log != nullptr) {
    device->ShowMonitor();
    if (!device->Monitor()->StartLogFile(log)) {
      device->CloseDevice();
      std::fprintf(stderr, "zor %s: cannot write the traffic log %s; give --log a file that can be written\n",
                   mode, log);
      return nullptr;
    }
  }
  return device;
}

}  // namespace zor
