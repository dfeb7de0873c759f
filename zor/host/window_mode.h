// The windowed forms of the program's modes: "zor run", "zor server", "zor
// remote" without --console or --headless.
#pragma once

namespace zor {

// Whether a window can be shown: DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM is set.
bool hasDisplay();
// Runs the window layer's mode ("run", "server", "remote"); the program's
// exit status. file: the log for "view", the protocol ("zor", "rfc2217",
// "raw") for "remote". Without a display, or without the window
// layer, one line on standard error and 1.
int runWindowMode(const char* mode, const char* file = nullptr);

}  // namespace zor
