// File, pipe and FIFO handles: synchronous and overlapped I/O, cancellation,
// errors; and a device driving a FIFO.
#include "zor/platform/comm.h"
#include "zor/platform/fd_handle.h"
#include "zor/platform/platform.h"

#include "support/recorder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace zor;
using namespace zor_test;

namespace {

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

// True while the thread sleeps in a system call other than a lock's.
bool waitsInKernel(pid_t tid) {
  std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/syscall");
  long call = -1;
  return f >> call && call != SYS_futex;
}

// Runs call on a thread until it waits in the kernel, then interrupts it. A
// call the interrupt missed is freed by release, so no thread is left behind.
void interruptBlocked(const std::function<void()>& call, const std::function<void()>& interrupt,
                      const std::function<void()>& release) {
  std::atomic<pid_t> tid{0};
  std::atomic<bool> done{false};
  std::thread t([&] {
    tid = gettid();
    call();
    done = true;
  });
  waitUntil([&] { return done || (tid != 0 && waitsInKernel(tid)); }, 5000);
  interrupt();
  bool ended = waitUntil([&] { return done.load(); }, 5000);
  if (!ended) release();
  t.join();
  EXPECT_TRUE(ended) << "the interrupt left the call waiting";
}

TEST(Files, KeepWhatIsWrittenAndOpenErrorsSayWhy) {
  TestEnv env;
  std::string name = env.path("data.bin");
  HANDLE h = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "hello world", 11, &n, nullptr));
  EXPECT_EQ(n, 11u);
  EXPECT_TRUE(FlushFileBuffers(h));
  ASSERT_TRUE(CloseHandle(h));

  h = CreateFileA(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  char buf[32] = {};
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "hello world");
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 0u) << "the end of a file is a successful read of nothing";
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << "read-only";
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  // Truncated, and overlapped: each transfer completes at once, at its offset.
  h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                  FILE_FLAG_OVERLAPPED, nullptr);
  Ovl w, r, past;
  EXPECT_FALSE(ReadFile(h, buf, 3, &n, &past.ovl));
  EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF) << "truncated";
  ASSERT_TRUE(WriteFile(h, "0123456789", 10, &n, &w.ovl));
  EXPECT_TRUE(w.signalled());
  r.ovl.Offset = 4;
  ASSERT_TRUE(ReadFile(h, buf, 3, &n, &r.ovl));
  EXPECT_EQ(std::string(buf, 3), "456");
  EXPECT_TRUE(r.signalled());
  EXPECT_TRUE(GetOverlappedResult(h, &r.ovl, &n, FALSE));
  EXPECT_EQ(n, 3u);
  past.ovl.Offset = 10;
  EXPECT_FALSE(ReadFile(h, buf, 3, &n, &past.ovl));
  EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);
  EXPECT_TRUE(past.signalled());
  CloseHandle(h);

  const struct {
    std::string name;
    DWORD disposition, error;
  } refused[] = {{name, CREATE_NEW, ERROR_FILE_EXISTS},
                 {env.path("missing"), OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
                 {name + "/below", OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
                 {env.path(""), OPEN_EXISTING, ERROR_ACCESS_DENIED},
                 {name, 99, ERROR_INVALID_PARAMETER},
                 {"", OPEN_EXISTING, ERROR_PATH_NOT_FOUND}};
  for (const auto& r : refused) {
    EXPECT_EQ(CreateFileA(r.name.c_str(), GENERIC_READ, 0, nullptr, r.disposition, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), r.error) << r.name << " " << r.disposition;
  }
  EXPECT_EQ(CreateFileA(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
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
  // An event is a handle, but not one to read from, nor a port.
  HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_FALSE(ReadFile(e, buf, 4, &n, nullptr));
  DCB d{};
  EXPECT_FALSE(GetCommState(e, &d));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  EXPECT_FALSE(EscapeCommFunction(e, SETDTR));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  COMMTIMEOUTS t{};
  EXPECT_FALSE(GetCommTimeouts(e, &t));
  CloseHandle(e);
  Pipe p(false);
  EXPECT_TRUE(FlushFileBuffers(p.in));
}

// A pending read completes when data comes, waited for on its event or, without
// one, on the handle; queued reads complete in order; with data already there a
// read completes at once.
TEST(PipeOverlapped, ReadCompletesWhenDataArrives) {
  Pipe p(true);
  ASSERT_NE(p.in, INVALID_HANDLE_VALUE);
  for (bool withEvent : {true, false}) {
    Ovl o;
    HANDLE event = o.ovl.hEvent;
    SetEvent(event);  // a new read resets the event
    if (!withEvent) o.ovl.hEvent = nullptr;
    char buf[16] = {};
    DWORD n = 99;
    EXPECT_FALSE(ReadFile(p.in, buf, sizeof buf, &n, &o.ovl));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(GetOverlappedResult(p.in, &o.ovl, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    EXPECT_FALSE(withEvent && o.signalled());
    std::thread writer([&] {
      Sleep(20);  // the data comes while the result is waited for
      p.put("ping");
    });
    EXPECT_TRUE(GetOverlappedResult(p.in, &o.ovl, &n, TRUE));
    writer.join();
    EXPECT_EQ(std::string(buf, n), "ping");
    o.ovl.hEvent = event;
    EXPECT_TRUE(o.signalled());
  }
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

  p.put("abc");
  Ovl now;
  char buf[16];
  ASSERT_TRUE(ReadFile(p.in, buf, sizeof buf, &n, &now.ovl));
  EXPECT_EQ(n, 3u);
  EXPECT_TRUE(now.signalled());
  EXPECT_TRUE(GetOverlappedResult(p.in, &now.ovl, &n, FALSE));
  EXPECT_EQ(n, 3u);
}

// A pending read ended by CancelIo, by its thread's exit or by closing the
// handle is aborted, and data coming later never lands in its buffer.
TEST(PipeOverlapped, AbortedReadsNeverTouchTheirBuffer) {
  enum { kCancel, kThreadExit, kClose };
  for (int way : {kCancel, kThreadExit, kClose}) {
    SCOPED_TRACE(way);
    Pipe p(true);
    HANDLE h = p.in;
    Ovl o;
    char buf[8] = "-------";
    auto start = [&] {
      DWORD n;
      EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, &o.ovl));
      EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    };
    if (way == kThreadExit) {
      std::thread(start).join();
    } else {
      start();
      // Another thread's cancel (a reader ending its own timed-out read) leaves it be.
      std::thread([&] { CancelIo(h); }).join();
      EXPECT_FALSE(o.signalled());
      ASSERT_TRUE(way == kCancel ? CancelIo(h) : CloseHandle(h));
    }
    ASSERT_TRUE(o.signalled());
    EXPECT_EQ(o.ovl.Internal, ERROR_OPERATION_ABORTED);
    DWORD n = 1;
    EXPECT_FALSE(GetOverlappedResult(h, &o.ovl, &n, TRUE));
    if (way == kClose) {
      EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
      p.in = INVALID_HANDLE_VALUE;
      // The descriptor went too: the writer sees an error condition.
      pollfd pfd{p.writeFd, POLLOUT, 0};
      ASSERT_EQ(poll(&pfd, 1, 1000), 1);
      EXPECT_TRUE(pfd.revents & POLLERR);
      continue;
    }
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(n, 0u);
    p.put("data");
    Sleep(20);  // time for a stale completion to land, were there one
    EXPECT_STREQ(buf, "-------");
    Ovl next;
    ASSERT_TRUE(ReadFile(h, buf, 4, &n, &next.ovl));
    EXPECT_EQ(std::string(buf, n), "data");
  }
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

TEST(Pipes, EndOfDataAndAWriteWithoutReaderAreBrokenPipe) {
  Pipe p(true);
  Ovl o, again;
  char buf[8];
  DWORD n;
  ASSERT_FALSE(ReadFile(p.in, buf, sizeof buf, &n, &o.ovl));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  p.closeWriter();
  ASSERT_TRUE(o.signalled(5000));
  EXPECT_FALSE(GetOverlappedResult(p.in, &o.ovl, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  EXPECT_FALSE(ReadFile(p.in, buf, sizeof buf, &n, &again.ovl));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE) << "and at once for the next read";
  EXPECT_TRUE(again.signalled());

  Pipe s(false);
  s.closeWriter();
  EXPECT_FALSE(ReadFile(s.in, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);

  // Writing without a reader fails too, instead of killing the process.
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  ::close(fds[0]);
  HANDLE out = handleFromFd(fds[1], false);
  n = 5;
  EXPECT_FALSE(WriteFile(out, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  EXPECT_EQ(n, 0u);
  CloseHandle(out);
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

// A read waiting for data is ended by CancelIo or CloseHandle from another thread.
TEST(PipeSync, BlockedReadEndsOnCancelIoOrClose) {
  for (bool close : {false, true}) {
    Pipe p(false);
    HANDLE h = p.in;
    BOOL ok = TRUE;
    DWORD error = 0;
    char buf[8];
    DWORD n = 0;
    interruptBlocked(
        [&] {
          ok = ReadFile(h, buf, sizeof buf, &n, nullptr);
          error = GetLastError();
        },
        [&] { close ? CloseHandle(h) : CancelIo(h); }, [&] { p.put("x"); });
    EXPECT_FALSE(ok) << close;
    EXPECT_EQ(error, ERROR_OPERATION_ABORTED) << close;
    if (close) {
      p.in = INVALID_HANDLE_VALUE;
    } else {
      p.put("ok");  // the handle still works afterwards
      ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
      EXPECT_EQ(std::string(buf, n), "ok");
    }
  }
}

TEST(PipeSync, BlockedWriteEndsOnCancelIoWithThePartCount) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  fcntl(fds[1], F_SETPIPE_SZ, 4096);
  HANDLE out = handleFromFd(fds[1], false);
  std::vector<char> data(1 << 20, 'w');
  BOOL ok = TRUE;
  DWORD error = 0, written = 0;
  interruptBlocked(
      [&] {
        ok = WriteFile(out, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
        error = GetLastError();
      },
      [&] { CancelIo(out); },
      [&] {
        ::close(fds[0]);
        fds[0] = -1;
      });
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, data.size());
  CloseHandle(out);
  if (fds[0] >= 0) ::close(fds[0]);
}

// The codes callers tell apart: a lost link (fatal to the TCP device) from a retry.
TEST(ErrorMapping, SocketErrorsCallersTellApart) {
  const std::pair<int, DWORD> sockets[] = {
      {ECONNRESET, WSAECONNRESET}, {EPIPE, WSAECONNRESET},        {ECONNABORTED, WSAECONNABORTED},
      {ENOTCONN, WSAENOTCONN},     {ENETDOWN, WSAENETDOWN},       {EHOSTUNREACH, WSAEHOSTUNREACH},
      {EHOSTDOWN, WSAEHOSTDOWN},   {ENOTSOCK, WSAENOTSOCK},       {ECONNREFUSED, WSAECONNREFUSED},
      {ETIMEDOUT, WSAETIMEDOUT},   {EWOULDBLOCK, WSAEWOULDBLOCK}, {EINTR, WSAEINTR}};
  for (auto [err, wsa] : sockets) EXPECT_EQ(socketErrorFromErrno(err), wsa) << "errno " << err;
}

TEST(DebugOutput, OneLineOnStandardError) {
  testing::internal::CaptureStderr();
  OutputDebugStringA("first\n");
  OutputDebugStringA("second");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "first\nsecond\n");
}

// A device on a real handle: a FIFO opened for reading and writing is a
// loopback through the kernel, driven by the overlapped engine and the reactor.
class FifoDevice : public CDevice {
public:
  FifoDevice() { constructor(); }
  ~FifoDevice() override { destroyer(); }
  zorType Type() const override { return ZOR_NULL; }
  bool OpenDevice(const std::string& path, int flags, unsigned long* error) {
    return openDevice(path.c_str(), nullptr, flags, 8192, 8192, error);
  }

protected:
  int GetIOSize(int) const override { return 1024; }
};

// Idle reads time out and are cancelled and restarted; a block then goes out
// and comes back whole, and the close ends the read pending at that time. A
// missing path fails the open with the system's error.
TEST(Fifo, BytesComeBackAfterIdleReadsAndCloseLeavesNothingBehind) {
  TestEnv env;
  SettingsScope settings;
  settings->m_ioTimeout = 30;
  settings->m_ioWriteTimeout = 2000;
  const std::string path = env.path("line");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  std::thread([] {}).join();  // a sanitizer's runtime starts a thread of its own with the first one
  int fds = fdCount(), threads = threadCount();
  {
    LogRecorder rec;
    FifoDevice dev;
    rec.attach(dev);
    unsigned long error = 0;
    ASSERT_TRUE(dev.OpenDevice(path, 3, &error)) << "error " << error;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // several I/O time-outs pass
    std::vector<unsigned char> block(5000);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 13);
    ASSERT_TRUE(dev.WriteBuffer(block.data(), block.size()));
    EXPECT_EQ(readBytes(dev, block.size(), 5000), block);
    EXPECT_EQ(rec.countEvent(IDS_PANIC), 0u);
    EXPECT_TRUE(dev.CloseDevice());
    EXPECT_FALSE(dev.IsDeviceOpen());
  }
  EXPECT_LE(fdCount(), fds + 2) << "the reactor may hold its own two descriptors";
  EXPECT_TRUE(waitUntil([&] { return threadCount() <= threads + 1; }, 3000)) << "and its own thread";

  FifoDevice dev;
  unsigned long error = 0;
  EXPECT_FALSE(dev.OpenDevice(env.path("absent"), 0, &error));
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(dev.IsDeviceOpen());
  EXPECT_FALSE(dev.DeviceExist(env.path("absent").c_str()));
  EXPECT_TRUE(dev.DeviceExist(path.c_str()));
}

}  // namespace
