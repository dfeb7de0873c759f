// A plain path as a transport: regular files, FIFOs and devices, bounded
// transfers, cancel and close from another thread; and a device on a FIFO.
#include "zor/platform/file_transport.h"
#include "zor/platform/platform.h"

#include "support/recorder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
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

std::unique_ptr<Transport> open(const std::string& path, bool in, bool out, DWORD* error) {
  return openTransport(path.c_str(), in, out, false, error);
}

// A FIFO in the test's folder whose far end the test holds as a descriptor.
struct Fifo {
  TestEnv env;
  std::string path = env.path("line");
  int far = -1;
  Fifo() { EXPECT_EQ(mkfifo(path.c_str(), 0600), 0); }
  ~Fifo() { closeFar(); }
  void openFar(int flags) { far = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK); }
  void put(const char* text) { ASSERT_EQ(::write(far, text, std::strlen(text)), (ssize_t)std::strlen(text)); }
  void closeFar() {
    if (far >= 0) ::close(far);
    far = -1;
  }
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

TEST(FileTransport, RegularFilesReadToTheirEndAndOpenErrorsSayWhy) {
  TestEnv env;
  const std::string name = env.path("data.bin");
  std::ofstream(name) << "hello world";
  DWORD error = 0;
  auto file = open(name, true, true, &error);
  ASSERT_TRUE(file) << error;
  EXPECT_EQ(file->readableDescriptor(), -1) << "a file is always readable";
  char buf[32] = {};
  EXPECT_EQ(file->read(buf, 0, 1000, &error), 0) << "nothing asked, nothing waited for";
  ASSERT_EQ(file->read(buf, sizeof buf, 1000, &error), 11);
  EXPECT_EQ(std::string(buf, 11), "hello world");
  EXPECT_EQ(file->read(buf, sizeof buf, 1000, &error), 0) << "the end of a file is a read of nothing";
  EXPECT_EQ(file->write("!", 1, 1000, &error), 1);
  EXPECT_TRUE(file->flush());
  file->close();
  EXPECT_EQ(file->write("x", 1, 0, &error), -1);
  EXPECT_EQ(error, ERROR_INVALID_HANDLE);
  EXPECT_FALSE(file->flush());
  file->close();  // twice is harmless

  auto readOnly = open(name, true, false, &error);
  ASSERT_TRUE(readOnly);
  EXPECT_EQ(readOnly->read(buf, sizeof buf, 0, &error), 12);
  EXPECT_EQ(std::string(buf, 12), "hello world!");
  EXPECT_EQ(readOnly->write("x", 1, 0, &error), -1);
  EXPECT_EQ(error, ERROR_INVALID_HANDLE) << "read-only";

  const struct {
    std::string name;
    DWORD error;
  } refused[] = {{env.path("missing"), ERROR_FILE_NOT_FOUND},
                 {name + "/below", ERROR_PATH_NOT_FOUND},
                 {env.path(""), ERROR_ACCESS_DENIED},
                 {"", ERROR_PATH_NOT_FOUND}};
  for (const auto& r : refused) {
    for (bool out : {false, true}) {
      error = 0;
      EXPECT_FALSE(open(r.name, true, out, &error));
      EXPECT_EQ(error, r.error) << r.name << " " << out;
    }
  }
  EXPECT_FALSE(openTransport(nullptr, true, true, false, &error));
  EXPECT_TRUE(transportExists(name.c_str()));
  EXPECT_FALSE(transportExists(env.path("missing").c_str()));
}

// A device that finds the end stays there: it offers no descriptor that would
// wake its receiver again and again. A device's own failure is reported.
TEST(FileTransport, DevicesAtTheirEndAndAFullDevice) {
  DWORD error = 0;
  auto null = open("/dev/null", true, true, &error);
  ASSERT_TRUE(null);
  EXPECT_GE(null->readableDescriptor(), 0);
  char buf[8];
  EXPECT_EQ(null->read(buf, sizeof buf, 1000, &error), 0);
  EXPECT_EQ(null->readableDescriptor(), -1);
  EXPECT_EQ(null->write("abc", 3, 0, &error), 3);
  auto full = open("/dev/full", false, true, &error);
  ASSERT_TRUE(full);
  EXPECT_EQ(full->write("abc", 3, 0, &error), -1);
  EXPECT_EQ(error, 112u) << "the disk is full";
}

