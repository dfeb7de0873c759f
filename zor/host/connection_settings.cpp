#include <zor/host.h>

#include <zor/strings.h>

#include <zor/settings.h>
#include "zor/host/device_kinds.h"

#include <zor/app.h>

#include <cctype>
#include <cstdio>
#include <utility>
#include <vector>

namespace zor {
namespace {

constexpr unsigned long kBaudRates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                        19200, 38400, 56000, 57600, 115200, 128000, 256000};
constexpr char kParities[] = "NEOMS";
constexpr int kStopBits[] = {0, 1, 2};  // one, one and a half, two
constexpr const char* kParityTexts[] = {"None", "Even", "Odd", "Mark", "Space"};
constexpr const char* kDataBitsTexts[] = {"5", "6", "7", "8"};
constexpr const char* kStopBitsTexts[] = {"1", "1.5", "2"};

bool sameText(const char* a, const char* b, std::size_t n = static_cast<std::size_t>(-1)) {
  for (std::size_t i = 0; i < n; ++i) {
    int x = std::tolower(static_cast<unsigned char>(a[i]));
    int y = std::tolower(static_cast<unsigned char>(b[i]));
    if (x != y) return false;
    if (x == 0) return true;
  }
  return true;
}

template <class T, std::size_t N>
bool inRange(int index, const T (&)[N]) {
  return index >= 0 && static_cast<std::size_t>(index) < N;
}

}  // namespace

