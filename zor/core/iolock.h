// CIoLock: the scoped guard over a device's own queue mutex (loopback queue,
// playback script). Locks within 2000 ms or not at all; one guard per call.
#pragma once

#include <zor/platform.h>

#include <memory>

namespace zor {

class CIoLock {
public:
  explicit CIoLock(CMutex* mutex);
  ~CIoLock();
  CIoLock(const CIoLock&) = delete;
  CIoLock& operator=(const CIoLock&) = delete;
  // Succeeds at once when already held, else waits at most 2000 ms.
  bool Lock();

private:
  std::unique_ptr<CSingleLock> m_ioLock;
};

}  // namespace zor
