// A helper program running beside a test (a peer such as socat): started at
// once, ended (SIGTERM, then SIGKILL) and reaped when the object goes.
#pragma once

#include <string>
#include <vector>

namespace zortest {

class BackgroundProcess {
public:
  // args[0] is the program, looked up in PATH. Standard output goes to
  // outPath (none: /dev/null), standard error to /dev/null; env entries
  // ("NAME=value") are added to the environment.
  explicit BackgroundProcess(const std::vector<std::string>& args, const std::string& outPath = "",
                             const std::vector<std::string>& env = {});
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  bool started() const { return m_pid > 0; }
  // Ends the process (signal 15, or 9 for a hard kill) and waits for it, at most 5 s.
  void stop(int signal = 15);
  // True once the process has exited (reaps it).
  bool exited();
  // Exit code of a process that exited by itself; -1 otherwise.
  int exitCode() const { return m_exitCode; }

private:
  int m_pid = -1;
  int m_exitCode = -1;
};

// True when program is found in PATH.
bool haveProgram(const std::string& program);

}  // namespace zortest
