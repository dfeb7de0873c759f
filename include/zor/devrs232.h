// CDevRS232: an instrument on a serial port.
//
// The port is named "COMn": the link ports/COMn beside the settings file when
// there is one, else /dev/ttyS<n-1>. The base moves the bytes; this class adds
// the line settings, RTS/CTS gating of transmission, the modem-control and
// break lines, the line status and the byte time.
#pragma once

#include <zor/export.h>

#include <zor/comm.h>
#include <zor/device.h>

#include <atomic>

namespace zor {

class ZOR_API CDevRS232 : public CDevice {
public:
  CDevRS232();
  ~CDevRS232() override;

  zorType Type() const override { return ZOR_RS232; }

  // Settings for the next open; an open port is not touched. Parity is a letter
  // N, O, E, M or S (either case; anything else means none); stop code 2 means two
  // stop bits, any other one.
  void DeviceProgram(bool hwHandshake, unsigned long baudRate, unsigned char parity, unsigned char dataBits,
                     unsigned char stopBits);
  // Opens "COM<portNumber>". On failure the system error is the thread's last error.
  bool OpenDevice(int portNumber, int overlapFlags, int rxSize, int txSize);

  // Line control on the open port; false on a closed port, settings then unchanged.
  bool ChangeSpeed(unsigned long baudRate);
  bool EnableHwHandshake(bool on);
  bool HwHandshakeStatus();
  bool SetRts(bool on);
  bool SetDtr(bool on);
  bool SetBreak(bool on);
  // Reads and clears the line errors; true when one of overrun, parity, framing,
  // break, TX full or I/O error is reported (error word & 0x051F).
  bool GetStatus(unsigned long* errors, COMSTAT* status);
  // Milliseconds one character takes on the line at the stored settings (0 above
  // 1000 characters per second). Below one character per second the exact time is
  // given; at rate 0, where no time is defined, the result is 0.
  unsigned long GetByteTime();

  // The communications calls on the open port.
  bool SetupComm(unsigned long inQueue, unsigned long outQueue);
  bool GetCommState(DCB* dcb);
  bool SetCommState(DCB* dcb);
  bool SetCommMask(unsigned long mask);
  bool PurgeComm(unsigned long flags);
  bool EscapeCommFunction(unsigned long function);
  bool ClearCommError(unsigned long* errors, COMSTAT* status);
  bool GetCommModemStatus(unsigned long* modemStatus);

protected:
  bool canTransmit() override;
  bool close_device() override;
  int GetIOSize(int) const override { return 1024; }
  // A line that is gone (ERROR_GEN_FAILURE) is fatal in both modes, so panic
  // recovery reopens the port when it is back instead of polling a dead handle.
  bool on_io_error(unsigned long error, int k) override;
  bool program_device(int rxSize, int txSize) override;

private:
  void init();
  unsigned char translate_parity() const;
  unsigned char translate_stopBits() const;

  // Read by the worker and resumer threads while the application may change them.
  std::atomic<unsigned long> m_baudRate{9600};
  std::atomic<bool> m_hwHandshake{false};
  std::atomic<char> m_parity{'N'};
  std::atomic<unsigned char> m_dataBits{8};
  std::atomic<unsigned char> m_stopBits{1};
};

}  // namespace zor
