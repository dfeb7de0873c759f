// TEMPORARY: stands in for paths.cpp until that branch is merged; delete then.
#include "zor/platform/platform.h"

#include <cstdlib>
#include <cstring>

namespace zor {

std::string resolveComName(const char* name) {
  if (name == nullptr || std::strncmp(name, "COM", 3) != 0) return {};
  int n = std::atoi(name + 3);
  return n >= 1 ? "/dev/ttyS" + std::to_string(n - 1) : std::string{};
}

}  // namespace zor
