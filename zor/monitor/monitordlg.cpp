#include "zor/monitor/monitordlg.h"

namespace zor {

CMonitorDlg::CMonitorDlg(CDevice* device) : m_device(device) {}

CMonitorDlg::~CMonitorDlg() = default;

bool CMonitorDlg::Show() { return false; }

void CMonitorDlg::LogCallback(long, int, const void*, unsigned long) {}

void CMonitorDlg::SetTxThreadIndicator(int, bool) {}

}  // namespace zor
