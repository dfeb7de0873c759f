// Posted messages and the queue target for programs without a window.
#include <zor/platform.h>

namespace zor {

BOOL PostMessageA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (wnd == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!wnd->post(msg, wParam, lParam)) {
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return FALSE;
  }
  return TRUE;
}

MessageQueue::MessageQueue(std::size_t limit) : m_limit(limit) {}

bool MessageQueue::post(UINT msg, WPARAM wParam, LPARAM lParam) {
  {
    std::lock_guard lock(m_mutex);
    if (m_queue.size() >= m_limit) return false;
    m_queue.push_back(MSG{msg, wParam, lParam});
  }
  m_cv.notify_one();
  return true;
}

bool MessageQueue::get(MSG& out, DWORD milliseconds) {
  std::unique_lock lock(m_mutex);
  auto ready = [this] { return !m_queue.empty(); };
  if (milliseconds == INFINITE) {
    m_cv.wait(lock, ready);
  } else if (!m_cv.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
    return false;
  }
  out = m_queue.front();
  m_queue.pop_front();
  return true;
}

bool MessageQueue::peek(MSG& out, bool remove) {
  std::lock_guard lock(m_mutex);
  if (m_queue.empty()) return false;
  out = m_queue.front();
  if (remove) m_queue.pop_front();
  return true;
}

std::size_t MessageQueue::size() const {
  std::lock_guard lock(m_mutex);
  return m_queue.size();
}

}  // namespace zor
