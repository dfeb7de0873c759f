// Fuzz target: a traffic log as the playback device reads it, through the
// file's line reader into the row parser. The reader must take any bytes as
// a log without reading past a field or allocating more than the input can
// describe; the lines must be those of the text; a script it accepts must be
// consistent.
#include "zor/devices/trafficlog_reader.h"
#include "zor/platform/stdiofile.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

// One in-memory regular file, refilled for each input.
int memoryFile() {
  static const int fd = memfd_create("fuzz_trafficlog", 0);
  return fd;
}

// The next line as the reader must see it: up to LF, less a CR before the LF.
std::string_view nextLine(std::string_view& input) {
  std::size_t nl = input.find('\n');
  std::string_view line = input.substr(0, nl);
  input.remove_prefix(nl == std::string_view::npos ? input.size() : nl + 1);
  if (nl != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = memoryFile();
  if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
  zor::CStdioFile file;
  const std::string name = "/proc/self/fd/" + std::to_string(fd);
  if (!file.Open(name.c_str(),
                 zor::CStdioFile::modeRead | zor::CStdioFile::shareDenyWrite | zor::CStdioFile::typeText))
    __builtin_trap();

  zor::PlaybackScript script;
  zor::TrafficLogReader reader(script);
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string line;
  bool ok = true;
  while (ok && file.ReadString(line)) {
    if (input.empty() || line != nextLine(input)) __builtin_trap();
    ok = reader.addLine(line);
  }
  if (ok && (!input.empty() || zor::GetLastError() != zor::ERROR_HANDLE_EOF)) __builtin_trap();
  if (ok) ok = reader.finish();
  if (!ok) {
    if (reader.error().empty()) __builtin_trap();
    return 0;
  }
  std::size_t bytes = 0;
  for (const auto& e : script) {
    if (e.size != e.data.size() || e.pos != 0) __builtin_trap();
    bytes += e.size;
  }
  // Every scripted byte stands for at least two characters of the log.
  if (script.empty() || bytes * 2 > size) __builtin_trap();
  return 0;
}
