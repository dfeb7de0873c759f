// zor.SerialPort: a serial port by "COMn" or by a tty's path, with its line
// settings and modem lines.
#include "errors.h"
#include "kinds.h"

#include <zor/comm.h>
#include <zor/devrs232.h>
#include <zor/ports.h>

#include <cctype>
#include <cmath>
#include <filesystem>
#include <system_error>
#include <thread>

namespace zorpy {
namespace {

namespace fs = std::filesystem;

// The serial device opens "COMn" only: a tty named by its path is reached
// through a link ports/COMn that this object makes and removes again.
class PortLink {
public:
  PortLink() = default;
  PortLink(const PortLink&) = delete;
  PortLink& operator=(const PortLink&) = delete;
  ~PortLink() {
    std::error_code ec;
    if (!m_path.empty()) fs::remove(m_path, ec);
  }

  // The COM number of port: its own for "COMn", else one whose name leads to
  // the same tty, else a link of its own in a range nobody numbers by hand.
  int numberFor(const std::string& port) {
    if (port.size() > 3 && (port[0] == 'C' || port[0] == 'c') && (port[1] == 'O' || port[1] == 'o') &&
        (port[2] == 'M' || port[2] == 'm')) {
      int n = 0;
      for (std::size_t i = 3; i < port.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(port[i])) || n > 0xFFFF) return badName(port);
        n = n * 10 + (port[i] - '0');
      }
      if (n < 1 || n > 0xFFFF) return badName(port);
      return n;
    }
    std::error_code ec;
    const fs::path tty = fs::canonical(port, ec);
    if (ec) raiseOsError(zor::ERROR_FILE_NOT_FOUND, "SerialPort(" + port + "): cannot open", port);
    for (int n : zor::linkedComNumbers())
      if (sameFile(zor::resolveComName(("COM" + std::to_string(n)).c_str()), tty)) return n;
    const std::string name = tty.filename().string();
    if (name.rfind("ttyS", 0) == 0 && name.size() > 4 && name.size() < 9) {
      const int n = std::stoi(name.substr(4)) + 1;
      if (sameFile(zor::resolveComName(("COM" + std::to_string(n)).c_str()), tty)) return n;
    }
    const fs::path folder = zor::portLinkFolder();
    fs::create_directories(folder, ec);
    for (int n = 60000; n < 61000; ++n) {
      const fs::path link = folder / ("COM" + std::to_string(n));
      fs::create_symlink(tty, link, ec);
      if (!ec) {
        m_path = link;
        return n;
      }
      if (ec != std::errc::file_exists) break;
    }
    raiseOsError(zor::ERROR_ACCESS_DENIED, "SerialPort(" + port + "): cannot link it in " + folder.string(),
                 port);
  }

private:
  static bool sameFile(const std::string& a, const fs::path& b) {
    std::error_code ec;
    return !a.empty() && fs::equivalent(a, b, ec) && !ec;
  }
  [[noreturn]] static int badName(const std::string& port) {
    raise(PyExc_ValueError, "SerialPort: \"" + port + "\" is neither COMn (1 to 65535) nor a tty's path");
  }

  fs::path m_path;
};

unsigned char parityLetter(const std::string& parity) {
  if (parity.size() == 1) {
    const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(parity[0])));
    if (c == 'N' || c == 'O' || c == 'E' || c == 'M' || c == 'S') return static_cast<unsigned char>(c);
  }
  raise(PyExc_ValueError, "SerialPort: parity must be one of 'N', 'O', 'E', 'M', 'S'");
}

}  // namespace

class SerialPort : public Device {
public:
  struct Line {
    long baudrate = 9600;
    int bytesize = 8;
    unsigned char parity = 'N';
    int stopbits = 1;
    bool rtscts = false;
  };

  SerialPort(std::unique_ptr<PortLink> link, int number, const std::string& port, const Line& line,
             const OpenOptions& o)
      : Device(open(number, port, line, o), o, "SerialPort('" + port + "')"),
        m_link(std::move(link)),
        m_baud(line.baudrate) {}

  static std::unique_ptr<SerialPort> make(const std::string& port, const py::object& baudrate, int bytesize,
                                          const std::string& parity, double stopbits, bool rtscts,
                                          const py::kwargs& kw) {
    const OpenOptions o = openOptions(kw);
    Line line;
    line.baudrate = checkBaud(baudrate);
    if (bytesize < 5 || bytesize > 8) raise(PyExc_ValueError, "SerialPort: bytesize must be 5, 6, 7 or 8");
    line.bytesize = bytesize;
    line.parity = parityLetter(parity);
    if (stopbits != 1 && stopbits != 2)
      raise(PyExc_ValueError, "SerialPort: stopbits must be 1 or 2 (1.5 is not offered)");
    line.stopbits = static_cast<int>(stopbits);
    line.rtscts = rtscts;
    auto link = std::make_unique<PortLink>();
    const int number = link->numberFor(port);
    return std::make_unique<SerialPort>(std::move(link), number, port, line, o);
  }

