// Reads the library-wide settings and lists the serial ports when the library
// is loaded.
//
// Port probing opens "COMn" through the handle kinds that the platform layer
// registers from its own static initialisers, so this one must run after
// them. Within the library, initialisers run in link order, and the library's
// files link sorted by folder: support/ follows platform/. Anything that needs
// theApp before this has run calls theApp.InitInstance() itself (it runs once).
#include <zor/app.h>

namespace {

struct LoadTimeInit {
  LoadTimeInit() { zor::theApp.InitInstance(); }
} g_loadTimeInit;

}  // namespace
