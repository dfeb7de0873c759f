// File, pipe and tty handles: synchronous and overlapped I/O, cancellation, errors.
#include "zor/platform/fd_handle.h"
#include "zor/platform/platform.h"
#include "zor/platform/tty.h"

#include "support/process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace zor;

namespace {

struct TempDir {
  std::string path = zortest::scratchFolder(testing::UnitTest::GetInstance()->current_test_info()->name());
  std::string file(const char* name) const { return path + "/" + name; }
};

// A pipe whose read end is a handle; the test writes and closes the other end.
struct Pipe {
  HANDLE in = INVALID_HANDLE_VALUE;
  int writeFd = -1;
  explicit Pipe(bool overlapped) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    in = handleFromFd(fds[0], overlapped);
    writeFd = fds[1];
  }
  ~Pipe() {
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    closeWriter();
  }
  void put(const char* text) {
    ASSERT_EQ(::write(writeFd, text, std::strlen(text)), (ssize_t)std::strlen(text));
  }
  void closeWriter() {
    if (writeFd >= 0) ::close(writeFd);
    writeFd = -1;
  }
};

struct Ovl {
  OVERLAPPED ovl{};
  Ovl() { ovl.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~Ovl() { CloseHandle(ovl.hEvent); }
  bool signalled(DWORD ms = 0) { return WaitForSingleObject(ovl.hEvent, ms) == WAIT_OBJECT_0; }
};

TEST(Files, WriteFlushAndReadBack) {
  TempDir dir;
  std::string name = dir.file("data.bin");
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "hello world", 11, &n, nullptr));
  EXPECT_EQ(n, 11u);
  EXPECT_TRUE(FlushFileBuffers(h));
  ASSERT_TRUE(CloseHandle(h));

  h = CreateFileA(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char buf[32] = {};
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 11u);
  EXPECT_STREQ(buf, "hello world");
  // End of a file is a successful read of nothing.
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 0u);
  // Read-only handle: writing fails and reports why.
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);  // EBADF
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Files, DispositionsAndOpenErrors) {
  TempDir dir;
  std::string name = dir.file("f");
  HANDLE h = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n;
  WriteFile(h, "abc", 3, &n, nullptr);
  CloseHandle(h);

  EXPECT_EQ(CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);

  h = CreateFileA(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  CloseHandle(h);

  h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char buf[8];
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 0u);
  CloseHandle(h);

  EXPECT_EQ(CreateFileA(dir.file("missing").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(CreateFileA(dir.path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(CreateFileA(name.c_str(), GENERIC_READ, 0, nullptr, 99, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateFileA("", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateFileA(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
}

TEST(Files, OverlappedReadsAtTheGivenOffsetAndCompletesAtOnce) {
  TempDir dir;
  std::string name = dir.file("f");
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  Ovl w;
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "0123456789", 10, &n, &w.ovl));
  EXPECT_TRUE(w.signalled());
  Ovl r;
  r.ovl.Offset = 4;
  char buf[4] = {};
  ASSERT_TRUE(ReadFile(h, buf, 3, &n, &r.ovl));
  EXPECT_EQ(n, 3u);
  EXPECT_STREQ(buf, "456");
  EXPECT_TRUE(r.signalled());
  DWORD got = 0;
  EXPECT_TRUE(GetOverlappedResult(h, &r.ovl, &got, FALSE));
  EXPECT_EQ(got, 3u);
  Ovl past;
  past.ovl.Offset = 10;
  EXPECT_FALSE(ReadFile(h, buf, 3, &n, &past.ovl));
  EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);
  EXPECT_TRUE(past.signalled());
  CloseHandle(h);
}

TEST(Handles, CallsOnBadHandlesFail) {
  DWORD n;
  char buf[4];
  EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, buf, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(WriteFile(nullptr, buf, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CancelIo(nullptr));
  EXPECT_FALSE(FlushFileBuffers(nullptr));
  // An event is a handle, but not one to read from.
  HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_FALSE(ReadFile(e, buf, 4, &n, nullptr));
  CloseHandle(e);
  Pipe p(false);
  EXPECT_FALSE(DeviceIoControl(p.in, 1, nullptr, 0, nullptr, 0, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  EXPECT_TRUE(FlushFileBuffers(p.in));
}

TEST(PipeOverlapped, ReadCompletesWhenDataArrives) {
  Pipe p(true);
  ASSERT_NE(p.in, INVALID_HANDLE_VALUE);
  Ovl o;
  SetEvent(o.ovl.hEvent);  // a new read resets the event
  char buf[16] = {};
  DWORD n = 99;
  EXPECT_FALSE(ReadFile(p.in, buf, sizeof buf, &n, &o.ovl));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_FALSE(o.signalled());
  EXPECT_FALSE(GetOverlappedResult(p.in, &o.ovl, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

  p.put("ping");
  ASSERT_TRUE(o.signalled(5000));
  ASSERT_TRUE(GetOverlappedResult(p.in, &o.ovl, &n, FALSE));
  EXPECT_EQ(n, 4u);
  EXPECT_STREQ(buf, "ping");

  // With data already there the read completes at once and still sets the event.
  p.put("abc");
  Ovl now;
  ASSERT_TRUE(ReadFile(p.in, buf, sizeof buf, &n, &now.ovl));
  EXPECT_EQ(n, 3u);
  EXPECT_TRUE(now.signalled());
  EXPECT_TRUE(GetOverlappedResult(p.in, &now.ovl, &n, FALSE));
  EXPECT_EQ(n, 3u);
}

TEST(PipeOverlapped, GetOverlappedResultWaitsForCompletion) {
  Pipe p(true);
  for (bool withEvent : {true, false}) {
    Ovl o;
    HANDLE event = o.ovl.hEvent;
    if (!withEvent) o.ovl.hEvent = nullptr;
    char buf[8] = {};
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(p.in, buf, sizeof buf, &n, &o.ovl));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    std::thread writer([&] {
      Sleep(20);
      p.put("later");
    });
    EXPECT_TRUE(GetOverlappedResult(p.in, &o.ovl, &n, TRUE));
    EXPECT_EQ(n, 5u);
    writer.join();
    o.ovl.hEvent = event;
  }
}

TEST(PipeOverlapped, QueuedReadsCompleteInOrder) {
  Pipe p(true);
  Ovl a, b;
  char bufA[2] = {}, bufB[8] = {};
  DWORD n;
  ASSERT_FALSE(ReadFile(p.in, bufA, 2, &n, &a.ovl));
  ASSERT_FALSE(ReadFile(p.in, bufB, 8, &n, &b.ovl));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  p.put("12345");
  ASSERT_TRUE(b.signalled(5000));
  ASSERT_TRUE(a.signalled());
  EXPECT_TRUE(GetOverlappedResult(p.in, &a.ovl, &n, FALSE));
  EXPECT_EQ(std::string(bufA, n), "12");
  EXPECT_TRUE(GetOverlappedResult(p.in, &b.ovl, &n, FALSE));
  EXPECT_EQ(std::string(bufB, n), "345");
}

TEST(PipeOverlapped, CancelIoAbortsAndNeverTouchesTheBuffer) {
  Pipe p(true);
  Ovl o;
  char buf[8] = "-------";
  DWORD n;
  ASSERT_FALSE(ReadFile(p.in, buf, sizeof buf, &n, &o.ovl));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  ASSERT_TRUE(CancelIo(p.in));
  EXPECT_TRUE(o.signalled());
  EXPECT_FALSE(GetOverlappedResult(p.in, &o.ovl, &n, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(n, 0u);

  // Data arriving later stays for the next read.
  p.put("data");
  Sleep(20);
  EXPECT_STREQ(buf, "-------");
  Ovl next;
  ASSERT_TRUE(ReadFile(p.in, buf, 4, &n, &next.ovl));
  EXPECT_EQ(std::string(buf, n), "data");
}

TEST(PipeOverlapped, CloseHandleAbortsPendingReadAndClosesDescriptor) {
  Pipe p(true);
  Ovl o;
  char buf[8];
  DWORD n;
  ASSERT_FALSE(ReadFile(p.in, buf, sizeof buf, &n, &o.ovl));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  ASSERT_TRUE(CloseHandle(p.in));
  HANDLE closed = p.in;
  p.in = INVALID_HANDLE_VALUE;
  EXPECT_TRUE(o.signalled());
  EXPECT_EQ(o.ovl.Internal, ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(GetOverlappedResult(closed, &o.ovl, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  // The read end is gone: the writer sees an error condition.
  pollfd pfd{p.writeFd, POLLOUT, 0};
  ASSERT_EQ(poll(&pfd, 1, 1000), 1);
  EXPECT_TRUE(pfd.revents & POLLERR);
}

TEST(PipeOverlapped, EndOfDataIsBrokenPipe) {
  Pipe p(true);
  Ovl o;
  char buf[8];
  DWORD n;
  ASSERT_FALSE(ReadFile(p.in, buf, sizeof buf, &n, &o.ovl));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  p.closeWriter();
  ASSERT_TRUE(o.signalled(5000));
  EXPECT_FALSE(GetOverlappedResult(p.in, &o.ovl, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  // And at once for the next read.
  Ovl again;
  EXPECT_FALSE(ReadFile(p.in, buf, sizeof buf, &n, &again.ovl));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  EXPECT_TRUE(again.signalled());
}

TEST(PipeOverlapped, WriteLargerThanThePipeCompletesWhenDrained) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  fcntl(fds[1], F_SETPIPE_SZ, 4096);
  HANDLE out = handleFromFd(fds[1], true);
  ASSERT_NE(out, INVALID_HANDLE_VALUE);
  std::vector<char> data(200000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  Ovl o;
  DWORD n;
  ASSERT_FALSE(WriteFile(out, data.data(), static_cast<DWORD>(data.size()), &n, &o.ovl));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  std::vector<char> got;
  char buf[8192];
  for (int i = 0; i < 10000 && got.size() < data.size(); ++i) {
    ssize_t r = ::read(fds[0], buf, sizeof buf);
    ASSERT_GT(r, 0);
    got.insert(got.end(), buf, buf + r);
  }
  ASSERT_TRUE(o.signalled(5000));
  EXPECT_TRUE(GetOverlappedResult(out, &o.ovl, &n, FALSE));
  EXPECT_EQ(n, data.size());
  EXPECT_EQ(got, data);
  CloseHandle(out);
  ::close(fds[0]);
}

TEST(PipeSync, WriteWithoutReaderFailsInsteadOfKillingTheProcess) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  ::close(fds[0]);
  HANDLE out = handleFromFd(fds[1], false);
  DWORD n = 5;
  EXPECT_FALSE(WriteFile(out, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  EXPECT_EQ(n, 0u);
  CloseHandle(out);
}

TEST(PipeSync, ReadWaitsForDataAndEndIsBrokenPipe) {
  Pipe p(false);
  std::thread writer([&] {
    Sleep(20);
    p.put("hi");
  });
  char buf[8];
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(p.in, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "hi");
  writer.join();
  p.closeWriter();
  EXPECT_FALSE(ReadFile(p.in, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
}

// Runs a blocking read on another thread and ends it with `interrupt`.
template <class Interrupt>
void expectBlockedReadEndsWith(Pipe& p, Interrupt interrupt, DWORD expectedError) {
  std::atomic<bool> done{false};
  BOOL ok = TRUE;
  DWORD error = 0;
  char buf[8];
  std::thread reader([&] {
    DWORD n;
    ok = ReadFile(p.in, buf, sizeof buf, &n, nullptr);
    error = GetLastError();
    done = true;
  });
  // The cancel may come before the read started waiting; repeat it until it lands.
  for (int i = 0; i < 200 && !done.load(); ++i) {
    Sleep(10);
    interrupt();
  }
  if (!done.load()) p.put("x");  // never leave the thread behind
  reader.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, expectedError);
}

TEST(PipeSync, BlockedReadEndsOnCancelIoFromAnotherThread) {
  Pipe p(false);
  expectBlockedReadEndsWith(
      p, [&] { CancelIo(p.in); }, ERROR_OPERATION_ABORTED);
  // The handle still works afterwards.
  p.put("ok");
  char buf[4];
  DWORD n;
  ASSERT_TRUE(ReadFile(p.in, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 2u);
}

TEST(PipeSync, BlockedReadEndsOnCloseHandle) {
  Pipe p(false);
  HANDLE h = p.in;
  std::atomic<bool> closed{false};
  // Closing once is enough when the read is already waiting; give it time first.
  expectBlockedReadEndsWith(
      p,
      [&] {
        if (!closed.exchange(true)) {
          Sleep(30);
          CloseHandle(h);
        }
      },
      ERROR_OPERATION_ABORTED);
  p.in = INVALID_HANDLE_VALUE;
}

TEST(ErrorMapping, ErrnoToWin32AndSocketErrors) {
  const std::pair<int, DWORD> win32[] = {{0, ERROR_SUCCESS},
                                         {ENOENT, ERROR_FILE_NOT_FOUND},
                                         {ENOTDIR, ERROR_PATH_NOT_FOUND},
                                         {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
                                         {EACCES, ERROR_ACCESS_DENIED},
                                         {EPERM, ERROR_ACCESS_DENIED},
                                         {EBADF, ERROR_INVALID_HANDLE},
                                         {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
                                         {EIO, ERROR_GEN_FAILURE},
                                         {ENXIO, ERROR_GEN_FAILURE},
                                         {ENODEV, ERROR_GEN_FAILURE},
                                         {EBUSY, ERROR_SHARING_VIOLATION},
                                         {EWOULDBLOCK, ERROR_SHARING_VIOLATION},
                                         {EEXIST, ERROR_FILE_EXISTS},
                                         {EINVAL, ERROR_INVALID_PARAMETER},
                                         {EPIPE, ERROR_BROKEN_PIPE},
                                         {ENAMETOOLONG, ERROR_INVALID_NAME},
                                         {ECANCELED, ERROR_OPERATION_ABORTED},
                                         {ETIMEDOUT, ERROR_TIMEOUT}};
  for (auto [err, win] : win32) EXPECT_EQ(win32ErrorFromErrno(err), win) << "errno " << err;
  const std::pair<int, DWORD> sockets[] = {{ENOTSOCK, WSAENOTSOCK},
                                           {EADDRINUSE, WSAEADDRINUSE},
                                           {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
                                           {ENETDOWN, WSAENETDOWN},
                                           {ENETUNREACH, WSAENETUNREACH},
                                           {ENETRESET, WSAENETRESET},
                                           {ECONNABORTED, WSAECONNABORTED},
                                           {ECONNRESET, WSAECONNRESET},
                                           {EPIPE, WSAECONNRESET},
                                           {ENOBUFS, WSAENOBUFS},
                                           {EISCONN, WSAEISCONN},
                                           {ENOTCONN, WSAENOTCONN},
                                           {ESHUTDOWN, WSAESHUTDOWN},
                                           {ETIMEDOUT, WSAETIMEDOUT},
                                           {ECONNREFUSED, WSAECONNREFUSED},
                                           {EHOSTDOWN, WSAEHOSTDOWN},
                                           {EHOSTUNREACH, WSAEHOSTUNREACH},
                                           {EWOULDBLOCK, WSAEWOULDBLOCK},
                                           {EINTR, WSAEINTR}};
  for (auto [err, wsa] : sockets) EXPECT_EQ(socketErrorFromErrno(err), wsa) << "errno " << err;
}

TEST(DebugOutput, OneLineOnStandardError) {
  testing::internal::CaptureStderr();
  OutputDebugStringA("first\n");
  OutputDebugStringA("second");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "first\nsecond\n");
}

TEST(Tty, ComNames) {
  EXPECT_TRUE(isComName("COM1"));
  EXPECT_TRUE(isComName("COM12"));
  EXPECT_TRUE(isComName("\\\\.\\COM3"));
  EXPECT_FALSE(isComName("COM0"));
  EXPECT_FALSE(isComName("COM"));
  EXPECT_FALSE(isComName("COM01"));
  EXPECT_FALSE(isComName("COM1x"));
  EXPECT_FALSE(isComName("com1"));
  EXPECT_FALSE(isComName("/dev/ttyS0"));
  EXPECT_FALSE(isComName(nullptr));
}

// Completion racing with cancel and close: every operation ends exactly once,
// and its buffer (freed right after) is never written afterwards.
TEST(PipeOverlapped, CompletionRacingCancelAndCloseEndsEveryOperation) {
  for (int i = 0; i < 200; ++i) {
    Pipe p(true);
    ASSERT_NE(p.in, INVALID_HANDLE_VALUE);
    Ovl o;
    auto buf = std::make_unique<char[]>(4);
    DWORD n;
    BOOL started = ReadFile(p.in, buf.get(), 4, &n, &o.ovl);
    ASSERT_TRUE(!started && GetLastError() == ERROR_IO_PENDING);
    std::thread writer([&] {
      // The read end may be closed already; that is not this test's subject.
      sigset_t pipeSet;
      sigemptyset(&pipeSet);
      sigaddset(&pipeSet, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipeSet, nullptr);
      [[maybe_unused]] ssize_t r = ::write(p.writeFd, "z", 1);
    });
    if (i % 2 == 0) {
      CancelIo(p.in);
    } else {
      CloseHandle(p.in);
      p.in = INVALID_HANDLE_VALUE;
    }
    writer.join();
    ASSERT_TRUE(o.signalled(5000));
    DWORD status = static_cast<DWORD>(o.ovl.Internal);
    EXPECT_TRUE(status == ERROR_SUCCESS || status == ERROR_OPERATION_ABORTED) << status;
    if (status == ERROR_SUCCESS) {
      EXPECT_EQ(o.ovl.InternalHigh, 1u);
    }
    buf.reset();
  }
}

TEST(PipeSync, BlockedWriteEndsOnCancelIoWithThePartCount) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  fcntl(fds[1], F_SETPIPE_SZ, 4096);
  HANDLE out = handleFromFd(fds[1], false);
  std::vector<char> data(1 << 20, 'w');
  std::atomic<bool> done{false};
  BOOL ok = TRUE;
  DWORD error = 0, written = 0;
  std::thread writer([&] {
    ok = WriteFile(out, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    error = GetLastError();
    done = true;
  });
  for (int i = 0; i < 200 && !done.load(); ++i) {
    Sleep(10);
    CancelIo(out);
  }
  bool readerClosed = !done.load();
  if (readerClosed) ::close(fds[0]);  // never leave the thread behind
  writer.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, data.size());
  CloseHandle(out);
  if (!readerClosed) ::close(fds[0]);
}

// One handle serving a reader and a writer thread: the reader cancelling its
// timed-out read must not abort the write in flight.
TEST(PipeOverlapped, CancelIoEndsOnlyTheCallersOperations) {
  Pipe p(true);
  Ovl o;
  char buf[8];
  DWORD n;
  std::thread other([&] { CancelIo(p.in); });
  ASSERT_FALSE(ReadFile(p.in, buf, sizeof buf, &n, &o.ovl));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  other.join();
  std::thread([&] { CancelIo(p.in); }).join();
  EXPECT_FALSE(o.signalled());
  ASSERT_TRUE(CancelIo(p.in));
  EXPECT_TRUE(o.signalled());
  EXPECT_EQ(o.ovl.Internal, ERROR_OPERATION_ABORTED);
}

TEST(PipeOverlapped, OperationsOfAnExitingThreadEnd) {
  Pipe p(true);
  Ovl o;
  char buf[8] = "-------";
  std::thread([&] {
    DWORD n;
    EXPECT_FALSE(ReadFile(p.in, buf, sizeof buf, &n, &o.ovl));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  }).join();
  EXPECT_TRUE(o.signalled());
  EXPECT_EQ(o.ovl.Internal, ERROR_OPERATION_ABORTED);
  p.put("late");
  Sleep(20);
  EXPECT_STREQ(buf, "-------");
}

}  // namespace
