// The logger slot, the data notification and the received hook.
#include "zor/core/device_p.h"
#include "zor/monitor/monitordlg.h"

namespace zor {

void CDevicePrivate::log(int kind, const void* data, unsigned long size) {
  std::shared_lock lock(m_logLock);
  if (m_logger != nullptr) m_logger(m_logCtx, kind, data, size);
}

void CDevicePrivate::installLogger(zorLogFunc fn, long context) {
  // Waits for calls to the old logger to end, so that its context may be
  // freed as soon as this returns.
  std::unique_lock lock(m_logLock);
  m_logger = fn;
  m_logCtx = fn != nullptr ? context : 0;
}

void CDevicePrivate::notify(long count) {
  // The post happens under the lock (it never blocks), so once SetNotify has
  // returned nothing more reaches the old target and it may be destroyed.
  std::lock_guard lock(m_notifyLock);
  if (count <= 0 || count < m_notifyThreshold) return;
  // The event first: whoever handles the message may look at it.
  if (HANDLE h = m_hDataReady.load()) SetEvent(h);
  if (m_hNotifyWnd != nullptr) PostMessageA(m_hNotifyWnd, m_notifyMsg, 0, count);
}

void CDevicePrivate::received() {
  if (!m_hasReceivedHook.load()) return;
  std::shared_lock lock(m_receivedLock);
  if (m_receivedHook != nullptr) m_receivedHook(m_receivedCtx);
}

void CDevice::SetReceivedHook(ReceivedHook hook, void* context) {
  std::unique_lock lock(d->m_receivedLock);
  d->m_receivedHook = hook;
  d->m_receivedCtx = hook != nullptr ? context : nullptr;
  d->m_hasReceivedHook = hook != nullptr;
}

void CDevicePrivate::initNotifyEvents() {
  HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (h != nullptr) setEventStandIn(h, m_standIn);
  HANDLE old = m_hDataReady.exchange(h);
  if (old != nullptr) CloseHandle(old);
}

void CDevicePrivate::closeNotifyEvents() {
  HANDLE h = m_hDataReady.load();
  if (h == nullptr) return;
  SetEvent(h);  // wake whoever waits, before the handle goes
  Sleep(20);
  m_hDataReady = nullptr;
  CloseHandle(h);
}

void CDevicePrivate::resetDataReady() {
  if (HANDLE h = m_hDataReady.load()) ResetEvent(h);
}

void CDevice::log(int kind, const void* data, unsigned long size) { d->log(kind, data, size); }

void CDevice::LogRelay(zorLogKind kind, const void* data, unsigned long size) {
  if (kind == LOG_SERVER_SENT || kind == LOG_SERVER_RCV || kind == LOG_EVENT) d->log(kind, data, size);
}

void CDevice::InstallLogger(zorLogFunc fn, long context) { d->installLogger(fn, context); }

void CDevice::SetNotify(HWND wnd, UINT msg, int threshold) {
  std::lock_guard lock(d->m_notifyLock);
  d->m_hNotifyWnd = wnd;
  d->m_notifyMsg = msg;
  d->m_notifyThreshold = threshold;
}

HANDLE CDevice::DataReadyEvent() const { return d->m_hDataReady.load(); }

void CDevice::ShowMonitor() {
  if (!d->m_pMonDlg) return;
  d->m_pMonDlg->Show();
  InstallLogger(&CMonitorDlg::LogCallback, reinterpret_cast<long>(d->m_pMonDlg.get()));
}

}  // namespace zor
