// The server's side of the serial-line sub-negotiation: applies what a client
// asks to the served device and says what is in force. A served serial port
// is programmed; another kind keeps the settings asked, to answer them, while
// its bytes move as before.
#pragma once

#include "zor/remote/telnet_codec.h"

#include <zor/device.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace zor {

class CDevRS232;

class CComPortControl {
public:
  explicit CComPortControl(CDevice* device);

  // A new client: the masks and the suspension back to their defaults, the
  // line read again from the port.
  void reset();
  // The answer's body (code + 100, value) to a command; empty for a command
  // that is not a client's (it is ignored). what gets a line for the debug output.
  telnet::Bytes apply(std::uint8_t command, const telnet::Bytes& value, std::string& what);
  // The client asked to stop receiving (FLOWCONTROL-SUSPEND) and has not resumed.
  bool suspended() const { return m_suspended.load(); }
  // True while the served port's modem lines are to be watched for the client.
  bool watchesModem() const { return m_serial != nullptr && m_modemMask != 0; }
  // The NOTIFY-MODEMSTATE value when the watched lines changed since the last look.
  bool modemChanged(std::uint8_t* notify);

private:
  void load();
  std::uint8_t modemLines();
  std::uint32_t setRate(std::uint32_t rate);
  std::uint8_t setFraming(std::uint8_t command, std::uint8_t value);
  std::uint8_t control(std::uint8_t value);
  std::uint8_t purge(std::uint8_t value);
  bool programLine(std::uint32_t rate, std::uint8_t dataSize, std::uint8_t parity, std::uint8_t stop);

  CDevice* m_device;
  CDevRS232* m_serial;  // the device when it is a serial port, else null
  std::uint32_t m_rate = 9600;
  std::uint8_t m_dataSize = 8, m_parity = 1, m_stop = 1;
  std::uint8_t m_flow = 1, m_dtr = 8, m_rts = 11, m_break = 6;
  std::uint8_t m_lineMask = 0, m_modemMask = 255;
  std::uint8_t m_lastModem = 0;
  bool m_modemKnown = false;
  std::atomic<bool> m_suspended{false};
};

}  // namespace zor
