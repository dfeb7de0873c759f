// CDevNet: an instrument attached to another program's device, reached
// through the local pipes of its intranet server (zor server).
//
// The device reads the server's "<ZOR_NETPIPE>_OUT" pipe and writes its
// "<ZOR_NETPIPE>_IN" pipe with the device core's own threads. The server must
// run on this computer (or have its pipes forwarded into the pipe folder):
// the host is ".", "localhost" or this computer's name. When the server goes
// the device enters its panic handling, and with "Panic Resume" on it
// reconnects to the server's next pipes by itself.
#pragma once

#include <zor/export.h>

#include <zor/device.h>

#include <memory>

namespace zor {

class ZOR_API CDevNet : public CDevice {
public:
  // The pipes' base name, shared with the server.
  static const char* const ZOR_NETPIPE;

  explicit CDevNet(const char* host = nullptr);
  ~CDevNet() override;

  zorType Type() const override { return ZOR_NET; }
  // Takes effect at the next OpenDevice.
  void SetHostName(const char* host);
  // flags: bit 0 overlapped reception, bit 1 overlapped transmission. False
  // with no host, no server (error 2), a busy server (231), a host that is
  // another computer (53) or a name that is no pipe's (123).
  bool OpenDevice(int flags, int rxBufferSize, int txBufferSize);

protected:
  bool close_device() override;
  SECURITY_ATTRIBUTES* security_attr() override;
  int GetIOSize(int) const override { return 64; }
  // Fatal for a pipe that broke or is being closed, whichever direction.
  bool on_io_error(unsigned long error, int k) override;

private:
  struct Private;
  std::unique_ptr<Private> p;
};

}  // namespace zor
