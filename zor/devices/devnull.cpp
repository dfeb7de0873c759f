// The loopback device: no medium, only a queue of bytes to be "received".
#include <zor/devnull.h>

#include "zor/core/iolock.h"

#include <atomic>
#include <deque>

namespace zor {

struct ZOR_LOCAL CDevNull::Private {
  std::deque<unsigned char> queue;
  std::atomic<bool> loopback{false};
  CMutex mutex;
};

CDevNull::CDevNull() : p(std::make_unique<Private>()) {
  SetWakesReceiver(true);  // Stuff wakes it
  constructor();
}

CDevNull::~CDevNull() { destroyer(); }

bool CDevNull::OpenDevice(int overlapFlags, int rxSize, int txSize) {
  SetChannelOwner();
  unsigned long lastError = 0;
  return openDevice("NULL", nullptr, overlapFlags, rxSize, txSize, &lastError);
}

void CDevNull::Loopback(bool on) { p->loopback = on; }

bool CDevNull::Stuff(const unsigned char* data, int count) {
  {
    CIoLock guard(&p->mutex);
    if (!guard.Lock()) return false;
    if (count > 0) p->queue.insert(p->queue.end(), data, data + count);
  }
  if (count > 0) WakeReceiver();
  return true;
}

int CDevNull::hook_readFile(void*, void* buffer, unsigned long toRead, unsigned long* bytesRead,
                            OVERLAPPED*) {
  CIoLock guard(&p->mutex);
  if (!guard.Lock()) return 0;
  if (p->queue.empty()) return 0;
  auto* out = static_cast<unsigned char*>(buffer);
  unsigned long n = 0;
  while (!p->queue.empty() && n < toRead) {
    out[n++] = p->queue.front();
    p->queue.pop_front();
  }
  *bytesRead = n;
  return 1;
}

int CDevNull::hook_writeFile(void*, const void* buffer, unsigned long toWrite, unsigned long* bytesWritten,
                             OVERLAPPED*) {
  if (p->loopback) Stuff(static_cast<const unsigned char*>(buffer), static_cast<int>(toWrite));
  *bytesWritten = toWrite;
  return 1;
}

}  // namespace zor
