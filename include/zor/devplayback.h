// CDevPlayback: replays a traffic log in place of the instrument.
//
// The log is one the monitor wrote in the hexadecimal view. At each open the
// file is read whole into a script: recorded receptions are delivered to the
// application as they fall due (paced like the recording while
// theApp.m_truePlayback is on, else at once), and each recorded transmission
// waits until the application has written the same bytes ("??" in the log
// matches any byte). What the application writes is one stream matched
// against the recorded transmissions in order, however it is cut into
// writes; each answer is released when the last byte of the transmission
// before it came. A byte the log did not expect reaches the monitor as a
// playback error ("PbEr": what was written against the row from its first
// byte), is named once on standard error with the byte that was expected, and
// ends the play: the rows from there on are dropped, answers recorded before
// it still come, and every later write is a playback error.
#pragma once

#include <zor/export.h>

#include <zor/device.h>

#include <memory>

namespace zor {

class ZOR_API CDevPlayback : public CDevice {
public:
  explicit CDevPlayback(const char* fileName = nullptr);
  ~CDevPlayback() override;

  zorType Type() const override { return ZOR_PLAYBACK; }
  // The log the next OpenDevice replays.
  void SetFileName(const char* fileName);
  // Loads the log and opens under the name "PB:". False when no file name is
  // set, the device is open, or the log cannot be read or is not a valid
  // log (one line on standard error names the file and the row).
  bool OpenDevice(int overlapFlags, int rxSize, int txSize);

protected:
  bool close_device() override { return true; }
  int GetIOSize(int) const override { return 1024; }
  int hook_readFile(void* handle, void* buffer, unsigned long size, unsigned long* done,
                    OVERLAPPED* ovl) override;
  int hook_writeFile(void* handle, const void* buffer, unsigned long size, unsigned long* done,
                     OVERLAPPED* ovl) override;

private:
  struct Private;
  std::unique_ptr<Private> p;
};

}  // namespace zor
