// The zor program's modes, shared by the command-line program and the window:
// the stored connection settings, opening the device they select, the usage
// text, and the headless remote server.
#pragma once

#include <zor/device.h>
#include <zor/export.h>

#include <string>

namespace zor {

// The host's last connection: which device to open and how, as the settings
// dialog stores it ("runZor ..." keys). The dialog and the headless modes read
// it alike; openSelectedDevice turns it into an open device.
class ZOR_API CRunZorSettings {
public:
  // Defaults, then the stored keys. A server never serves a network client
  // device: with serverMode a stored "NET" or "TCP" choice becomes "NULL".
  explicit CRunZorSettings(bool serverMode);

  int GetPortIndex() const { return m_portIndex; }
  const char* GetAddress() const { return m_address.c_str(); }
  int GetOverlappedRx() const { return m_overlappedRx; }
  int GetOverlappedTx() const { return m_overlappedTx; }
  int GetXonXoff() const { return m_xonXoff; }
  int GetHwHandshake() const { return m_hwHandshake; }
  int GetLoopback() const { return m_loopback; }
  unsigned long GetBaudRate() const;
  char GetParity() const;
  int GetDataBits() const { return m_dataBitsIndex + 5; }
  int GetStopBits() const;

  bool IsServerMode() const { return m_serverMode; }

protected:
  bool m_serverMode;
  int m_portIndex = 0;
  int m_overlappedRx = 1;
  int m_overlappedTx = 0;
  int m_xonXoff = 1;
  int m_loopback = 0;
  std::string m_address;
  int m_hwHandshake = 1;
  int m_stopBitsIndex = 0;
  int m_dataBitsIndex = 3;
  int m_parityIndex = 0;
  int m_baudRateIndex = 6;
};

// The open device the settings select, or null (a device that was built but
// did not open is deleted).
ZOR_API CDevice* openSelectedDevice(const CRunZorSettings& settings);

// Short description of the selected entry, for the host's messages ("NULL", "COM 3", ...).
ZOR_API const char* selectedDeviceName(const CRunZorSettings& settings, char* buffer, int size);

// Writes the usage text to standard error; writes nothing when there is none.
ZOR_API void printUsage();

// "zor remote": serves the selected device to one TCP client. argv[2] on are
// the mode's options. Returns the program's exit status.
ZOR_API int runRemoteMode(int argc, char** argv);
// "zor server": serves the selected device to one CDevNet client over the
// local pipes. Arguments and status as runRemoteMode.
ZOR_API int runServerMode(int argc, char** argv);

}  // namespace zor
