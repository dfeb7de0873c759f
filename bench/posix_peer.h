// What the relay server is measured against as a program: a client made of
// plain sockets (the way a script would talk to "zor remote"), and the
// programs it talks to, started and ended here. Kept apart from the platform
// layer's socket header, whose names clash with the system's.
#pragma once

#include <string>
#include <vector>

namespace bench {

// A program running in the background, its output thrown away; the
// destructor ends it (SIGTERM, then SIGKILL after 3 s) and reaps it.
class Program {
public:
  Program(const std::vector<std::string>& argv, const std::vector<std::string>& env);
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  bool started() const { return m_pid > 0; }
  // CPU seconds the program used so far (user + system); 0 when unknown.
  double cpuSeconds() const;

private:
  int m_pid = -1;
};

// Connects to 127.0.0.1:port, retrying for up to 5 s while nobody listens
// there yet. With callBack it first listens on port + 1 and takes the
// server's call back, where the answers come; otherwise they come on the
// connection itself.
class PlainRelayClient {
public:
  PlainRelayClient(int port, bool callBack);
  ~PlainRelayClient();
  PlainRelayClient(const PlainRelayClient&) = delete;
  PlainRelayClient& operator=(const PlainRelayClient&) = delete;
  bool ok() const { return m_out >= 0 && m_in >= 0; }
  // Sends size bytes and collects as many back; false on failure or after 2 s.
  bool trip(const char* out, char* in, unsigned long size);

private:
  int m_out = -1;
  int m_in = -1;
};

// A TCP port of 127.0.0.1 that nobody listens on just now; 0 when none was found.
int freePort();

}  // namespace bench
