// The one readiness reactor shared by every descriptor-based handle kind.
//
// A kind registers its descriptor with a callback and arms it for the
// directions it waits on; the reactor thread calls back once per arming
// (one-shot), so a descriptor that stays hung up cannot make the thread spin.
// The thread starts with the first registration and is stopped and joined
// when the process exits.
#pragma once

#include <cstdint>
#include <functional>

namespace zor {

class Reactor {
public:
  // Readiness bits passed to arm() and to callbacks.
  static constexpr unsigned kReadable = 1;
  static constexpr unsigned kWritable = 2;
  // Only in callbacks: error or hang-up on the descriptor.
  static constexpr unsigned kError = 4;
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

  Reactor(const Reactor&) = delete;
  Reactor& operator=(const Reactor&) = delete;

private:
  Reactor() = default;
  friend struct ReactorAccess;
};

}  // namespace zor
