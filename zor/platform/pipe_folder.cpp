// The pipe folder: where it is, whether it is safe to make sockets in, and
// whether a group shares it.
#include "zor/platform/local_pipe.h"

#include "zor/platform/fail.h"
#include "zor/platform/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace zor {
namespace {

bool isMember(gid_t group) {
  if (getegid() == group) return true;
  int n = getgroups(0, nullptr);
  if (n <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(n));
  n = getgroups(n, groups.data());
  return n > 0 && std::find(groups.begin(), groups.begin() + n, group) != groups.begin() + n;
}

// A folder that a group shares on purpose: group-writable with the set-group-id
// bit, and this user in that group. Its sockets are made for the group too.
bool isSharedFolder(const struct stat& st) {
  return (st.st_mode & S_ISGID) && (st.st_mode & S_IWGRP) && isMember(st.st_gid);
}

// Why a folder cannot hold the pipes: a Win32 code and the words that finish
// "the pipe folder F ..."; code 0 when it can.
struct FolderVerdict {
  DWORD code = 0;
  std::string why;
};

FolderVerdict refuse(DWORD code, std::string why) { return {code, std::move(why)}; }

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// The folder the user named: its links are the user's own choice, and a group
// may share it on purpose.
FolderVerdict checkConfiguredFolder(const std::string& folder) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    int err = errno;
    return refuse(win32ErrorFromErrno(err), std::string("cannot be made: ") + std::strerror(err));
  }
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return refuse(ERROR_PATH_NOT_FOUND, "is not a folder");
  bool shared = isSharedFolder(st);
  const char* fault = nullptr;
  if (st.st_uid != getuid() && st.st_uid != 0 && !shared)
    fault = "belongs to another user";
  else if ((st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && !shared))
    fault = "may be written by other users";
  if (fault == nullptr) return {};
  return refuse(ERROR_ACCESS_DENIED, std::string(fault) + " (owner " + std::to_string(st.st_uid) + ", mode " +
                                         octal(st.st_mode) +
                                         "): no pipe is opened there; make it yours with "
                                         "mode 0700");
}

// The default folder sits where others may create names (/tmp), so a link or a
// folder planted there before us must not take our sockets elsewhere: nothing
// is followed, and what is checked is the folder the descriptor holds.
FolderVerdict checkDefaultFolder(const std::string& folder) {
  bool made = ::mkdir(folder.c_str(), 0700) == 0;
  if (!made && errno != EEXIST) {
    int err = errno;
    return refuse(win32ErrorFromErrno(err), std::string("cannot be made: ") + std::strerror(err));
  }
  struct stat named {};
  if (::lstat(folder.c_str(), &named) != 0) {
    int err = errno;
    return refuse(win32ErrorFromErrno(err), std::string("cannot be looked at: ") + std::strerror(err));
  }
  const char* planted = "is a symbolic link: no pipe is made through it; remove the link";
  if (S_ISLNK(named.st_mode)) return refuse(ERROR_ACCESS_DENIED, planted);
  if (!S_ISDIR(named.st_mode)) return refuse(ERROR_ACCESS_DENIED, "is not a folder: remove what is there");
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    if (err == ELOOP) return refuse(ERROR_ACCESS_DENIED, planted);
    return refuse(win32ErrorFromErrno(err), std::string("cannot be opened: ") + std::strerror(err));
  }
  struct stat st {};
  FolderVerdict verdict;
  if (::fstat(fd, &st) != 0 || st.st_dev != named.st_dev || st.st_ino != named.st_ino) {
    verdict = refuse(ERROR_ACCESS_DENIED, "was replaced while it was looked at");
  } else if (st.st_uid != getuid()) {
    verdict = refuse(ERROR_ACCESS_DENIED, "belongs to another user (owner " + std::to_string(st.st_uid) +
                                              "): no pipe is opened there; remove it");
  } else if ((st.st_mode & 07777) != 0700) {
    // A folder just made may have lost bits to the umask; one found so was
    // open to others for a while, and its names cannot be trusted.
    if (made && ::fchmod(fd, 0700) == 0) {
      st.st_mode = (st.st_mode & ~07777) | 0700;
    } else {
      verdict = refuse(ERROR_ACCESS_DENIED,
                       "has mode " + octal(st.st_mode) + ", not 0700: no pipe is opened there; make it 0700");
    }
  }
  ::close(fd);
  return verdict;
}

std::string configuredPipeFolder() {
  const char* own = std::getenv("ZOR_PIPE_DIR");
  return own != nullptr ? own : "";
}

std::string defaultPipeFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/zor";
  return "/tmp/zor-" + std::to_string(getuid());
}

}  // namespace

bool isSharedPipeFolder(const std::string& folder) {
  struct stat st {};
  return ::stat(folder.c_str(), &st) == 0 && isSharedFolder(st);
}

std::string pipeFolder(std::string* problem) {
  std::string folder = configuredPipeFolder();
  FolderVerdict verdict;
  if (!folder.empty()) {
    verdict = checkConfiguredFolder(folder);
  } else {
    folder = defaultPipeFolder();
    verdict = checkDefaultFolder(folder);
  }
  if (verdict.code == 0) return folder;
  std::string line =
      "the pipe folder " + folder + " " + verdict.why + ", or set ZOR_PIPE_DIR to a folder of yours";
  if (problem != nullptr)
    *problem = line;
  else
    std::fprintf(stderr, "zor: %s\n", line.c_str());
  return fail(verdict.code, std::string());
}

}  // namespace zor
