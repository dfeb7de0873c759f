#include <zor/devrs232.h>

#include "zor/core/channel.h"
#include "zor/platform/tty_transport.h"

#include <cstdint>
#include <cstdio>

namespace zor {
namespace {

// Runs f on the open port's tty, held open for the call. Fails with the
// thread's last error ERROR_INVALID_HANDLE while the port is closed, and
// ERROR_INVALID_FUNCTION when the channel is not a serial line (a subclass
// serving its own hooks).
template <class F>
bool onLine(CDevice& device, F f) {
  ChannelTransport channel = deviceTransport(device, true);
  TtyTransport* tty = channel.as<TtyTransport>();
  if (tty == nullptr) {
    SetLastError(channel.get() == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_FUNCTION);
    return false;
  }
  return f(*tty);
}

// RTS handshake and CTS flow control go together: on, or RTS simply raised.
void setHandshake(DCB& dcb, bool on) {
  dcb.fRtsControl = on ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fOutxCtsFlow = on ? 1 : 0;
}

}  // namespace

CDevRS232::CDevRS232() {
  constructor();
  init();
}

CDevRS232::~CDevRS232() { destroyer(); }

void CDevRS232::init() {
  m_baudRate = 9600;
  m_hwHandshake = false;
  m_parity = 'N';
  m_dataBits = 8;
  m_stopBits = 1;
}

void CDevRS232::DeviceProgram(bool hwHandshake, unsigned long baudRate, unsigned char parity,
                              unsigned char dataBits, unsigned char stopBits) {
  m_hwHandshake = hwHandshake;
  m_baudRate = baudRate;
  m_parity = static_cast<char>(parity);
  m_dataBits = dataBits;
  m_stopBits = stopBits;
}

bool CDevRS232::OpenDevice(int portNumber, int overlapFlags, int rxSize, int txSize) {
  char name[32];
  std::snprintf(name, sizeof name, "COM%i", portNumber);
  unsigned long lastError = 0;
  bool ok = openDevice(name, nullptr, overlapFlags, rxSize, txSize, &lastError);
  if (!ok && lastError != 0) SetLastError(static_cast<DWORD>(lastError));
  return ok;
}

unsigned char CDevRS232::translate_parity() const {
  switch (m_parity.load()) {
    case 'O':
    case 'o':
      return ODDPARITY;
    case 'E':
    case 'e':
      return EVENPARITY;
    case 'M':
    case 'm':
      return MARKPARITY;
    case 'S':
    case 's':
      return SPACEPARITY;
    default:
      return NOPARITY;
  }
}

unsigned char CDevRS232::translate_stopBits() const { return m_stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT; }

bool CDevRS232::program_device(int rxSize, int txSize) {
  return onLine(*this, [&](TtyTransport& tty) {
    if (!tty.setupComm(static_cast<DWORD>(rxSize), static_cast<DWORD>(txSize))) return false;
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    tty.getState(&dcb);
    dcb.fBinary = 1;
    setHandshake(dcb, m_hwHandshake);
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    dcb.XonLim = static_cast<WORD>(rxSize / 4);
    dcb.XoffLim = static_cast<WORD>(rxSize - rxSize / 4);
    const unsigned long rate = m_baudRate;
    dcb.BaudRate =
        rate <= 0xFFFFFFFFul ? static_cast<DWORD>(rate) : 0;  // 0: refused, the line stays as it was
    dcb.ByteSize = m_dataBits;
    dcb.StopBits = translate_stopBits();
    dcb.Parity = translate_parity();
    bool result = true;
    // A line the driver refuses keeps running as the driver had it.
    if (tty.setState(&dcb) && (OverlapFlags() & 1) == 0) result = tty.setMask(EV_RXCHAR);
    if (result) tty.purge(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    return result;
  });
}

bool CDevRS232::canTransmit() {
  bool ok = CDevice::canTransmit();
  if (ok && m_hwHandshake) {
    DWORD status = 0;
    if (onLine(*this, [&](TtyTransport& tty) { return tty.modemStatus(&status) != FALSE; }))
      ok = (status & MS_CTS_ON) != 0;
  }
  return ok;
}

bool CDevRS232::close_device() {
  return onLine(*this, [](TtyTransport& tty) {
    tty.setMask(0);
    tty.escape(CLRRTS);
    tty.escape(CLRDTR);
    return tty.purge(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) != FALSE;
  });
}

bool CDevRS232::on_io_error(unsigned long error, int) { return error == ERROR_GEN_FAILURE; }

bool CDevRS232::ChangeSpeed(unsigned long baudRate) {
  return onLine(*this, [&](TtyTransport& tty) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!tty.getState(&dcb)) return false;
    dcb.BaudRate = static_cast<DWORD>(baudRate);
    bool ok = baudRate <= 0xFFFFFFFFul && tty.setState(&dcb);
    // A rate the line refused is not kept: the stored rate stays what the port runs.
    if (ok) m_baudRate = baudRate;
    tty.clearError(nullptr, nullptr);
    return ok;
  });
}

