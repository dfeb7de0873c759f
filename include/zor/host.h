// The zor program's modes, shared by the command-line program and the window:
// the stored connection settings, opening the device they select, the usage
// text, and the headless remote server. They are libzor-host (zor::host,
// pkg-config zor-host), a library of their own over libzor's public API.
#pragma once

#include <zor/device.h>
#include <zor/export.h>
#include <zor/hostserver.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace zor {

// The host's last connection: which device to open and how, as the settings
// dialog stores it ("runZor ..." keys). The dialog and the headless modes read
// it alike; openSelectedDevice turns it into an open device. The dialog's
// rules live here too, so that the window and the command line
// ("zor settings", "zor run --console --port ...") apply the same ones.
class ZOR_API CRunZorSettings {
public:
  // The entries of the port list, the value stored as "runZor NumDev". Serial
  // port i of the host object's list (zorGetComPortNumber(i)) is entry
  // ENTRY_FIRST_SERIAL + i. Settings files already written hold these numbers,
  // so an entry never changes its meaning: the serial entries start right
  // after the first five kinds, and every kind added later takes a number from
  // ENTRY_FIRST_ADDED on, far past any serial entry (the list shows at most
  // ENTRY_FIRST_ADDED - ENTRY_FIRST_SERIAL serial ports). The list's order is
  // another matter: see PortEntryAt.
  enum Entry {
    ENTRY_NULL = 0,
    ENTRY_USB = 1,
    ENTRY_NET = 2,
    ENTRY_TCP = 3,
    ENTRY_PLAYBACK = 4,
    ENTRY_FIRST_SERIAL = 5,
    ENTRY_FIRST_ADDED = 1000,
    ENTRY_RFC2217 = ENTRY_FIRST_ADDED
  };
  // The controls whose enabling follows the entry (the dialog's UpdatePortControls).
  enum Control {
    CONTROL_SERIAL,      // RTS/CTS and the baud rate, parity, data bit and stop bit lists
    CONTROL_ADDRESS,     // the address field and its label
    CONTROL_BROWSE,      // the "..." button
    CONTROL_OVERLAPPED,  // "Overlapped RX", "Overlapped TX" and "XON / XOFF"
    CONTROL_LOOPBACK,
  };

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

  // The list indexes, as stored.
  int GetBaudRateIndex() const { return m_baudRateIndex; }
  int GetParityIndex() const { return m_parityIndex; }
  int GetDataBitsIndex() const { return m_dataBitsIndex; }
  int GetStopBitsIndex() const { return m_stopBitsIndex; }

  // The fixed lists of the dialog: baud rates 110 ... 256000 (indexes 0 to
  // 14), parity "None" "Even" "Odd" "Mark" "Space", data bits "5" to "8",
  // stop bits "1" "1.5" "2". Out of range: 0 or null.
  static int BaudRateCount();
  static unsigned long BaudRateAt(int index);
  // The index of rate in the list; -1 when the list does not have it.
  static int BaudRateIndexOf(unsigned long rate);
  static const char* ParityText(int index);
  static const char* DataBitsText(int index);
  static const char* StopBitsText(int index);

  // The port list as the dialog shows it: "NULL", "USB", "NET", "TCP",
  // "Playback", the kinds added since in the order they came ("RFC2217"),
  // then "COM %i" for each serial port the library found. A position in the
  // list is not an entry: PortEntryAt and PortPosition map between them.
  static int PortEntryCount();
  // The entry shown at position (0 to PortEntryCount() - 1); -1 outside the list.
  static int PortEntryAt(int position);
  // Where entry is shown; -1 for an entry the list does not have (a stored
  // value out of range, a serial port no longer found).
  static int PortPosition(int entry);
  // The text of entry; empty for an entry the list does not have.
  static std::string PortEntryText(int entry);
  // The entry a name chooses: "NULL", "USB", "NET", "TCP", "Playback",
  // "RFC2217" (any case) or "COMn"/"COM n" for a port of the list; -1 when
  // there is none.
  static int PortEntryOf(const char* name);

  // What the controls set. A list index outside its list is refused (false).
  void SetAddress(const char* address) { m_address = address != nullptr ? address : ""; }
  void SetOverlappedRx(int on) { m_overlappedRx = on ? 1 : 0; }
  void SetOverlappedTx(int on) { m_overlappedTx = on ? 1 : 0; }
  void SetXonXoff(int on) { m_xonXoff = on ? 1 : 0; }
  void SetHwHandshake(int on) { m_hwHandshake = on ? 1 : 0; }
  void SetLoopback(int on) { m_loopback = on ? 1 : 0; }
  bool SetBaudRateIndex(int index);
  bool SetParityIndex(int index);
  bool SetDataBitsIndex(int index);
  bool SetStopBitsIndex(int index);

