// The program reaches the window layer only when a mode needs a window: the
// library loads libzor-gui then, so the program itself links nothing of Qt.
#include "zor/host/window_mode.h"

#include <zor/host.h>

#include "zor/host/os/gui_module.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace zor {

bool hasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* v = std::getenv(name);
    if (v != nullptr && *v != '\0') return true;
  }
  return false;
}

int runWindowMode(const char* mode, const char* file) {
  if (!hasDisplay()) {
    const std::string m = mode;
    if (m == "run")
      std::fprintf(stderr,
                   "zor run: the client window needs a display and there is none; use zor run --console\n");
    else if (m == "view")
      std::fprintf(stderr,
                   "zor view: the monitor window needs a display and there is none; zor run --console --log "
                   "writes a log, and any text viewer reads one\n");
    else
      std::fprintf(
          stderr,
          "zor %s: the server window needs a display and there is none; \"zor %s --headless\" serves "
          "without one\n",
          mode, mode);
    return 1;
  }
  const std::string version = ZOR_VERSION;
  const std::string fileName = "libzor-gui.so." + version.substr(0, version.find('.'));
  std::string why;
  using ModeFunc = int (*)(const char*, const char*);
  auto run = reinterpret_cast<ModeFunc>(windowLayerSymbol(fileName.c_str(), "zorGuiMode", why));
  if (run == nullptr) {
    std::fprintf(stderr, "zor %s: the window layer cannot be loaded (%s); install libzor-gui\n", mode,
                 why.c_str());
    return 1;
  }
  return run(mode, file);
}

int runViewMode(int argc, char** argv) {
  if (argc != 3 || argv[2][0] == '-') {
    std::fprintf(stderr, argc < 3 ? "zor view: give the traffic log to open; try zor view --help\n"
                                  : "zor view: one traffic log, no options; try zor view --help\n");
    return 2;
  }
  return runWindowMode("view", argv[2]);
}

}  // namespace zor
