// Line settings from a bridge's pty to the device it serves (pty_line_control.h).
#include "zor/remote/pty_line_control.h"

#include <zor/comm.h>
#include <zor/devrfc2217.h>
#include <zor/devrs232.h>

namespace zor {
namespace {

char parityLetter(BYTE parity) {
  switch (parity) {
    case ODDPARITY:
      return 'O';
    case EVENPARITY:
      return 'E';
    case MARKPARITY:
      return 'M';
    case SPACEPARITY:
      return 'S';
    default:
      return 'N';
  }
}

BYTE parityCode(char letter) {
  switch (letter) {
    case 'O':
      return ODDPARITY;
    case 'E':
      return EVENPARITY;
    case 'M':
      return MARKPARITY;
    case 'S':
      return SPACEPARITY;
    default:
      return NOPARITY;
  }
}

// A serial port: the whole DCB is written at once, and stored for the
// reopen after a panic.
bool applySerial(CDevRS232& port, const PtyLine& line, char noneOrEven) {
  // The handshake first: it rewrites the line from what the port reads back,
  // which on a port that drops the parity enable would lose the parity.
  if (!port.EnableHwHandshake(line.rtsCts)) return false;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!port.GetCommState(&dcb)) return false;
  const char parity = line.parity != 0 ? line.parity : noneOrEven;
  dcb.BaudRate = static_cast<DWORD>(line.baud);
  dcb.Parity = parityCode(parity);
  dcb.fParity = dcb.Parity != NOPARITY;
  dcb.StopBits = line.twoStopBits ? TWOSTOPBITS : ONESTOPBIT;
  if (!port.SetCommState(&dcb)) return false;
  port.DeviceProgram(line.rtsCts, line.baud, static_cast<unsigned char>(parity), dcb.ByteSize,
                     line.twoStopBits ? 2 : 1);
  return true;
}

}  // namespace

bool servedPtyLine(CDevice& device, PtyLine& line, char& noneOrEven) {
  if (auto* port = dynamic_cast<CDevRS232*>(&device)) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!port->GetCommState(&dcb)) return false;
    const char parity = parityLetter(dcb.Parity);
    line.baud = dcb.BaudRate;
    line.parity = parity == 'N' || parity == 'E' ? 0 : parity;
    line.twoStopBits = dcb.StopBits == TWOSTOPBITS;
    line.rtsCts = port->HwHandshakeStatus();
    noneOrEven = parity == 'E' ? 'E' : 'N';
    return true;
  }
  if (auto* net = dynamic_cast<CDevRfc2217*>(&device)) {
    bool rtsCts = false;
    unsigned long baud = 0;
    unsigned char parity = 'N', dataBits = 8, stopBits = 1;
    net->GetLine(&rtsCts, &baud, &parity, &dataBits, &stopBits);
    const char letter = static_cast<char>(parity);
    line.baud = baud;
    line.parity = letter == 'N' || letter == 'E' ? 0 : letter;
    line.twoStopBits = stopBits == 2;
    line.rtsCts = rtsCts;
    noneOrEven = letter == 'E' ? 'E' : 'N';
    return true;
  }
  return false;
}

bool applyPtyLine(CDevice& device, const PtyLine& line, char noneOrEven) {
  if (auto* port = dynamic_cast<CDevRS232*>(&device)) return applySerial(*port, line, noneOrEven);
  if (auto* net = dynamic_cast<CDevRfc2217*>(&device)) {
    unsigned char dataBits = 8;
    net->GetLine(nullptr, nullptr, nullptr, &dataBits, nullptr);
    const char parity = line.parity != 0 ? line.parity : noneOrEven;
    // A pty always says 8 data bits: the served line keeps its own.
    return net->EnableHwHandshake(line.rtsCts) && net->ChangeSpeed(static_cast<unsigned long>(line.baud)) &&
           net->ChangeFrame(static_cast<unsigned char>(parity), dataBits, line.twoStopBits ? 2 : 1);
  }
  return false;
}

}  // namespace zor
