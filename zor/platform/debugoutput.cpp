#include "zor/platform/platform.h"

#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <string>

namespace zor {

// There is no debugger channel on Linux: the text goes to standard error as
// one line, in one write so that lines of concurrent callers do not mix.
void OutputDebugStringA(const char* text) {
  if (text == nullptr) return;
  std::string line(text);
  if (line.empty() || line.back() != '\n') line.push_back('\n');
  std::size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n > 0)
      done += static_cast<std::size_t>(n);
    else if (n < 0 && errno == EINTR)
      continue;
    else
      break;
  }
}

}  // namespace zor
