// The one readiness reactor shared by every descriptor that sets an event
// when it becomes ready (a local pipe server's watches).
//
// A user registers its descriptor with a callback and arms it for the
// directions it waits on; the reactor thread calls back once per arming
// (one-shot), so a descriptor that stays hung up cannot make the thread spin.
// The thread starts with the first registration and is stopped and joined
// when the process exits.
//
// A thread that must itself block until one descriptor is ready uses the
// direct waitReadyOrWoken() (an idle receiving worker, a transport's
// transfer). No other file waits for a descriptor.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace zor {

class Reactor {
public:
  // Readiness bits passed to arm() and to callbacks.
  static constexpr unsigned kReadable = 1;  // includes the peer's hang-up
  static constexpr unsigned kWritable = 2;
  // Only in callbacks: error on the descriptor.
  static constexpr unsigned kError = 4;
  // In callbacks: hang-up. Armed without kReadable: wait for it, not for data.
  static constexpr unsigned kHangUp = 8;

  using Id = std::uint64_t;
  using Callback = std::function<void(unsigned events)>;

  static Reactor& instance();

  // Registers fd, not yet armed: nothing is reported for it until arm().
  // Returns 0 on failure with errno set (EPERM for a regular file, which is
  // always ready).
  Id add(int fd, Callback callback);
  // Waits once for the given readiness bits; 0 disarms. False with errno on failure.
  bool arm(Id id, unsigned interest);
  // Stops watching. A callback for id that already started may still be
  // running when this returns; callbacks must only reach their object through
  // a weak reference and its own lock. Must be called before fd is closed.
  void remove(Id id);

  // The direct wait, for a thread that waits for its own descriptor and for
  // events or a cancel at once (an idle receiving worker, a synchronous
  // transfer): the calling thread itself blocks until fd is ready for
  // interest or hung up (the bits are returned),
  // wakeFd (an eventfd its events write to) is signalled or timeoutMs passes
  // (both 0; -1: no bound). No reactor thread stands between the data and the
  // waiter, which matters for request/answer latency. -1 with errno on failure.
  static int waitReadyOrWoken(int fd, unsigned interest, int wakeFd, int timeoutMs);

  // The calling thread's wake-up descriptor for waitReadyOrWoken, created on
  // first use. Whoever may write to it after the wait ended holds a reference,
  // so the number is never reused under it. fd < 0: none could be made.
  struct WakeDescriptor {
    WakeDescriptor();
    ~WakeDescriptor();
    void wake() const;
    int fd;
  };
  static std::shared_ptr<WakeDescriptor> threadWake();

  Reactor(const Reactor&) = delete;
  Reactor& operator=(const Reactor&) = delete;

private:
  Reactor() = default;
  friend struct ReactorAccess;
};

}  // namespace zor
