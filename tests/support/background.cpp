#include "support/background.h"

#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace zortest {

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& args, const std::string& outPath,
                                     const std::vector<std::string>& env) {
  if (args.empty()) return;
  // Everything the child needs is built before fork: it only calls exec.
  std::vector<std::string> argStrings(args), envStrings = environmentWith(env);
  std::vector<char*> argv = cStrings(argStrings), envp = cStrings(envStrings);
  int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  int out = outPath.empty() ? -1 : ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_t pid = ::fork();
  if (pid == 0) {
    if (devnull >= 0) {
      ::dup2(devnull, 0);
      ::dup2(out >= 0 ? out : devnull, 1);
      ::dup2(devnull, 2);
    }
    ::execvpe(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  if (devnull >= 0) ::close(devnull);
  if (out >= 0) ::close(out);
  m_pid = pid;
}

BackgroundProcess::~BackgroundProcess() { stop(); }

bool BackgroundProcess::exited() {
  if (m_pid <= 0) return true;
  int status = 0;
  pid_t r = ::waitpid(m_pid, &status, WNOHANG);
  if (r == m_pid && WIFEXITED(status)) m_exitCode = WEXITSTATUS(status);
  if (r == m_pid || r < 0) {
    m_pid = -1;
    return true;
  }
  return false;
}

void BackgroundProcess::stop(int signal) {
  if (m_pid <= 0) return;
  ::kill(m_pid, signal);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!exited()) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
      m_pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

bool haveProgram(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':'))
    if (::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  return false;
}

}  // namespace zortest
