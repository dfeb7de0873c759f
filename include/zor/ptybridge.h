// A device as a serial port any program can open: a pseudo-terminal whose far
// end is an open CDevice.
#pragma once

#include <zor/device.h>
#include <zor/export.h>

#include <memory>
#include <string>

namespace zor {

// Relays bytes both ways between a pseudo-terminal and a device the
// application opened (and keeps, and closes after Stop). Nothing is dropped:
// when the client reads slowly the bridge stops taking from the device (its
// receive ring fills, then its medium holds), when the device is slow the
// client's writes wait. The line settings a client gives the port reach a
// served serial port; other kinds ignore them. The device's panic and resume
// are a pause to the client, never a hang-up; a client may close and reopen
// the port any number of times.
class ZOR_API CPtyBridge {
public:
  CPtyBridge();
  ~CPtyBridge();  // stops
  CPtyBridge(const CPtyBridge&) = delete;
  CPtyBridge& operator=(const CPtyBridge&) = delete;

  // Makes the pseudo-terminal and, with linkPath, a symbolic link to it there
  // (an existing file that is no link, or a link another bridge runs on, is
  // refused and left alone), then relays until Stop. False, with ErrorText
  // saying why and nothing running, when either cannot be made, the device is
  // not open or a bridge already runs.
  bool Start(CDevice& device, const char* linkPath = nullptr);
  // Ends the relay and removes the pseudo-terminal and the link it made.
  void Stop();
  bool IsRunning() const;
  // The slave's path ("/dev/pts/N") and the link; empty when not running.
  std::string SlavePath() const;
  std::string LinkPath() const;
  std::string ErrorText() const;

private:
  struct ZOR_LOCAL Private;
  std::unique_ptr<Private> p;
};

}  // namespace zor
