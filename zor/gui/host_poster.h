// Posts to a host window from any thread (PostMessageA on its HWND): the
// messages queue here, and one queued call at a time brings them, in order,
// to the GUI thread.
#pragma once

#include <zor/platform.h>

#include <QObject>

#include <deque>
#include <functional>
#include <mutex>

namespace zor {

class HostPoster : public QObject, public MessageTarget {
  Q_OBJECT
public:
  using Handler = std::function<void(const MSG&)>;
  explicit HostPoster(Handler handler, std::size_t limit = 10000)
      : m_handler(std::move(handler)), m_limit(limit) {}
  bool post(UINT msg, WPARAM wParam, LPARAM lParam) override;

public slots:
  void deliver();

private:
  Handler m_handler;
  std::size_t m_limit;
  std::mutex m_mutex;
  std::deque<MSG> m_queue;
  bool m_wakePending = false;
};

}  // namespace zor
