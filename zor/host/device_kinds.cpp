#include "zor/host/device_kinds.h"

#include <zor/app.h>
#include <zor/devnet.h>
#include <zor/devnull.h>
#include <zor/devplayback.h>
#include <zor/devrfc2217.h>
#include <zor/devrs232.h>
#include <zor/devtcp.h>
#include <zor/devusb.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

namespace zor {
namespace {

using S = CRunZorSettings;

// The program's devices all get rings of this size and the same flow bytes.
constexpr int kRingSize = 8192;
constexpr unsigned char kXon = 0xA1;
constexpr unsigned char kXoff = 0xA0;

constexpr unsigned use(S::Control control) { return 1u << control; }

template <class D>
bool openPlain(CDevice& device, const S&, int flags) {
  return static_cast<D&>(device).OpenDevice(flags, kRingSize, kRingSize);
}

CDevice* makeNull(const S& s) {
  auto* dev = new (std::nothrow) CDevNull();
  if (dev != nullptr) dev->Loopback(s.GetLoopback() != 0);
  return dev;
}

CDevice* makeUsb(const S& s) {
  auto* dev = new (std::nothrow) CDevUSB();
  if (dev != nullptr) dev->EnableXonHandshake(s.GetXonXoff() != 0, kXon, kXoff);
  return dev;
}

// NET, TCP and Playback: the address is the server or the file, and without
// one there is nothing to open. Their flow bytes are the far end's business.
template <class D>
CDevice* makeAddressed(const S& s) {
  if (s.GetAddress()[0] == '\0') return nullptr;
  auto* dev = new (std::nothrow) D(s.GetAddress());
  if (dev != nullptr) dev->EnableXonHandshake(false, kXon, kXoff);
  return dev;
}

// The COM number the entry shows; 0 for an entry that is no serial port.
int serialPortOf(const S& s) {
  const int i = serialPortSlot(s.GetPortIndex());
  return i < 0 ? 0 : zorGetComPortNumber(i);
}

CDevice* makeSerial(const S& s) {
  if (serialPortOf(s) == 0) return nullptr;
  auto* dev = new (std::nothrow) CDevRS232();
  if (dev == nullptr) return nullptr;
  dev->EnableXonHandshake(s.GetXonXoff() != 0, kXon, kXoff);
  dev->DeviceProgram(s.GetHwHandshake() != 0, s.GetBaudRate(), static_cast<unsigned char>(s.GetParity()),
                     static_cast<unsigned char>(s.GetDataBits()),
                     static_cast<unsigned char>(s.GetStopBits()));
  return dev;
}

// HOST:PORT split; false when the text is not of that form.
bool hostAndPort(const std::string& address, std::string& host, unsigned short& port) {
  const auto colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  char* end = nullptr;
  const long number = std::strtol(address.c_str() + colon + 1, &end, 10);
  if (end == address.c_str() + colon + 1 || *end != '\0' || number < 1 || number > 65535) return false;
  host = address.substr(0, colon);
  port = static_cast<unsigned short>(number);
  return true;
}

bool isHostAndPort(const char* address) {
  std::string host;
  unsigned short port = 0;
  return address != nullptr && hostAndPort(address, host, port);
}

// A network serial port: HOST:PORT, with the line of the serial settings.
CDevice* makeNetSerial(const S& s) {
  std::string host;
  unsigned short port = 0;
  if (!hostAndPort(s.GetAddress(), host, port)) return nullptr;
  auto* dev = new (std::nothrow) CDevRfc2217(host.c_str(), port);
  if (dev == nullptr) return nullptr;
  // The flow bytes are the far end's business, as for the other network devices.
  dev->EnableXonHandshake(false, kXon, kXoff);
  dev->DeviceProgram(s.GetHwHandshake() != 0, s.GetBaudRate(), static_cast<unsigned char>(s.GetParity()),
                     static_cast<unsigned char>(s.GetDataBits()),
                     static_cast<unsigned char>(s.GetStopBits()));
  return dev;
}

bool openSerial(CDevice& device, const S& s, int flags) {
  return static_cast<CDevRS232&>(device).OpenDevice(serialPortOf(s), flags, kRingSize, kRingSize);
}

constexpr const char* kServer = "the server's host name";
constexpr const char* kServerNeeded = "the host name or address of the zor server";
// The overlapped group also holds XON/XOFF, which NET and TCP enable but open
// without: the dialog's enabling and the open step differ there.
constexpr DeviceKind kKinds[] = {
    {"NULL", S::ENTRY_NULL, ZOR_NULL, use(S::CONTROL_LOOPBACK), 0, true, nullptr, nullptr, nullptr, makeNull,
     openPlain<CDevNull>},
    {"USB", S::ENTRY_USB, ZOR_USB, use(S::CONTROL_OVERLAPPED),
     DeviceKind::DEFAULT_OVERLAPPED_RX | DeviceKind::DEFAULT_XONXOFF, true, nullptr, nullptr, nullptr,
     makeUsb, openPlain<CDevUSB>},
    {"NET", S::ENTRY_NET, ZOR_NET, use(S::CONTROL_ADDRESS) | use(S::CONTROL_OVERLAPPED), 0, false,
     "Server:", kServer, kServerNeeded, makeAddressed<CDevNet>, openPlain<CDevNet>},
    {"TCP", S::ENTRY_TCP, ZOR_TCP, use(S::CONTROL_ADDRESS) | use(S::CONTROL_OVERLAPPED), 0, false,
     "Server:", kServer, kServerNeeded, makeAddressed<CDevTcp>, openPlain<CDevTcp>},
    {"Playback", S::ENTRY_PLAYBACK, ZOR_PLAYBACK, use(S::CONTROL_ADDRESS) | use(S::CONTROL_BROWSE), 0, true,
     "File:", "the traffic log to replay", "the traffic log file to replay", makeAddressed<CDevPlayback>,
     openPlain<CDevPlayback>},
    {"RFC2217", S::ENTRY_RFC2217, ZOR_RFC2217, use(S::CONTROL_ADDRESS) | use(S::CONTROL_SERIAL),
     DeviceKind::DEFAULT_FRAME, false, "Server:", "the network serial port's HOST:PORT",
     "the HOST:PORT of a network serial port server (zor remote --protocol rfc2217, ser2net, ...)",
     makeNetSerial, openPlain<CDevRfc2217>, isHostAndPort},
    {"COMn", S::ENTRY_FIRST_SERIAL, ZOR_RS232, use(S::CONTROL_SERIAL) | use(S::CONTROL_OVERLAPPED),
     DeviceKind::DEFAULT_OVERLAPPED_RX | DeviceKind::DEFAULT_OVERLAPPED_TX | DeviceKind::DEFAULT_RTSCTS |
         DeviceKind::DEFAULT_FRAME,
     true, nullptr, nullptr, nullptr, makeSerial, openSerial},
};

// Stored settings name a kind by its entry, so an entry must keep its kind in
// every file already written: the first five rows hold 0 to 4, a row added
// later takes a number of its own from ENTRY_FIRST_ADDED on (rising in list
// order, so two rows never share one), and the serial row, whose entries
// follow ENTRY_FIRST_SERIAL, stays last.
constexpr bool entriesKeepTheirKind() {
  constexpr int rows = static_cast<int>(std::size(kKinds));
  if (kKinds[rows - 1].entry != S::ENTRY_FIRST_SERIAL) return false;
  for (int i = 0; i + 1 < rows; ++i) {
    const int entry = kKinds[i].entry;
    if (i < S::ENTRY_FIRST_SERIAL ? entry != i : entry < S::ENTRY_FIRST_ADDED) return false;
    if (i > 0 && entry <= kKinds[i - 1].entry) return false;
  }
  return rows > S::ENTRY_FIRST_SERIAL;
}
static_assert(entriesKeepTheirKind(),
              "NULL to Playback on 0 to 4, later kinds on rising entries from "
              "ENTRY_FIRST_ADDED, the serial row last");

std::string joined(const std::vector<std::string>& names, const char* separator, const char* last) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += i + 1 == names.size() ? last : separator;
    out += names[i];
  }
  return out;
}

}  // namespace

