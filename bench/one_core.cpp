#include "one_core.h"

#include <sched.h>

namespace bench {

struct OneCore::Saved {
  cpu_set_t mask;
  bool pinned = false;
};

OneCore::OneCore() : m_saved(std::make_unique<Saved>()) {
  const int core = ::sched_getcpu();
  if (core < 0 || ::sched_getaffinity(0, sizeof m_saved->mask, &m_saved->mask) != 0) return;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(core, &one);
  m_saved->pinned = ::sched_setaffinity(0, sizeof one, &one) == 0;
}

OneCore::~OneCore() {
  if (m_saved->pinned) ::sched_setaffinity(0, sizeof m_saved->mask, &m_saved->mask);
}

bool OneCore::ok() const { return m_saved->pinned; }

}  // namespace bench
