// CDevUSB: an instrument on USB bulk pipes.
//
// The instruments that count are listed by vendor:product in the setting
// "USB Devices" (for example "04d8:000a, 1234:5678"); the first present one
// that can be opened is used, through its first interface with a bulk IN and
// a bulk OUT endpoint. "Input pipe" and "Output pipe" number the endpoints of
// that interface (defaults 1 and 0). Transfers are sized by the endpoints'
// packet sizes, read from the device's configuration at every open.
#pragma once

#include <zor/export.h>

#include <zor/device.h>

#include <atomic>
#include <string>
#include <vector>

namespace zor {

class ZOR_API CDevUSB : public CDevice {
public:
  CDevUSB();
  ~CDevUSB() override;

  zorType Type() const override { return ZOR_USB; }

  // Opens the first listed instrument that can be had. False when none is
  // listed (one line on standard error says where to list it), none is
  // present, or none can be opened.
  bool OpenDevice(int overlapFlags, int rxSize, int txSize);

  // The configuration dump of the open device, line by line in the order a
  // window lists them: the request's outcome, then the configuration, each
  // interface and each endpoint with their fields and the names of their values.
  std::vector<std::string> DumpUSBConfig() const;

protected:
  bool openDevice(const char* inName, const char* outName, int overlapFlags, int rxSize, int txSize,
                  unsigned long* lastError) override;
  bool close_device() override { return true; }
  int GetIOSize(int k) const override { return k == 0 ? m_rxSize.load() : m_txSize.load(); }
  // A device that is gone (2) or a pipe that closed (6) is fatal: panic recovery reopens it.
  bool on_io_error(unsigned long error, int k) override;
  // Reads the configuration before the worker threads start, so that they
  // begin with transfer buffers of the sizes the endpoints take.
  bool program_device(int rxSize, int txSize) override;

private:
  void* openUsbDevice(char* path, int pathSize);
  bool get_device_filename(char* path, int pathSize);
  void read_usb_config();

  int m_inputPipe = 1;
  int m_outputPipe = 0;
  std::string m_devices;     // "USB Devices" as stored
  std::string m_deniedNode;  // a node the last search had no permission for
  std::atomic<int> m_rxSize{64};
  std::atomic<int> m_txSize{64};
};

}  // namespace zor
