// zor.SerialPort (a serial port by "COMn" or by a tty's path) and
// zor.Rfc2217 (a port another computer serves), with their line settings and
// modem lines.
#include "errors.h"
#include "kinds.h"
#include "line_control.h"

#include <zor/comm.h>
#include <zor/devrs232.h>
#if __has_include(<zor/devrfc2217.h>)
#include <zor/devrfc2217.h>
#define ZORPY_HAVE_RFC2217 1
#endif
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

struct Line {
  long baudrate = 9600;
  int bytesize = 8;
  unsigned char parity = 'N';
  int stopbits = 1;
  bool rtscts = false;
};

Line lineOf(const char* kind, const py::object& baudrate, int bytesize, const std::string& parity,
            double stopbits, bool rtscts) {
  Line line;
  const std::string k = kind;
  line.baudrate = LineControl<zor::CDevRS232>::checkBaud(baudrate);
  if (bytesize < 5 || bytesize > 8) raise(PyExc_ValueError, k + ": bytesize must be 5, 6, 7 or 8");
  line.bytesize = bytesize;
  line.parity = parityLetter(parity);
  if (stopbits != 1 && stopbits != 2)
    raise(PyExc_ValueError, k + ": stopbits must be 1 or 2 (1.5 is not offered)");
  line.stopbits = static_cast<int>(stopbits);
  line.rtscts = rtscts;
  return line;
}

template <class Port>
void program(Port& dev, const Line& line) {
  dev.DeviceProgram(line.rtscts, static_cast<unsigned long>(line.baudrate), line.parity,
                    static_cast<unsigned char>(line.bytesize), static_cast<unsigned char>(line.stopbits));
}

class SerialPort : public LineControl<zor::CDevRS232> {
public:
  SerialPort(std::unique_ptr<PortLink> link, int number, const std::string& port, const Line& line,
             const OpenOptions& o)
      : LineControl(open(number, port, line, o), o, "SerialPort('" + port + "')", line.baudrate),
        m_link(std::move(link)) {}

  static std::unique_ptr<SerialPort> make(const std::string& port, const py::object& baudrate, int bytesize,
                                          const std::string& parity, double stopbits, bool rtscts,
                                          const py::kwargs& kw) {
    const OpenOptions o = openOptions(kw);
    const Line line = lineOf("SerialPort", baudrate, bytesize, parity, stopbits, rtscts);
    auto link = std::make_unique<PortLink>();
    const int number = link->numberFor(port);
    return std::make_unique<SerialPort>(std::move(link), number, port, line, o);
  }

protected:
  void onClosed() override { m_link.reset(); }

private:
  static DevicePtr open(int number, const std::string& port, const Line& line, const OpenOptions& o) {
    auto dev = construct<zor::CDevRS232>([](int) {});
    bool ok;
    unsigned long error;
    {
      py::gil_scoped_release nogil;
      program(*dev, line);
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
};

#ifdef ZORPY_HAVE_RFC2217
class Rfc2217 : public LineControl<zor::CDevRfc2217> {
public:
  Rfc2217(const std::string& host, int port, const Line& line, const OpenOptions& o)
      : LineControl(open(host, port, line, o), o, name(host, port), line.baudrate) {}

  static std::unique_ptr<Rfc2217> make(const std::string& host, int port, const py::object& baudrate,
                                       int bytesize, const std::string& parity, double stopbits, bool rtscts,
                                       const py::kwargs& kw) {
    const OpenOptions o = openOptions(kw);
    if (port < 1 || port > 65535) raise(PyExc_ValueError, "Rfc2217: port must be from 1 to 65535");
    return std::make_unique<Rfc2217>(host, port,
                                     lineOf("Rfc2217", baudrate, bytesize, parity, stopbits, rtscts), o);
  }

private:
  static std::string name(const std::string& host, int port) {
    return "Rfc2217('" + host + "', " + std::to_string(port) + ")";
  }
  static DevicePtr open(const std::string& host, int port, const Line& line, const OpenOptions& o) {
    auto dev = construct<zor::CDevRfc2217>([](int) {}, host.c_str(), static_cast<unsigned short>(port));
    bool ok;
    unsigned long error;
    {
      // The open negotiates with the server: seconds, at worst.
      py::gil_scoped_release nogil;
      program(*dev, line);
      ok = dev->OpenDevice(o.overlapFlags(), o.rxSize, o.txSize);
      error = zor::GetLastError();
      if (!ok) dev.reset();
    }
    if (!ok) raiseOsError(error != 0 ? error : zor::ERROR_GEN_FAILURE, name(host, port) + ": cannot open");
    return DevicePtr(dev.release());
  }
};
#endif

}  // namespace

void bindSerial(py::module_& m) {
  py::class_<SerialPort, Device> serial(m, "SerialPort", R"doc(
A serial port: "COMn" as the library numbers them, or a tty's path.

SerialPort(port, baudrate=9600, bytesize=8, parity='N', stopbits=1, rtscts=False,
           *, rx_size=65536, tx_size=65536, overlapped=False, timeout=None)

parity is one of 'N', 'O', 'E', 'M', 'S'; stopbits 1 or 2; rtscts gates
transmission on CTS.
)doc");
  serial.def(py::init(&SerialPort::make), py::arg("port"), py::arg("baudrate") = 9600,
             py::arg("bytesize") = 8, py::arg("parity") = "N", py::arg("stopbits") = 1.0,
             py::arg("rtscts") = false);
  LineControl<zor::CDevRS232>::bind(serial);
#ifdef ZORPY_HAVE_RFC2217
  py::class_<Rfc2217, Device> net(m, "Rfc2217", R"doc(
A serial port that another computer serves over the network (RFC 2217:
zor remote --protocol rfc2217, or any other such server). The line is sent
at the open; changes wait up to 3 s for the server's answer.

Rfc2217(host, port, baudrate=9600, bytesize=8, parity='N', stopbits=1, rtscts=False,
        *, rx_size=65536, tx_size=65536, overlapped=False, timeout=None)
)doc");
  net.def(py::init(&Rfc2217::make), py::arg("host"), py::arg("port"), py::arg("baudrate") = 9600,
          py::arg("bytesize") = 8, py::arg("parity") = "N", py::arg("stopbits") = 1.0,
          py::arg("rtscts") = false);
  LineControl<zor::CDevRfc2217>::bind(net);
#endif
}

}  // namespace zorpy