std::span<const DeviceKind> deviceKinds() { return kKinds; }

const DeviceKind& deviceKindAt(int entry) {
  const DeviceKind& serial = kKinds[std::size(kKinds) - 1];
  for (const DeviceKind& k : kKinds)
    if (k.entry == entry && &k != &serial) return k;
  return serial;
}

int listedSerialPorts() {
  return std::min(zorNumComPorts(), static_cast<int>(S::ENTRY_FIRST_ADDED - S::ENTRY_FIRST_SERIAL));
}

int serialPortSlot(int entry) {
  // Compared before subtracting: a hand-edited file may hold any int.
  if (entry < S::ENTRY_FIRST_SERIAL || entry >= S::ENTRY_FIRST_ADDED) return -1;
  const int slot = entry - S::ENTRY_FIRST_SERIAL;
  return slot < listedSerialPorts() ? slot : -1;
}

std::string kindNames(unsigned mask, const char* separator, const char* last) {
  std::vector<std::string> names;
  for (const DeviceKind& k : kKinds)
    if (mask == kAllKinds || (k.uses & mask) != 0) names.emplace_back(k.name);
  return joined(names, separator, last);
}

std::string kindsUsing(S::Control control) {
  std::vector<std::string> names;
  const DeviceKind* only = nullptr;
  for (const DeviceKind& k : kKinds) {
    if (!k.Uses(control)) continue;
    names.emplace_back(k.IsSerial() ? "serial ports" : k.name);
    only = &k;
  }
  // The serial ports alone read as the one the user would choose.
  if (names.size() == 1 && only->IsSerial()) return std::string("a serial port (--port ") + only->name + ")";
  return joined(names, ", ", " and ");
}

}  // namespace zor
