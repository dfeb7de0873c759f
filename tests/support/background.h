// A helper program running beside a test (a peer such as socat): started at
// once, ended (SIGTERM, then SIGKILL) and reaped when the object goes.
#pragma once

#include <string>
#include <vector>

namespace zortest {

class BackgroundProcess {
public:
  // args[0] is the program, looked up in PATH. Output goes to /dev/null.
  explicit BackgroundProcess(const std::vector<std::string>& args);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  bool started() const { return m_pid > 0; }
  // Ends the process (signal 15, or 9 for a hard kill) and waits for it, at most 5 s.
  void stop(int signal = 15);
  // True once the process has exited (reaps it).
  bool exited();

private:
  int m_pid = -1;
};

// True when program is found in PATH.
bool haveProgram(const std::string& program);

}  // namespace zortest
