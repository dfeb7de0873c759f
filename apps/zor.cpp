// zor: the library's test and relay program. The first argument names the mode.
#include <zor/host.h>

#include <cstdio>
#include <cstring>

namespace {

int runHelp(int, char**) {
  zor::printUsage();
  return 0;
}

struct Mode {
  const char* name;
  int (*run)(int argc, char** argv);
};

// One entry per mode; a mode reads its own options from argv[2] on.
constexpr Mode kModes[] = {
    {"help", runHelp},
    {"remote", zor::runRemoteMode},
    {"server", zor::runServerMode},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2) {
    for (const Mode& mode : kModes)
      if (std::strcmp(argv[1], mode.name) == 0) return mode.run(argc, argv);
    std::fprintf(stderr, "zor: unknown mode \"%s\"\n", argv[1]);
  }
  zor::printUsage();
  return 2;
}
