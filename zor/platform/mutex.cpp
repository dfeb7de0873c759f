#include <zor/platform.h>

#include <chrono>

namespace zor {

bool CMutex::Lock(DWORD milliseconds) {
  if (milliseconds == INFINITE) {
    m_mutex.lock();
    return true;
  }
  return m_mutex.try_lock_for(std::chrono::milliseconds(milliseconds));
}

bool CMutex::Unlock() {
  m_mutex.unlock();
  return true;
}

CSingleLock::CSingleLock(CMutex* mutex, bool initialLock) : m_mutex(mutex) {
  if (initialLock) Lock();
}

CSingleLock::~CSingleLock() { Unlock(); }

bool CSingleLock::Lock(DWORD milliseconds) {
  if (m_locked) return true;
  if (m_mutex == nullptr) return false;
  m_locked = m_mutex->Lock(milliseconds);
  return m_locked;
}

bool CSingleLock::Unlock() {
  if (!m_locked) return false;
  m_mutex->Unlock();
  m_locked = false;
  return true;
}

}  // namespace zor
