// The serial line on a tty descriptor: the exclusive open, DCB <-> termios2
// and the modem, break, queue and counter ioctls.
#include "zor/platform/tty_line.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace zor {
namespace {

DWORD lastErrno() { return win32ErrorFromErrno(errno); }

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

bool isComName(const char* name) {
  if (name == nullptr) return false;
  if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
  if (std::strncmp(name, "COM", 3) != 0) return false;
  const char* digits = name + 3;
  if (*digits < '1' || *digits > '9') return false;  // COM0 and leading zeros name no port
  std::size_t n = std::strspn(digits, "0123456789");
  return digits[n] == '\0' && n <= 6;
}

bool isTtyName(const char* name) {
  if (isComName(name)) return true;
  if (name == nullptr) return false;
  auto ttyNode = [](const char* path) {
    return std::strncmp(path, "/dev/tty", 8) == 0 || std::strncmp(path, "/dev/pts/", 9) == 0;
  };
  if (ttyNode(name)) return true;
  // A link to a tty (/dev/serial/by-id/..., a user's own) names that tty.
  struct stat st {};
  if (::stat(name, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  char target[PATH_MAX];
  return ::realpath(name, target) != nullptr && ttyNode(target);
}

std::string ttyPathOf(const char* nameOrPath) {
  if (nameOrPath == nullptr || *nameOrPath == '\0') return {};
  if (!isComName(nameOrPath)) return nameOrPath;
  if (std::strncmp(nameOrPath, "\\\\.\\", 4) == 0) nameOrPath += 4;
  return resolveComName(nameOrPath);
}

int openExclusiveTty(const char* path, DWORD* error) {
  int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    // A serial node without hardware behind it refuses the open: no such port.
    // A folder (a ports/COMn link to one) is no port either, not a port held by another program.
    *error = err == EIO || err == ENXIO || err == ENODEV || err == EISDIR ? ERROR_FILE_NOT_FOUND
                                                                          : win32ErrorFromErrno(err);
    return -1;
  }
  auto refuse = [fd, error](DWORD code) {
    ::close(fd);
    *error = code;
    return -1;
  };
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) == 0 && serial.type == PORT_UNKNOWN)
    return refuse(ERROR_FILE_NOT_FOUND);
  // Exclusive for everyone, root included.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0)
    return refuse(errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : lastErrno());

  // Raw bytes, reads that return at once; a node that is no tty is no port.
  auto notTty = [] { return errno == ENOTTY || errno == EINVAL ? ERROR_FILE_NOT_FOUND : lastErrno(); };
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return refuse(notTty());
  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | IMAXBEL);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN | ECHOE | ECHOK | ECHOCTL | ECHOKE);
  t.c_cflag |= CREAD | CLOCAL;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (ioctl(fd, TCSETS2, &t) != 0) return refuse(notTty());
  *error = ERROR_SUCCESS;
  return fd;
}

void lineStart(int fd, CommPortState& state) {
  std::lock_guard lock(state.mutex);
  state.timeouts = COMMTIMEOUTS{MAXDWORD, 0, 0, 0, 0};
  serial_icounter_struct ic{};
  if (ioctl(fd, TIOCGICOUNT, &ic) == 0) {
    const int now[5] = {ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
    for (int i = 0; i < 5; ++i) state.counters[i] = now[i];
    state.haveCounters = true;
  }
}

DWORD lineGetState(int fd, const CommPortState& st, DCB* dcb) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return lastErrno();
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
    if (ioctl(fd, TIOCMGET, &lines) == 0) {
      d.fDtrControl = (lines & TIOCM_DTR) != 0 ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
      if (!rtscts) d.fRtsControl = (lines & TIOCM_RTS) != 0 ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    }
  }
  d.fOutX = (t.c_iflag & IXON) != 0;
  d.fInX = (t.c_iflag & IXOFF) != 0;
  d.XonChar = static_cast<char>(t.c_cc[VSTART]);
  d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
  *dcb = d;
  return ERROR_SUCCESS;
}

DWORD lineSetState(int fd, CommPortState& st, const DCB& d) {
  if (d.BaudRate == 0 || d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > SPACEPARITY ||
      d.StopBits > TWOSTOPBITS)
    return ERROR_INVALID_PARAMETER;
  if ((d.fOutX || d.fInX) && d.XonChar == d.XoffChar) return ERROR_INVALID_PARAMETER;
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return lastErrno();

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
  if (ioctl(fd, TCSETS2, &t) != 0) return lastErrno();

  int dtr = TIOCM_DTR;
  int rts = TIOCM_RTS;
  int r = ioctl(fd, d.fDtrControl == DTR_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &dtr);
  if (r != 0 && !notSupported(errno)) return lastErrno();
  // Under handshake the driver moves RTS; raising it once lets the peer start.
  r = ioctl(fd, d.fRtsControl == RTS_CONTROL_DISABLE && !rtscts ? TIOCMBIC : TIOCMBIS, &rts);
  if (r != 0 && !notSupported(errno)) return lastErrno();

  st.shadow = d;
  st.shadow.DCBlength = sizeof(DCB);
  st.haveShadow = true;
  return ERROR_SUCCESS;
}

DWORD linePurge(int fd, DWORD flags) {
  if ((flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) != 0)
    return ERROR_INVALID_PARAMETER;
  // Aborting pending transfers is the device engine's own business (it cancels
  // them before it purges); here both kinds of flag empty the driver's queues.
  bool rx = (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
  bool tx = (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
  if (!rx && !tx) return ERROR_SUCCESS;
  int queue = rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH;
  return ioctl(fd, TCFLSH, queue) == 0 ? ERROR_SUCCESS : lastErrno();
}

DWORD lineEscape(int fd, DWORD function) {
  int r = 0;
  int bits = modemBits(function);
  switch (function) {
    case SETRTS:
    case SETDTR:
      r = ioctl(fd, TIOCMBIS, &bits);
      break;
    case CLRRTS:
    case CLRDTR:
      r = ioctl(fd, TIOCMBIC, &bits);
      break;
    case SETBREAK:
      r = ioctl(fd, TIOCSBRK);
      break;
    case CLRBREAK:
      r = ioctl(fd, TIOCCBRK);
      break;
    case SETXOFF:
    case SETXON:
      r = ioctl(fd, TCXONC, function == SETXOFF ? TCOOFF : TCOON);
      break;
    case RESETDEV:
      break;
    default:
      return ERROR_INVALID_PARAMETER;
  }
  return r == 0 ? ERROR_SUCCESS : lastErrno();
}

DWORD lineClearError(int fd, CommPortState& st, DWORD* errors, COMSTAT* status) {
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
    return lastErrno();
  }
  int inQ = 0;
  int outQ = 0;
  if (ioctl(fd, TIOCINQ, &inQ) != 0) return lastErrno();
  if (ioctl(fd, TIOCOUTQ, &outQ) != 0) return lastErrno();
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
  return ERROR_SUCCESS;
}

DWORD lineModemStatus(int fd, DWORD* modemStatus) {
  int lines = 0;
  if (ioctl(fd, TIOCMGET, &lines) != 0) return lastErrno();
  DWORD s = 0;
  if (lines & TIOCM_CTS) s |= MS_CTS_ON;
  if (lines & TIOCM_DSR) s |= MS_DSR_ON;
  if (lines & TIOCM_RNG) s |= MS_RING_ON;
  if (lines & TIOCM_CAR) s |= MS_RLSD_ON;
  *modemStatus = s;
  return ERROR_SUCCESS;
}

}  // namespace zor
