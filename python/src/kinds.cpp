// The device kinds a script constructs: each opens in its constructor and
// reports a failed open as OSError with the library's error code.
#include "kinds.h"

#include "errors.h"

#include <zor/app.h>
#include <zor/devnet.h>
#include <zor/devnull.h>
#include <zor/devplayback.h>
#include <zor/devtcp.h>
#include <zor/devusb.h>
#include <zor/platform.h>

#include <filesystem>
#include <system_error>

namespace zorpy {
namespace {

auto noAdjust = [](int) {};

// Opens without the GIL (a TCP open may wait seconds for its call back); a
// failed open is destroyed and raised.
template <class T, class Open>
DevicePtr openOrRaise(std::unique_ptr<T, Release> dev, Open open, const std::string& what,
                      const std::string& filename = {}) {
  bool ok;
  unsigned long error;
  {
    py::gil_scoped_release nogil;
    ok = open(*dev);
    error = zor::GetLastError();
    if (!ok) dev.reset();
  }
  if (!ok) raiseOsError(error != 0 ? error : zor::ERROR_GEN_FAILURE, what + ": cannot open", filename);
  return DevicePtr(dev.release());
}

void checkSizes(const OpenOptions& o) {
  // The library takes up to 16 MiB a ring; below 2 bytes a ring holds nothing.
  constexpr int kMax = 16 * 1024 * 1024;
  if (o.rxSize < 2 || o.rxSize > kMax || o.txSize < 2 || o.txSize > kMax)
    raise(PyExc_ValueError, "rx_size and tx_size must be from 2 to " + std::to_string(kMax));
}

std::string quoted(const std::string& s) { return "'" + s + "'"; }

}  // namespace

Loopback::Loopback(const OpenOptions& o)
    : Device(([&] { checkSizes(o); }(), openOrRaise(
                                            construct<zor::CDevNull>(noAdjust),
                                            [&](zor::CDevNull& d) {
                                              d.Loopback(true);
                                              return d.OpenDevice(o.overlapFlags(), o.rxSize, o.txSize);
                                            },
                                            "Loopback()")),
             o, "Loopback()") {}

Playback::Playback(const std::string& path, bool trueSpeed, const OpenOptions& o)
    : Device((
                 [&] {
                   checkSizes(o);
                   std::error_code ec;
                   if (path.empty() || path.find('\0') != std::string::npos)
                     raise(PyExc_ValueError, "Playback: no log file named");
                   if (!std::filesystem::is_regular_file(path, ec))
                     raiseOsError(zor::ERROR_FILE_NOT_FOUND, "Playback(" + quoted(path) + "): no such log",
                                  path);
                 }(),
                 openOrRaise(
                     construct<zor::CDevPlayback>(
                         [&](int live) {
                           // The pace is the library's one setting, read while a log plays.
                           if (live == 0)
                             zor::theApp.m_truePlayback = trueSpeed;
                           else if (zor::theApp.m_truePlayback != trueSpeed)
                             raise(PyExc_RuntimeError,
                                   "Playback: true_speed differs from the devices that are open; "
                                   "close them first");
                         },
                         path.c_str()),
                     [&](zor::CDevPlayback& d) {
                       if (d.OpenDevice(o.overlapFlags(), o.rxSize, o.txSize)) return true;
                       // A log that does not parse: the library named the row on standard error.
                       if (zor::GetLastError() == 0) zor::SetLastError(zor::ERROR_INVALID_PARAMETER);
                       return false;
                     },
                     "Playback(" + quoted(path) + ") (not a traffic log? see standard error)", path)),
             o, "Playback(" + quoted(path) + ")") {}

PipeClient::PipeClient(const std::string& host, const OpenOptions& o)
    : Device(([&] { checkSizes(o); }(),
              openOrRaise(
                  construct<zor::CDevNet>(noAdjust, host.c_str()),
                  [&](zor::CDevNet& d) { return d.OpenDevice(o.overlapFlags(), o.rxSize, o.txSize); },
                  "PipeClient(" + quoted(host) + ")")),
             o, "PipeClient(" + quoted(host) + ")") {}

TcpClient::TcpClient(const std::string& host, const OpenOptions& o)
    : Device(([&] { checkSizes(o); }(),
              openOrRaise(
                  construct<zor::CDevTcp>(noAdjust, host.c_str()),
                  [&](zor::CDevTcp& d) { return d.OpenDevice(o.overlapFlags(), o.rxSize, o.txSize); },
                  "TcpClient(" + quoted(host) + ")")),
             o, "TcpClient(" + quoted(host) + ")") {}

Usb::Usb(const OpenOptions& o)
    : Device(
          ([&] { checkSizes(o); }(),
           openOrRaise(
               construct<zor::CDevUSB>(noAdjust),
               [&](zor::CDevUSB& d) { return d.OpenDevice(o.overlapFlags(), o.rxSize, o.txSize); }, "Usb()")),
          o, "Usb()") {}

void bindKinds(py::module_& m) {
  py::class_<Loopback, Device>(m, "Loopback", R"doc(
The loopback device: every byte written comes back as received data.

Loopback(*, rx_size=65536, tx_size=65536, overlapped=False, timeout=None)
)doc")
      .def(py::init([](py::kwargs kw) { return std::make_unique<Loopback>(openOptions(kw)); }));

  py::class_<Playback, Device>(m, "Playback", R"doc(
Replays a traffic log (one that log_to() or the monitor wrote) in place of
the instrument: recorded answers come once the recorded requests were written.

Playback(path, true_speed=True, *, rx_size=65536, tx_size=65536, overlapped=False, timeout=None)

true_speed paces the answers as recorded; False gives them at once. The pace is
one setting of the library: devices open at once must agree on it.
)doc")
      .def(py::init([](const std::string& path, bool trueSpeed, py::kwargs kw) {
             return std::make_unique<Playback>(path, trueSpeed, openOptions(kw));
           }),
           py::arg("path"), py::arg("true_speed") = true);

  py::class_<PipeClient, Device>(m, "PipeClient", R"doc(
A device served by "zor server" on this computer, through its local pipes.

PipeClient(host=".", *, rx_size=65536, tx_size=65536, overlapped=False, timeout=None)
)doc")
      .def(py::init([](const std::string& host, py::kwargs kw) {
             return std::make_unique<PipeClient>(host, openOptions(kw));
           }),
           py::arg("host") = ".");

  py::class_<TcpClient, Device>(m, "TcpClient", R"doc(
A device served by "zor remote" on host, over TCP (ports 40765 and 40766).

TcpClient(host, *, rx_size=65536, tx_size=65536, overlapped=False, timeout=None)
)doc")
      .def(py::init([](const std::string& host, py::kwargs kw) {
             return std::make_unique<TcpClient>(host, openOptions(kw));
           }),
           py::arg("host"))
      .def_property_readonly_static(
          "PORT", [](py::object) { return zor::CDevTcp::TCP_PORT; },
          "The server's port; the client takes the server's call back on the next one.");

  py::class_<Usb, Device>(m, "Usb", R"doc(
The first instrument on USB bulk pipes that the setting "USB Devices" lists.

Usb(*, rx_size=65536, tx_size=65536, overlapped=False, timeout=None)
)doc")
      .def(py::init([](py::kwargs kw) { return std::make_unique<Usb>(openOptions(kw)); }));
}

}  // namespace zorpy
