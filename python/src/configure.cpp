// zor.configure(): the library-wide settings for the devices opened
// afterwards, with the settings file's ranges and messages.
#include "configure.h"

#include "device.h"
#include "errors.h"

#include <zor/app.h>
#include <zor/monitor.h>
#include <zor/strings.h>

#include <climits>
#include <mutex>
#include <string>
#include <vector>

namespace zorpy {
namespace {

// One keyword: the settings file's key, its range and the member it sets.
struct Setting {
  const char* keyword;
  zor::StringId key;
  long min, max;
  long zor::CZORApp::*asLong;
  int zor::CZORApp::*asInt;
  bool zor::CZORApp::*asFlag;
};

constexpr long kMaxWaitMs = 600000;

// The ranges the library applies to its settings file.
const Setting kSettings[] = {
    {"granularity", zor::IDS_THREAD_GRANULARITY, 0, 1000, &zor::CZORApp::m_threadGranularity, nullptr,
     nullptr},
    {"io_timeout", zor::IDS_IO_TIMEOUT, 1, kMaxWaitMs, &zor::CZORApp::m_ioTimeout, nullptr, nullptr},
    {"io_write_timeout", zor::IDS_IO_WRITE_TIMEOUT, 1, kMaxWaitMs, &zor::CZORApp::m_ioWriteTimeout, nullptr,
     nullptr},
    {"lock_timeout", zor::IDS_LOCK_TIMEOUT, 1, kMaxWaitMs, &zor::CZORApp::m_lockTimeout, nullptr, nullptr},
    {"connection_timeout", zor::IDS_CONNECTION_TIMEOUT, 1, kMaxWaitMs, &zor::CZORApp::m_connectionTimeout,
     nullptr, nullptr},
    {"autoresume_timer", zor::IDS_AUTORESUME_TIMER, 10, kMaxWaitMs, nullptr, &zor::CZORApp::m_autoresumeTimer,
     nullptr},
    {"writes_before_xoff", zor::IDS_WRITES_BEFORE_XOFF, 1, 1024, nullptr, &zor::CZORApp::m_writesBeforeXoff,
     nullptr},
    {"x_protocol_override", zor::IDS_X_PROTOCOL_OVERRIDE, -1, INT_MAX, nullptr,
     &zor::CZORApp::m_xProtocolOverride, nullptr},
    {"panic_resume", zor::IDS_PANIC_RESUME, LONG_MIN, LONG_MAX, nullptr, nullptr,
     &zor::CZORApp::m_panicResume},
    {"true_playback_speed", zor::IDS_TRUE_PLAYBACK_SPEED, LONG_MIN, LONG_MAX, nullptr, nullptr,
     &zor::CZORApp::m_truePlayback},
};

long current(const Setting& s) {
  if (s.asLong != nullptr) return zor::theApp.*s.asLong;
  if (s.asInt != nullptr) return zor::theApp.*s.asInt;
  return zor::theApp.*s.asFlag ? 1 : 0;
}

}  // namespace

void setModuleDefaults() {
  std::lock_guard lock(settingsLock());
  if (liveDevices() != 0) return;
  // Scripts want answers, not slices.
  zor::theApp.m_threadGranularity = 0;
  // log_to() writes what Playback reads back: every chunk, in the hexadecimal view.
  zor::theApp.m_monitorView = zor::MONITOR_VIEW_HEX;
  zor::theApp.m_filterRX = false;
  zor::theApp.m_filterTX = false;
}

py::dict configure(const py::kwargs& kw) {
  struct Change {
    const Setting* s;
    long value;
  };
  std::vector<Change> changes;
  for (auto item : kw) {
    const std::string keyword = py::str(item.first);
    const Setting* s = nullptr;
    for (const Setting& c : kSettings)
      if (keyword == c.keyword) s = &c;
    if (s == nullptr) raise(PyExc_TypeError, "configure: unexpected keyword argument '" + keyword + "'");
    py::handle v = item.second;
    const std::string key = zor::zorString(s->key);
    if (s->asFlag != nullptr) {
      changes.push_back({s, py::bool_(v.cast<py::object>()) ? 1L : 0L});
      continue;
    }
    if (!PyLong_Check(v.ptr()) || PyBool_Check(v.ptr()))
      raise(PyExc_TypeError, "configure: \"" + key + "\" (" + keyword + ") must be a whole number");
    const long long n = v.cast<long long>();
    if (n < s->min || n > s->max)
      raise(PyExc_ValueError, "configure: \"" + key + "\" has value " + std::to_string(n) + ", outside " +
                                  std::to_string(s->min) + " to " + std::to_string(s->max));
    changes.push_back({s, static_cast<long>(n)});
  }
  {
    std::lock_guard lock(settingsLock());
    // The worker threads read these as they run: no device may exist meanwhile.
    if (!changes.empty() && liveDevices() > 0)
      raise(PyExc_RuntimeError, "configure: " + std::to_string(liveDevices()) +
                                    " device(s) exist; close them before changing the settings");
    for (const Change& c : changes) {
      if (c.s->asLong != nullptr) zor::theApp.*c.s->asLong = c.value;
      if (c.s->asInt != nullptr) zor::theApp.*c.s->asInt = static_cast<int>(c.value);
      if (c.s->asFlag != nullptr) zor::theApp.*c.s->asFlag = c.value != 0;
    }
  }
  py::dict now;
  for (const Setting& s : kSettings) {
    if (s.asFlag != nullptr)
      now[s.keyword] = py::bool_(current(s) != 0);
    else
      now[s.keyword] = current(s);
  }
  return now;
}

}  // namespace zorpy
