// Replays a recorded traffic log as the instrument: writes each query given
// and prints the answer the log recorded for it. Software that talks to an
// instrument is tested this way on a machine without one.
//   playback_script examples/sample_session.log '*IDN?' 'MEAS:VOLT?'
#include <zor/zor.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char kUsage[] =
    "usage: playback_script [--timeout-ms N] LOG QUERY...\n"
    "  LOG: a traffic log the monitor wrote (zor run --console --log LOG records one).\n"
    "  Writes each QUERY with a newline and prints the answer the log holds for it.\n"
    "  Exit status: 0 every answer came, 1 the log refused a query or held no answer,\n"
    "  2 a wrong command line.\n";

// Set from the device's threads when a write is not what the log recorded next.
std::atomic<bool> g_offScript{false};

void watchForPlaybackErrors(long, int kind, const void*, unsigned long) {
  if (kind == zor::LOG_PLAYBACK_ERROR) g_offScript = true;
}

// The answer up to its newline, or what came before the time-out.
std::string readLine(zor::CDevice& device, unsigned long timeoutMs) {
  std::string line;
  const unsigned long start = zor::GetTickCount();
  while (line.empty() || line.back() != '\n') {
    unsigned long waited = zor::GetTickCount() - start;
    if (waited >= timeoutMs || g_offScript) break;
    if (device.RXQueue()) {
      line += static_cast<char>(device.ReadByte());
    } else if (zor::WaitForSingleObject(device.DataReadyEvent(), timeoutMs - waited) == zor::WAIT_FAILED) {
      zor::Sleep(50);
    }
  }
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long timeoutMs = 2000;
  int first = 1;
  for (; first < argc && argv[first][0] == '-' && argv[first][1] == '-'; ++first) {
    if (std::strcmp(argv[first], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[first], "--timeout-ms") != 0 || first + 1 >= argc) {
      std::fprintf(stderr, "playback_script: unknown option \"%s\"; try playback_script --help\n",
                   argv[first]);
      return 2;
    }
    char* end = nullptr;
    timeoutMs = std::strtoul(argv[++first], &end, 10);
    if (*end != '\0' || timeoutMs == 0 || timeoutMs > 3600000) {
      std::fprintf(stderr, "playback_script: --timeout-ms \"%s\" is no number of ms\n", argv[first]);
      return 2;
    }
  }
  if (argc - first < 2) {
    std::fprintf(stderr, "playback_script: give a log and at least one query; try playback_script --help\n");
    return 2;
  }

  zor::CDevPlayback device(argv[first]);
  // Installed before the open so that no record of the session escapes it.
  device.InstallLogger(&watchForPlaybackErrors, 0);
  if (!device.OpenDevice(0, 8192, 8192)) {
    // The library has named the file and the row on standard error.
    std::fprintf(stderr, "playback_script: cannot replay %s\n", argv[first]);
    return 1;
  }

  int status = 0;
  for (int i = first + 1; i < argc && status == 0; ++i) {
    std::string query = std::string(argv[i]) + "\n";
    if (!device.WriteBuffer(reinterpret_cast<const unsigned char*>(query.data()), query.size())) {
      std::fprintf(stderr, "playback_script: the query \"%s\" was not taken in time\n", argv[i]);
      status = 1;
      break;
    }
    std::string answer = readLine(device, timeoutMs);
    if (g_offScript) {
      std::fprintf(stderr, "playback_script: \"%s\" is not what the log recorded next\n", argv[i]);
      status = 1;
    } else if (answer.empty() || answer.back() != '\n') {
      std::fprintf(stderr, "playback_script: the log holds no answer line to \"%s\"\n", argv[i]);
      status = 1;
    }
    if (!answer.empty()) std::printf("%s%s", answer.c_str(), answer.back() == '\n' ? "" : "\n");
  }
  device.CloseDevice();
  return status;
}
