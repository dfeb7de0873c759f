// CDevHandle: a device's channel. It holds the input and output handles, or,
// for the pseudo names "NULL", "PB:" and "TCP", routes I/O to the owning
// device's hooks without any system object.
#pragma once

#include <zor/platform.h>

#include <atomic>

namespace zor {

class CDevice;
class CDevicePrivate;

class CDevHandle {
public:
  enum Kind { HK_FILE = 0, HK_NULL = 1, HK_PLAYBACK = 2, HK_TCP = 3 };

  CDevHandle() = default;
  ~CDevHandle() { Close(); }
  CDevHandle(const CDevHandle&) = delete;
  CDevHandle& operator=(const CDevHandle&) = delete;

  bool Open(const char* inName, const char* outName, DWORD access, DWORD share, SECURITY_ATTRIBUTES* sa,
            DWORD disposition, DWORD attributes, DWORD* overlapFlags, HANDLE templateFile);
  bool Close();
  bool IsOpen() const { return m_hIn != INVALID_HANDLE_VALUE && m_hOut != INVALID_HANDLE_VALUE; }
  bool Exists(const char* name);

  BOOL Read(void* buffer, DWORD size, DWORD* done, OVERLAPPED* ovl);
  BOOL Write(const void* buffer, DWORD size, DWORD* done, OVERLAPPED* ovl);
  BOOL OverlappedResult(bool input, OVERLAPPED* ovl, DWORD* done, BOOL wait);
  BOOL Cancel(bool input);
  BOOL IoControl(bool input, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
                 OVERLAPPED* ovl);
  BOOL FlushOut();
  // Waits for one of the events or until the input can be read without
  // waiting. WAIT_FAILED for the pseudo kinds (their owner wakes the reader
  // itself) and for inputs that cannot be waited on.
  DWORD WaitInput(DWORD count, const HANDLE* events, DWORD milliseconds);
  DWORD LastError() const;
  void SetOwner(CDevice* owner) { m_owner = owner; }

  HANDLE In() const { return m_hIn; }
  HANDLE Out() const { return m_hOut; }
  int Kind() const { return m_kind; }
  bool IsPseudo() const { return m_kind != HK_FILE; }

private:
  HANDLE create(const char* name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* sa, DWORD disposition,
                DWORD attributes, HANDLE templateFile);
  HANDLE select(bool input) const { return input ? m_hIn : m_hOut; }

  // Written only while the worker threads are stopped; atomic because the
  // application may ask IsDeviceOpen() at any time.
  std::atomic<HANDLE> m_hIn{INVALID_HANDLE_VALUE};
  std::atomic<HANDLE> m_hOut{INVALID_HANDLE_VALUE};
  std::atomic<int> m_kind{HK_FILE};
  // A second OpenDevice on an open device sets it again while the worker threads read it.
  std::atomic<CDevice*> m_owner{nullptr};
};

}  // namespace zor
