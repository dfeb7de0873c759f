// The serial-line sub-negotiation of Telnet option 44 (COM-PORT-OPTION):
// command codes, the values they carry, and their answers, as both ends use them.
#pragma once

#include <cstdint>

namespace zor::comport {

// Client to server; the server answers with the code plus kServerOffset.
enum Command : std::uint8_t {
  SIGNATURE = 0,
  SET_BAUDRATE = 1,
  SET_DATASIZE = 2,
  SET_PARITY = 3,
  SET_STOPSIZE = 4,
  SET_CONTROL = 5,
  NOTIFY_LINESTATE = 6,
  NOTIFY_MODEMSTATE = 7,
  FLOWCONTROL_SUSPEND = 8,
  FLOWCONTROL_RESUME = 9,
  SET_LINESTATE_MASK = 10,
  SET_MODEMSTATE_MASK = 11,
  PURGE_DATA = 12,
};
constexpr std::uint8_t kServerOffset = 100;

// SET-PARITY values (0 asks).
enum Parity : std::uint8_t {
  PARITY_NONE = 1,
  PARITY_ODD = 2,
  PARITY_EVEN = 3,
  PARITY_MARK = 4,
  PARITY_SPACE = 5
};
// SET-STOPSIZE values (0 asks).
enum StopSize : std::uint8_t { STOP_ONE = 1, STOP_TWO = 2, STOP_ONE_HALF = 3 };
// SET-CONTROL values.
enum Control : std::uint8_t {
  FLOW_ASK = 0,
  FLOW_NONE = 1,
  FLOW_XONXOFF = 2,
  FLOW_HARDWARE = 3,
  BREAK_ASK = 4,
  BREAK_ON = 5,
  BREAK_OFF = 6,
  DTR_ASK = 7,
  DTR_ON = 8,
  DTR_OFF = 9,
  RTS_ASK = 10,
  RTS_ON = 11,
  RTS_OFF = 12,
  INFLOW_ASK = 13,
  INFLOW_NONE = 14,
  INFLOW_XONXOFF = 15,
  INFLOW_HARDWARE = 16,
  FLOW_DCD = 17,
  INFLOW_DTR = 18,
  FLOW_DSR = 19,
};
// PURGE-DATA values.
enum Purge : std::uint8_t { PURGE_RX = 1, PURGE_TX = 2, PURGE_BOTH = 3 };
// NOTIFY-MODEMSTATE bits: the lines (the same bits as MS_*_ON) and their changes.
constexpr std::uint8_t MODEM_CD = 0x80, MODEM_RI = 0x40, MODEM_DSR = 0x20, MODEM_CTS = 0x10;
constexpr std::uint8_t MODEM_DELTA_CD = 0x08, MODEM_RI_TRAILING = 0x04, MODEM_DELTA_DSR = 0x02,
                       MODEM_DELTA_CTS = 0x01;

// The rates a line is asked for; anything else keeps the rate in force.
constexpr std::uint32_t kLowestRate = 50;
constexpr std::uint32_t kHighestRate = 12000000;

}  // namespace zor::comport
