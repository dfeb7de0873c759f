#include "zor/remote/comport_control.h"

#include "zor/remote/rfc2217.h"

#include <zor/comm.h>
#include <zor/devrs232.h>

namespace zor {

using namespace comport;

namespace {

std::uint8_t parityFromDcb(BYTE p) {
  switch (p) {
    case ODDPARITY:
      return PARITY_ODD;
    case EVENPARITY:
      return PARITY_EVEN;
    case MARKPARITY:
      return PARITY_MARK;
    case SPACEPARITY:
      return PARITY_SPACE;
    default:
      return PARITY_NONE;
  }
}

BYTE parityToDcb(std::uint8_t p) {
  static constexpr BYTE codes[] = {NOPARITY, NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY};
  return p < sizeof codes ? codes[p] : NOPARITY;
}

unsigned char parityLetter(std::uint8_t p) {
  static constexpr char letters[] = "NNOEMS";
  return p < 6 ? static_cast<unsigned char>(letters[p]) : 'N';
}

BYTE stopToDcb(std::uint8_t s) {
  return s == STOP_TWO ? TWOSTOPBITS : s == STOP_ONE_HALF ? ONE5STOPBITS : ONESTOPBIT;
}

std::uint8_t stopFromDcb(BYTE s) {
  return s == TWOSTOPBITS ? STOP_TWO : s == ONE5STOPBITS ? STOP_ONE_HALF : STOP_ONE;
}

const char* commandName(std::uint8_t c) {
  static constexpr const char* names[] = {"SIGNATURE",          "SET-BAUDRATE",       "SET-DATASIZE",
                                          "SET-PARITY",         "SET-STOPSIZE",       "SET-CONTROL",
                                          "NOTIFY-LINESTATE",   "NOTIFY-MODEMSTATE",  "FLOWCONTROL-SUSPEND",
                                          "FLOWCONTROL-RESUME", "SET-LINESTATE-MASK", "SET-MODEMSTATE-MASK",
                                          "PURGE-DATA"};
  return c < sizeof names / sizeof names[0] ? names[c] : "unknown";
}

}  // namespace

CComPortControl::CComPortControl(CDevice* device)
    : m_device(device), m_serial(dynamic_cast<CDevRS232*>(device)) {}

void CComPortControl::reset() {
  m_lineMask = 0;
  m_modemMask = 255;
  m_modemKnown = false;
  m_suspended = false;
  load();
}

void CComPortControl::load() {
  if (m_serial == nullptr) return;
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  if (!m_serial->GetCommState(&dcb)) return;
  m_rate = dcb.BaudRate;
  if (dcb.ByteSize >= 5 && dcb.ByteSize <= 8) m_dataSize = dcb.ByteSize;
  m_parity = parityFromDcb(dcb.Parity);
  m_stop = stopFromDcb(dcb.StopBits);
  m_flow = m_serial->HwHandshakeStatus() ? FLOW_HARDWARE : m_flow == FLOW_XONXOFF ? FLOW_XONXOFF : FLOW_NONE;
}

bool CComPortControl::programLine(std::uint32_t rate, std::uint8_t dataSize, std::uint8_t parity,
                                  std::uint8_t stop) {
  if (m_serial == nullptr) return true;
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  if (!m_serial->GetCommState(&dcb)) return false;
  dcb.BaudRate = rate;
  dcb.ByteSize = dataSize;
  dcb.Parity = parityToDcb(parity);
  dcb.StopBits = stopToDcb(stop);
  if (!m_serial->SetCommState(&dcb)) return false;
  // Kept for the next open too, so that a port reopened after a panic runs as the client asked.
  m_serial->DeviceProgram(m_flow == FLOW_HARDWARE, rate, parityLetter(parity), dataSize,
                          stop == STOP_TWO ? 2 : 1);
  return true;
}

std::uint32_t CComPortControl::setRate(std::uint32_t rate) {
  if (rate >= kLowestRate && rate <= kHighestRate && programLine(rate, m_dataSize, m_parity, m_stop))
    m_rate = rate;
  return m_rate;
}

std::uint8_t CComPortControl::setFraming(std::uint8_t command, std::uint8_t value) {
  std::uint8_t size = m_dataSize, parity = m_parity, stop = m_stop;
  if (command == SET_DATASIZE && value >= 5 && value <= 8) size = value;
  if (command == SET_PARITY && value >= PARITY_NONE && value <= PARITY_SPACE) parity = value;
  if (command == SET_STOPSIZE && value >= STOP_ONE && value <= STOP_ONE_HALF) stop = value;
  if ((size != m_dataSize || parity != m_parity || stop != m_stop) &&
      programLine(m_rate, size, parity, stop)) {
    m_dataSize = size;
    m_parity = parity;
    m_stop = stop;
  }
  return command == SET_DATASIZE ? m_dataSize : command == SET_PARITY ? m_parity : m_stop;
}

std::uint8_t CComPortControl::control(std::uint8_t value) {
  // A line the port cannot drive (a pseudo-terminal has no DTR) keeps the
  // state asked: the client is told what it will see when it asks again.
  switch (value) {
    case FLOW_ASK:
      return m_flow;
    case FLOW_NONE:
    case FLOW_XONXOFF:
    case FLOW_HARDWARE:
      if (m_serial != nullptr) {
        if (!m_serial->EnableHwHandshake(value == FLOW_HARDWARE)) return m_flow;
        m_device->EnableXonHandshake(value == FLOW_XONXOFF, 0x11, 0x13);
      }
      return m_flow = value;
    case BREAK_ASK:
      return m_break;
    case BREAK_ON:
    case BREAK_OFF:
      if (m_serial != nullptr) m_serial->SetBreak(value == BREAK_ON);
      return m_break = value;
    case DTR_ASK:
      return m_dtr;
    case DTR_ON:
    case DTR_OFF:
      if (m_serial != nullptr) m_serial->SetDtr(value == DTR_ON);
      return m_dtr = value;
    case RTS_ASK:
      return m_rts;
    case RTS_ON:
    case RTS_OFF:
      if (m_serial != nullptr && m_flow != FLOW_HARDWARE) m_serial->SetRts(value == RTS_ON);
      return m_rts = value;
    case INFLOW_ASK:
      return static_cast<std::uint8_t>(m_flow + (INFLOW_NONE - FLOW_NONE));
    case INFLOW_NONE:
    case INFLOW_XONXOFF:
    case INFLOW_HARDWARE:
      // One setting serves both directions of the port.
      return static_cast<std::uint8_t>(control(static_cast<std::uint8_t>(value - (INFLOW_NONE - FLOW_NONE))) +
                                       (INFLOW_NONE - FLOW_NONE));
    default:
      // DCD and DSR flow control are not offered: the setting in force stays.
      return m_flow;
  }
}

std::uint8_t CComPortControl::purge(std::uint8_t value) {
  if (value < PURGE_RX || value > PURGE_BOTH) return value;
  const bool rx = (value & PURGE_RX) != 0, tx = (value & PURGE_TX) != 0;
  if (m_serial != nullptr)
    m_serial->PurgeComm((rx ? PURGE_RXABORT | PURGE_RXCLEAR : 0) | (tx ? PURGE_TXABORT | PURGE_TXCLEAR : 0));
  m_device->Flush(rx, tx);
  return value;
}

telnet::Bytes CComPortControl::apply(std::uint8_t command, const telnet::Bytes& value, std::string& what) {
  what = std::string(commandName(command)) + " ";
  const std::uint8_t code = static_cast<std::uint8_t>(command + kServerOffset);
  const std::uint8_t first = value.empty() ? 0 : value[0];
  telnet::Bytes answer{code};
  switch (command) {
    case SIGNATURE:
      // Our name, the answer to a client that asks who serves it.
      what += "asked";
      return {code, 'z', 'o', 'r'};
    case SET_BAUDRATE: {
      std::uint32_t rate = 0;
      for (std::size_t i = 0; i < 4 && i < value.size(); ++i) rate = rate << 8 | value[i];
      // Four bytes or it is only a question.
      const std::uint32_t now = value.size() >= 4 && rate != 0 ? setRate(rate) : m_rate;
      what += std::to_string(rate) + " -> " + std::to_string(now);
      for (int shift = 24; shift >= 0; shift -= 8) answer.push_back(static_cast<std::uint8_t>(now >> shift));
      return answer;
    }
    case SET_DATASIZE:
    case SET_PARITY:
    case SET_STOPSIZE:
      answer.push_back(first != 0                ? setFraming(command, first)
                       : command == SET_DATASIZE ? m_dataSize
                       : command == SET_PARITY   ? m_parity
                                                 : m_stop);
      break;
    case SET_CONTROL:
      answer.push_back(control(first));
      break;
    case NOTIFY_LINESTATE:
      // Asked by a client: no line error is held back for it.
      answer.push_back(0);
      break;
    case NOTIFY_MODEMSTATE:
      answer.push_back(modemLines());
      break;
    case FLOWCONTROL_SUSPEND:
    case FLOWCONTROL_RESUME:
      m_suspended = command == FLOWCONTROL_SUSPEND;
      what += "done";
      return answer;
    case SET_LINESTATE_MASK:
      answer.push_back(m_lineMask = first);
      break;
    case SET_MODEMSTATE_MASK:
      m_modemKnown = false;  // the next look reports the lines now watched
      answer.push_back(m_modemMask = first);
      break;
    case PURGE_DATA:
      answer.push_back(purge(first));
      break;
    default:
      what += "ignored";
      return {};
  }
  what += std::to_string(first) + " -> " + std::to_string(answer.back());
  return answer;
}

std::uint8_t CComPortControl::modemLines() {
  // Another kind of device is a line that is always ready.
  unsigned long status = MODEM_CD | MODEM_DSR | MODEM_CTS;
  if (m_serial != nullptr && !m_serial->GetCommModemStatus(&status)) status = 0;
  // MS_CTS_ON, MS_DSR_ON, MS_RING_ON and MS_RLSD_ON are the notification's own bits.
  return static_cast<std::uint8_t>(status & 0xF0);
}

bool CComPortControl::modemChanged(std::uint8_t* notify) {
  if (!watchesModem()) return false;
  const std::uint8_t lines = modemLines();
  const std::uint8_t changed = static_cast<std::uint8_t>((lines ^ m_lastModem) & m_modemMask & 0xF0);
  const bool first = !m_modemKnown;
  m_modemKnown = true;
  if (!first && changed == 0) return false;
  std::uint8_t deltas = 0;
  if (!first) {
    if (changed & MODEM_CTS) deltas |= MODEM_DELTA_CTS;
    if (changed & MODEM_DSR) deltas |= MODEM_DELTA_DSR;
    if ((changed & MODEM_RI) && !(lines & MODEM_RI)) deltas |= MODEM_RI_TRAILING;
    if (changed & MODEM_CD) deltas |= MODEM_DELTA_CD;
  }
  m_lastModem = lines;
  *notify = static_cast<std::uint8_t>(((lines | deltas) & m_modemMask));
  return true;
}

}  // namespace zor