// Reads take what is there or wait within their bound; the end of the data
// and a write without a reader are a broken pipe, at once and again.
TEST(FileTransport, FifoReadsAreBoundedAndItsEndIsABrokenPipe) {
  Fifo fifo;
  DWORD error = 0;
  auto in = open(fifo.path, true, false, &error);
  ASSERT_TRUE(in) << error;
  fifo.openFar(O_WRONLY);
  ASSERT_GE(fifo.far, 0);
  char buf[16] = {};
  EXPECT_EQ(in->read(buf, sizeof buf, 0, &error), 0) << "nothing there now";
  EXPECT_EQ(in->read(buf, sizeof buf, 30, &error), 0) << "nothing within the bound";
  const int fd = in->readableDescriptor();
  ASSERT_GE(fd, 0);
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the data comes while the read waits
    fifo.put("ping");
  });
  EXPECT_EQ(in->read(buf, sizeof buf, 5000, &error), 4);
  writer.join();
  EXPECT_EQ(std::string(buf, 4), "ping");
  fifo.put("12345");
  EXPECT_EQ(in->read(buf, 2, 0, &error), 2);
  EXPECT_EQ(in->read(buf + 2, sizeof buf, 0, &error), 3);
  EXPECT_EQ(std::string(buf, 5), "12345");

  fifo.closeFar();
  EXPECT_EQ(in->read(buf, sizeof buf, 5000, &error), -1);
  EXPECT_EQ(error, ERROR_BROKEN_PIPE);
  error = 0;
  EXPECT_EQ(in->read(buf, sizeof buf, 0, &error), -1);
  EXPECT_EQ(error, ERROR_BROKEN_PIPE) << "and at once for the next read";

  // Writing without a reader fails too, instead of killing the process.
  in->close();
  fifo.openFar(O_RDONLY);
  auto out = open(fifo.path, false, true, &error);
  ASSERT_TRUE(out) << error;
  fifo.closeFar();
  EXPECT_EQ(out->write("x", 1, 1000, &error), -1);
  EXPECT_EQ(error, ERROR_BROKEN_PIPE);
}

