// Win32-shaped types and calls that the device interface is written in.
//
// zor keeps the vocabulary of the system it was designed on (handles, events,
// wait functions, posted messages, error codes) and serves it from its own
// platform layer on POSIX. Applications use this header to wait on a device's
// data-ready event and to receive its notifications without any GUI.
#pragma once

#include <zor/export.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

// C headers of several toolkits define TRUE and FALSE as macros; the
// names below are ours while this header is read, the application's after.
#pragma push_macro("TRUE")
#pragma push_macro("FALSE")
#undef TRUE
#undef FALSE

namespace zor {

using BOOL = int;
using BYTE = unsigned char;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using LONG = std::int32_t;
using ULONG_PTR = std::uintptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using HANDLE = void*;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED_0 = 0x80;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// The directions a medium is opened for.
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;

// Error codes the library passes out or reacts to (GetLastError values).
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_NOT_READY = 21;
constexpr DWORD ERROR_WRITE_FAULT = 29;
constexpr DWORD ERROR_READ_FAULT = 30;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_BAD_NETPATH = 53;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_BROKEN_PIPE = 109;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_BAD_PIPE = 230;
constexpr DWORD ERROR_PIPE_BUSY = 231;
constexpr DWORD ERROR_NO_DATA = 232;
constexpr DWORD ERROR_PIPE_NOT_CONNECTED = 233;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_SEM_TIMEOUT = 121;
constexpr DWORD ERROR_PIPE_CONNECTED = 535;
constexpr DWORD ERROR_PIPE_LISTENING = 536;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_NOACCESS = 998;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_NOT_ENOUGH_QUOTA = 1816;
constexpr DWORD ERROR_TIMEOUT = 1460;
constexpr DWORD ERROR_NETNAME_DELETED = 64;

// Socket errors, as the socket calls report them.
constexpr DWORD WSAEINTR = 10004;
constexpr DWORD WSAEBADF = 10009;
constexpr DWORD WSAEACCES = 10013;
constexpr DWORD WSAEFAULT = 10014;
constexpr DWORD WSAEINVAL = 10022;
constexpr DWORD WSAEMFILE = 10024;
constexpr DWORD WSAEWOULDBLOCK = 10035;
constexpr DWORD WSAEINPROGRESS = 10036;
constexpr DWORD WSAEALREADY = 10037;
constexpr DWORD WSAENOTSOCK = 10038;
constexpr DWORD WSAEMSGSIZE = 10040;
constexpr DWORD WSAEADDRINUSE = 10048;
constexpr DWORD WSAEADDRNOTAVAIL = 10049;
constexpr DWORD WSAENETDOWN = 10050;
constexpr DWORD WSAENETUNREACH = 10051;
constexpr DWORD WSAENETRESET = 10052;
constexpr DWORD WSAECONNABORTED = 10053;
constexpr DWORD WSAECONNRESET = 10054;
constexpr DWORD WSAENOBUFS = 10055;
constexpr DWORD WSAEISCONN = 10056;
constexpr DWORD WSAENOTCONN = 10057;
constexpr DWORD WSAESHUTDOWN = 10058;
constexpr DWORD WSAETIMEDOUT = 10060;
constexpr DWORD WSAECONNREFUSED = 10061;
constexpr DWORD WSAEHOSTDOWN = 10064;
constexpr DWORD WSAEHOSTUNREACH = 10065;
constexpr DWORD WSAHOST_NOT_FOUND = 11001;

// The status an OVERLAPPED carries in Internal while its operation runs.
constexpr ULONG_PTR STATUS_PENDING = 0x103;

// State of one overlapped operation. Internal holds the Win32 error of the
// completed operation (STATUS_PENDING while it runs), InternalHigh the bytes
// moved; whoever completes the operation (a device's hook) writes both
// before it signals hEvent.
struct OVERLAPPED {
  ULONG_PTR Internal = 0;
  ULONG_PTR InternalHigh = 0;
  DWORD Offset = 0;
  DWORD OffsetHigh = 0;
  HANDLE hEvent = nullptr;
};

struct SECURITY_ATTRIBUTES {
  DWORD nLength = sizeof(SECURITY_ATTRIBUTES);
  void* lpSecurityDescriptor = nullptr;
  BOOL bInheritHandle = FALSE;
};

// Last error of the calling thread.
ZOR_API DWORD GetLastError();
ZOR_API void SetLastError(DWORD error);

// Events. A manual-reset event stays signalled until reset; an automatic one
// releases exactly one waiter and resets itself.
ZOR_API HANDLE CreateEventA(SECURITY_ATTRIBUTES* sa, BOOL manualReset, BOOL initialState, const char* name);
ZOR_API BOOL SetEvent(HANDLE event);
ZOR_API BOOL ResetEvent(HANDLE event);
ZOR_API BOOL CloseHandle(HANDLE handle);

// Waits never spin. With several handles the lowest signalled index wins.
ZOR_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
ZOR_API DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

// Milliseconds of a monotonic clock, wrapping at 32 bits; compare by unsigned subtraction.
ZOR_API DWORD GetTickCount();
ZOR_API void Sleep(DWORD milliseconds);

// Posted messages. A window handle is any message target: a GUI window or a
// queue the application polls. Posting never blocks the poster.
class ZOR_API MessageTarget {
public:
  virtual ~MessageTarget() = default;
  // Returns false when the target cannot take the message (it is then lost).
  virtual bool post(UINT msg, WPARAM wParam, LPARAM lParam) = 0;
};
using HWND = MessageTarget*;
// The entry points' other arguments: an instance handle nobody reads and the
// command line, narrow or wide.
using HINSTANCE = void*;
using LPSTR = char*;
using LPWSTR = wchar_t*;
#ifndef CALLBACK
#define CALLBACK
#endif

ZOR_API BOOL PostMessageA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);

