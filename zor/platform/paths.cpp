// Per-user places of the settings file and of the serial port links.
#include "zor/platform/platform.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

namespace zor {
namespace {

std::string envOrEmpty(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::string(v) : std::string();
}

std::string homeFolder() {
  std::string home = envOrEmpty("HOME");
  if (!home.empty()) return home;
  struct passwd pw;
  struct passwd* found = nullptr;
  char buf[4096];
  if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr && found->pw_dir != nullptr)
    return found->pw_dir;
  return ".";
}

std::string folderOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

std::string settingsFilePath() {
  std::string path = envOrEmpty("ZOR_CONFIG");
  if (!path.empty()) return path;
  std::string xdg = envOrEmpty("XDG_CONFIG_HOME");
  // A relative XDG folder is invalid by its own rules and is ignored.
  if (!xdg.empty() && xdg[0] == '/') return xdg + "/zor/zor.ini";
  return homeFolder() + "/.config/zor/zor.ini";
}

std::string portLinkFolder() { return folderOf(settingsFilePath()) + "/ports"; }

std::string resolveComName(const char* name) {
  if (name == nullptr || name[0] != 'C' || name[1] != 'O' || name[2] != 'M') return {};
  const char* digits = name + 3;
  if (*digits < '1' || *digits > '9') return {};  // COM0 and leading zeros name no port
  long n = 0;
  for (const char* p = digits; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return {};
    n = n * 10 + (*p - '0');
    if (n > 1000000) return {};
  }

  std::string link = portLinkFolder() + "/COM" + std::to_string(n);
  char target[PATH_MAX];
  ssize_t len = readlink(link.c_str(), target, sizeof target - 1);
  if (len > 0) {
    std::string t(target, static_cast<std::size_t>(len));
    if (t[0] != '/') t = portLinkFolder() + "/" + t;
    return t;
  }
  return "/dev/ttyS" + std::to_string(n - 1);
}

}  // namespace zor
