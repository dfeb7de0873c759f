// Runs the calling thread, and every thread it starts while this lives, on
// the one core it is on now: the round trips measured under it show what a
// hand-off costs when the kernel keeps both ends of it on one core, apart
// from what a wake-up across cores costs on this machine.
#pragma once

#include <memory>

namespace bench {

class OneCore {
public:
  OneCore();
  ~OneCore();  // the calling thread's former cores again
  OneCore(const OneCore&) = delete;
  OneCore& operator=(const OneCore&) = delete;
  bool ok() const;

private:
  struct Saved;
  std::unique_ptr<Saved> m_saved;
};

}  // namespace bench
