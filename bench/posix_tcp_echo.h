// A TCP echo on 127.0.0.1 through the kernel's sockets alone: the limit that
// any relay on loopback is measured against. Kept apart from the platform
// layer's socket header, whose names clash with the system's.
#pragma once

#include <memory>

namespace bench {

class PosixTcpEcho {
public:
  // Listens on an ephemeral port, connects to it and starts the echo thread.
  PosixTcpEcho();
  ~PosixTcpEcho();
  PosixTcpEcho(const PosixTcpEcho&) = delete;
  PosixTcpEcho& operator=(const PosixTcpEcho&) = delete;

  bool ok() const;
  // Sends size bytes and collects as many back; false on failure or after 2 s.
  bool trip(const char* out, char* in, unsigned long size);

private:
  struct Private;
  std::unique_ptr<Private> p;
};

}  // namespace bench
