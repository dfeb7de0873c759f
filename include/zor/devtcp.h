// CDevTcp: an instrument attached to another computer, reached over TCP
// through that computer's remote server (zor remote).
//
// Opening connects to the server's port TCP_PORT and waits up to 10 s for the
// server to connect back on TCP_PORT + 1; bytes then travel raw both ways.
// At "Thread granularity" 0 the device's RX thread reads the server's
// connection itself; at other granularities the channel's thread hands what
// comes to onRead. When the server goes away the next write fails (at 0 the
// read too) and the device enters its panic handling: with "Panic Resume" on
// it reconnects by itself.
#pragma once

#include <zor/export.h>

#include <zor/device.h>

#include <memory>

namespace zor {

class ZOR_API CDevTcp : public CDevice {
public:
  // The server's port; the client listens for the call back on the next one.
  static const int TCP_PORT = 40765;

  explicit CDevTcp(const char* host = nullptr);
  ~CDevTcp() override;

  zorType Type() const override { return ZOR_TCP; }
  // Server computer: a name or a dotted address.
  void SetHostName(const char* host);
  // The flags are not used: the TCP device always runs without overlapped I/O.
  bool OpenDevice(int flags, int rxBufferSize, int txBufferSize);
  // Bytes received from the server (called on the channel's receiving thread
  // at granularities above 0), ahead of what its connection brings next;
  // waits (bounded by the close) while the device's queue is full.
  void onRead(const unsigned char* data, unsigned long size);

protected:
  bool openDevice(const char* inName, const char* outName, int overlapFlags, int rxSize, int txSize,
                  unsigned long* lastError) override;
  bool close_device() override;
  int GetIOSize(int) const override { return 1024; }
  bool on_io_error(unsigned long error, int k) override;
  int hook_readFile(void* handle, void* buffer, unsigned long size, unsigned long* done,
                    OVERLAPPED* ovl) override;
  int hook_writeFile(void* handle, const void* buffer, unsigned long size, unsigned long* done,
                     OVERLAPPED* ovl) override;

private:
  struct Private;
  std::unique_ptr<Private> p;
};

}  // namespace zor
