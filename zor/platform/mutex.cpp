#include <zor/platform.h>

#include <chrono>

namespace zor {

bool CMutex::Lock(DWORD milliseconds) {
  auto self = std::this_thread::get_id();
  std::unique_lock lock(m_state);
  if (m_count > 0 && m_owner == self) {
    ++m_count;
    return true;
  }
  auto free = [this] { return m_count == 0; };
  if (milliseconds == INFINITE) {
    m_released.wait(lock, free);
  } else if (!m_released.wait_for(lock, std::chrono::milliseconds(milliseconds), free)) {
    return false;
  }
  m_owner = self;
  m_count = 1;
  return true;
}

bool CMutex::Unlock() {
  std::unique_lock lock(m_state);
  // Only the owner can release: a stray unlock must not free another thread's lock.
  if (m_count == 0 || m_owner != std::this_thread::get_id()) return false;
  if (--m_count == 0) {
    m_owner = std::thread::id();
    lock.unlock();
    m_released.notify_one();
  }
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
