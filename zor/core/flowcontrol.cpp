// XON/XOFF flow control, the reception watchdog and panic recovery.
#include "zor/core/device_p.h"

#include <zor/strings.h>

namespace zor {

void CDevicePrivate::enableXonHandshake(bool enable, unsigned char xon, unsigned char xoff) {
  int override = theApp.m_xProtocolOverride;
  m_xonEnabled = override != -1 ? override != 0 : enable;
  m_xonChar = xon;
  m_xoffChar = xoff;
  resetXonXoff();
}

void CDevicePrivate::resetXonXoff() {
  m_xonState = true;
  m_rxEnabled = true;
  if (m_xonEnabled) {
    if (m_hXonEvent.load() == nullptr) m_hXonEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  } else if (HANDLE h = m_hXonEvent.exchange(nullptr)) {
    CloseHandle(h);
  }
  if (HANDLE h = m_hXonEvent.load()) SetEvent(h);
}

void CDevicePrivate::enableRX(bool enable) {
  if (!m_xonEnabled) return;
  log(LOG_EVENT, nullptr, enable ? IDS_RX_LOW_TIDE : IDS_RX_HIGH_TIDE);
  q->WriteByte(enable ? m_xonChar.load() : m_xoffChar.load());
}

unsigned long CDevicePrivate::checkXonXoff(unsigned char* data, unsigned long n) {
  if (!m_xonEnabled) return n;
  unsigned char xon = m_xonChar, xoff = m_xoffChar;
  unsigned long out = 0;
  for (unsigned long i = 0; i < n; ++i) {
    unsigned char b = data[i];
    if (b == xon || b == xoff) {
      m_xonState = (b == xon);
      log(LOG_EVENT, nullptr, b == xon ? IDS_XON_RECEIVED : IDS_XOFF_RECEIVED);
      m_lastRxTick = GetTickCount();
    } else {
      data[out++] = b;
    }
  }
  return out;
}

void CDevicePrivate::checkRxBufferFull() {
  if (!m_xonEnabled) return;
  auto& rx = m_buffs[RX];
  if (m_rxEnabled && rx.capacity() > 0 && rx.aboveHighTide()) {
    m_rxEnabled = false;
    enableRX(false);
  } else if (!m_rxEnabled && rx.belowLowTide()) {
    m_rxEnabled = true;
    enableRX(true);
  }
}

void CDevicePrivate::ackWaitXonXoff() {
  if (HANDLE h = m_hXonEvent.load()) SetEvent(h);
}

void CDevicePrivate::checkPanic() {
  if (!theApp.m_panicResume) return;
  bool wasPanic = m_thrds[RX].panic.exchange(false);
  wasPanic = m_thrds[TX].panic.exchange(false) || wasPanic;
  if (!wasPanic) return;
  // Another thread may be opening or closing this device. An opener finishes
  // soon; a closer makes this close unnecessary.
  for (;;) {
    if (m_lifecycle.try_lock()) break;
    if (m_closing) return;
    Sleep(1);
  }
  std::lock_guard life(m_lifecycle, std::adopt_lock);
  if (m_closing) return;
  closeDevice();
  log(LOG_EVENT, nullptr, IDS_PANIC);
  m_resumer.Resume();
}

void CDevicePrivate::autoResume() {
  for (;;) {
    if (m_resumer.ExitRequested()) return;
    bool park = false;
    {
      std::lock_guard life(m_lifecycle);
      // The application closed the device meanwhile (no further attempts), or
      // opened it again itself: nothing to resume.
      if (m_resumer.ParkRequested() || !m_devHndl || m_devHndl->IsOpen()) {
        park = true;
      } else {
        unsigned long error = 0;
        park = q->openDevice(m_inName.c_str(), m_outName.c_str(), m_overlapFlags, m_thrds[RX].bufferSize,
                             m_thrds[TX].bufferSize, &error);
        if (park) {
          enableRX(true);
          log(LOG_EVENT, nullptr, IDS_PANIC_RESUMED);
        }
      }
    }
    if (park || m_resumer.ParkRequested()) {
      m_resumer.Suspend();
      continue;
    }
    if (WaitForSingleObject(m_resumer.ExitEvent(), static_cast<DWORD>(theApp.m_autoresumeTimer)) ==
        WAIT_OBJECT_0)
      return;
  }
}

void CDevice::EnableXonHandshake(bool enable, unsigned char xon, unsigned char xoff) {
  d->enableXonHandshake(enable, xon, xoff);
}

void CDevice::EnableRX(bool enable) { d->enableRX(enable); }

void CDevice::WatchDogTime(unsigned long ms) { d->m_watchDog = static_cast<DWORD>(ms); }

}  // namespace zor
