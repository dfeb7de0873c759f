#include <zor/devtcp.h>
#include <zor/strings.h>

#include "utils/circbuff.h"
#include "zor/platform/platform.h"
#include "zor/remote/tcppipe.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>

namespace zor {

struct ZOR_LOCAL CDevTcp::Private {
  std::string host;
  std::unique_ptr<CTcpPipe> pipe;
  // Filled on the channel's thread, emptied on the device's read thread; both
  // sides take its mutex, so neither ever sees half-moved positions or bytes.
  CircBuff<unsigned char> ring;
  // Lets a channel thread that waits for room in the ring give up.
  std::atomic<bool> closing{false};
  std::mutex drainMutex;
  std::condition_variable drained;
  unsigned long drains = 0;  // under drainMutex
};

CDevTcp::CDevTcp(const char* host) : p(std::make_unique<Private>()) {
  if (host != nullptr) SetHostName(host);
  p->ring.create(4096, false);
  SetWakesReceiver(true);  // onRead wakes it
  constructor();
}

CDevTcp::~CDevTcp() {
  // Closing first lets the transmit ring drain over the channel before it goes.
  destroyer();
  p->closing = true;
  p->pipe.reset();
}

void CDevTcp::SetHostName(const char* host) { p->host = host != nullptr ? host : ""; }

bool CDevTcp::OpenDevice(int, int rxBufferSize, int txBufferSize) {
  if (p->host.empty() || IsDeviceOpen()) return false;
  unsigned long error = 0;
  return openDevice("TCP", nullptr, 0, rxBufferSize, txBufferSize, &error);
}

bool CDevTcp::openDevice(const char*, const char*, int overlapFlags, int rxSize, int txSize,
                         unsigned long* lastError) {
  if (IsDeviceOpen()) return false;
  p->pipe.reset();
  p->closing = false;
  p->pipe.reset(new (std::nothrow) CTcpPipe(1024));
  if (!p->pipe) return false;
  p->pipe->setHandlers(
      [this](const void* data, unsigned long size) { onRead(static_cast<const unsigned char*>(data), size); },
      nullptr,
      [this](const std::string& who) {
        log(LOG_EVENT, nullptr, IDS_STRANGER_REFUSED);
        OutputDebugStringA(("zor: call back from " + who + " refused: not the server").c_str());
      });
  SetChannelOwner();
  {
    CSingleLock lock(p->ring.mutex(), true);
    p->ring.clear();
  }
  // A failed open releases the channel (and the call-back port) at once.
  if (!p->pipe->connect(p->host.c_str(), TCP_PORT) ||
      !CDevice::openDevice("TCP", nullptr, overlapFlags, rxSize, txSize, lastError)) {
    p->closing = true;
    p->pipe.reset();
    return false;
  }
  return true;
}

bool CDevTcp::close_device() {
  {
    std::lock_guard lock(p->drainMutex);
    p->closing = true;
  }
  p->drained.notify_all();
  p->pipe.reset();
  return true;
}

bool CDevTcp::on_io_error(unsigned long error, int) {
  return error == WSAENOTSOCK || (error >= WSAEADDRINUSE && error <= WSAESHUTDOWN) || error == WSAEHOSTDOWN ||
         error == WSAEHOSTUNREACH;
}

void CDevTcp::onRead(const unsigned char* data, unsigned long size) {
  if (size == 0) return;
  // TCP has flow control of its own: rather than overrun the ring, the channel
  // waits for the read thread to make room, and the server's sends wait in turn.
  unsigned long seen;
  for (;;) {
    {
      std::lock_guard lock(p->drainMutex);
      seen = p->drains;
    }
    {
      CSingleLock lock(p->ring.mutex(), true);
      if (size >= static_cast<unsigned long>(p->ring.capacity()) ||
          static_cast<unsigned long>(p->ring.freeSpace()) > size) {
        p->ring.put(data, static_cast<int>(size));
        break;
      }
    }
    std::unique_lock lock(p->drainMutex);
    if (p->closing) return;
    p->drained.wait_for(lock, std::chrono::milliseconds(100),
                        [&] { return p->drains != seen || p->closing; });
  }
  WakeReceiver();
}

int CDevTcp::hook_readFile(void*, void* buffer, unsigned long toRead, unsigned long* done, OVERLAPPED*) {
  if (toRead == 0) return FALSE;
  int n;
  {
    CSingleLock lock(p->ring.mutex(), true);
    if (!p->ring.notEmpty()) return FALSE;
    n = p->ring.get(static_cast<unsigned char*>(buffer), static_cast<int>(toRead));
  }
  {
    std::lock_guard lock(p->drainMutex);
    ++p->drains;
  }
  p->drained.notify_all();
  *done = static_cast<unsigned long>(n);
  return TRUE;
}

int CDevTcp::hook_writeFile(void*, const void* data, unsigned long toWrite, unsigned long* written,
                            OVERLAPPED*) {
  CTcpPipe* pipe = p->pipe.get();
  if (pipe == nullptr) return FALSE;
  if (!pipe->write(data, toWrite)) return FALSE;
  *written = toWrite;
  return TRUE;
}

}  // namespace zor
