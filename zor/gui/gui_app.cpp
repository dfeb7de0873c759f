// The window layer's start: the QApplication, the icon, and what it installs
// in the core when the library is loaded.
#include "zor/gui/monitor_window.h"

#include <zor/app.h>
#include <zor/devusb.h>

#include <QApplication>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

static void initIcons() { Q_INIT_RESOURCE(gui); }

namespace zor {

namespace {

// A USB device's own dump; any other device has none.
std::vector<std::string> usbDeviceDump(CDevice* device) {
  auto* usb = dynamic_cast<CDevUSB*>(device);
  return usb != nullptr ? usb->DumpUSBConfig() : std::vector<std::string>{};
}

constinit std::atomic<zorUsbDumpFunc> g_usbDump{&usbDeviceDump};

bool has(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0';
}

void complainOnce(const char* why) {
  static std::once_flag once;
  std::call_once(once, [why] { std::fprintf(stderr, "zor: no monitor window: %s\n", why); });
}

// One pass over the events waiting for this thread, if it runs the GUI.
void pumpMessage() {
  QCoreApplication* app = QCoreApplication::instance();
  if (app != nullptr && QThread::currentThread() == app->thread()) QCoreApplication::processEvents();
}

}  // namespace

bool zorGuiEnsureApplication() {
  if (QCoreApplication* app = QCoreApplication::instance()) {
    if (qobject_cast<QApplication*>(app) == nullptr) {
      complainOnce("the process runs a QCoreApplication, which has no widgets");
      return false;
    }
    if (QThread::currentThread() != app->thread()) {
      complainOnce("Show was called on a thread other than the one that owns the QApplication");
      return false;
    }
    return true;
  }
  // Qt aborts the process when it finds no display; say so instead.
  if (!has("DISPLAY") && !has("WAYLAND_DISPLAY") && !has("QT_QPA_PLATFORM")) {
    complainOnce("no display (neither DISPLAY nor WAYLAND_DISPLAY is set, nor QT_QPA_PLATFORM)");
    return false;
  }
  static int argc = 1;
  static char name[] = "zor";
  static char* argv[] = {name, nullptr};
  // Lives as long as the process: windows may be deleted as late as exit.
  new QApplication(argc, argv);
  return true;
}

QIcon zorAppIcon() {
  static const bool registered = (initIcons(), true);
  (void)registered;
  return QIcon(":/zor/icons/zor.png");
}

void zorSetUsbDumpFunc(zorUsbDumpFunc dump) { g_usbDump = dump; }

zorUsbDumpFunc usbDumpFunc() { return g_usbDump.load(); }

void zorGuiInstall() {
  zorSetMonitorWindowFactory(&makeMonitorWindow);
  theApp.m_pumpMessage = &pumpMessage;
}

namespace {

// Loading the library is what installs it.
struct InstallAtLoad {
  InstallAtLoad() { zorGuiInstall(); }
} g_installAtLoad;

}  // namespace

}  // namespace zor
