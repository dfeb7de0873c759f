// CPtyBridge: one thread moves the bytes between a pseudo-terminal and a
// device. It sleeps in one wait on the pty's descriptor, the device's
// data-ready event and its own stop event, so an idle bridge costs nothing.
#include <zor/ptybridge.h>

#include "zor/platform/platform.h"
#include "zor/platform/pty.h"
#include "zor/remote/pty_line_control.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace zor {
namespace {

constexpr std::size_t kChunk = 4096;
// Longest wait while the device is closed (a panic until its resume): the
// client meanwhile sees a quiet port, not a hang-up.
constexpr DWORD kClosedSliceMs = 100;
// The wait for room in a full transmit ring, which signals no event.
constexpr DWORD kRoomSliceMs = 5;
// A bound on every other wait: a lost wake-up costs time, never a hang.
constexpr DWORD kSafetySliceMs = 1000;

// Bytes taken from one side and not yet all given to the other.
struct Pending {
  std::vector<unsigned char> bytes = std::vector<unsigned char>(kChunk);
  std::size_t begin = 0, end = 0;
  bool empty() const { return begin == end; }
  unsigned char* rest() { return bytes.data() + begin; }
  std::size_t left() const { return end - begin; }
};

}  // namespace

struct CPtyBridge::Private {
  mutable std::mutex mutex;  // Start, Stop and the texts
  CDevice* device = nullptr;
  std::unique_ptr<PseudoTerminal> pty;
  PtyLink link;
  std::string slavePath, linkPath, error;
  HANDLE stop = nullptr;
  HANDLE writable = nullptr;
  std::thread thread;
  // The line: what the pty last said, and the parity kept for none or even.
  bool servesLine = false;
  PtyLine lastLine;
  char noneOrEven = 'N';

  bool stopped() const { return WaitForSingleObject(stop, 0) == WAIT_OBJECT_0; }
  void lookAtLine();
  void run();
  void release();
};

void CPtyBridge::Private::lookAtLine() {
  PtyLine now;
  if (!servesLine || !pty->lineSettings(now) || now == lastLine) return;
  // Kept even when the device refuses: asked again only when the client changes it.
  lastLine = now;
  applyPtyLine(*device, now, noneOrEven);
}

void CPtyBridge::Private::run() {
  Pending toClient, toDevice;
  bool emptyWake = false, ptyFailed = false;
  for (;;) {
    if (stopped()) return;
    CDevice& dev = *device;
    // Noted before the look at the room, so that a take in between ends the wait.
    const unsigned long long taken = dev.TxTakenCount();
    const bool open = dev.IsDeviceOpen();
    bool moved = false;
    DWORD error = 0;

    // The device's bytes, only as fast as the client reads them.
    if (toClient.empty() && open) {
      toClient.begin = 0;
      toClient.end = dev.ReadBuffer(toClient.bytes.data(), kChunk);
      if (emptyWake && toClient.end == 0) Sleep(1);  // signalled yet empty: let the device catch up
    }
    emptyWake = false;
    if (!toClient.empty()) {
      const long n = pty->write(toClient.rest(), toClient.left(), &error);
      if (n > 0) {
        toClient.begin += static_cast<std::size_t>(n);
        moved = true;
      }
    }

    // The client's bytes, only as fast as the device takes them; its line
    // settings go first, so that its bytes leave at the rate it asked for.
    if (toDevice.empty()) {
      bool lineChanged = false;
      const long n = pty->read(toDevice.bytes.data(), kChunk, &lineChanged, &error);
      ptyFailed = n < 0;
      toDevice.begin = 0;
      toDevice.end = n > 0 ? static_cast<std::size_t>(n) : 0;
      if (lineChanged || n > 0) lookAtLine();
    }
    if (!toDevice.empty() && open) {
      const std::size_t fits = std::min<std::size_t>(toDevice.left(), dev.GetMaxTransferSize());
      if (fits > 0 && dev.WriteBuffer(toDevice.rest(), static_cast<unsigned long>(fits))) {
        toDevice.begin += fits;
        moved = true;
      }
    }
    if (moved) continue;

    HANDLE ready = open ? dev.DataReadyEvent() : nullptr;
    HANDLE events[3] = {stop};
    DWORD count = 1;
    if (!toClient.empty()) {
      // Cleared before the watch is armed: room that is already there sets it again at once.
      ResetEvent(writable);
      if (pty->signalWhenWritable(writable)) events[count++] = writable;
    } else if (ready != nullptr) {
      events[count++] = ready;
    }
    DWORD slice = ready == nullptr ? kClosedSliceMs : kSafetySliceMs;
    if ((open && !toDevice.empty()) || (!toClient.empty() && count == 1)) slice = kRoomSliceMs;
    DWORD r;
    if (ptyFailed) {
      // A master that fails stays readable: looked at again after a pause, not in a spin.
      r = WaitForMultipleObjects(count, events, FALSE, kClosedSliceMs);
    } else if (toDevice.empty()) {
      r = WaitForMultipleObjectsOrReadable(count, events, pty->readableDescriptor(), slice);
    } else if (open && count == 1) {
      // Only the device's room is awaited.
      dev.WaitTxTaken(taken, slice);
      r = WAIT_TIMEOUT;
    } else {
      r = WaitForMultipleObjects(count, events, FALSE, slice);
    }
    if (r == WAIT_OBJECT_0) return;
    if (r == WAIT_FAILED) {
      Sleep(1);  // the device closed between the look and the wait
    } else if (r > WAIT_OBJECT_0 && r < WAIT_OBJECT_0 + count && events[r - WAIT_OBJECT_0] == ready) {
      emptyWake = true;
    }
  }
}

