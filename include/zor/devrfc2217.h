// CDevRfc2217: an instrument on a serial port that another computer shares
// as a network serial port (Telnet with the serial-line option, served by
// "zor remote --protocol rfc2217" or another such server).
//
// One TCP connection carries the bytes and the line settings. The open
// negotiates the option and sends the line programmed with DeviceProgram; the
// line control calls each wait a bounded time for the server's answer and
// return false without one. When the server goes away the device enters its
// panic handling: with "Panic Resume" on it reconnects by itself.
#pragma once

#include <zor/export.h>

#include <zor/device.h>

#include <memory>

namespace zor {

class ZOR_API CDevRfc2217 : public CDevice {
public:
  // How long an open waits for the server to take the serial-line option,
  // and a line control call for the server's answer.
  static const unsigned long NEGOTIATE_MS = 3000;
  static const unsigned long ANSWER_MS = 3000;

  // Server computer (a name or a dotted address) and its port.
  explicit CDevRfc2217(const char* host = nullptr, unsigned short port = 0);
  ~CDevRfc2217() override;

  zorType Type() const override { return ZOR_RFC2217; }
  void SetAddress(const char* host, unsigned short port);
  // The line for the next open, as CDevRS232's: parity a letter N, O, E, M or
  // S; stop code 2 means two stop bits, any other one.
  void DeviceProgram(bool hwHandshake, unsigned long baudRate, unsigned char parity, unsigned char dataBits,
                     unsigned char stopBits);
  // The flags are not used: the device always runs without overlapped I/O.
  // On failure the last error says why: ERROR_NOT_SUPPORTED for a server that
  // does not speak the serial-line option, a WSAE... code for the connection.
  bool OpenDevice(int overlapFlags, int rxSize, int txSize);

  // The line in force: the one programmed or sent at the open, with the
  // changes the server has answered since. Any pointer may be null.
  void GetLine(bool* hwHandshake, unsigned long* baudRate, unsigned char* parity, unsigned char* dataBits,
               unsigned char* stopBits) const;
  // Line control on the open port: true once the server answered with the value asked.
  bool ChangeSpeed(unsigned long baudRate);
  // Data size, parity (a letter, as DeviceProgram's) and stop code at once.
  bool ChangeFrame(unsigned char parity, unsigned char dataBits, unsigned char stopBits);
  bool EnableHwHandshake(bool on);
  bool SetRts(bool on);
  bool SetDtr(bool on);
  bool SetBreak(bool on);
  // PURGE_RXCLEAR/RXABORT and PURGE_TXCLEAR/TXABORT purge the server's buffers of that direction.
  bool PurgeComm(unsigned long flags);
  // MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON as the server last reported
  // them (asked when it has not yet).
  bool GetCommModemStatus(unsigned long* modemStatus);

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
