// Fuzz target: the text of a settings file read into the library-wide
// settings. Any bytes must give values within their ranges, at most one
// warning per setting and one for the text, and the same text read twice
// must give the same values.
#include <zor/app.h>

#include "zor/support/ini_text.h"
#include "zor/support/support.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

bool within(long v, long min, long max) { return v >= min && v <= max; }

bool inRange(const zor::CZORApp& a) {
  return within(a.m_threadGranularity, 0, 1000) && within(a.m_ioTimeout, 1, 600000) &&
         within(a.m_ioWriteTimeout, 1, 600000) && within(a.m_lockTimeout, 1, 600000) &&
         within(a.m_connectionTimeout, 1, 600000) && within(a.m_autoresumeTimer, 10, 600000) &&
         within(a.m_writesBeforeXoff, 1, 1024) && within(a.m_xProtocolOverride, -1, INT_MAX) &&
         within(a.m_monitorView, 0, 2) && within(a.m_maxComPort, 0, 256);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  zor::CZORApp first, second;
  int warnings = 0;
  zor::applySettingsText(text, "fuzz.ini", first, [&](const std::string& line) {
    if (line.empty() || line.find('\n') != std::string::npos) __builtin_trap();
    ++warnings;
  });
  if (warnings > 19 || !inRange(first)) __builtin_trap();
  zor::applySettingsText(text, "fuzz.ini", second, [](const std::string&) {});
  if (first.m_threadGranularity != second.m_threadGranularity || first.m_ioTimeout != second.m_ioTimeout ||
      first.m_showMonitor != second.m_showMonitor || first.m_maxComPort != second.m_maxComPort)
    __builtin_trap();
  // What lookup finds, decoded, never holds a line break.
  if (auto v = zor::ini::lookup(text, "ZOR.DLL", "I/O Timeout"); v && v->find('\n') != std::string::npos)
    __builtin_trap();
  return 0;
}