void CPtyBridge::Private::release() {
  link.release();
  pty.reset();
  for (HANDLE* h : {&stop, &writable}) {
    if (*h != nullptr) CloseHandle(*h);
    *h = nullptr;
  }
  device = nullptr;
  slavePath.clear();
  linkPath.clear();
}

CPtyBridge::CPtyBridge() : p(std::make_unique<Private>()) {}

CPtyBridge::~CPtyBridge() { Stop(); }

bool CPtyBridge::Start(CDevice& device, const char* linkPath) {
  try {
    std::lock_guard lock(p->mutex);
    auto refuse = [&](std::string why) {
      p->release();
      p->error = std::move(why);
      return false;
    };
    if (p->thread.joinable()) {
      p->error = "a bridge already runs";
      return false;
    }
    if (!device.IsDeviceOpen()) return refuse("the device is not open");
    std::string problem;
    p->pty = PseudoTerminal::open(&problem);
    if (!p->pty) return refuse("cannot make a pseudo-terminal: " + problem);
    p->device = &device;
    p->slavePath = p->pty->slavePath();
    p->servesLine = servedPtyLine(device, p->lastLine, p->noneOrEven);
    // The client finds the served line's settings; what the pty made of them is the start.
    if (p->servesLine && p->pty->setLineSettings(p->lastLine)) p->pty->lineSettings(p->lastLine);
    if (linkPath != nullptr && *linkPath != '\0') {
      if (!p->link.claim(linkPath, p->slavePath, &problem))
        return refuse(std::string(linkPath) + " " + problem);
      p->linkPath = linkPath;
    }
    p->stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    p->writable = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (p->stop == nullptr || p->writable == nullptr) return refuse("cannot make the bridge's events");
    p->thread = std::thread([this] { p->run(); });
    p->error.clear();
    return true;
  } catch (const std::exception& e) {
    std::lock_guard lock(p->mutex);
    p->release();
    p->error = std::string("cannot start the bridge: ") + e.what();
    return false;
  }
}

void CPtyBridge::Stop() {
  std::lock_guard lock(p->mutex);
  if (!p->thread.joinable()) return;
  SetEvent(p->stop);
  p->thread.join();
  p->release();
}

bool CPtyBridge::IsRunning() const {
  std::lock_guard lock(p->mutex);
  return p->thread.joinable();
}

std::string CPtyBridge::SlavePath() const {
  std::lock_guard lock(p->mutex);
  return p->slavePath;
}

std::string CPtyBridge::LinkPath() const {
  std::lock_guard lock(p->mutex);
  return p->linkPath;
}

std::string CPtyBridge::ErrorText() const {
  std::lock_guard lock(p->mutex);
  return p->error;
}

}  // namespace zor
