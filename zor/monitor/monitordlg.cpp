#include "zor/monitor/monitordlg.h"

#include "zor/monitor/line_format.h"
#include "zor/monitor/monitor_private.h"
#include "zor/platform/platform.h"

#include <zor/app.h>
#include <zor/strings.h>

#include <algorithm>
#include <cstdio>

namespace zor {

namespace {

constexpr unsigned long kChunk = 64;  // data bytes per line

// A value read under the monitor mutex; the type's zero when it is not had.
template <class State, class Read>
auto readLocked(State& state, Read read) -> decltype(read()) {
  state.drain();
  CSingleLock lock(&state.mutex);
  if (!lock.Lock(State::kLockTimeout)) return {};
  return read();
}

}  // namespace

CMonitorDlg::CMonitorDlg(CDevice* device) : p(std::make_unique<Private>()) {
  p->device = device;
  LoadOptions();
  p->queue = std::make_unique<CRecordQueue>(
      [this](const std::vector<CapturedRecord>& records, const unsigned char* bytes) {
        CSingleLock lock(&p->mutex);
        lock.Lock();
        for (const CapturedRecord& r : records)
          WriteRecord(r.kind, r.time, bytes != nullptr ? bytes + r.offset : nullptr, r.size);
        // One flush per batch keeps the file current without a write per record.
        if (p->logToFile && !p->file.Flush()) p->dropLogFile();
      });
}

CMonitorDlg::~CMonitorDlg() {
  // Every record captured reaches the sinks before the window may be waited for.
  p->queue->Stop();
  WaitOnExit();
  // The window stops its posts before it goes (it clears its targets).
  p->win.reset();
  p->windowCreated = false;
  p->hidden = false;
  CSingleLock lock(&p->mutex);
  if (lock.Lock(Private::kLockTimeout)) p->file.Close();
}

CMonitorWindow::~CMonitorWindow() = default;

namespace {

constinit std::atomic<zorMonitorWindowFactory> g_windowFactory{nullptr};

}  // namespace

void zorSetMonitorWindowFactory(zorMonitorWindowFactory factory) { g_windowFactory = factory; }

CDevice* CMonitorDlg::Device() const { return p->device; }

bool CMonitorDlg::Show() {
  if (p->windowCreated.load()) {
    if (p->hidden.exchange(false)) p->win->Unhide();
    return true;
  }
  zorMonitorWindowFactory factory = g_windowFactory.load();
  if (factory == nullptr) return false;
  p->win.reset(factory(this));
  p->hidden = false;
  p->windowCreated = p->win != nullptr;
  return p->windowCreated.load();
}

CMonitorWindow* CMonitorDlg::Window() const { return p->win.get(); }

bool CMonitorDlg::IsHidden() const { return p->hidden.load(); }

void CMonitorDlg::OnWindowClosed() { p->hidden = true; }

void CMonitorDlg::SetTxThreadIndicator(int selector, bool running) {
  if (selector != 0) return;
  // Under the lock, so that the window cannot go while the post is made.
  std::lock_guard lock(p->windowMutex);
  if (p->window != nullptr) PostMessageA(p->window, WM_MONITOR_TXTHREAD, running ? 1 : 0, 0);
}

void CMonitorDlg::LogCallback(long context, int kind, const void* data, unsigned long size) {
  auto* self = reinterpret_cast<CMonitorDlg*>(context);
  if (self == nullptr || size == 0) return;
  self->ProcessRecord(kind, data, size);
}

// Reads process-wide filters, so the caller holds the monitor mutex.
bool CMonitorDlg::IsFiltered(int kind) const {
  switch (kind) {
    case LOG_TX:
      return theApp.m_filterTX;
    case LOG_RX:
      return theApp.m_filterRX;
    case LOG_SERVER_SENT:
      return theApp.m_filterSent;
    case LOG_SERVER_RCV:
      return theApp.m_filterRcv;
    default:
      return false;
  }
}

void CMonitorDlg::ProcessRecord(int kind, const void* data, unsigned long size) {
  if (firstLineKind(kind) < 0 || size == 0) return;
  if (kind != LOG_EVENT && data == nullptr) return;
  // The time is the capture's; all the rest happens on the writer.
  p->queue->Push(kind, zorSyncTime(), data, size, kind != LOG_EVENT);
}

void CMonitorDlg::Flush() { p->drain(); }

void CMonitorDlg::WriteRecord(int kind, unsigned long t, const void* data, unsigned long size) {
  int lineKind = firstLineKind(kind);
  // The filters are read under the mutex, and every command changing them
  // first lets the records before it through, so a record captured before
  // the command meets the filters as they were.
  if (IsFiltered(kind)) return;

  ++p->recordsProcessed;
  if (kind == LOG_TX) p->bytesTransmitted += size;
  if (kind == LOG_RX) p->bytesReceived += size;

  char time[80];
  formatTimestamp(t, time, sizeof time);

  if (kind == LOG_EVENT) {
    char text[300];
    text[0] = '\0';
    zorLoadString(static_cast<unsigned>(size), text, sizeof text);
    EmitLine(lineKind, time, nullptr, text);
  } else {
    char sizeText[32];
    std::snprintf(sizeText, sizeof sizeText, "%lu", size);
    const auto* bytes = static_cast<const unsigned char*>(data);
    char text[300];
    for (unsigned long pos = 0; pos < size; pos += kChunk) {
      const unsigned long n = std::min(kChunk, size - pos);
      renderBytes(theApp.m_monitorView, bytes + pos, n, text);
      EmitLine(lineKind, time, sizeText, text);
      if (pos == 0) {
        std::snprintf(time, sizeof time, "...");
        sizeText[0] = '\0';
        ++lineKind;
      }
    }
  }
}

void CMonitorDlg::EmitLine(int lineKind, const char* time, const char* size, const char* data) {
  if (!p->pause) p->store.AddRecord(lineKind, time, size, data, nullptr);
  if (!p->externalDebugger && !p->logToFile) return;
  p->line.clear();
  appendLine(p->line, lineKind, time, size, data);
  if (p->externalDebugger) OutputDebugStringA(p->line.c_str());
  if (p->logToFile && !p->file.WriteString(p->line.c_str())) p->dropLogFile();
}

void CMonitorDlg::Private::dropLogFile() {
  std::fprintf(stderr,
               "zor: monitor: writing the traffic log %s failed (error %u); logging to file stopped\n",
               filePath.c_str(), static_cast<unsigned>(GetLastError()));
  file.Close();
  logToFile = false;
}

void CMonitorDlg::WaitOnExit() {
  // Only a window the user can close ends this wait.
  if (!p->windowCreated.load() || p->hidden.load() || !theApp.m_pauseOnExit ||
      theApp.m_pHostDlg.load() != nullptr)
    return;
  p->win->WaitForClose();
}

void CMonitorDlg::TogglePause() {
  p->drain();
  CSingleLock lock(&p->mutex);
  if (lock.Lock(Private::kLockTimeout)) p->pause = !p->pause;
}

void CMonitorDlg::Clear() {
  p->drain();
  CSingleLock lock(&p->mutex);
  if (!lock.Lock(Private::kLockTimeout)) return;
  p->store.ClearRecords();
  p->viewed.clear();
  p->recordsProcessed = p->bytesReceived = p->bytesTransmitted = 0;
}

unsigned long long CMonitorDlg::RecordsProcessed() const {
  return readLocked(*p, [&] { return p->recordsProcessed; });
}
unsigned long long CMonitorDlg::BytesReceived() const {
  return readLocked(*p, [&] { return p->bytesReceived; });
}
unsigned long long CMonitorDlg::BytesTransmitted() const {
  return readLocked(*p, [&] { return p->bytesTransmitted; });
}
bool CMonitorDlg::IsPaused() const {
  return readLocked(*p, [&] { return p->pause; });
}
bool CMonitorDlg::IsExternalDebugger() const {
  return readLocked(*p, [&] { return p->externalDebugger; });
}
bool CMonitorDlg::IsAlwaysOnTop() const {
  return readLocked(*p, [&] { return p->alwaysOnTop; });
}
bool CMonitorDlg::IsLogToFile() const {
  return readLocked(*p, [&] { return p->logToFile; });
}
int CMonitorDlg::LineCount() const {
  return readLocked(*p, [&] { return p->store.Count(); });
}
int CMonitorDlg::LineCapacity() const {
  return readLocked(*p, [&] { return p->store.Capacity(); });
}

bool CMonitorDlg::GetLine(int index, MonitorLine& out) const {
  p->drain();
  CSingleLock lock(&p->mutex);
  if (!lock.Lock(Private::kLockTimeout)) return false;
  const ListRecord* r = p->store.Record(index);
  if (r == nullptr) return false;
  out.lineKind = r->image;
  out.time = r->text[0];
  out.size = r->text[1];
  out.data = r->text[2];
  return true;
}

void CMonitorDlg::SetListTarget(HWND list) {
  CSingleLock lock(&p->mutex);
  if (lock.Lock(Private::kLockTimeout)) p->store.SetTarget(list);
}

void CMonitorDlg::SetWindowTarget(HWND window) {
  std::lock_guard lock(p->windowMutex);
  p->window = window;
}

std::string CMonitorDlg::FormatTimestamp(unsigned long t) {
  char buf[80];
  return std::string(buf, formatTimestamp(t, buf, sizeof buf));
}

std::string CMonitorDlg::FormatLine(int lineKind, const char* time, const char* size, const char* data) {
  std::string line;
  appendLine(line, lineKind, time, size, data);
  return line;
}

}  // namespace zor