CRunZorSettings::CRunZorSettings(bool serverMode) : m_serverMode(serverMode) {
  // Read in the dialog's order: a key missing from the file is written back where it is read.
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
  if (m_serverMode && !deviceKindAt(m_portIndex).servable) m_portIndex = ENTRY_NULL;
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

int CRunZorSettings::BaudRateCount() { return static_cast<int>(std::size(kBaudRates)); }

unsigned long CRunZorSettings::BaudRateAt(int index) {
  return inRange(index, kBaudRates) ? kBaudRates[index] : 0;
}

int CRunZorSettings::BaudRateIndexOf(unsigned long rate) {
  for (int i = 0; i < BaudRateCount(); ++i)
    if (kBaudRates[i] == rate) return i;
  return -1;
}

const char* CRunZorSettings::ParityText(int index) {
  return inRange(index, kParityTexts) ? kParityTexts[index] : nullptr;
}
const char* CRunZorSettings::DataBitsText(int index) {
  return inRange(index, kDataBitsTexts) ? kDataBitsTexts[index] : nullptr;
}
const char* CRunZorSettings::StopBitsText(int index) {
  return inRange(index, kStopBitsTexts) ? kStopBitsTexts[index] : nullptr;
}

namespace {

// The rows shown before the serial ports: all but the serial row.
int kindRowsShown() { return static_cast<int>(deviceKinds().size()) - 1; }

}  // namespace

int CRunZorSettings::PortEntryCount() { return kindRowsShown() + listedSerialPorts(); }

int CRunZorSettings::PortEntryAt(int position) {
  if (position < 0) return -1;
  if (position < kindRowsShown()) return deviceKinds()[static_cast<std::size_t>(position)].entry;
  const int slot = position - kindRowsShown();
  return slot < listedSerialPorts() ? ENTRY_FIRST_SERIAL + slot : -1;
}

int CRunZorSettings::PortPosition(int entry) {
  const DeviceKind& kind = deviceKindAt(entry);
  if (!kind.IsSerial()) return static_cast<int>(&kind - deviceKinds().data());
  const int slot = serialPortSlot(entry);
  return slot < 0 ? -1 : kindRowsShown() + slot;
}

std::string CRunZorSettings::PortEntryText(int entry) {
  const DeviceKind& kind = deviceKindAt(entry);
  if (!kind.IsSerial()) return kind.name;
  const int slot = serialPortSlot(entry);
  return slot < 0 ? std::string() : "COM " + std::to_string(zorGetComPortNumber(slot));
}

int CRunZorSettings::PortEntryOf(const char* name) {
  if (name == nullptr) return -1;
  for (const DeviceKind& kind : deviceKinds())
    if (!kind.IsSerial() && sameText(name, kind.name)) return kind.entry;
  if (!sameText(name, "COM", 3)) return -1;
  const char* digits = name + 3;
  if (*digits == ' ') ++digits;
  if (*digits < '1' || *digits > '9') return -1;
  long n = 0;
  for (const char* p = digits; *p != '\0'; ++p) {
    if (!std::isdigit(static_cast<unsigned char>(*p))) return -1;
    n = n * 10 + (*p - '0');
    if (n > 1000000) return -1;
  }
  for (int i = 0; i < listedSerialPorts(); ++i)
    if (zorGetComPortNumber(i) == n) return ENTRY_FIRST_SERIAL + i;
  return -1;
}

bool CRunZorSettings::SetBaudRateIndex(int index) {
  if (!inRange(index, kBaudRates)) return false;
  m_baudRateIndex = index;
  return true;
}
bool CRunZorSettings::SetParityIndex(int index) {
  if (!inRange(index, kParityTexts)) return false;
  m_parityIndex = index;
  return true;
}
bool CRunZorSettings::SetDataBitsIndex(int index) {
  if (!inRange(index, kDataBitsTexts)) return false;
  m_dataBitsIndex = index;
  return true;
}
bool CRunZorSettings::SetStopBitsIndex(int index) {
  if (!inRange(index, kStopBitsTexts)) return false;
  m_stopBitsIndex = index;
  return true;
}

void CRunZorSettings::ResetToDefaults() {
  m_portIndex = 0;
  m_overlappedRx = 1;
  m_overlappedTx = 0;
  m_xonXoff = 1;
  m_loopback = 0;
  m_address.clear();
  m_hwHandshake = 1;
  m_stopBitsIndex = 0;
  m_dataBitsIndex = 3;
  m_parityIndex = 0;
  m_baudRateIndex = 6;
}

int CRunZorSettings::SelectPort(int entry) {
  if (m_serverMode && !deviceKindAt(entry).servable) entry = ENTRY_NULL;
  m_portIndex = entry;
  ApplyPortDefaults();
  return m_portIndex;
}

void CRunZorSettings::ApplyPortDefaults() {
  // No selection defaults as a serial port, as the dialog enables it as one.
  const unsigned on = deviceKindAt(m_portIndex).defaults;
  m_loopback = 0;
  m_overlappedRx = (on & DeviceKind::DEFAULT_OVERLAPPED_RX) ? 1 : 0;
  m_overlappedTx = (on & DeviceKind::DEFAULT_OVERLAPPED_TX) ? 1 : 0;
  m_xonXoff = (on & DeviceKind::DEFAULT_XONXOFF) ? 1 : 0;
  m_hwHandshake = (on & DeviceKind::DEFAULT_RTSCTS) ? 1 : 0;
  if (on & DeviceKind::DEFAULT_FRAME) {
    m_baudRateIndex = 6;
    m_stopBitsIndex = 0;
    m_dataBitsIndex = 3;
    m_parityIndex = 0;
  }
}

bool CRunZorSettings::IsEnabled(Control control) const { return deviceKindAt(m_portIndex).Uses(control); }

const char* CRunZorSettings::AddressLabel() const { return deviceKindAt(m_portIndex).addressLabel; }

namespace {

// OK's order of the eleven keys.
constexpr UINT kOkKeys[] = {IDS_RUNZOR_ADDRESS, IDS_RUNZOR_OVRLP_RX, IDS_RUNZOR_OVRLP_TX,
                            IDS_RUNZOR_XONXOFF, IDS_RUNZOR_NUMDEV,   IDS_RUNZOR_HWHANDSHAKE,
                            IDS_RUNZOR_STOPBIT, IDS_RUNZOR_DATABIT,  IDS_RUNZOR_PARITY,
                            IDS_RUNZOR_BDRATE,  IDS_RUNZOR_LOOPBACK};

}  // namespace

std::array<int, 11> CRunZorSettings::storedValues() const {
  // In kOkKeys' order; the first, the address, is text and stored apart.
  return {0,
          m_overlappedRx,
          m_overlappedTx,
          m_xonXoff,
          m_portIndex,
          m_hwHandshake,
          m_stopBitsIndex,
          m_dataBitsIndex,
          m_parityIndex,
          m_baudRateIndex,
          m_loopback};
}

bool CRunZorSettings::Store() const {
  // One replacement of the file: two writers at once each leave a whole choice.
  CIni ini;
  ini.UseSystemFile();
  const auto values = storedValues();
  std::vector<std::pair<std::string, std::string>> entries;
  for (std::size_t i = 0; i < std::size(kOkKeys); ++i) {
    const char* key = zorString(kOkKeys[i]);
    if (key == nullptr) return false;
    entries.emplace_back(key, i == 0 ? m_address : std::to_string(values[i]));
  }
  const char* section = zorString(IDS_SECTION);
  return section != nullptr && ini.WriteStrings(section, entries);
}

std::string CRunZorSettings::StoredKeysText() const {
  const auto values = storedValues();
  std::string out;
  for (std::size_t i = 0; i < std::size(kOkKeys); ++i) {
    out += zorString(kOkKeys[i]);
    out += '=';
    out += i == 0 ? m_address : std::to_string(values[i]);
    out += '\n';
  }
  return out;
}

std::string CRunZorSettings::Describe() const {
  auto onOff = [](int v) { return v ? "on" : "off"; };
  std::string out = "Port: ";
  const int entry = m_portIndex;
  if (PortPosition(entry) >= 0) {
    out += PortEntryText(entry);
  } else {
    out += "none (entry " + std::to_string(entry) + ", not in the port list)";
  }
  if (const char* label = AddressLabel()) {
    // The label names what the address is: "File:" a file, "Server:" a server.
    std::string noun = label;
    if (!noun.empty() && noun.back() == ':') noun.pop_back();
    if (!noun.empty()) noun[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(noun[0])));
    out += ", " + noun + " ";
    out += m_address.empty() ? "(none)" : m_address;
  }
  if (IsEnabled(CONTROL_SERIAL)) {
    char line[64];
    std::snprintf(line, sizeof line, ", %lu %d%c%s, RTS/CTS %s", GetBaudRate(), GetDataBits(), GetParity(),
                  kStopBitsTexts[inRange(m_stopBitsIndex, kStopBitsTexts) ? m_stopBitsIndex : 0],
                  onOff(m_hwHandshake));
    out += line;
  }
  if (IsEnabled(CONTROL_LOOPBACK)) out += std::string(", loopback ") + onOff(m_loopback);
  if (IsEnabled(CONTROL_OVERLAPPED)) out += std::string(", XON/XOFF ") + onOff(m_xonXoff);
  out += std::string(", overlapped RX ") + onOff(m_overlappedRx);
  out += std::string(", overlapped TX ") + onOff(m_overlappedTx);
  return out;
}

}  // namespace zor
