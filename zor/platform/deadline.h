// The time a bounded wait may still take, for the descriptor waits of the
// transports.
#pragma once

#include <zor/platform.h>

#include <chrono>
#include <climits>

namespace zor {

class Deadline {
public:
  using Clock = std::chrono::steady_clock;

  explicit Deadline(unsigned long ms)
      : m_unbounded(ms == INFINITE || ms > static_cast<unsigned long>(INT_MAX)),
        m_end(Clock::now() + std::chrono::milliseconds(m_unbounded ? 0 : ms)) {}
  // -1 without a bound (INFINITE or more than a wait can express), 0 once
  // the deadline has passed.
  int left() const {
    if (m_unbounded) return -1;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(m_end - Clock::now()).count();
    return ms <= 0 ? 0 : static_cast<int>(ms);
  }

private:
  bool m_unbounded;
  Clock::time_point m_end;
};

}  // namespace zor