bool CDevRS232::EnableHwHandshake(bool on) {
  if (on == m_hwHandshake) return true;
  return onLine(*this, [&](TtyTransport& tty) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!tty.getState(&dcb)) return false;
    setHandshake(dcb, on);
    bool ok = tty.setState(&dcb);
    if (ok) m_hwHandshake = on;
    tty.clearError(nullptr, nullptr);
    return ok;
  });
}

bool CDevRS232::HwHandshakeStatus() { return m_hwHandshake; }

bool CDevRS232::SetRts(bool on) { return EscapeCommFunction(on ? SETRTS : CLRRTS); }

bool CDevRS232::SetDtr(bool on) { return EscapeCommFunction(on ? SETDTR : CLRDTR); }

bool CDevRS232::SetBreak(bool on) { return EscapeCommFunction(on ? SETBREAK : CLRBREAK); }

bool CDevRS232::GetStatus(unsigned long* errors, COMSTAT* status) {
  DWORD word = errors != nullptr ? static_cast<DWORD>(*errors) : 0;
  // When the call fails the word stays as the caller passed it in.
  onLine(*this, [&](TtyTransport& tty) { return tty.clearError(&word, status) != FALSE; });
  if (errors != nullptr) *errors = word;
  return (word & (CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK | CE_TXFULL | CE_IOE)) != 0;
}

unsigned long CDevRS232::GetByteTime() {
  std::uint64_t bits = 1 + m_dataBits;
  if (translate_parity() != NOPARITY) bits += 1;
  unsigned char stop = m_stopBits;
  if (stop <= 1)
    bits += 1;
  else if (stop == 2)
    bits += 2;
  const std::uint64_t rate = m_baudRate;
  const std::uint64_t cps = (rate * 10 / bits + 5) / 10;
  if (cps != 0) return static_cast<unsigned long>(1000 / cps);
  // Under half a character per second the rounded rate is 0: give the real time.
  if (rate == 0) return 0;
  return static_cast<unsigned long>(bits * 1000 / rate);
}

bool CDevRS232::SetupComm(unsigned long inQueue, unsigned long outQueue) {
  return onLine(*this, [&](TtyTransport& tty) {
    return tty.setupComm(static_cast<DWORD>(inQueue), static_cast<DWORD>(outQueue)) != FALSE;
  });
}

bool CDevRS232::GetCommState(DCB* dcb) {
  return onLine(*this, [&](TtyTransport& tty) { return tty.getState(dcb) != FALSE; });
}

bool CDevRS232::SetCommState(DCB* dcb) {
  return onLine(*this, [&](TtyTransport& tty) { return tty.setState(dcb) != FALSE; });
}

bool CDevRS232::SetCommMask(unsigned long mask) {
  return onLine(*this, [&](TtyTransport& tty) { return tty.setMask(static_cast<DWORD>(mask)) != FALSE; });
}

bool CDevRS232::PurgeComm(unsigned long flags) {
  return onLine(*this, [&](TtyTransport& tty) { return tty.purge(static_cast<DWORD>(flags)) != FALSE; });
}

bool CDevRS232::EscapeCommFunction(unsigned long function) {
  return onLine(*this, [&](TtyTransport& tty) { return tty.escape(static_cast<DWORD>(function)) != FALSE; });
}

bool CDevRS232::ClearCommError(unsigned long* errors, COMSTAT* status) {
  DWORD word = 0;
  if (!onLine(*this, [&](TtyTransport& tty) { return tty.clearError(&word, status) != FALSE; })) return false;
  if (errors != nullptr) *errors = word;
  return true;
}

bool CDevRS232::GetCommModemStatus(unsigned long* modemStatus) {
  DWORD s = 0;
  if (!onLine(*this, [&](TtyTransport& tty) { return tty.modemStatus(&s) != FALSE; })) return false;
  if (modemStatus != nullptr) *modemStatus = s;
  return true;
}

}  // namespace zor
