// zor settings: the stored connection choice shown, or written with the
// settings dialog's rules (CRunZorSettings), without a window.
#include "zor/host/port_options.h"

#include <zor/settings.h>

#include <cstdio>
#include <cstring>

namespace zor {

int runSettingsMode(int argc, char** argv) {
  PortChoice choice;
  bool keys = false;
  bool defaults = false;
  for (int i = 2; i < argc; ++i) {
    int taken = takePortOption("settings", argc, argv, i, choice);
    if (taken < 0) return 2;
    if (taken > 0) continue;
    if (std::strcmp(argv[i], "--keys") == 0) {
      keys = true;
    } else if (std::strcmp(argv[i], "--defaults") == 0) {
      defaults = true;
    } else {
      std::fprintf(stderr, "zor settings: unknown option \"%s\"; try zor settings --help\n", argv[i]);
      return 2;
    }
  }

  CRunZorSettings settings(false);
  if (!defaults && !choice.any()) {
    std::printf("%s\n", settings.Describe().c_str());
    if (keys) std::printf("%s", settings.StoredKeysText().c_str());
    return 0;
  }
  if (defaults) settings.ResetToDefaults();
  // Everything is checked before the first key is written.
  if (!applyPortChoice("settings", choice, settings)) return 2;
  if (!settings.Store()) {
    std::fprintf(
        stderr,
        "zor settings: cannot write %s (error %u); make its folder writable, or point ZOR_CONFIG at a "
        "settings file that can be written\n",
        settingsFilePath().c_str(), static_cast<unsigned>(GetLastError()));
    return 1;
  }
  std::printf("%s\n", settings.Describe().c_str());
  if (keys) std::printf("%s", settings.StoredKeysText().c_str());
  return 0;
}

}  // namespace zor
