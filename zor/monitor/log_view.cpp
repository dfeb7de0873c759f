// Browsing a recorded traffic log in the monitor: the log's lines read back
// into records, their bytes rendered again when the view changes.
#include "zor/monitor/line_format.h"
#include "zor/monitor/monitor_private.h"

#include <zor/app.h>
#include <zor/device.h>

#include <cstdlib>
#include <string_view>

namespace zor {
namespace {

int kindOfTag(std::string_view tag) {
  for (int kind = 0; kind <= 9; ++kind)
    if (tag == lineTag(kind)) return kind;
  return -1;
}

// The data field as bytes: tokens of two hexadecimal digits ("%.2x ") or of
// three decimal digits up to 255 ("%.3i "), each followed by one blank. Any
// other text (ASCII, an event) stays text.
bool readBytes(std::string_view data, std::vector<unsigned char>& bytes) {
  bytes.clear();
  if (data.empty()) return false;
  auto digits = [&](std::size_t width, int base) {
    bytes.clear();
    if (data.size() % (width + 1) != 0) return false;
    for (std::size_t pos = 0; pos < data.size(); pos += width + 1) {
      if (data[pos + width] != ' ') return false;
      int value = 0;
      for (std::size_t i = 0; i < width; ++i) {
        char c = data[pos + i];
        int d = c >= '0' && c <= '9' ? c - '0' : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0) return false;
        value = value * base + d;
      }
      if (value > 255) return false;
      bytes.push_back(static_cast<unsigned char>(value));
    }
    return true;
  };
  return digits(2, 16) || digits(3, 10);
}

// Splits "tag TAB time TAB size TAB data"; false for a line of another shape.
bool splitLine(const std::string& line, std::string_view fields[4]) {
  std::string_view rest(line);
  for (int i = 0; i < 3; ++i) {
    std::size_t tab = rest.find('\t');
    if (tab == std::string_view::npos) return false;
    fields[i] = rest.substr(0, tab);
    rest.remove_prefix(tab + 1);
  }
  fields[3] = rest;
  return true;
}

}  // namespace

void CMonitorDlg::Private::renderViewed() {
  store.ClearRecords();
  char text[4 * 64 + 1];
  for (const ViewedLine& v : viewed) {
    const char* data = v.data.c_str();
    // A log line holds at most 64 bytes: longer data came from elsewhere and stays text.
    if (v.hasBytes && v.bytes.size() <= 64) {
      renderBytes(theApp.m_monitorView, v.bytes.data(), v.bytes.size(), text);
      data = text;
    }
    if (!store.AddRecord(v.lineKind, v.time.c_str(), v.size.c_str(), data, nullptr)) break;
  }
}

bool CMonitorDlg::ViewLogFile(const char* path, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
  };
  CStdioFile in;
  if (path == nullptr ||
      !in.Open(path, CStdioFile::modeRead | CStdioFile::shareDenyWrite | CStdioFile::typeText))
    return fail(in.RefusedKind() != nullptr ? std::string("it is ") + in.RefusedKind() + ", not a traffic log"
                : GetLastError() == ERROR_FILE_NOT_FOUND
                    ? std::string("there is no such file")
                    : "it cannot be read (error " + std::to_string(GetLastError()) + ")");
  std::vector<Private::ViewedLine> lines;
  std::string line;
  unsigned long long records = 0, rx = 0, tx = 0;
  try {
    for (bool first = true; in.ReadString(line); first = false) {
      // A log saved by an editor may start with a UTF-8 byte order mark, as the playback reader accepts.
      if (first && line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);
      std::string_view f[4];
      if (!splitLine(line, f)) continue;
      int kind = kindOfTag(f[0]);
      if (kind < 0) continue;
      Private::ViewedLine v;
      v.lineKind = kind;
      v.time = f[1];
      v.size = f[2];
      v.data = f[3];
      v.hasBytes = readBytes(f[3], v.bytes);
      if (f[1] != "...") {
        ++records;
        unsigned long long n = std::strtoull(v.size.c_str(), nullptr, 10);
        if (f[0] == lineTag(firstLineKind(LOG_RX))) rx += n;
        if (f[0] == lineTag(firstLineKind(LOG_TX))) tx += n;
      }
      lines.push_back(std::move(v));
    }
  } catch (const std::bad_alloc&) {
    return fail("it does not fit in memory");
  }
  if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) return fail("a line is longer than a log line can be");
  if (lines.empty()) return fail("it holds no line of a traffic log");
  p->drain();
  CSingleLock lock(&p->mutex);
  if (!lock.Lock(Private::kLockTimeout)) return fail("the monitor is busy");
  if (p->logToFile) {
    p->file.Close();
    p->logToFile = false;
  }
  p->viewed = std::move(lines);
  p->recordsProcessed = records;
  p->bytesReceived = rx;
  p->bytesTransmitted = tx;
  p->renderViewed();
  return true;
}

}  // namespace zor
