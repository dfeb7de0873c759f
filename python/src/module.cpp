// The extension module zor._zor; the package zor re-exports it.
#include "configure.h"
#include "kinds.h"

#include <zor/app.h>
#include <zor/device.h>

PYBIND11_MODULE(_zor, m) {
  m.doc() = "zor's devices: the C++ core of the zor package.";
  zorpy::bindDevice(m);
  zorpy::bindKinds(m);
  zorpy::bindSerial(m);
  m.def("configure", &zorpy::configure, R"doc(
Sets the library-wide settings for the devices opened afterwards and returns
them all. Keywords (milliseconds unless said): granularity ("Thread
granularity", 0 to 1000; the module's default is 0: waits end when the data
is there, not at the next slice), io_timeout, io_write_timeout, lock_timeout,
connection_timeout (1 to 600000), autoresume_timer (10 to 600000),
writes_before_xoff (1 to 1024), x_protocol_override (-1 to 2147483647),
panic_resume, true_playback_speed (switches). Out of range: ValueError, as
the settings file would refuse it; while a device exists: RuntimeError.
)doc");
  m.attr("KIND_USB") = static_cast<int>(zor::ZOR_USB);
  m.attr("KIND_NET") = static_cast<int>(zor::ZOR_NET);
  m.attr("KIND_RS232") = static_cast<int>(zor::ZOR_RS232);
  m.attr("KIND_NULL") = static_cast<int>(zor::ZOR_NULL);
  m.attr("KIND_PLAYBACK") = static_cast<int>(zor::ZOR_PLAYBACK);
  m.attr("KIND_TCP") = static_cast<int>(zor::ZOR_TCP);
  zorpy::setModuleDefaults();
}
