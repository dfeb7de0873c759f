#include "support/background.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace zortest {

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& args) {
  if (args.empty()) return;
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  pid_t pid = ::fork();
  if (pid == 0) {
    if (devnull >= 0) {
      ::dup2(devnull, 0);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
    }
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  if (devnull >= 0) ::close(devnull);
  m_pid = pid;
}

BackgroundProcess::~BackgroundProcess() { stop(); }

bool BackgroundProcess::exited() {
  if (m_pid <= 0) return true;
  int status = 0;
  pid_t r = ::waitpid(m_pid, &status, WNOHANG);
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
