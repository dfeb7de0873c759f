// The handle of anything that is a file descriptor: regular files, character
// devices, pipes, and (in their own files) ttys and sockets.
//
// The descriptor is always non-blocking underneath. A synchronous call that
// has to wait does so in the reactor's direct wait, woken by CancelIo or
// CloseHandle from another thread. An
// overlapped call that cannot complete at once is queued and finished by the
// reactor thread; the caller's buffer is only touched under the handle's lock
// and never after the operation was cancelled.
//
// A new kind of descriptor handle is one file: a subclass that overrides
// readSome/writeSome/errorFromErrno (and its own calls) as it
// needs, created with std::make_shared and put in the table with
// registerHandle(), plus an entry in CreateFileA's table of openers for the names it serves.
#pragma once

#include "zor/platform/handle.h"
#include "zor/platform/platform.h"
#include "zor/platform/reactor.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace zor {

class FdHandle : public HandleObject, public std::enable_shared_from_this<FdHandle> {
public:
  // Takes ownership of fd; overlapped: the handle was opened with FILE_FLAG_OVERLAPPED.
  FdHandle(int fd, bool overlapped);
  ~FdHandle() override;

  BOOL read(void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* ovl) override;
  BOOL write(const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* ovl) override;
  BOOL overlappedResult(OVERLAPPED* ovl, DWORD* transferred, BOOL wait) override;
  // Ends the overlapped operations the calling thread issued on this handle
  // (those of other threads go on, as a reader cancelling its own timed-out
  // read must not abort a write in flight), and every synchronous call that
  // waits on it, from any thread. CloseHandle ends everything.
  BOOL cancelIo() override;
  // Ends what the given thread issued; called when that thread exits.
  void cancelThreadOps(std::thread::id thread);
  BOOL flush() override;
  BOOL close() override;
  int readinessFd() override;

  int fd() const { return m_fd; }
  bool isOverlapped() const { return m_overlapped; }

protected:
  // What a read does when no data is there: wait for it, or return at once with 0 bytes.
  enum class ReadMode { Wait, Immediate };
  void setReadMode(ReadMode mode);

  // One non-blocking transfer, as read(2)/write(2): count, 0 at end of data,
  // -1 with errno. offset < 0: at the current position. Called with m_mutex held.
  virtual long readSome(void* buffer, std::size_t size, std::int64_t offset);
  virtual long writeSome(const void* buffer, std::size_t size, std::int64_t offset);
  // Win32 code of a failed transfer.
  virtual DWORD errorFromErrno(int err) const;

  // Serialises every operation of the handle; subclasses use it for their own calls.
  std::mutex m_mutex;

private:
  struct PendingOp {
    OVERLAPPED* ovl;
    char* buffer;
    DWORD size;
    DWORD done;
    std::int64_t offset;
    std::thread::id thread;  // the issuer
  };
  struct SyncWaiter {
    std::shared_ptr<Reactor::WakeDescriptor> wake;  // a cancel or close wakes it
    bool aborted = false;
  };

  BOOL startOverlapped(bool isRead, char* buffer, DWORD size, DWORD* done, OVERLAPPED* ovl);
  BOOL transferSync(bool isRead, char* buffer, DWORD size, DWORD* done, OVERLAPPED* ovl);
  // Runs the queued operations as far as the descriptor allows, then re-arms.
  void onReady(unsigned events);
  // True when any queued operation moved bytes or finished.
  bool progressLocked();
  void failAllLocked(DWORD error);
  void failThreadLocked(std::thread::id thread, DWORD error);
  bool armLocked();
  void abortAllLocked();
  // Result of one attempt: complete (true) or would block (false).
  bool attemptLocked(bool isRead, PendingOp& op, DWORD& error);

  int m_fd;
  const bool m_overlapped;
  bool m_seekable = false;
  bool m_socket = false;
  bool m_fifo = false;
  ReadMode m_readMode = ReadMode::Wait;
  DWORD m_endOfDataError = ERROR_SUCCESS;

  bool m_closed = false;  // all below under m_mutex
  std::deque<PendingOp> m_reads;
  std::deque<PendingOp> m_writes;
  std::vector<SyncWaiter*> m_syncWaiters;
  std::uint64_t m_reactorId = 0;
  std::condition_variable m_completed;
};

// Wraps an open descriptor in a handle (the descriptor is made non-blocking).
// Returns INVALID_HANDLE_VALUE, with the descriptor closed, on failure.
HANDLE handleFromFd(int fd, bool overlapped);

void closeDescriptor(int fd);

// A new handle object of kind T owning fd; null, with fd closed and
// ERROR_NOT_ENOUGH_MEMORY set, when it cannot be allocated.
template <class T>
std::shared_ptr<T> makeFdObject(int fd, bool overlapped) {
  try {
    return std::make_shared<T>(fd, overlapped);
  } catch (const std::bad_alloc&) {
    closeDescriptor(fd);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

}  // namespace zor
