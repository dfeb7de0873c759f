// The device kinds of the module, each a Device opened by its constructor.
#pragma once

#include "device.h"

#include <string>

namespace zorpy {

// rx_size, tx_size and overlapped from a call's keywords; TypeError for any other.
OpenOptions openOptions(const py::kwargs& kw);

class Loopback : public Device {
public:
  explicit Loopback(const OpenOptions& o);
};

class Playback : public Device {
public:
  Playback(const std::string& path, bool trueSpeed, const OpenOptions& o);
};

class PipeClient : public Device {
public:
  PipeClient(const std::string& host, const OpenOptions& o);
};

class TcpClient : public Device {
public:
  TcpClient(const std::string& host, const OpenOptions& o);
};

class Usb : public Device {
public:
  explicit Usb(const OpenOptions& o);
};

void bindKinds(py::module_& m);
void bindSerial(py::module_& m);

}  // namespace zorpy
