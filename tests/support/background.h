// A helper program running beside a test (a peer such as socat): started at
// once, ended (SIGTERM, then SIGKILL) and reaped when the object goes.
#pragma once

#include <string>
#include <vector>

namespace zortest {

class BackgroundProcess {
public:
  // args[0] is looked up in PATH. Standard output goes to outPath (none:
  // /dev/null), standard error to /dev/null; env entries ("NAME=value") are added.
  explicit BackgroundProcess(const std::vector<std::string>& args, const std::string& outPath = "",
                             const std::vector<std::string>& env = {});
  ~BackgroundProcess() { stop(); }
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  bool started() const { return m_pid > 0; }
  // Sends the signal and reaps the process, killing it after 5 s.
  void stop(int signal = 15);
  // True once the process has exited (reaps it).
  bool exited();
  // Exit code of a process that exited by itself; -1 otherwise.
  int exitCode() const { return m_exitCode; }

private:
  int m_pid = -1;
  int m_exitCode = -1;
};

bool haveProgram(const std::string& program);

}  // namespace zortest
