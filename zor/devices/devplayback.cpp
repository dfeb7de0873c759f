#include <zor/devplayback.h>

#include "zor/core/iolock.h"
#include "zor/devices/trafficlog_reader.h"
#include "zor/platform/stdiofile.h"
#include "zor/support/support.h"

#include <zor/app.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <string>

namespace zor {

struct ZOR_LOCAL CDevPlayback::Private {
  CMutex scriptMutex;  // guards script and the two references
  std::string fileName;
  std::uint32_t refRecorded = 0;  // recorded time of the last element completed
  std::uint32_t refReal = 0;      // zorSyncTime when that happened
  std::unique_ptr<PlaybackScript> script;

  bool load(CStdioFile& file);
  void releaseMemory();
};

namespace {

void report(const std::string& file, const std::string& what) {
  std::fprintf(stderr, "zor: playback: %s: %s\n", file.c_str(), what.c_str());
}

std::string openError(const CStdioFile& file, DWORD error) {
  if (file.RefusedKind() != nullptr)
    return std::string("cannot open: it is ") + file.RefusedKind() + ", not a regular file";
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "cannot open: no such file";
    case ERROR_ACCESS_DENIED:
      return "cannot open: access denied";
    case ERROR_SHARING_VIOLATION:
      return "cannot open: a monitor is logging to it";
    default:
      return "cannot open: error " + std::to_string(error);
  }
}

bool matches(const ELEMENT& e, const unsigned char* bytes, unsigned long n) {
  if (!e.tx || e.size != n || e.data.size() != n) return false;
  for (unsigned long i = 0; i < n; ++i)
    if (!e.data[i].wildcard && e.data[i].value != bytes[i]) return false;
  return true;
}

}  // namespace

CDevPlayback::CDevPlayback(const char* fileName) : p(std::make_unique<Private>()) {
  if (fileName != nullptr) p->fileName = fileName;
  SetWakesReceiver(true);  // rows announce when they are due; a matched write wakes it
  constructor();
}

CDevPlayback::~CDevPlayback() {
  destroyer();
  p->releaseMemory();
}

void CDevPlayback::SetFileName(const char* fileName) { p->fileName = fileName != nullptr ? fileName : ""; }

bool CDevPlayback::OpenDevice(int overlapFlags, int rxSize, int txSize) {
  if (p->fileName.empty() || IsDeviceOpen()) return false;
  CStdioFile file;
  if (!file.Open(p->fileName.c_str(),
                 CStdioFile::modeRead | CStdioFile::shareDenyWrite | CStdioFile::typeText)) {
    report(p->fileName, openError(file, GetLastError()));
    return false;
  }
  bool loaded = false;
  try {
    loaded = p->load(file);
  } catch (const std::bad_alloc&) {
    ZOR_MEMORY_REPORT("script", "playback", __LINE__);
    report(p->fileName, "out of memory");
  }
  file.Close();
  if (!loaded) return false;
  SetChannelOwner();
  {
    CIoLock guard(&p->scriptMutex);
    if (guard.Lock()) p->refRecorded = p->refReal = 0;
  }
  unsigned long lastError = 0;
  return openDevice("PB:", nullptr, overlapFlags, rxSize, txSize, &lastError);
}

bool CDevPlayback::Private::load(CStdioFile& file) {
  releaseMemory();
  auto fresh = std::make_unique<PlaybackScript>();
  TrafficLogReader reader(*fresh);
  std::string line;
  bool ok = true;
  unsigned long rows = 0;
  while (ok && file.ReadString(line)) {
    ++rows;
    ok = reader.addLine(line);
  }
  if (ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    report(fileName, "row " + std::to_string(rows + 1) + ": longer than " +
                         std::to_string(CStdioFile::kMaxLine >> 20) + " MiB, not a row of a traffic log");
    return false;
  }
  if (ok && GetLastError() != ERROR_HANDLE_EOF) {
    report(fileName, "read error " + std::to_string(GetLastError()));
    return false;
  }
  if (!ok || !reader.finish()) {
    if (reader.outOfMemory()) ZOR_MEMORY_REPORT("newElem.data", "playback", __LINE__);
    report(fileName, reader.error());
    return false;
  }
  CIoLock guard(&scriptMutex);
  if (!guard.Lock()) return false;
  script = std::move(fresh);
  return true;
}

void CDevPlayback::Private::releaseMemory() {
  CIoLock guard(&scriptMutex);
  if (!guard.Lock()) return;
  script.reset();
}

int CDevPlayback::hook_readFile(void*, void* buffer, unsigned long size, unsigned long* done, OVERLAPPED*) {
  CIoLock guard(&p->scriptMutex);
  if (!guard.Lock() || !p->script || p->script->empty()) return 0;
  ELEMENT& e = p->script->front();
  if (e.tx) return 0;  // the script waits for the application's write
  const std::uint32_t now = static_cast<std::uint32_t>(zorSyncTime());
  const std::uint32_t recordedGap = e.time - p->refRecorded;
  const std::uint32_t realGap = theApp.m_truePlayback ? now - p->refReal : recordedGap;
  // Only the start of an element is paced; a started one goes on at once.
  if (e.pos == 0 && realGap < recordedGap) {
    ReceiveDueIn(recordedGap - realGap);
    return 0;
  }
  const std::uint32_t n = static_cast<std::uint32_t>(std::min<unsigned long>(size, e.size - e.pos));
  auto* out = static_cast<unsigned char*>(buffer);
  for (std::uint32_t i = 0; i < n; ++i) out[i] = e.data[e.pos + i].value;
  *done = n;
  e.pos += n;
  if (e.pos >= e.size) {
    p->refRecorded = e.time;
    p->refReal = now;
    p->script->pop_front();
  }
  return 1;
}

int CDevPlayback::hook_writeFile(void*, const void* buffer, unsigned long size, unsigned long*, OVERLAPPED*) {
  bool matched = false;
  {
    CIoLock guard(&p->scriptMutex);
    if (!guard.Lock()) return 0;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    while (!matched && p->script && !p->script->empty()) {
      const ELEMENT& e = p->script->front();
      matched = matches(e, bytes, size);
      if (matched) {
        p->refRecorded = e.time;
        p->refReal = static_cast<std::uint32_t>(zorSyncTime());
      }
      p->script->pop_front();
    }
    // Logged under the script mutex: the lock order is script, then monitor.
    if (!matched) log(LOG_PLAYBACK_ERROR, buffer, size);
  }
  // The answer to this write may be due at once: the idle reader need not
  // wait for its next turn.
  if (matched) WakeReceiver();
  return 1;
}

}  // namespace zor
