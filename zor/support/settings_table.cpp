// The library-wide settings: their keys and ranges, in one table, and their
// reading from the text of the settings file.
#include <zor/app.h>
#include <zor/strings.h>

#include "zor/support/ini_text.h"
#include "zor/support/support.h"

#include <climits>
#include <string>

namespace zor {
namespace {

// One member of theApp, of whichever type it has.
struct Setting {
  StringId key;
  long min, max;
  long CZORApp::*asLong = nullptr;
  int CZORApp::*asInt = nullptr;
  bool CZORApp::*asFlag = nullptr;
};

constexpr Setting longSetting(StringId key, long min, long max, long CZORApp::*m) {
  return {key, min, max, m, nullptr, nullptr};
}
constexpr Setting intSetting(StringId key, long min, long max, int CZORApp::*m) {
  return {key, min, max, nullptr, m, nullptr};
}
// A switch is on for any value but 0, as stored files have always been read.
constexpr Setting flag(StringId key, bool CZORApp::*m) {
  return {key, LONG_MIN, LONG_MAX, nullptr, nullptr, m};
}

// Time-outs stop at ten minutes: a wait longer than that is a hang to whoever
// waits. The README's Settings table lists the same ranges.
constexpr long kMaxWaitMs = 600000;

constexpr Setting kSettings[] = {
    longSetting(IDS_THREAD_GRANULARITY, 0, 1000, &CZORApp::m_threadGranularity),
    longSetting(IDS_IO_TIMEOUT, 1, kMaxWaitMs, &CZORApp::m_ioTimeout),
    longSetting(IDS_IO_WRITE_TIMEOUT, 1, kMaxWaitMs, &CZORApp::m_ioWriteTimeout),
    longSetting(IDS_LOCK_TIMEOUT, 1, kMaxWaitMs, &CZORApp::m_lockTimeout),
    longSetting(IDS_CONNECTION_TIMEOUT, 1, kMaxWaitMs, &CZORApp::m_connectionTimeout),
    intSetting(IDS_AUTORESUME_TIMER, 10, kMaxWaitMs, &CZORApp::m_autoresumeTimer),
    intSetting(IDS_WRITES_BEFORE_XOFF, 1, 1024, &CZORApp::m_writesBeforeXoff),
    // -1: the application decides; 0: off; any other value: on.
    intSetting(IDS_X_PROTOCOL_OVERRIDE, -1, INT_MAX, &CZORApp::m_xProtocolOverride),
    intSetting(IDS_MONITOR_VIEW, 0, 2, &CZORApp::m_monitorView),
    intSetting(IDS_MAX_COM_PORT, 0, 256, &CZORApp::m_maxComPort),
    flag(IDS_SHOW_DEBUG_MONITOR, &CZORApp::m_showMonitor),
    flag(IDS_MONITOR_FILTER_RX, &CZORApp::m_filterRX),
    flag(IDS_MONITOR_FILTER_TX, &CZORApp::m_filterTX),
    flag(IDS_MONITOR_FILTER_RCV, &CZORApp::m_filterRcv),
    flag(IDS_MONITOR_FILTER_SENT, &CZORApp::m_filterSent),
    flag(IDS_PANIC_RESUME, &CZORApp::m_panicResume),
    flag(IDS_PAUSE_ON_EXIT, &CZORApp::m_pauseOnExit),
    flag(IDS_TRUE_PLAYBACK_SPEED, &CZORApp::m_truePlayback),
};

void set(CZORApp& app, const Setting& s, long v) {
  if (s.asLong != nullptr) app.*s.asLong = v;
  if (s.asInt != nullptr) app.*s.asInt = static_cast<int>(v);
  if (s.asFlag != nullptr) app.*s.asFlag = v != 0;
}

long get(const CZORApp& app, const Setting& s) {
  if (s.asLong != nullptr) return app.*s.asLong;
  if (s.asInt != nullptr) return app.*s.asInt;
  return app.*s.asFlag ? 1 : 0;
}

}  // namespace

void applySettingsText(std::string_view text, const std::string& path, CZORApp& app,
                       const std::function<void(const std::string&)>& warn) {
  const std::string where = "zor: settings file " + path + ": ";
  std::size_t first = 0;
  if (std::size_t n = ini::unknownLines(text, &first))
    warn(where + std::to_string(n) + (n == 1 ? " line" : " lines") + " not understood (the first is line " +
         std::to_string(first) + "), ignored");
  const char* section = zorString(IDS_SECTION);
  const CZORApp defaults;
  for (const Setting& s : kSettings) {
    const char* key = zorString(s.key);
    const long def = get(defaults, s);
    set(app, s, def);
    auto value = ini::lookup(text, section, key);
    if (!value) continue;
    auto number = ini::parseNumber(*value);
    std::string shown(*value, 0, 40);
    if (!number) {
      warn(where + "\"" + key + "\" has value \"" + shown + "\", not a whole number; using the default " +
           std::to_string(def));
    } else if (*number < s.min || *number > s.max) {
      warn(where + "\"" + key + "\" has value " + std::to_string(*number) + ", outside " +
           std::to_string(s.min) + " to " + std::to_string(s.max) + "; using the default " +
           std::to_string(def));
    } else {
      set(app, s, *number);
    }
  }
}

}  // namespace zor
