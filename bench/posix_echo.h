// An echo through the kernel's sockets alone, TCP on 127.0.0.1 or a Unix
// stream socket pair: the limit that a relay over that medium is measured
// against. Kept apart from the platform layer's socket header, whose names
// clash with the system's.
#pragma once

#include <memory>

namespace bench {

class PosixTcpEcho {
public:
  enum class Medium { Tcp, Unix };
  // TCP: listens on an ephemeral port and connects to it; Unix: a socket
  // pair. Then starts the echo thread.
  explicit PosixTcpEcho(Medium medium = Medium::Tcp);
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
