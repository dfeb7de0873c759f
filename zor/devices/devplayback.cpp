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
#include <vector>

namespace zor {

struct ZOR_LOCAL CDevPlayback::Private {
  CMutex scriptMutex;  // guards script and the two references
  std::string fileName;
  std::uint32_t refRecorded = 0;  // recorded time of the last element completed
  std::uint32_t refReal = 0;      // zorSyncTime when that happened
  std::unique_ptr<PlaybackScript> script;
  bool divergenceReported = false;  // standard error hears of the first error of an open only

  bool load(CStdioFile& file);
  void releaseMemory();
  // Under the script mutex. Matches the written bytes; true when a
  // transmission was completed. A byte the script did not expect fills
  // error (what came, to be logged) and why (the first one since the open).
  bool consume(const unsigned char* bytes, unsigned long n, std::vector<unsigned char>& error,
               std::string& why);
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

std::string hex(unsigned value) {
  char text[3];
  std::snprintf(text, sizeof text, "%.2x", value & 0xffu);
  return text;
}

PlaybackScript::iterator nextTransmission(PlaybackScript& script, PlaybackScript::iterator from) {
  return std::find_if(from, script.end(), [](const ELEMENT& e) { return e.tx; });
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
    if (guard.Lock()) {
      p->refRecorded = p->refReal = 0;
      p->divergenceReported = false;
    }
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

// The writes are one stream, matched byte by byte against the recorded
// transmissions in their order, so that how the transmit thread happened to
// cut the stream into writes (here or when recording) does not matter.
// Receptions recorded before a transmission stay in the script when the
// application writes ahead of them: they are the answers to earlier writes.
bool CDevPlayback::Private::consume(const unsigned char* bytes, unsigned long n,
                                    std::vector<unsigned char>& error, std::string& why) {
  bool completed = false;
  auto it = script ? nextTransmission(*script, script->begin()) : PlaybackScript::iterator{};
  for (unsigned long i = 0; i < n;) {
    if (!script || it == script->end()) {
      error.assign(bytes + i, bytes + n);
      if (!divergenceReported)
        why = std::to_string(n - i) + " bytes written where the log expects no more transmissions";
      break;
    }
    ELEMENT& e = *it;
    while (i < n && e.pos < e.size && (e.data[e.pos].wildcard || e.data[e.pos].value == bytes[i])) {
      // A wildcard keeps the byte that came in its place, so that what
      // was written against the row is known without a copy of its own.
      if (e.data[e.pos].wildcard) e.data[e.pos].value = bytes[i];
      ++e.pos;
      ++i;
    }
    if (e.pos < e.size && i < n) {
      // The conversation has left the recording: whatever the log holds from
      // this row on would answer something that was not said, and goes.
      // Receptions before it still answer what was. Settled before anything
      // is allocated, so that running out of memory cannot leave it half done.
      PlaybackScript broken;
      broken.splice(broken.begin(), *script, it, script->end());
      const ELEMENT& row = broken.front();
      // What came against the row from its first byte, whichever write
      // brought it: the record lines up with the row it broke.
      error.reserve(row.pos + (n - i));
      for (std::uint32_t k = 0; k < row.pos; ++k) error.push_back(row.data[k].value);
      error.insert(error.end(), bytes + i, bytes + n);
      if (!divergenceReported)
        why = "row " + std::to_string(row.row) + ": byte " + std::to_string(row.pos + 1) + " of " +
              std::to_string(row.size) + " written was expected as " + hex(row.data[row.pos].value) +
              ", came as " + hex(bytes[i]) + "; the rest of the log is not played";
      break;
    }
    if (e.pos < e.size) break;  // the row goes on in the next write
    // Pacing follows the recording from the element before a reception, so
    // a transmission the application wrote ahead of an earlier reception
    // does not move the references.
    if (it == script->begin()) {
      refRecorded = e.time;
      refReal = static_cast<std::uint32_t>(zorSyncTime());
    }
    completed = true;
    it = nextTransmission(*script, script->erase(it));
  }
  if (!why.empty()) divergenceReported = true;
  return completed;
}

int CDevPlayback::hook_writeFile(void*, const void* buffer, unsigned long size, unsigned long*, OVERLAPPED*) {
  bool completed = false;
  std::string why;
  {
    CIoLock guard(&p->scriptMutex);
    if (!guard.Lock()) return 0;
    std::vector<unsigned char> error;
    try {
      completed = p->consume(static_cast<const unsigned char*>(buffer), size, error, why);
    } catch (const std::bad_alloc&) {
      // Only the copy of what came failed, after the script was settled:
      // the write itself is still reported.
      ZOR_MEMORY_REPORT("error", "playback", __LINE__);
      error.clear();
      log(LOG_PLAYBACK_ERROR, buffer, size);
    }
    // Logged under the script mutex: the lock order is script, then monitor.
    if (!error.empty()) log(LOG_PLAYBACK_ERROR, error.data(), error.size());
  }
  if (!why.empty()) report(p->fileName, why);
  // The answer to this write may be due at once: the idle reader need not
  // wait for its next turn.
  if (completed) WakeReceiver();
  return 1;
}

}  // namespace zor