// A write larger than the FIFO holds goes on while the reader drains it,
// within its bound takes only what fits, and is ended by a cancel from
// another thread, counting what moved before it.
TEST(FileTransport, FifoWritesGoOnWhileDrainedAndStopAtTheirBoundOrACancel) {
  Fifo fifo;
  fifo.openFar(O_RDONLY);
  ASSERT_GE(fifo.far, 0);
  fcntl(fifo.far, F_SETPIPE_SZ, 4096);
  DWORD error = 0;
  auto out = open(fifo.path, false, true, &error);
  ASSERT_TRUE(out) << error;
  std::vector<char> data(200000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  std::vector<char> got;
  std::thread reader([&] {
    char buf[8192];
    for (int i = 0; i < 20000 && got.size() < data.size(); ++i) {
      ssize_t r = ::read(fifo.far, buf, sizeof buf);
      if (r > 0) got.insert(got.end(), buf, buf + r);
      if (r <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  EXPECT_EQ(out->write(data.data(), data.size(), 30000, &error), static_cast<long>(data.size()));
  reader.join();
  EXPECT_EQ(got, data);

  long taken = out->write(data.data(), data.size(), 30, &error);
  EXPECT_GT(taken, 0);
  EXPECT_LT(taken, static_cast<long>(data.size())) << "the bound passed while the FIFO was full";
  EXPECT_EQ(out->write(data.data(), data.size(), 0, &error), 0) << "no room now";

  char sink[8192];  // room for a part of the next write
  for (int i = 0; i < 100 && ::read(fifo.far, sink, sizeof sink) > 0; ++i) {
  }
  long written = 0;
  interruptBlocked([&] { written = out->write(data.data(), data.size(), INFINITE, &error); },
                   [&] { out->cancel(false); }, [&] { fifo.closeFar(); });
  EXPECT_GT(written, 0) << "what moved before the cancel is counted";
  EXPECT_LT(written, static_cast<long>(data.size()));
}

// A waiting read is ended by cancel or close from another thread; a cancel
// that finds no call waiting ends the next one.
TEST(FileTransport, CancelAndCloseEndWaitingReads) {
  for (bool close : {false, true}) {
    Fifo fifo;
    DWORD error = 0;
    auto in = open(fifo.path, true, true, &error);  // holds a writer: never at its end
    ASSERT_TRUE(in) << error;
    long r = 0;
    char buf[8];
    interruptBlocked([&] { r = in->read(buf, sizeof buf, INFINITE, &error); },
                     [&] { close ? in->close() : in->cancel(true); }, [&] { in->write("x", 1, 0, &error); });
    EXPECT_EQ(r, -1) << close;
    EXPECT_EQ(error, ERROR_OPERATION_ABORTED) << close;
    if (close) {
      EXPECT_EQ(in->read(buf, sizeof buf, 0, &error), -1);
      EXPECT_EQ(error, ERROR_INVALID_HANDLE);
      continue;
    }
    in->cancel(true);
    EXPECT_EQ(in->read(buf, sizeof buf, INFINITE, &error), -1) << "a cancel before the call is kept";
    EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
    ASSERT_EQ(in->write("ok", 2, 1000, &error), 2) << "the other direction was not cancelled";
    ASSERT_EQ(in->read(buf, sizeof buf, 1000, &error), 2) << "and the transport works on";
    EXPECT_EQ(std::string(buf, 2), "ok");
    // A close cancels right after its drain: the chunk the TX thread took still goes out.
    in->cancel(false);
    ASSERT_EQ(in->write("go", 2, 1000, &error), 2) << "a kept cancel leaves what the medium takes at once";
    ASSERT_EQ(in->read(buf, sizeof buf, 1000, &error), 2);
  }
}

// Data racing with cancel and close: every read ends once, with the byte or
// aborted, and close waits for the read that still uses the descriptor.
TEST(FileTransport, DataRacingCancelAndCloseEndsEveryRead) {
  Fifo fifo;
  for (int i = 0; i < 100; ++i) {
    DWORD error = 0;
    auto in = open(fifo.path, true, true, &error);
    ASSERT_TRUE(in);
    fifo.openFar(O_WRONLY);
    long r = 0;
    std::thread reader([&] { r = in->read(std::make_unique<char[]>(4).get(), 4, 5000, &error); });
    std::thread writer([&] {
      // The reader may be closed already; that is not this test's subject.
      sigset_t pipeSet;
      sigemptyset(&pipeSet);
      sigaddset(&pipeSet, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipeSet, nullptr);
      [[maybe_unused]] ssize_t w = ::write(fifo.far, "z", 1);
    });
    if (i % 2 == 0)
      in->cancel(true);
    else
      in->close();
    writer.join();
    reader.join();
    // A read that begins after the close finds no descriptor.
    EXPECT_TRUE(r == 1 || (r == -1 && (error == ERROR_OPERATION_ABORTED || error == ERROR_INVALID_HANDLE)))
        << r << " " << error;
    fifo.closeFar();
  }
}

// A device on a path: a FIFO opened for reading and writing is a loopback
// through the kernel.
class FifoDevice : public CDevice {
public:
  FifoDevice() { constructor(); }
  ~FifoDevice() override { destroyer(); }
  zorType Type() const override { return ZOR_NULL; }
  bool OpenDevice(const std::string& path, int flags, unsigned long* error) {
    return openDevice(path.c_str(), nullptr, flags, 8192, 8192, error);
  }
  using CDevice::InputHandle;
  using CDevice::OutputHandle;

protected:
  int GetIOSize(int) const override { return 1024; }
};

// Idle reads time out and are restarted; a block then goes out and comes
// back whole, and the close ends the read waiting at that time. A missing
// path fails the open with the system's error. No handle is offered for the
// open channel.
TEST(Fifo, BytesComeBackAfterIdleReadsAndCloseLeavesNothingBehind) {
  TestEnv env;
  SettingsScope settings;
  settings->m_ioTimeout = 30;
  settings->m_ioWriteTimeout = 2000;
  const std::string path = env.path("line");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  std::thread([] {}).join();  // a sanitizer's runtime starts a thread of its own with the first one
  int fds = fdCount(), threads = threadCount();
  for (int flags : {3, 0}) {
    LogRecorder rec;
    FifoDevice dev;
    rec.attach(dev);
    unsigned long error = 0;
    ASSERT_TRUE(dev.OpenDevice(path, flags, &error)) << "error " << error;
    // No system handle stands behind the open channel for a subclass to
    // misuse, yet an open channel still answers no INVALID_HANDLE_VALUE.
    EXPECT_EQ(dev.InputHandle(), nullptr);
    EXPECT_EQ(dev.OutputHandle(), nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // several I/O time-outs pass
    std::vector<unsigned char> block(5000);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 13 + flags);
    ASSERT_TRUE(dev.WriteBuffer(block.data(), block.size()));
    EXPECT_EQ(readBytes(dev, block.size(), 5000), block) << flags;
    EXPECT_EQ(rec.countEvent(IDS_PANIC), 0u);
    EXPECT_TRUE(dev.CloseDevice());
    EXPECT_FALSE(dev.IsDeviceOpen());
    EXPECT_EQ(dev.InputHandle(), INVALID_HANDLE_VALUE);
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