  // The values with no key stored (the dialog's first opening), address empty.
  void ResetToDefaults();
  // A change of entry (OnPortChange): in server mode "NET" and "TCP" snap to
  // "NULL"; then that entry's defaults (ApplyPortDefaults). Returns the entry
  // now selected.
  int SelectPort(int entry);
  // The "Defaults" rule: loopback, overlapped TX, XON/XOFF, RTS/CTS off and
  // overlapped RX on, then by entry: "NULL", "NET", "TCP", "Playback":
  // overlapped RX off; "USB": XON/XOFF on; a serial port: overlapped TX and
  // RTS/CTS on, 9600 baud, no parity, 8 data bits, 1 stop bit. The address is kept.
  void ApplyPortDefaults();
  // Whether the dialog enables control for the selected entry.
  bool IsEnabled(Control control) const;
  // The address field's label: "Server:" for "NET" and "TCP", "File:" for "Playback", else null.
  const char* AddressLabel() const;
  // What OK writes: the eleven keys, in OK's order ("runZor Address",
  // "... Ovrlp RX", "... Ovrlp TX", "... XonXoff", "... NumDev",
  // "... Hwhandshake", "... Stopbit", "... Databit", "... Parity",
  // "... bdRate", "... loopback"). False when a write failed.
  bool Store() const;
  // The eleven keys and values in that order, as "key=value" lines.
  std::string StoredKeysText() const;
  // The choice in one line, with the values the entry uses:
  // "Port: COM 3, 9600 8N1, RTS/CTS on, XON/XOFF off, overlapped RX on, overlapped TX on".
  std::string Describe() const;

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

private:
  // The values of the eleven keys, in OK's order.
  std::array<int, 11> storedValues() const;
};

// What a file transfer shows while it runs and how the user ends it: the
// terminal window's transfer dialogs, or a program's own.
class ZOR_API CTransferProgress {
public:
  virtual ~CTransferProgress() = default;
  // Sending: bytes that have left the device's transmit ring, of the file's total.
  virtual void SetProgress(unsigned long long sent, unsigned long long total);
  // Receiving: bytes written to the file so far.
  virtual void SetReceived(unsigned long long count);
  // The user pressed "Abort" (sending) or "Close" (receiving).
  virtual bool IsCancelled() = 0;
  // Handles the window events that are waiting, without waiting for more.
  // The transfers call it at least every kTransferSliceMs.
  virtual void HandleEvents();
};
constexpr DWORD kTransferSliceMs = 50;

// Sends the file raw to the device, at most 1024 bytes a write and never more
// than the transmit ring has room for, then waits for the ring to drain. An
// abort flushes the device's rings. True unless the file cannot be read or a
// write failed. Waits for the device (transmit room) and the window in turns,
// never longer than a slice, so an idle wait costs no CPU.
ZOR_API bool SendFile(CDevice& device, const char* path, CTransferProgress& progress);
// Writes what the device receives to the file (created or truncated) until
// the user closes; what had arrived by then is written too. True unless the
// file cannot be made or written (a full disk, a folder removed).
ZOR_API bool ReceiveFile(CDevice& device, const char* path, CTransferProgress& progress);

// The open device the settings select, or null (a device that was built but
// did not open is deleted).
ZOR_API CDevice* openSelectedDevice(const CRunZorSettings& settings);

// Short description of the selected entry, for the host's messages ("NULL", "COM 3", ...).
ZOR_API const char* selectedDeviceName(const CRunZorSettings& settings, char* buffer, int size);

// Writes the usage text of "zor help" to standard error.
ZOR_API void printUsage();
// The same text on the console the program was started from (standard error
// when it is a terminal); with none, nothing is written and the result is false.
ZOR_API bool printUsageToConsole();

// The program's version line, "zor <version>", from the library's version
// record (the text the about box shows beside "ZOR Version").
ZOR_API std::string versionLine();
// The program's English usage: modes, their options, the settings file and
// the environment variables that matter.
ZOR_API std::string programUsage();
// The usage of one mode ("run", "server", "remote", "help", "ports",
// "settings", "usb"); null for a name that is no mode.
ZOR_API const char* modeUsage(const char* mode);

// The terminal's Send: the bytes a line of text stands for in a
// monitor view. Views 0 (decimal) and 1 (hexadecimal): one byte per token,
// tokens separated by spaces and tabs; decimal: the number's low 8 bits;
// hexadecimal: a one-character token is its digit, a longer one its first two
// digits (the rest ignored), a character that is no digit counts as 0. View
// 2 (ASCII): every character, nothing appended. Any other view: no bytes.
ZOR_API std::vector<unsigned char> sendTokens(const char* text, int view);
// Send: those bytes to the device, one WriteByte each, in order (their
// results are not looked at). Returns how many were written.
ZOR_API int sendText(CDevice& device, const char* text, int view);

// "zor ports": the serial ports the host object found and what they map to.
ZOR_API int runPortsMode(int argc, char** argv);
// "zor settings": shows or writes the stored connection choice.
ZOR_API int runSettingsMode(int argc, char** argv);
// "zor run": client mode; "zor run --console" drives the device from the terminal.
ZOR_API int runClientMode(int argc, char** argv);

// "zor remote": serves the selected device to one TCP client. argv[2] on are
// the mode's options. Returns the program's exit status.
ZOR_API int runRemoteMode(int argc, char** argv);
// "zor server": serves the selected device to one CDevNet client over the
// local pipes. Arguments and status as runRemoteMode.
ZOR_API int runServerMode(int argc, char** argv);
// "zor pty": the selected device as a pseudo-terminal other programs open as
// a serial port, until SIGINT or SIGTERM.
ZOR_API int runPtyMode(int argc, char** argv);
// "zor view FILE": a recorded traffic log in the monitor window, to browse.
ZOR_API int runViewMode(int argc, char** argv);

// "zor usb [--dump]": lists the listed USB instruments that are present (path,
// vendor:product, in use or free); --dump adds each one's configuration dump.
ZOR_API int runUsbMode(int argc, char** argv);

}  // namespace zor
