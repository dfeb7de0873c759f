#include "support/process.h"
#include "support/background.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace zortest {
namespace {

// Starts args[0] (looked up in PATH) with the "NAME=value" entries of extra
// added to the environment. Everything the child needs is built before fork:
// it only calls dup2 and exec.
pid_t spawn(std::vector<std::string> args, const std::vector<std::string>& extra, int in, int out, int err) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const auto& x : extra)
      replaced = replaced || entry.compare(0, x.find('=') + 1, x, 0, x.find('=') + 1) == 0;
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  std::vector<char*> argv, envp;
  for (auto& s : args) argv.push_back(s.data());
  for (auto& s : env) envp.push_back(s.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::execvpe(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  return pid;
}

}  // namespace

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::pair<std::string, std::string>>& extraEnv, int timeoutMs) {
  ProcessResult result;
  std::vector<std::string> extra, argv{program};
  for (const auto& [k, v] : extraEnv) extra.push_back(k + "=" + v);
  argv.insert(argv.end(), args.begin(), args.end());
  int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
  pid_t pid = -1;
  if (pipe2(outPipe, O_CLOEXEC) == 0 && pipe2(errPipe, O_CLOEXEC) == 0)
    pid = spawn(argv, extra, 0, outPipe[1], errPipe[1]);
  for (int fd : {outPipe[1], errPipe[1]})
    if (fd >= 0) close(fd);
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool killed = false;
  for (int open = pid > 0 ? 2 : 0; open > 0;) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      killed = true;
      break;
    }
    if (poll(fds, 2, static_cast<int>(left.count())) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);
  if (pid <= 0) return result;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!killed && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& args, const std::string& outPath,
                                     const std::vector<std::string>& env) {
  if (args.empty()) return;
  int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  int out =
      outPath.empty() ? devnull : ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (devnull >= 0) m_pid = spawn(args, env, devnull, out >= 0 ? out : devnull, devnull);
  if (out >= 0 && out != devnull) ::close(out);
  if (devnull >= 0) ::close(devnull);
}

bool BackgroundProcess::exited() {
  if (m_pid <= 0) return true;
  int status = 0;
  pid_t r = ::waitpid(m_pid, &status, WNOHANG);
  if (r == m_pid && WIFEXITED(status)) m_exitCode = WEXITSTATUS(status);
  if (r == m_pid || r < 0) m_pid = -1;
  return m_pid <= 0;
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

std::string selfExecutable() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

std::string scratchFolder(const std::string& name) {
  namespace fs = std::filesystem;
  const char* cfg = std::getenv("ZOR_CONFIG");
  fs::path base =
      cfg != nullptr && *cfg != '\0' ? fs::path(cfg).parent_path() : fs::temp_directory_path() / "zor-tests";
  fs::path dir = base / (name + "-" + std::to_string(getpid()));
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directories(dir);
  return dir.string();
}

ScopedSettingsFile::ScopedSettingsFile()
    : m_old(std::getenv("ZOR_CONFIG") != nullptr ? std::getenv("ZOR_CONFIG") : ""),
      folder(scratchFolder(::testing::UnitTest::GetInstance()->current_test_info()->name())),
      file(folder + "/zor.ini") {
  setenv("ZOR_CONFIG", file.c_str(), 1);
}

ScopedSettingsFile::~ScopedSettingsFile() {
  setenv("ZOR_CONFIG", m_old.c_str(), 1);
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

int lineCount(const std::string& s) { return static_cast<int>(std::count(s.begin(), s.end(), '\n')); }

}  // namespace zortest
