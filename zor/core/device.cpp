// Device lifecycle: construction, open, close, destruction.
#include "zor/core/device_p.h"
#include "zor/monitor/monitordlg.h"
#include "zor/support/support.h"

#include <new>

namespace zor {

CDevicePrivate::CDevicePrivate(CDevice* owner) : q(owner) {
  theApp.InitInstance();
  m_hRxWake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (theApp.m_panicResume)
    m_resumer.Start([this](thread_func_flag flag) {
      if (flag != CWorkerThread::TFF_RUN) return;
      m_resumer.Suspend();  // until a panic closes the device
      autoResume();
    });
}

CDevicePrivate::~CDevicePrivate() { CloseHandle(m_hRxWake); }

void CDevicePrivate::init() {
  m_pMonDlg.reset(new (std::nothrow) CMonitorDlg(q));
  if (!m_pMonDlg)
    ZOR_MEMORY_REPORT("m_pMonDlg", "device", 76);
  else if (theApp.m_showMonitor)
    q->ShowMonitor();

  {
    std::lock_guard lock(m_notifyLock);
    m_hNotifyWnd = nullptr;
    m_notifyThreshold = 1;
    m_notifyMsg = 0;
  }
  m_hDataReady = nullptr;

  m_devHndl.reset(new (std::nothrow) CDevHandle(q));
  if (!m_devHndl) ZOR_MEMORY_REPORT("m_devHndl", "device", 85);

  m_inName.clear();
  m_outName.clear();
  m_watchDog = 0xFFFFFFFF;
  m_overlapFlags = 0;
  m_lastRxTick = 0;
  m_hXonEvent = nullptr;
  m_writeCount = 0;

  enableXonHandshake(false, 0xA1, 0xA0);

  for (int k = 0; k < 2; ++k) {
    ThreadRec& t = m_thrds[k];
    t.bufferSize = 1024;
    t.panic = false;
    t.pending = false;
    t.startTick = 0;
    t.localBuffer = static_cast<unsigned char*>(_utlMemAlloc(8, static_cast<unsigned long>(q->GetIOSize(k))));
    t.localSize = t.localBuffer != nullptr ? q->GetIOSize(k) : 0;
    if (t.localBuffer == nullptr)
      ZOR_MEMORY_REPORT(k == 0 ? "m_thrds[0].localBuffer" : "m_thrds[1].localBuffer", "device", 108);
  }
  theApp.m_syncBase = GetTickCount();
}

bool CDevicePrivate::openDevice(const char* inName, const char* outName, int overlapFlags, int rxSize,
                                int txSize, unsigned long* lastError) {
  try {
    return openDeviceOrThrow(inName, outName, overlapFlags, rxSize, txSize, lastError);
  } catch (const std::bad_alloc&) {
    ZOR_MEMORY_REPORT("openDevice", "device", __LINE__);
    if (lastError != nullptr) *lastError = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
}

bool CDevicePrivate::openDeviceOrThrow(const char* inName, const char* outName, int overlapFlags, int rxSize,
                                       int txSize, unsigned long* lastError) {
  std::lock_guard life(m_lifecycle);
  if (!m_devHndl || m_devHndl->IsOpen()) return false;
  m_thrds[RX].bufferSize = rxSize;
  m_thrds[TX].bufferSize = txSize;
  m_overlapFlags = overlapFlags;
  if (!allocBuffers()) {
    if (lastError != nullptr) *lastError = GetLastError();
    return false;
  }
  m_inName = inName != nullptr ? inName : "";
  m_outName = outName != nullptr ? outName : "";
  if (!openPort(lastError)) {
    freeBuffers();
    return false;
  }
  initNotifyEvents();
  return true;
}

bool CDevicePrivate::allocBuffers() {
  freeBuffers();
  for (int k = 0; k < 2; ++k) {
    const int size = m_thrds[k].bufferSize;
    if (size < 1 || size > kMaxRingSize) {
      SetLastError(ERROR_INVALID_PARAMETER);
      freeBuffers();
      return false;
    }
    CSingleLock lock(m_buffs[k].mutex(), true);
    if (!m_buffs[k].create(size, false)) {
      ZOR_MEMORY_REPORT(k == RX ? "m_buffs[RX]" : "m_buffs[TX]", "device", __LINE__);
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      lock.Unlock();
      freeBuffers();
      return false;
    }
  }
  return true;
}

void CDevicePrivate::freeBuffers() {
  for (auto& b : m_buffs) {
    CSingleLock lock(b.mutex(), true);
    b.destroy();
  }
}

bool CDevicePrivate::openPort(unsigned long* lastError) {
  resetXonXoff();
  int flags = m_overlapFlags.load();
  DWORD error = ERROR_SUCCESS;
  bool opened = m_devHndl->Open(m_inName.c_str(), m_outName.c_str(), &flags, &error);
  m_overlapFlags = flags;
  if (!opened) {
    if (lastError != nullptr) *lastError = error;
    SetLastError(error);
    return false;
  }
  bool ok = q->program_device(m_thrds[RX].bufferSize, m_thrds[TX].bufferSize) && sizeLocalBuffers() &&
            threadStart();
  if (!ok) {
    closeDevice();
    return false;
  }
  enableRX(true);
  return true;
}

bool CDevicePrivate::sizeLocalBuffers() {
  for (int k = 0; k < 2; ++k) {
    ThreadRec& t = m_thrds[k];
    const int size = q->GetIOSize(k);
    if (size <= t.localSize) continue;
    auto* larger = static_cast<unsigned char*>(_utlMemAlloc(8, static_cast<unsigned long>(size)));
    if (larger == nullptr) {
      ZOR_MEMORY_REPORT(k == 0 ? "m_thrds[0].localBuffer" : "m_thrds[1].localBuffer", "device", __LINE__);
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return false;
    }
    _utlMemFree(0, t.localBuffer);
    t.localBuffer = larger;
    t.localSize = size;
  }
  return true;
}

bool CDevicePrivate::closeDevice() {
  std::lock_guard life(m_lifecycle);
  bool wasClosing = m_closing.exchange(true);
  bool result = true;
  // The resumer closes too, when a reopen fails half-way: it must not park
  // itself then, holding the lifecycle lock, but try again.
  if (theApp.m_panicResume && !m_resumer.IsCurrentThread()) m_resumer.Suspend();
  enableXonHandshake(false, m_xonChar, m_xoffChar);
  q->Commit();
  threadExit();
  if (m_devHndl && m_devHndl->IsOpen()) {
    if (!q->close_device()) result = false;
    if (!m_devHndl->Close()) result = false;
  }
  closeNotifyEvents();
  // Whoever reads the traffic log after the close finds the device's last records in it.
  if (m_pMonDlg) m_pMonDlg->Flush();
  if (result) freeBuffers();
  for (auto& t : m_thrds) {
    t.panic = false;
    t.pending = false;
    t.startTick = 0;
  }
  m_closing = wasClosing;
  return result;
}

void CDevicePrivate::destroy() {
  if (theApp.m_panicResume) m_resumer.Stop(500);
  if (HANDLE h = m_hXonEvent.exchange(nullptr)) CloseHandle(h);
  for (auto& t : m_thrds) {
    _utlMemFree(0, t.localBuffer);
    t.localBuffer = nullptr;
    t.localSize = 0;
  }
  if (m_pMonDlg) {
    installLogger(nullptr, 0);
    m_pMonDlg.reset();
  }
}

CDevice::CDevice() : d(std::make_unique<CDevicePrivate>(this)) {}

CDevice::~CDevice() {
  // A subclass that forgot destroyer() still gets its device closed, though
  // its own close_device can no longer run by then.
  d->m_standIn->detach();
  if (d->m_devHndl) destroyer();
  d->destroy();
}

void CDevice::constructor() { d->init(); }

void CDevice::destroyer() {
  // Waiters on the data-ready event stop receiving for a device that goes.
  d->m_standIn->detach();
  if (d->m_devHndl) {
    CloseDevice();
    d->m_devHndl.reset();
  }
}

bool CDevice::openDevice(const char* inName, const char* outName, int overlapFlags, int rxSize, int txSize,
                         unsigned long* lastError) {
  return d->openDevice(inName, outName, overlapFlags, rxSize, txSize, lastError);
}

bool CDevice::CloseDevice() { return d->closeDevice(); }

bool CDevice::IsDeviceOpen() const { return d->m_devHndl && d->m_devHndl->IsOpen(); }

bool CDevice::DeviceExist(const char* name) {
  if (!d->m_devHndl) return false;
  if (d->m_devHndl->IsOpen()) return true;
  return d->m_devHndl->Exists(name);
}

CMutex* CDevice::GetIOMutex() { return &d->m_ioMutex; }

bool CDevice::canTransmit() { return d->m_xonEnabled ? d->m_xonState.load() : true; }
bool CDevice::close_device() { return true; }
SECURITY_ATTRIBUTES* CDevice::security_attr() { return nullptr; }
bool CDevice::on_io_error(unsigned long, int) { return false; }
int CDevice::hook_readFile(void*, void*, unsigned long, unsigned long*, OVERLAPPED*) { return 0; }
int CDevice::hook_writeFile(void*, const void*, unsigned long, unsigned long*, OVERLAPPED*) { return 0; }
bool CDevice::program_device(int, int) { return true; }

void CDevice::SetChannelOwner() {
  if (d->m_devHndl) d->m_devHndl->SetHooks(true);
}

// No system handle stands behind a transport.
// An application may still tell an open channel by a handle that is not
// INVALID_HANDLE_VALUE, as it could before.
HANDLE CDevice::InputHandle() const { return IsDeviceOpen() ? nullptr : INVALID_HANDLE_VALUE; }
HANDLE CDevice::OutputHandle() const { return IsDeviceOpen() ? nullptr : INVALID_HANDLE_VALUE; }
int CDevice::OverlapFlags() const { return d->m_overlapFlags; }
CMonitorDlg* CDevice::Monitor() const { return d->m_pMonDlg.get(); }

}  // namespace zor
