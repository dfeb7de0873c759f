#include "zor/platform/fd_handle.h"

#include "zor/platform/reactor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace zor {
namespace {

// Overlapped operations a thread leaves pending end when it exits, so that no
// completion writes into a buffer its thread no longer looks after.
struct IssuedOps {
  std::vector<std::weak_ptr<FdHandle>> handles;
  ~IssuedOps() {
    auto self = std::this_thread::get_id();
    for (auto& weak : handles)
      if (auto h = weak.lock()) h->cancelThreadOps(self);
  }
  void note(const std::shared_ptr<FdHandle>& h) {
    std::erase_if(handles, [&](const std::weak_ptr<FdHandle>& w) { return w.expired(); });
    for (auto& weak : handles)
      if (weak.lock() == h) return;
    handles.push_back(h);
  }
};

void noteIssuer(const std::shared_ptr<FdHandle>& h) {
  thread_local IssuedOps issued;
  issued.note(h);
}

bool wouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

// Writing to a pipe without a reader must fail with EPIPE, not kill the
// process: SIGPIPE is blocked for the call and a signal it raised is consumed.
long writeWithoutSigpipe(int fd, const void* buffer, std::size_t size) {
  sigset_t pipeSet, old, pending;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
  sigpending(&pending);
  bool wasPending = sigismember(&pending, SIGPIPE) == 1;
  long n = ::write(fd, buffer, size);
  int err = errno;
  if (n < 0 && err == EPIPE && !wasPending) {
    timespec zero{0, 0};
    while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = err;
  return n;
}

}  // namespace

FdHandle::FdHandle(int fd, bool overlapped) : m_fd(fd), m_overlapped(overlapped) {
  struct stat st {};
  if (fstat(fd, &st) == 0) {
    m_seekable = S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
    m_socket = S_ISSOCK(st.st_mode);
    m_fifo = S_ISFIFO(st.st_mode);
    // A pipe or socket read of nothing means the other end has gone.
    if (m_socket || m_fifo) m_endOfDataError = ERROR_BROKEN_PIPE;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0 && !(flags & O_NONBLOCK)) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

FdHandle::~FdHandle() {
  if (m_reactorId != 0) Reactor::instance().remove(m_reactorId);
  if (m_fd >= 0) ::close(m_fd);
}

void FdHandle::setReadMode(ReadMode mode) {
  std::lock_guard lock(m_mutex);
  m_readMode = mode;
}

long FdHandle::readSome(void* buffer, std::size_t size, std::int64_t offset) {
  if (m_seekable && offset >= 0) return ::pread(m_fd, buffer, size, offset);
  return ::read(m_fd, buffer, size);
}

long FdHandle::writeSome(const void* buffer, std::size_t size, std::int64_t offset) {
  if (m_seekable && offset >= 0) return ::pwrite(m_fd, buffer, size, offset);
  if (m_socket) return ::send(m_fd, buffer, size, MSG_NOSIGNAL);
  if (m_fifo) return writeWithoutSigpipe(m_fd, buffer, size);
  return ::write(m_fd, buffer, size);
}

DWORD FdHandle::errorFromErrno(int err) const { return win32ErrorFromErrno(err); }

BOOL FdHandle::read(void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* ovl) {
  if (read != nullptr) *read = 0;
  if (buffer == nullptr && toRead > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (ovl != nullptr && m_overlapped)
    return startOverlapped(true, static_cast<char*>(buffer), toRead, read, ovl);
  return transferSync(true, static_cast<char*>(buffer), toRead, read, ovl);
}

BOOL FdHandle::write(const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* ovl) {
  if (written != nullptr) *written = 0;
  if (buffer == nullptr && toWrite > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The buffer is only ever read from on the write path.
  char* data = const_cast<char*>(static_cast<const char*>(buffer));
  if (ovl != nullptr && m_overlapped) return startOverlapped(false, data, toWrite, written, ovl);
  return transferSync(false, data, toWrite, written, ovl);
}

bool FdHandle::attemptLocked(bool isRead, PendingOp& op, DWORD& error) {
  error = ERROR_SUCCESS;
  if (op.size == 0) return true;
  for (;;) {
    std::int64_t offset = op.offset < 0 ? -1 : op.offset + op.done;
    long n = isRead ? readSome(op.buffer, op.size, offset)
                    : writeSome(op.buffer + op.done, op.size - op.done, offset);
    if (n > 0) {
      op.done += static_cast<DWORD>(n);
      // A read ends with what one transfer brought; a write only when all is out.
      if (isRead || op.done == op.size) return true;
      continue;
    }
    if (n == 0) {
      // A positioned read past the end of a file says so, as overlapped file
      // reads do; a write that moves nothing would repeat forever.
      if (isRead) {
        error = op.offset >= 0 ? ERROR_HANDLE_EOF : m_endOfDataError;
      } else {
        error = ERROR_WRITE_FAULT;
      }
      return true;
    }
    int err = errno;
    if (err == EINTR) continue;
    if (wouldBlock(err)) {
      if (isRead && m_readMode == ReadMode::Immediate) return true;
      return false;
    }
    error = errorFromErrno(err);
    return true;
  }
}

BOOL FdHandle::startOverlapped(bool isRead, char* buffer, DWORD size, DWORD* done, OVERLAPPED* ovl) {
  std::lock_guard lock(m_mutex);
  if (m_closed) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  beginOverlapped(ovl);
  std::int64_t offset =
      m_seekable ? static_cast<std::int64_t>((std::uint64_t{ovl->OffsetHigh} << 32) | ovl->Offset) : -1;
  PendingOp op{ovl, buffer, size, 0, offset, std::this_thread::get_id()};
  auto& queue = isRead ? m_reads : m_writes;
  DWORD error = ERROR_SUCCESS;
  // Operations of one direction complete in the order they were issued.
  if (queue.empty() && attemptLocked(isRead, op, error)) {
    completeOverlapped(ovl, error, op.done);
    if (done != nullptr) *done = op.done;
    if (error != ERROR_SUCCESS) {
      SetLastError(error);
      return FALSE;
    }
    return TRUE;
  }
  queue.push_back(op);
  if (!armLocked()) {
    DWORD err = errorFromErrno(errno);
    queue.pop_back();
    completeOverlapped(ovl, err, op.done);
    SetLastError(err);
    return FALSE;
  }
  noteIssuer(shared_from_this());
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

bool FdHandle::armLocked() {
  unsigned interest =
      (m_reads.empty() ? 0 : Reactor::kReadable) | (m_writes.empty() ? 0 : Reactor::kWritable);
  if (m_reactorId == 0) {
    if (interest == 0) return true;
    std::weak_ptr<FdHandle> self = weak_from_this();
    m_reactorId = Reactor::instance().add(m_fd, [self](unsigned events) {
      if (auto h = self.lock()) h->onReady(events);
    });
    if (m_reactorId == 0) return false;
  }
  return Reactor::instance().arm(m_reactorId, interest);
}

void FdHandle::onReady(unsigned events) {
  std::lock_guard lock(m_mutex);
  if (m_closed) return;
  bool progressed = progressLocked();
  // An error or hang-up that lets nothing move would be reported again and
  // again: the device has failed for everything still queued.
  if (!progressed && (events & (Reactor::kError | Reactor::kHangUp))) failAllLocked(ERROR_GEN_FAILURE);
  if (!armLocked()) {
    // The reactor refused the descriptor: nothing could ever finish these.
    failAllLocked(errorFromErrno(errno));
  }
  m_completed.notify_all();
}

bool FdHandle::progressLocked() {
  bool progressed = false;
  for (bool isRead : {true, false}) {
    auto& queue = isRead ? m_reads : m_writes;
    while (!queue.empty()) {
      DWORD error;
      DWORD before = queue.front().done;
      bool finished = attemptLocked(isRead, queue.front(), error);
      if (queue.front().done != before) progressed = true;
      if (!finished) break;
      progressed = true;
      completeOverlapped(queue.front().ovl, error, queue.front().done);
      queue.pop_front();
    }
  }
  return progressed;
}

void FdHandle::failAllLocked(DWORD error) {
  for (auto* q : {&m_reads, &m_writes}) {
    for (auto& op : *q) completeOverlapped(op.ovl, error, op.done);
    q->clear();
  }
}

BOOL FdHandle::transferSync(bool isRead, char* buffer, DWORD size, DWORD* done, OVERLAPPED* ovl) {
  SyncWaiter waiter{Reactor::threadWake()};
  if (waiter.wake->fd < 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  PendingOp op{ovl, buffer, size, 0, -1, std::this_thread::get_id()};
  if (m_seekable && ovl != nullptr)
    op.offset = static_cast<std::int64_t>((std::uint64_t{ovl->OffsetHigh} << 32) | ovl->Offset);
  DWORD error = ERROR_SUCCESS;
  std::unique_lock lock(m_mutex);
  if (m_closed) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (ovl != nullptr) beginOverlapped(ovl);
  m_syncWaiters.push_back(&waiter);
  for (;;) {
    if (waiter.aborted) {
      error = ERROR_OPERATION_ABORTED;
      break;
    }
    if (attemptLocked(isRead, op, error)) break;
    lock.unlock();
    // A cancel or close wakes the wait; the loop then sees the abort.
    int ready = Reactor::waitReadyOrWoken(m_fd, isRead ? Reactor::kReadable : Reactor::kWritable,
                                          waiter.wake->fd, -1);
    int err = errno;
    lock.lock();
    if (ready < 0 && !waiter.aborted) {
      error = errorFromErrno(err);
      break;
    }
  }
  std::erase(m_syncWaiters, &waiter);
  if (ovl != nullptr) completeOverlapped(ovl, error, op.done);
  lock.unlock();
  if (done != nullptr) *done = op.done;
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

BOOL FdHandle::overlappedResult(OVERLAPPED* ovl, DWORD* transferred, BOOL wait) {
  if (ovl == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (wait && ovl->hEvent == nullptr) {
    // No event to wait on: wait for the handle itself, as for any other handle.
    std::unique_lock lock(m_mutex);
    m_completed.wait(lock, [ovl] {
      return std::atomic_ref<ULONG_PTR>(ovl->Internal).load(std::memory_order_acquire) != STATUS_PENDING;
    });
  }
  return HandleObject::overlappedResult(ovl, transferred, wait);
}

void FdHandle::failThreadLocked(std::thread::id thread, DWORD error) {
  for (auto* q : {&m_reads, &m_writes}) {
    for (auto it = q->begin(); it != q->end();) {
      if (it->thread == thread) {
        completeOverlapped(it->ovl, error, it->done);
        it = q->erase(it);
      } else {
        ++it;
      }
    }
  }
}

void FdHandle::cancelThreadOps(std::thread::id thread) {
  std::lock_guard lock(m_mutex);
  if (m_closed) return;
  failThreadLocked(thread, ERROR_OPERATION_ABORTED);
  m_completed.notify_all();
}

void FdHandle::abortAllLocked() {
  failAllLocked(ERROR_OPERATION_ABORTED);
  for (SyncWaiter* w : m_syncWaiters) {
    w->aborted = true;
    w->wake->wake();
  }
  m_completed.notify_all();
}

BOOL FdHandle::cancelIo() {
  std::lock_guard lock(m_mutex);
  if (m_closed) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  failThreadLocked(std::this_thread::get_id(), ERROR_OPERATION_ABORTED);
  for (SyncWaiter* w : m_syncWaiters) {
    w->aborted = true;
    w->wake->wake();
  }
  m_completed.notify_all();
  return TRUE;
}

BOOL FdHandle::flush() {
  std::lock_guard lock(m_mutex);
  if (m_closed) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Pipes, sockets and devices hold nothing back that a flush could push.
  if (!m_seekable) return TRUE;
  if (::fsync(m_fd) != 0 && errno != EINVAL && errno != EROFS) {
    SetLastError(errorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL FdHandle::close() {
  std::uint64_t id;
  {
    std::lock_guard lock(m_mutex);
    if (m_closed) return TRUE;
    m_closed = true;
    abortAllLocked();
    id = m_reactorId;
    m_reactorId = 0;
  }
  if (id != 0) Reactor::instance().remove(id);
  // The descriptor itself goes with the last user: a synchronous call that is
  // still leaving must not find its number reused.
  return TRUE;
}

int FdHandle::readinessFd() {
  std::lock_guard lock(m_mutex);
  // Files are always readable: waiting on them would never wait.
  return m_closed || m_seekable ? -1 : m_fd;
}

void closeDescriptor(int fd) { ::close(fd); }

HANDLE handleFromFd(int fd, bool overlapped) {
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  auto object = makeFdObject<FdHandle>(fd, overlapped);
  if (!object) return INVALID_HANDLE_VALUE;
  HANDLE h = registerHandle(std::move(object));
  return h != nullptr ? h : INVALID_HANDLE_VALUE;
}

}  // namespace zor
