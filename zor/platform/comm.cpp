// The communications calls: DCB <-> termios2 and the modem, break, queue and
// counter ioctls. Every call is a plain ioctl (never a libc termios wrapper), so
// the requests are exactly what the driver sees.
#include "zor/platform/comm.h"

#include "zor/platform/fail.h"
#include "zor/platform/handle.h"
#include "zor/platform/platform.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <memory>

namespace zor {
namespace {

// Holds the port's lock for one call; fails the call when h is no open serial port.
class PortCall {
public:
  explicit PortCall(HANDLE h) : m_object(lookupHandle(h)) {
    m_port = dynamic_cast<CommPort*>(m_object.get());
    if (m_port == nullptr) return;
    m_lock = std::unique_lock(m_port->commState().mutex);
    m_fd = m_port->commFd();
  }
  bool ok() const {
    if (m_fd >= 0) return true;
    SetLastError(m_object != nullptr && m_port == nullptr ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
    return false;
  }
  int fd() const { return m_fd; }
  CommPortState& state() { return m_port->commState(); }
  CommPort& port() { return *m_port; }

private:
  std::shared_ptr<HandleObject> m_object;
  CommPort* m_port = nullptr;
  std::unique_lock<std::mutex> m_lock;
  int m_fd = -1;
};

BOOL failErrno() { return fail(win32ErrorFromErrno(errno)); }

// A line without modem control (a pseudo-terminal) refuses these requests; for
// the line settings that is no failure.
bool notSupported(int err) { return err == ENOTTY || err == EINVAL; }

int modemBits(DWORD escape) { return escape == SETRTS || escape == CLRRTS ? TIOCM_RTS : TIOCM_DTR; }

BYTE byteSizeOf(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

tcflag_t csizeOf(BYTE bits) {
  switch (bits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

BYTE parityOf(tcflag_t cflag) {
  if ((cflag & PARENB) == 0) return NOPARITY;
  if ((cflag & CMSPAR) != 0) return (cflag & PARODD) != 0 ? MARKPARITY : SPACEPARITY;
  return (cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
}

tcflag_t parityFlags(BYTE parity) {
  switch (parity) {
    case ODDPARITY:
      return PARENB | PARODD;
    case EVENPARITY:
      return PARENB;
    case MARKPARITY:
      return PARENB | CMSPAR | PARODD;
    case SPACEPARITY:
      return PARENB | CMSPAR;
    default:
      return 0;
  }
}

DCB defaultDcb() {
  DCB d{};
  d.DCBlength = sizeof(DCB);
  d.fBinary = 1;
  d.fDtrControl = DTR_CONTROL_ENABLE;
  d.fRtsControl = RTS_CONTROL_ENABLE;
  d.XonChar = 0x11;
  d.XoffChar = 0x13;
  return d;
}

}  // namespace

BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue) {
  PortCall call(h);
  if (!call.ok()) return FALSE;
  // The kernel sizes its tty queues itself; the request is remembered only.
  call.state().inQueue = inQueue;
  call.state().outQueue = outQueue;
  return TRUE;
}

BOOL GetCommState(HANDLE h, DCB* dcb) {
  if (dcb == nullptr) return fail(ERROR_INVALID_PARAMETER);
  PortCall call(h);
  if (!call.ok()) return FALSE;
  termios2 t{};
  if (ioctl(call.fd(), TCGETS2, &t) != 0) return failErrno();
  CommPortState& st = call.state();
  DCB d = st.haveShadow ? st.shadow : defaultDcb();
  d.DCBlength = sizeof(DCB);
  d.BaudRate = t.c_ospeed;
  d.fBinary = 1;
  d.ByteSize = byteSizeOf(t.c_cflag);
  d.Parity = parityOf(t.c_cflag);
  if ((t.c_cflag & CSTOPB) == 0)
    d.StopBits = ONESTOPBIT;
  else if (d.StopBits != ONE5STOPBITS)
    d.StopBits = TWOSTOPBITS;
  d.fParity = (t.c_iflag & INPCK) != 0;
  bool rtscts = (t.c_cflag & CRTSCTS) != 0;
  d.fOutxCtsFlow = rtscts;
  if (rtscts) {
    d.fRtsControl = RTS_CONTROL_HANDSHAKE;
  } else if (d.fRtsControl == RTS_CONTROL_HANDSHAKE) {
    d.fRtsControl = RTS_CONTROL_ENABLE;
  }
  if (!st.haveShadow) {
    int lines = 0;
    if (ioctl(call.fd(), TIOCMGET, &lines) == 0) {
      d.fDtrControl = (lines & TIOCM_DTR) != 0 ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
      if (!rtscts) d.fRtsControl = (lines & TIOCM_RTS) != 0 ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    }
  }
  d.fOutX = (t.c_iflag & IXON) != 0;
  d.fInX = (t.c_iflag & IXOFF) != 0;
  d.XonChar = static_cast<char>(t.c_cc[VSTART]);
  d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
  *dcb = d;
  return TRUE;
}

BOOL SetCommState(HANDLE h, DCB* dcb) {
  if (dcb == nullptr) return fail(ERROR_INVALID_PARAMETER);
  const DCB d = *dcb;
  // What the line cannot do is refused before anything is touched.
  if (d.BaudRate == 0 || d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > SPACEPARITY ||
      d.StopBits > TWOSTOPBITS)
    return fail(ERROR_INVALID_PARAMETER);
  if ((d.fOutX || d.fInX) && d.XonChar == d.XoffChar) return fail(ERROR_INVALID_PARAMETER);
  PortCall call(h);
  if (!call.ok()) return FALSE;
  const int fd = call.fd();
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return failErrno();

  bool rtscts = d.fOutxCtsFlow || d.fRtsControl == RTS_CONTROL_HANDSHAKE;
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT) | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
  t.c_cflag |= BOTHER | CREAD | CLOCAL | csizeOf(d.ByteSize) | parityFlags(d.Parity);
  if (d.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;  // 1.5 stop bits is what CSTOPB gives at 5 bits
  if (rtscts) t.c_cflag |= CRTSCTS;
  t.c_ispeed = d.BaudRate;
  t.c_ospeed = d.BaudRate;
  t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  if (d.fOutX) t.c_iflag |= IXON;
  if (d.fInX) t.c_iflag |= IXOFF;
  if (d.fParity && d.Parity != NOPARITY) t.c_iflag |= INPCK;
  t.c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);
  if (ioctl(fd, TCSETS2, &t) != 0) return failErrno();

  int dtr = TIOCM_DTR;
  int rts = TIOCM_RTS;
  int r = ioctl(fd, d.fDtrControl == DTR_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &dtr);
  if (r != 0 && !notSupported(errno)) return failErrno();
  // Under handshake the driver moves RTS; raising it once lets the peer start.
  r = ioctl(fd, d.fRtsControl == RTS_CONTROL_DISABLE && !rtscts ? TIOCMBIC : TIOCMBIS, &rts);
  if (r != 0 && !notSupported(errno)) return failErrno();

  CommPortState& st = call.state();
  st.shadow = d;
  st.shadow.DCBlength = sizeof(DCB);
  st.haveShadow = true;
  return TRUE;
}

BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts) {
  if (timeouts == nullptr) return fail(ERROR_INVALID_PARAMETER);
  PortCall call(h);
  if (!call.ok()) return FALSE;
  *timeouts = call.state().timeouts;
  return TRUE;
}

BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS* timeouts) {
  if (timeouts == nullptr) return fail(ERROR_INVALID_PARAMETER);
  PortCall call(h);
  if (!call.ok()) return FALSE;
  call.state().timeouts = *timeouts;
  call.port().commTimeoutsChanged(*timeouts);
  return TRUE;
}

BOOL SetCommMask(HANDLE h, DWORD mask) {
  PortCall call(h);
  if (!call.ok()) return FALSE;
  call.state().eventMask = mask;
  return TRUE;
}

BOOL GetCommMask(HANDLE h, DWORD* mask) {
  if (mask == nullptr) return fail(ERROR_INVALID_PARAMETER);
  PortCall call(h);
  if (!call.ok()) return FALSE;
  *mask = call.state().eventMask;
  return TRUE;
}

BOOL PurgeComm(HANDLE h, DWORD flags) {
  if ((flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) != 0)
    return fail(ERROR_INVALID_PARAMETER);
  PortCall call(h);
  if (!call.ok()) return FALSE;
  // Aborting pending transfers is the device engine's own business (it cancels
  // them before it purges); here both kinds of flag empty the driver's queues.
  bool rx = (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
  bool tx = (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
  if (!rx && !tx) return TRUE;
  int queue = rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH;
  if (ioctl(call.fd(), TCFLSH, queue) != 0) return failErrno();
  return TRUE;
}

BOOL EscapeCommFunction(HANDLE h, DWORD function) {
  unsigned long request = 0;
  switch (function) {
    case SETRTS:
    case SETDTR:
      request = TIOCMBIS;
      break;
    case CLRRTS:
    case CLRDTR:
      request = TIOCMBIC;
      break;
    case SETBREAK:
      request = TIOCSBRK;
      break;
    case CLRBREAK:
      request = TIOCCBRK;
      break;
    case SETXOFF:
    case SETXON:
      request = TCXONC;
      break;
    case RESETDEV:
      break;
    default:
      return fail(ERROR_INVALID_PARAMETER);
  }
  PortCall call(h);
  if (!call.ok()) return FALSE;
  if (request == 0) return TRUE;
  int r;
  if (request == TIOCMBIS || request == TIOCMBIC) {
    int bits = modemBits(function);
    r = ioctl(call.fd(), request, &bits);
  } else if (request == TCXONC) {
    r = ioctl(call.fd(), TCXONC, function == SETXOFF ? TCOOFF : TCOON);
  } else {
    r = ioctl(call.fd(), request);
  }
  return r == 0 ? TRUE : failErrno();
}

BOOL SetCommBreak(HANDLE h) { return EscapeCommFunction(h, SETBREAK); }

BOOL ClearCommBreak(HANDLE h) { return EscapeCommFunction(h, CLRBREAK); }

BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* status) {
  PortCall call(h);
  if (!call.ok()) return FALSE;
  const int fd = call.fd();
  CommPortState& st = call.state();
  DWORD word = 0;
  serial_icounter_struct ic{};
  if (ioctl(fd, TIOCGICOUNT, &ic) == 0) {
    const int now[5] = {ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
    static constexpr DWORD bit[5] = {CE_FRAME, CE_OVERRUN, CE_RXPARITY, CE_BREAK, CE_RXOVER};
    for (int i = 0; i < 5; ++i) {
      if (st.haveCounters && now[i] != st.counters[i]) word |= bit[i];
      st.counters[i] = now[i];
    }
    st.haveCounters = true;
  } else if (!notSupported(errno)) {
    return failErrno();
  }
  int inQ = 0;
  int outQ = 0;
  if (ioctl(fd, TIOCINQ, &inQ) != 0) return failErrno();
  if (ioctl(fd, TIOCOUTQ, &outQ) != 0) return failErrno();
  if (status != nullptr) {
    *status = COMSTAT{};
    status->cbInQue = static_cast<DWORD>(inQ < 0 ? 0 : inQ);
    status->cbOutQue = static_cast<DWORD>(outQ < 0 ? 0 : outQ);
    termios2 t{};
    int lines = 0;
    if (ioctl(fd, TCGETS2, &t) == 0 && (t.c_cflag & CRTSCTS) != 0 && ioctl(fd, TIOCMGET, &lines) == 0)
      status->fCtsHold = (lines & TIOCM_CTS) == 0;
  }
  if (errors != nullptr) *errors = word;
  return TRUE;
}

BOOL GetCommModemStatus(HANDLE h, DWORD* modemStatus) {
  if (modemStatus == nullptr) return fail(ERROR_INVALID_PARAMETER);
  PortCall call(h);
  if (!call.ok()) return FALSE;
  int lines = 0;
  if (ioctl(call.fd(), TIOCMGET, &lines) != 0) return failErrno();
  DWORD s = 0;
  if (lines & TIOCM_CTS) s |= MS_CTS_ON;
  if (lines & TIOCM_DSR) s |= MS_DSR_ON;
  if (lines & TIOCM_RNG) s |= MS_RING_ON;
  if (lines & TIOCM_CAR) s |= MS_RLSD_ON;
  *modemStatus = s;
  return TRUE;
}

int commPrepareTty(int fd, CommPortState& state) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return errno;
  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | IMAXBEL);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN | ECHOE | ECHOK | ECHOCTL | ECHOKE);
  t.c_cflag |= CREAD | CLOCAL;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (ioctl(fd, TCSETS2, &t) != 0) return errno;
  std::lock_guard lock(state.mutex);
  state.timeouts = COMMTIMEOUTS{MAXDWORD, 0, 0, 0, 0};
  serial_icounter_struct ic{};
  if (ioctl(fd, TIOCGICOUNT, &ic) == 0) {
    const int now[5] = {ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
    for (int i = 0; i < 5; ++i) state.counters[i] = now[i];
    state.haveCounters = true;
  }
  return 0;
}

}  // namespace zor