struct MSG {
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};

// A message target for programs without a window: a bounded, thread-safe queue.
// Pass it to CDevice::SetNotify; call SetNotify(nullptr, ...) before destroying it.
class ZOR_API MessageQueue : public MessageTarget {
public:
  explicit MessageQueue(std::size_t limit = 10000);
  bool post(UINT msg, WPARAM wParam, LPARAM lParam) override;
  // Takes the oldest message, waiting up to `milliseconds` (INFINITE: no limit).
  bool get(MSG& out, DWORD milliseconds = INFINITE);
  bool peek(MSG& out, bool remove);
  std::size_t size() const;

private:
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::deque<MSG> m_queue;
  std::size_t m_limit;
};

// A recursive mutex with timed locking, as the device and its users share it.
class ZOR_API CMutex {
public:
  CMutex() = default;
  CMutex(const CMutex&) = delete;
  CMutex& operator=(const CMutex&) = delete;
  bool Lock(DWORD milliseconds = INFINITE);
  bool Unlock();

private:
  // Built from a plain mutex and a condition: the timed lock of the standard
  // recursive mutex is invisible to the thread sanitizer.
  std::mutex m_state;
  std::condition_variable m_released;
  std::thread::id m_owner;
  unsigned m_count = 0;
};

// Scoped user of a CMutex: locks on demand, unlocks on destruction.
class ZOR_API CSingleLock {
public:
  explicit CSingleLock(CMutex* mutex, bool initialLock = false);
  ~CSingleLock();
  CSingleLock(const CSingleLock&) = delete;
  CSingleLock& operator=(const CSingleLock&) = delete;
  // Succeeds at once when this lock already holds the mutex.
  bool Lock(DWORD milliseconds = INFINITE);
  bool Unlock();
  bool IsLocked() const { return m_locked; }

private:
  CMutex* m_mutex;
  bool m_locked = false;
};

}  // namespace zor

#pragma pop_macro("FALSE")
#pragma pop_macro("TRUE")
