// Remote access to a device: the relay a server runs around it, for a program
// that reaches only the public interface (the zor program's server modes and
// its server windows).
#pragma once

#include <zor/device.h>
#include <zor/export.h>
#include <zor/platform.h>

#include <cstddef>
#include <memory>
#include <string>

namespace zor {

// The intranet server (the local pipes CDevNet::ZOR_NETPIPE), the remote
// server (TCP on CDevTcp::TCP_PORT), or a server that other programs reach
// over one TCP connection: a network serial port (Telnet with the serial-line
// option) or raw bytes. Connection changes are posted as
// WM_PIPE_STATE (wParam a LinkState) to notify. Neither the device nor notify
// is owned.
class ZOR_API CHostServer {
public:
  enum Kind { INTRANET, REMOTE, RFC2217, RAW };
  static constexpr UINT WM_PIPE_STATE = 0x402;
  // WM_PIPE_STATE's wParam: the client left, connected, or was dropped because
  // it opened one of the two local pipes only (or, for RFC2217 and RAW, it
  // called while another client was served).
  enum LinkState : WPARAM { LINK_LEFT = 0, LINK_CONNECTED = 1, LINK_DROPPED = 2 };

  CHostServer(Kind kind, CDevice* device, HWND notify);
  ~CHostServer();
  CHostServer(const CHostServer&) = delete;
  CHostServer& operator=(const CHostServer&) = delete;
  // False, with nothing running and GetLastError telling why, when the pipes
  // or the port cannot be had. The remote server listens on all addresses.
  bool Start();
  // The remote server listening on one address of this computer, given
  // dotted ("127.0.0.1"); null is all. False with ERROR_INVALID_PARAMETER
  // for the intranet server or an address that is no IPv4 address.
  bool Start(const char* bindAddress);
  // A TCP server (REMOTE, RFC2217, RAW) on port (0: one the system picks) of
  // the address (null: all). False with ERROR_INVALID_PARAMETER for the
  // intranet server, an address that is no IPv4 address or a port outside 0-65535.
  bool Start(const char* bindAddress, int port);
  // The port a TCP server listens on once started; 0 otherwise.
  int ListeningPort() const;
  // Ends the relay (within one 500 ms wait) and closes the channel.
  void Stop();
  bool IsRunning() const;
  std::string peerAddress() const;
  // The client that connected last, kept after it left.
  std::string lastPeerAddress() const;
  // This computer's name, known once Start succeeded.
  std::string hostName() const;

  // Whether text is an IPv4 address that Start(bindAddress) takes.
  static bool IsIPv4Address(const char* text);
  // The folder of the intranet server's pipes: $ZOR_PIPE_DIR, else
  // $XDG_RUNTIME_DIR/zor, else /tmp/zor-<uid>, created when missing. Empty,
  // with the last error set and the reason in problem, when it cannot be made
  // or is not safe.
  static std::string PipeFolder(std::string& problem);
  // The longest path a pipe may have.
  static std::size_t LongestPipePath();

private:
  struct ZOR_LOCAL Private;
  std::unique_ptr<Private> p;
};

}  // namespace zor
