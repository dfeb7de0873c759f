#include "zor/core/devhandle.h"

#include "zor/core/device_p.h"
#include "zor/platform/platform.h"

#include <cstring>

namespace zor {
namespace {

constexpr DWORD kOverlappedAttributes = FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING;

int kindOfName(const char* name) {
  if (name == nullptr) return CDevHandle::HK_FILE;
  if (std::strcmp(name, "NULL") == 0) return CDevHandle::HK_NULL;
  if (std::strcmp(name, "PB:") == 0) return CDevHandle::HK_PLAYBACK;
  if (std::strcmp(name, "TCP") == 0) return CDevHandle::HK_TCP;
  return CDevHandle::HK_FILE;
}

}  // namespace

HANDLE CDevHandle::create(const char* name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* sa,
                          DWORD disposition, DWORD attributes, HANDLE templateFile) {
  m_kind = kindOfName(name);
  if (IsPseudo()) return nullptr;  // handle value 0: open, with no system object behind it
  return CreateFileA(name, access, share, sa, disposition, attributes, templateFile);
}

bool CDevHandle::Open(const char* inName, const char* outName, DWORD access, DWORD share,
                      SECURITY_ATTRIBUTES* sa, DWORD disposition, DWORD attributes, DWORD* overlapFlags,
                      HANDLE templateFile) {
  bool separateOut = outName != nullptr && outName[0] != '\0';
  DWORD inAccess = access;
  DWORD inAttributes = attributes;
  if (separateOut) {
    inAccess = (access & ~GENERIC_WRITE) | GENERIC_READ;
    if (*overlapFlags & 1) inAttributes |= kOverlappedAttributes;
  } else if (*overlapFlags & 3) {
    inAttributes |= kOverlappedAttributes;
    *overlapFlags = 3;
  }

  for (int attempt = 0; attempt < 2; ++attempt) {
    m_hIn = create(inName, inAccess, share, sa, disposition, inAttributes, templateFile);
    if (m_hIn != INVALID_HANDLE_VALUE && !IsPseudo()) {
      COMMTIMEOUTS timeouts;
      if (GetCommTimeouts(m_hIn, &timeouts)) {
        // Reads return at once with what is there; write time-outs stay as they are.
        timeouts.ReadIntervalTimeout = 0xFFFFFFFF;
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = 0;
        SetCommTimeouts(m_hIn, &timeouts);
      }
    }
    if (m_hIn != INVALID_HANDLE_VALUE || attempt == 1 || GetLastError() != ERROR_PIPE_BUSY) break;
    WaitNamedPipeA(inName, 0);
  }

  if (separateOut && m_hIn != INVALID_HANDLE_VALUE) {
    DWORD outAccess = (access & ~(GENERIC_READ | GENERIC_WRITE)) | GENERIC_WRITE;
    DWORD outAttributes = attributes | ((*overlapFlags & 2) ? kOverlappedAttributes : 0);
    int inKind = m_kind;
    for (int attempt = 0; attempt < 2; ++attempt) {
      m_hOut = create(outName, outAccess, share, sa, disposition, outAttributes, templateFile);
      if (m_hOut != INVALID_HANDLE_VALUE || attempt == 1 || GetLastError() != ERROR_PIPE_BUSY) break;
      WaitNamedPipeA(outName, 0);
    }
    m_kind = inKind;  // the input's name chose how the channel reads
  } else if (!separateOut) {
    m_hOut = m_hIn.load();
  }
  return IsOpen();
}

bool CDevHandle::Close() {
  HANDLE in = m_hIn, out = m_hOut;
  bool result = false;
  if (in != INVALID_HANDLE_VALUE) result = IsPseudo() || CloseHandle(in);
  if (out != INVALID_HANDLE_VALUE && out != in && !IsPseudo()) {
    if (!CloseHandle(out)) result = false;
  }
  m_hIn = INVALID_HANDLE_VALUE;
  m_hOut = INVALID_HANDLE_VALUE;
  m_kind = HK_FILE;
  return result;
}

bool CDevHandle::Exists(const char* name) {
  if (kindOfName(name) != HK_FILE) return true;
  HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

BOOL CDevHandle::Read(void* buffer, DWORD size, DWORD* done, OVERLAPPED* ovl) {
  if (IsPseudo()) {
    CDevice* owner = m_owner;
    if (owner == nullptr) return FALSE;
    unsigned long n = 0;
    int ok = CDevicePrivate::hookRead(owner, m_hIn, buffer, size, &n, ovl);
    if (done != nullptr) *done = static_cast<DWORD>(n);
    return ok;
  }
  return ReadFile(m_hIn, buffer, size, done, ovl);
}

BOOL CDevHandle::Write(const void* buffer, DWORD size, DWORD* done, OVERLAPPED* ovl) {
  if (IsPseudo()) {
    CDevice* owner = m_owner;
    if (owner == nullptr) return FALSE;
    unsigned long n = 0;
    int ok = CDevicePrivate::hookWrite(owner, m_hOut, buffer, size, &n, ovl);
    if (done != nullptr) *done = static_cast<DWORD>(n);
    return ok;
  }
  return WriteFile(m_hOut, buffer, size, done, ovl);
}

BOOL CDevHandle::OverlappedResult(bool input, OVERLAPPED* ovl, DWORD* done, BOOL wait) {
  if (IsPseudo()) return TRUE;
  return GetOverlappedResult(select(input), ovl, done, wait);
}

BOOL CDevHandle::Cancel(bool input) {
  if (IsPseudo()) return TRUE;
  return CancelIo(select(input));
}

BOOL CDevHandle::IoControl(bool input, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                           DWORD* returned, OVERLAPPED* ovl) {
  if (IsPseudo()) return TRUE;
  return DeviceIoControl(select(input), code, in, inSize, out, outSize, returned, ovl);
}

BOOL CDevHandle::FlushOut() {
  if (IsPseudo()) return TRUE;
  return FlushFileBuffers(m_hOut);
}

DWORD CDevHandle::WaitInput(DWORD count, const HANDLE* events, DWORD milliseconds) {
  if (IsPseudo()) return WAIT_FAILED;
  return WaitForMultipleObjectsOrInput(count, events, m_hIn, milliseconds);
}

DWORD CDevHandle::LastError() const { return IsPseudo() ? 0 : GetLastError(); }

}  // namespace zor
