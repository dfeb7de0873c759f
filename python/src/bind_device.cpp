// The methods every device kind shares, as Python sees them.
#include "errors.h"
#include "kinds.h"

namespace zorpy {

OpenOptions openOptions(const py::kwargs& kw) {
  OpenOptions o;
  for (auto item : kw) {
    const std::string key = py::str(item.first);
    py::handle v = item.second;
    if (key == "rx_size" || key == "tx_size") {
      if (!PyLong_Check(v.ptr()) || PyBool_Check(v.ptr())) raise(PyExc_TypeError, key + " must be an int");
      const long long n = v.cast<long long>();
      if (n < 2 || n > 16 * 1024 * 1024) raise(PyExc_ValueError, key + " must be from 2 to 16777216");
      (key == "rx_size" ? o.rxSize : o.txSize) = static_cast<int>(n);
    } else if (key == "timeout") {
      if (v.is_none()) continue;
      if (!PyNumber_Check(v.ptr()) || PyBool_Check(v.ptr()))
        raise(PyExc_TypeError, "timeout must be a number of seconds or None");
      const double t = v.cast<double>();
      if (!(t >= 0)) raise(PyExc_ValueError, "timeout must not be negative");
      o.timeout = t;
    } else if (key == "overlapped") {
      o.overlapped = py::bool_(v.cast<py::object>());
    } else {
      raise(PyExc_TypeError, "unexpected keyword argument '" + key + "'");
    }
  }
  return o;
}

void bindDevice(py::module_& m) {
  py::class_<Device>(m, "Device", R"doc(
The byte stream every zor device offers. Not constructed directly: use
Loopback, Playback, SerialPort, PipeClient, TcpClient, Usb (or Rfc2217).

A device is open from its construction until close() or the end of a with
block. Waits release the GIL and notice Ctrl-C within 50 ms.
)doc")
      .def(
          "close", &Device::close,
          "Closes the device; a call waiting on it in another thread ends first. Closing twice does nothing.")
      .def_property_readonly("is_open", &Device::isOpen, "True until close().")
      .def_property(
          "timeout", &Device::timeout, &Device::setTimeout,
          "Default deadline in seconds of read() and read_until(); None waits for as long as it takes.")
      .def_property_readonly(
          "kind", [](const Device& d) { return static_cast<int>(d.type()); },
          "The library's device kind number (zor.KIND_*).")
      .def("write", &Device::write, py::arg("data"), py::arg("timeout") = py::none(), R"doc(
Queues data (bytes-like) for transmission and returns the count queued: all
of it, or what fitted by the deadline when a timeout is given.
)doc")
      .def("read", &Device::read, py::arg("size") = 1, py::arg("timeout") = py::none(), R"doc(
Returns when size bytes have arrived or at the deadline (timeout, else the
device's timeout), with what arrived by then.
)doc")
      .def("read_until", &Device::readUntil, py::arg("expected") = py::bytes("\n"),
           py::arg("size") = py::none(), py::arg("timeout") = py::none(), R"doc(
Returns the bytes up to and including expected, or size bytes, or at the
deadline what arrived. Bytes after expected stay for the next read.
)doc")
      .def("query", &Device::query, py::arg("data"), py::arg("expected") = py::bytes("\n"),
           py::arg("timeout") = 1.0, R"doc(
Sends data and returns the answer up to and including expected. Raises
TimeoutError at the deadline, counted from the call however the answer
trickles in; what arrived of it stays in in_waiting. Bytes waiting before
the call count as part of the answer: reset_input_buffer() first to drop them.
)doc")
      .def_property_readonly("in_waiting", &Device::inWaiting, "Bytes received and not yet read.")
      .def("reset_input_buffer", &Device::resetInput, "Drops the bytes received and not yet read.")
      .def("reset_output_buffer", &Device::resetOutput, "Drops the bytes queued and not yet sent.")
      .def("flush", &Device::flush, py::arg("timeout") = py::none(),
           "Waits until the transmit ring is empty (TimeoutError at a given deadline).")
      .def("log_to", &Device::logTo, py::arg("path"), R"doc(
Writes the device's traffic to path, in the traffic log format that
Playback replays, from now on (the file is created or truncated).
)doc")
      .def("stop_log", &Device::stopLog,
           "Stops logging; the file holds every line so far and is let go at close() or the next log_to().")
      .def(
          "__enter__", [](Device& d) -> Device& { return d; }, py::return_value_policy::reference)
      .def("__exit__", [](Device& d, const py::args&) { d.close(); })
      .def("__repr__", [](const Device& d) { return "<zor." + d.describe() + ">"; });
}

}  // namespace zorpy
