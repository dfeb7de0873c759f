#include "zor/core/iolock.h"

#include "zor/support/support.h"

#include <new>

namespace zor {

CIoLock::CIoLock(CMutex* mutex) : m_ioLock(new (std::nothrow) CSingleLock(mutex)) {
  if (!m_ioLock) ZOR_MEMORY_REPORT("m_ioLock", "iolock", __LINE__);
}

CIoLock::~CIoLock() = default;  // CSingleLock unlocks if held

bool CIoLock::Lock() { return m_ioLock && m_ioLock->Lock(2000); }

}  // namespace zor
