#include <zor/host.h>

#include <zor/strings.h>

#include "zor/support/support.h"

namespace zor {
namespace {

constexpr unsigned long kBaudRates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                        19200, 38400, 56000, 57600, 115200, 128000, 256000};
constexpr char kParities[] = "NEOMS";
constexpr int kStopBits[] = {0, 1, 2};  // one, one and a half, two

template <class T, std::size_t N>
bool inRange(int index, const T (&)[N]) {
  return index >= 0 && static_cast<std::size_t>(index) < N;
}

}  // namespace

CRunZorSettings::CRunZorSettings(bool serverMode) : m_serverMode(serverMode) {
  CIni ini;
  ini.UseSystemFile();
  ini.ForceWriteDefaults();
  m_address = ini.GetProfileStringA(IDS_SECTION, IDS_RUNZOR_ADDRESS, m_address.c_str());
  m_overlappedRx = ini.GetProfileIntA(IDS_SECTION, IDS_RUNZOR_OVRLP_RX, m_overlappedRx);
  m_overlappedTx = ini.GetProfileIntA(IDS_SECTION, IDS_RUNZOR_OVRLP_TX, m_overlappedTx);
  m_xonXoff = ini.GetProfileIntA(IDS_SECTION, IDS_RUNZOR_XONXOFF, m_xonXoff);
  m_portIndex = ini.GetProfileIntA(IDS_SECTION, IDS_RUNZOR_NUMDEV, m_portIndex);
  m_hwHandshake = ini.GetProfileIntA(IDS_SECTION, IDS_RUNZOR_HWHANDSHAKE, m_hwHandshake);
  m_stopBitsIndex = ini.GetProfileIntA(IDS_SECTION, IDS_RUNZOR_STOPBIT, m_stopBitsIndex);
  m_dataBitsIndex = ini.GetProfileIntA(IDS_SECTION, IDS_RUNZOR_DATABIT, m_dataBitsIndex);
  m_parityIndex = ini.GetProfileIntA(IDS_SECTION, IDS_RUNZOR_PARITY, m_parityIndex);
  m_baudRateIndex = ini.GetProfileIntA(IDS_SECTION, IDS_RUNZOR_BDRATE, m_baudRateIndex);
  m_loopback = ini.GetProfileIntA(IDS_SECTION, IDS_RUNZOR_LOOPBACK, m_loopback);
  if (m_serverMode && (m_portIndex == 2 || m_portIndex == 3)) m_portIndex = 0;
}

// A stored index outside its list (a hand-edited file) reads as the default
// entry rather than past the end of the table.
unsigned long CRunZorSettings::GetBaudRate() const {
  return kBaudRates[inRange(m_baudRateIndex, kBaudRates) ? m_baudRateIndex : 6];
}

char CRunZorSettings::GetParity() const {
  return kParities[m_parityIndex >= 0 && m_parityIndex < 5 ? m_parityIndex : 0];
}

int CRunZorSettings::GetStopBits() const {
  return kStopBits[inRange(m_stopBitsIndex, kStopBits) ? m_stopBitsIndex : 0];
}

}  // namespace zor
