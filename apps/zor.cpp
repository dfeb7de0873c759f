// zor: the library's test and relay program. The first argument names the
// mode; the modes themselves live in libzor-host (include/zor/host.h).
#include <zor/host.h>

#include <cstdio>
#include <cstring>

namespace {

int runHelp(int argc, char** argv) {
  if (argc > 2) {
    std::fprintf(stderr, "zor help: unknown option \"%s\"; try zor --help\n", argv[2]);
    return 2;
  }
  zor::printUsage();
  return 0;
}

struct Mode {
  const char* name;
  int (*run)(int argc, char** argv);
};

// One entry per mode; a mode reads its own options from argv[2] on.
constexpr Mode kModes[] = {
    {"help", runHelp},           {"ports", zor::runPortsMode},   {"remote", zor::runRemoteMode},
    {"run", zor::runClientMode}, {"server", zor::runServerMode}, {"settings", zor::runSettingsMode},
    {"usb", zor::runUsbMode},
    {"pty", zor::runPtyMode},
    {"view", zor::runViewMode},
};

bool isHelp(const char* arg) { return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "zor: no mode given\n%s", zor::programUsage().c_str());
    return 2;
  }
  const char* first = argv[1];
  if (isHelp(first)) {
    std::fputs(zor::programUsage().c_str(), stdout);
    return 0;
  }
  if (std::strcmp(first, "--version") == 0) {
    std::printf("%s\n", zor::versionLine().c_str());
    return 0;
  }
  for (const Mode& mode : kModes) {
    if (std::strcmp(first, mode.name) != 0) continue;
    // "zor <mode> --help": the mode's usage, whatever else is given.
    for (int i = 2; i < argc; ++i) {
      if (isHelp(argv[i])) {
        std::fputs(zor::modeUsage(mode.name), stdout);
        return 0;
      }
    }
    return mode.run(argc, argv);
  }
  std::fprintf(stderr, "zor: unknown %s \"%s\"; try zor --help\n", first[0] == '-' ? "option" : "mode",
               first);
  return 2;
}
