// The line control that zor.SerialPort and zor.Rfc2217 share: speed, RTS,
// DTR, the modem lines and break, on any device class with CDevRS232's calls.
// The calls run without the GIL: a network serial port waits for its server's
// answer, a break lasts its duration.
#pragma once

#include "device.h"
#include "errors.h"

#include <zor/comm.h>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>

namespace zorpy {

template <class Port>
class LineControl : public Device {
public:
  long baudrate() const { return m_baud; }
  void setBaudrate(const py::object& value) {
    const long baud = checkBaud(value);
    call("baudrate " + std::to_string(baud),
         [&](Port* p) { return p->ChangeSpeed(static_cast<unsigned long>(baud)); });
    m_baud = baud;
  }
  bool rts() const { return m_rts; }
  void setRts(bool on) {
    call("rts", [&](Port* p) { return p->SetRts(on); });
    m_rts = on;
  }
  bool dtr() const { return m_dtr; }
  void setDtr(bool on) {
    call("dtr", [&](Port* p) { return p->SetDtr(on); });
    m_dtr = on;
  }
  bool modem(unsigned long bit, const char* what) {
    unsigned long status = 0;
    call(what, [&](Port* p) { return p->GetCommModemStatus(&status); });
    return (status & bit) != 0;
  }
  void sendBreak(double duration) {
    if (std::isnan(duration) || duration < 0 || duration > 60)
      raise(PyExc_ValueError, "send_break: duration must be from 0 to 60 seconds");
    call("send_break", [&](Port* p) {
      bool ok = p->SetBreak(true);
      if (ok) std::this_thread::sleep_for(std::chrono::duration<double>(duration));
      return p->SetBreak(false) && ok;
    });
  }

  static long checkBaud(const py::object& value) {
    if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr()))
      raise(PyExc_TypeError, "baudrate must be an int");
    const long long b = value.cast<long long>();
    if (b < 1 || b > 100000000) raise(PyExc_ValueError, "baudrate must be from 1 to 100000000");
    return static_cast<long>(b);
  }

  // Registers the line control on a class deriving from this one.
  template <class Class>
  static void bind(Class& c) {
    using T = typename Class::type;
    c.def_property("baudrate", &T::baudrate, &T::setBaudrate,
                   "The line's speed; setting it changes the open port's speed.")
        .def_property("rts", &T::rts, &T::setRts, "The RTS line (as last set; on at open).")
        .def_property("dtr", &T::dtr, &T::setDtr, "The DTR line (as last set; on at open).")
        .def_property_readonly(
            "cts", [](T& s) { return s.modem(zor::MS_CTS_ON, "cts"); }, "The CTS line, read now.")
        .def_property_readonly(
            "dsr", [](T& s) { return s.modem(zor::MS_DSR_ON, "dsr"); }, "The DSR line, read now.")
        .def("send_break", &T::sendBreak, py::arg("duration") = 0.25,
             "Holds the line in break for duration seconds (the GIL is released meanwhile).");
  }

protected:
  LineControl(DevicePtr dev, const OpenOptions& o, std::string name, long baud)
      : Device(std::move(dev), o, std::move(name)), m_baud(baud) {}

private:
  template <class Call>
  void call(const std::string& what, Call fn) {
    Use use(*this);
    bool ok;
    unsigned long error;
    {
      py::gil_scoped_release nogil;
      ok = fn(static_cast<Port*>(use.get()));
      error = zor::GetLastError();
    }
    if (!ok) raiseOsError(error != 0 ? error : zor::ERROR_GEN_FAILURE, what);
  }

  long m_baud;
  bool m_rts = true;
  bool m_dtr = true;
};

}  // namespace zorpy
