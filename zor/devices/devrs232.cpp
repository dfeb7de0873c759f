#include <zor/devrs232.h>

#include "zor/platform/comm.h"

#include <cstdint>
#include <cstdio>

namespace zor {
namespace {

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
  HANDLE h = InputHandle();
  if (!zor::SetupComm(h, static_cast<DWORD>(rxSize), static_cast<DWORD>(txSize))) return false;
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  zor::GetCommState(h, &dcb);
  dcb.fBinary = 1;
  setHandshake(dcb, m_hwHandshake);
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fAbortOnError = 0;
  dcb.XonLim = static_cast<WORD>(rxSize / 4);
  dcb.XoffLim = static_cast<WORD>(rxSize - rxSize / 4);
  const unsigned long rate = m_baudRate;
  dcb.BaudRate = rate <= 0xFFFFFFFFul ? static_cast<DWORD>(rate) : 0;  // 0: refused, the line stays as it was
  dcb.ByteSize = m_dataBits;
  dcb.StopBits = translate_stopBits();
  dcb.Parity = translate_parity();
  bool result = true;
  // A line the driver refuses keeps running as the driver had it.
  if (zor::SetCommState(h, &dcb) && (OverlapFlags() & 1) == 0) result = zor::SetCommMask(h, EV_RXCHAR);
  if (result) zor::PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  return result;
}

bool CDevRS232::canTransmit() {
  bool ok = CDevice::canTransmit();
  if (ok && m_hwHandshake) {
    DWORD status = 0;
    if (zor::GetCommModemStatus(InputHandle(), &status)) ok = (status & MS_CTS_ON) != 0;
  }
  return ok;
}

bool CDevRS232::close_device() {
  HANDLE h = InputHandle();
  zor::SetCommMask(h, 0);
  zor::EscapeCommFunction(h, CLRRTS);
  zor::EscapeCommFunction(h, CLRDTR);
  return zor::PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

bool CDevRS232::on_io_error(unsigned long error, int) { return error == ERROR_GEN_FAILURE; }

bool CDevRS232::ChangeSpeed(unsigned long baudRate) {
  HANDLE h = InputHandle();
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  if (!zor::GetCommState(h, &dcb)) return false;
  dcb.BaudRate = static_cast<DWORD>(baudRate);
  bool ok = baudRate <= 0xFFFFFFFFul && zor::SetCommState(h, &dcb);
  // A rate the line refused is not kept: the stored rate stays what the port runs.
  if (ok) m_baudRate = baudRate;
  zor::ClearCommError(h, nullptr, nullptr);
  return ok;
}

bool CDevRS232::EnableHwHandshake(bool on) {
  if (on == m_hwHandshake) return true;
  HANDLE h = InputHandle();
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  if (!zor::GetCommState(h, &dcb)) return false;
  setHandshake(dcb, on);
  bool ok = zor::SetCommState(h, &dcb);
  if (ok) m_hwHandshake = on;
  zor::ClearCommError(h, nullptr, nullptr);
  return ok;
}

bool CDevRS232::HwHandshakeStatus() { return m_hwHandshake; }

bool CDevRS232::SetRts(bool on) { return zor::EscapeCommFunction(InputHandle(), on ? SETRTS : CLRRTS); }

bool CDevRS232::SetDtr(bool on) { return zor::EscapeCommFunction(InputHandle(), on ? SETDTR : CLRDTR); }

bool CDevRS232::SetBreak(bool on) {
  return on ? zor::SetCommBreak(InputHandle()) : zor::ClearCommBreak(InputHandle());
}

bool CDevRS232::GetStatus(unsigned long* errors, COMSTAT* status) {
  DWORD word = errors != nullptr ? static_cast<DWORD>(*errors) : 0;
  // When the call fails the word stays as the caller passed it in.
  zor::ClearCommError(InputHandle(), &word, status);
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
  return zor::SetupComm(InputHandle(), static_cast<DWORD>(inQueue), static_cast<DWORD>(outQueue));
}

bool CDevRS232::GetCommState(DCB* dcb) { return zor::GetCommState(InputHandle(), dcb); }

bool CDevRS232::SetCommState(DCB* dcb) { return zor::SetCommState(InputHandle(), dcb); }

bool CDevRS232::SetCommMask(unsigned long mask) {
  return zor::SetCommMask(InputHandle(), static_cast<DWORD>(mask));
}

bool CDevRS232::PurgeComm(unsigned long flags) {
  return zor::PurgeComm(InputHandle(), static_cast<DWORD>(flags));
}

bool CDevRS232::EscapeCommFunction(unsigned long function) {
  return zor::EscapeCommFunction(InputHandle(), static_cast<DWORD>(function));
}

bool CDevRS232::ClearCommError(unsigned long* errors, COMSTAT* status) {
  DWORD word = 0;
  if (!zor::ClearCommError(InputHandle(), &word, status)) return false;
  if (errors != nullptr) *errors = word;
  return true;
}

bool CDevRS232::GetCommModemStatus(unsigned long* modemStatus) {
  DWORD s = 0;
  if (!zor::GetCommModemStatus(InputHandle(), &s)) return false;
  if (modemStatus != nullptr) *modemStatus = s;
  return true;
}

}  // namespace zor
