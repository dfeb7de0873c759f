// The loopback device: no medium, only a queue of bytes to be "received".
#include <zor/devnull.h>

#include "zor/core/iolock.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <vector>

namespace zor {

struct ZOR_LOCAL CDevNull::Private {
  // The bytes not yet received are queue[head, size()): a read hands over one
  // span with one copy, and the taken front is dropped only once it outweighs
  // what is left, so that moving the rest down costs at most what was read.
  std::vector<unsigned char> queue;
  std::size_t head = 0;
  std::atomic<bool> loopback{false};
  CMutex mutex;
};

CDevNull::CDevNull() : p(std::make_unique<Private>()) {
  SetWakesReceiver(true);      // Stuff wakes it
  SetHooksAnswerAtOnce(true);  // a queue: nothing to wait for
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
    if (count > 0) {
      try {
        p->queue.insert(p->queue.end(), data, data + count);
      } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
      }
    }
  }
  if (count > 0) WakeReceiver();
  return true;
}

int CDevNull::hook_readFile(void*, void* buffer, unsigned long toRead, unsigned long* bytesRead,
                            OVERLAPPED*) {
  CIoLock guard(&p->mutex);
  if (!guard.Lock()) return 0;
  const std::size_t waiting = p->queue.size() - p->head;
  if (waiting == 0) return 0;
  const std::size_t n = std::min<std::size_t>(waiting, toRead);
  std::memcpy(buffer, p->queue.data() + p->head, n);
  p->head += n;
  if (p->head == p->queue.size()) {
    p->queue.clear();
    p->head = 0;
  } else if (p->head >= p->queue.size() - p->head) {
    p->queue.erase(p->queue.begin(), p->queue.begin() + static_cast<std::ptrdiff_t>(p->head));
    p->head = 0;
  }
  *bytesRead = static_cast<unsigned long>(n);
  return 1;
}

int CDevNull::hook_writeFile(void*, const void* buffer, unsigned long toWrite, unsigned long* bytesWritten,
                             OVERLAPPED*) {
  // Bytes that cannot be queued are not taken: the transmitter hears of it.
  if (p->loopback && !Stuff(static_cast<const unsigned char*>(buffer), static_cast<int>(toWrite))) return 0;
  *bytesWritten = toWrite;
  return 1;
}

}  // namespace zor