  long baudrate() const { return m_baud; }
  void setBaudrate(const py::object& value) {
    const long baud = checkBaud(value);
    Use use(*this);
    if (!serial(use)->ChangeSpeed(static_cast<unsigned long>(baud)))
      raiseOsError(zor::GetLastError(), "baudrate " + std::to_string(baud));
    m_baud = baud;
  }
  bool rts() const { return m_rts; }
  void setRts(bool on) {
    Use use(*this);
    if (!serial(use)->SetRts(on)) raiseOsError(zor::GetLastError(), "rts");
    m_rts = on;
  }
  bool dtr() const { return m_dtr; }
  void setDtr(bool on) {
    Use use(*this);
    if (!serial(use)->SetDtr(on)) raiseOsError(zor::GetLastError(), "dtr");
    m_dtr = on;
  }
  bool modem(unsigned long bit, const char* what) {
    Use use(*this);
    unsigned long status = 0;
    if (!serial(use)->GetCommModemStatus(&status)) raiseOsError(zor::GetLastError(), what);
    return (status & bit) != 0;
  }
  void sendBreak(double duration) {
    if (std::isnan(duration) || duration < 0 || duration > 60)
      raise(PyExc_ValueError, "send_break: duration must be from 0 to 60 seconds");
    Use use(*this);
    bool ok;
    {
      py::gil_scoped_release nogil;
      ok = serial(use)->SetBreak(true);
      if (ok) std::this_thread::sleep_for(std::chrono::duration<double>(duration));
      ok = serial(use)->SetBreak(false) && ok;
    }
    if (!ok) raiseOsError(zor::GetLastError(), "send_break");
  }

protected:
  void onClosed() override { m_link.reset(); }

private:
  static long checkBaud(const py::object& value) {
    if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr()))
      raise(PyExc_TypeError, "baudrate must be an int");
    const long long b = value.cast<long long>();
    if (b < 1 || b > 100000000) raise(PyExc_ValueError, "baudrate must be from 1 to 100000000");
    return static_cast<long>(b);
  }
  static zor::CDevRS232* serial(Use& use) { return static_cast<zor::CDevRS232*>(use.get()); }

  static DevicePtr open(int number, const std::string& port, const Line& line, const OpenOptions& o) {
    auto dev = construct<zor::CDevRS232>([](int) {});
    bool ok;
    unsigned long error;
    {
      py::gil_scoped_release nogil;
      dev->DeviceProgram(line.rtscts, static_cast<unsigned long>(line.baudrate), line.parity,
                         static_cast<unsigned char>(line.bytesize),
                         static_cast<unsigned char>(line.stopbits));
      ok = dev->OpenDevice(number, o.overlapFlags(), o.rxSize, o.txSize);
      error = zor::GetLastError();
      if (!ok) dev.reset();
    }
    if (!ok)
      raiseOsError(error != 0 ? error : zor::ERROR_GEN_FAILURE, "SerialPort('" + port + "'): cannot open",
                   port);
    return DevicePtr(dev.release());
  }

  std::unique_ptr<PortLink> m_link;
  long m_baud;
  bool m_rts = true;
  bool m_dtr = true;
};

void bindSerial(py::module_& m) {
  py::class_<SerialPort, Device>(m, "SerialPort", R"doc(
A serial port: "COMn" as the library numbers them, or a tty's path.

SerialPort(port, baudrate=9600, bytesize=8, parity='N', stopbits=1, rtscts=False,
           *, rx_size=65536, tx_size=65536, overlapped=False, timeout=None)

parity is one of 'N', 'O', 'E', 'M', 'S'; stopbits 1 or 2; rtscts gates
transmission on CTS.
)doc")
      .def(py::init(&SerialPort::make), py::arg("port"), py::arg("baudrate") = 9600, py::arg("bytesize") = 8,
           py::arg("parity") = "N", py::arg("stopbits") = 1.0, py::arg("rtscts") = false)
      .def_property("baudrate", &SerialPort::baudrate, &SerialPort::setBaudrate,
                    "The line's speed; setting it changes the open port's speed.")
      .def_property("rts", &SerialPort::rts, &SerialPort::setRts, "The RTS line (as last set; on at open).")
      .def_property("dtr", &SerialPort::dtr, &SerialPort::setDtr, "The DTR line (as last set; on at open).")
      .def_property_readonly(
          "cts", [](SerialPort& s) { return s.modem(zor::MS_CTS_ON, "cts"); }, "The CTS line, read now.")
      .def_property_readonly(
          "dsr", [](SerialPort& s) { return s.modem(zor::MS_DSR_ON, "dsr"); }, "The DSR line, read now.")
      .def("send_break", &SerialPort::sendBreak, py::arg("duration") = 0.25,
           "Holds the line in break for duration seconds (the GIL is released meanwhile).");
}

}  // namespace zorpy
