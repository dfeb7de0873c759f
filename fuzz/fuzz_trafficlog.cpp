// Fuzz target: the traffic log reader must take any bytes as a log without
// reading past a field or allocating more than the input can describe, and
// a script it accepts must be consistent.
#include "zor/devices/trafficlog_reader.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zor::PlaybackScript script;
  zor::TrafficLogReader reader(script);
  std::string_view input(reinterpret_cast<const char*>(data), size);
  bool ok = true;
  while (ok && !input.empty()) {
    std::size_t nl = input.find('\n');
    std::string_view line = input.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    ok = reader.addLine(line);
    input.remove_prefix(nl == std::string_view::npos ? input.size() : nl + 1);
  }
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
  if (bytes * 2 > size) __builtin_trap();
  return 0;
}
