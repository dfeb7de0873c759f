// CMonitorDlg: the traffic monitor every device owns. It turns the device's
// log records into monitor lines (record store, debugger output, traffic log).
#pragma once

#include <zor/device.h>

namespace zor {

class CMonitorDlg {
public:
  explicit CMonitorDlg(CDevice* device);
  virtual ~CMonitorDlg();
  CMonitorDlg(const CMonitorDlg&) = delete;
  CMonitorDlg& operator=(const CMonitorDlg&) = delete;

  // Creates or un-hides the window; false while no window can exist.
  bool Show();
  static void LogCallback(long context, int kind, const void* data, unsigned long size);
  // selector 0: the device's TX thread parks (running false) or runs again.
  void SetTxThreadIndicator(int selector, bool running);

  CDevice* Device() const { return m_device; }

private:
  CDevice* m_device;
};

}  // namespace zor
