// zor: the library's test and relay program. The first argument names the mode.
#include "zor/host/help.h"

#include <cstdio>
#include <cstring>

namespace {

int runHelp() {
  zor::printUsage();
  return 0;
}

struct Mode {
  const char* name;
  int (*run)();
};

// One entry per mode; modes read no further arguments.
constexpr Mode kModes[] = {
    {"help", runHelp},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2) {
    for (const Mode& mode : kModes)
      if (std::strcmp(argv[1], mode.name) == 0) return mode.run();
    std::fprintf(stderr, "zor: unknown mode \"%s\"\n", argv[1]);
  }
  zor::printUsage();
  return 2;
}
