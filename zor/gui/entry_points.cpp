// The host's mode loops and their entry points: settings dialog, open the
// device, run the window, close and delete the device, again.
#include <zor/app.h>
#include <zor/devnull.h>
#include <zor/gui.h>
#include <zor/monitor.h>

#include <QMessageBox>

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

namespace zor {
namespace {

enum class Mode { Client, Server, Remote };

bool modeLoop(Mode mode, CHostServer::Kind remoteKind = CHostServer::REMOTE) {
  if (!zorGuiEnsureApplication()) return false;
  for (;;) {
    CRunZorDlg dialog(mode != Mode::Client);
    if (dialog.DoModal() != CRunZorDlg::IDOK) return true;
    std::unique_ptr<CDevice> device(openSelectedDevice(dialog));
    if (!device) {
      if (mode == Mode::Client) QMessageBox::critical(nullptr, "ZOR", "Error opening the selected port");
      continue;
    }
    {
      std::unique_ptr<CRunZorModeless> window;
      if (mode == Mode::Client) {
        device->ShowMonitor();
        window = std::make_unique<CRunZorMainDlg>(device.get());
      } else if (mode == Mode::Server) {
        window = std::make_unique<CRunZorServerDlg>(device.get());
      } else {
        window = std::make_unique<CRunZorRemoteServerDlg>(device.get(), nullptr, remoteKind);
      }
      // The monitor asks it whether a transfer runs; its destructor clears it.
      theApp.m_pHostDlg = window.get();
      window->runModeless();
    }
    device->CloseDevice();
  }
}

}  // namespace

bool runClientWindowMode() { return modeLoop(Mode::Client); }
bool runServerWindowMode() { return modeLoop(Mode::Server); }
bool runRemoteWindowMode() { return modeLoop(Mode::Remote); }
bool runRemoteWindowMode(CHostServer::Kind kind) { return modeLoop(Mode::Remote, kind); }

bool runViewWindowMode(const char* file) {
  if (!zorGuiEnsureApplication()) return false;
  // The monitor belongs to a device: one that is never opened shows the log.
  CDevNull device;
  CMonitorDlg* monitor = device.Monitor();
  std::string why;
  if (!monitor->ViewLogFile(file, &why)) {
    std::fprintf(stderr, "zor view: %s: %s\n", file, why.c_str());
    return false;
  }
  if (!monitor->Show() || monitor->Window() == nullptr) return false;
  monitor->Window()->WaitForClose();
  return true;
}

namespace {

// Nothing escapes an entry point: what went wrong is one line on standard error.
bool guarded(const char* mode, bool (*run)()) {
  try {
    return run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zor %s: %s\n", mode, e.what());
  } catch (...) {
    std::fprintf(stderr, "zor %s: an unknown error ended the mode\n", mode);
  }
  return false;
}

bool help() { return printUsageToConsole(); }

}  // namespace

}  // namespace zor

extern "C" {

void CALLBACK runA(zor::HWND, zor::HINSTANCE, zor::LPSTR, int) {
  zor::guarded("run", zor::runClientWindowMode);
}
void CALLBACK runW(zor::HWND, zor::HINSTANCE, zor::LPWSTR, int) {
  zor::guarded("run", zor::runClientWindowMode);
}
void CALLBACK serverA(zor::HWND, zor::HINSTANCE, zor::LPSTR, int) {
  zor::guarded("server", zor::runServerWindowMode);
}
void CALLBACK serverW(zor::HWND, zor::HINSTANCE, zor::LPWSTR, int) {
  zor::guarded("server", zor::runServerWindowMode);
}
void CALLBACK remoteA(zor::HWND, zor::HINSTANCE, zor::LPSTR, int) {
  zor::guarded("remote", zor::runRemoteWindowMode);
}
void CALLBACK remoteW(zor::HWND, zor::HINSTANCE, zor::LPWSTR, int) {
  zor::guarded("remote", zor::runRemoteWindowMode);
}
void CALLBACK helpA(zor::HWND, zor::HINSTANCE, zor::LPSTR, int) { zor::guarded("help", zor::help); }
void CALLBACK helpW(zor::HWND, zor::HINSTANCE, zor::LPWSTR, int) { zor::guarded("help", zor::help); }

int zorGuiMode(const char* mode, const char* file) {
  if (mode == nullptr) return 2;
  if (std::strcmp(mode, "view") == 0) {
    try {
      return file != nullptr && zor::runViewWindowMode(file) ? 0 : 1;
    } catch (...) {
      std::fprintf(stderr, "zor view: the window could not be shown\n");
      return 1;
    }
  }
  if (std::strcmp(mode, "run") == 0) return zor::guarded(mode, zor::runClientWindowMode) ? 0 : 1;
  if (std::strcmp(mode, "server") == 0) return zor::guarded(mode, zor::runServerWindowMode) ? 0 : 1;
  if (std::strcmp(mode, "remote") == 0) {
    // The remote server's protocol comes in the second argument.
    if (file != nullptr && std::strcmp(file, "rfc2217") == 0)
      return zor::guarded(mode, [] { return zor::runRemoteWindowMode(zor::CHostServer::RFC2217); }) ? 0 : 1;
    if (file != nullptr && std::strcmp(file, "raw") == 0)
      return zor::guarded(mode, [] { return zor::runRemoteWindowMode(zor::CHostServer::RAW); }) ? 0 : 1;
    return zor::guarded(mode, [] { return zor::runRemoteWindowMode(); }) ? 0 : 1;
  }
  std::fprintf(stderr, "zor: the window layer has no mode \"%s\"\n", mode);
  return 2;
}
}
