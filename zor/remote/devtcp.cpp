#include <zor/app.h>
#include <zor/devtcp.h>
#include <zor/strings.h>

#include "utils/circbuff.h"
#include "zor/core/hook_transport.h"
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
  // The server's connection back, read by the device's RX thread itself (at
  // granularity 0; null otherwise); set while the worker threads are down.
  std::shared_ptr<TcpTransport> link;
  // Bytes given to onRead (by the channel's thread above granularity 0), handed out before the connection's.
  // Filled on the caller's thread, emptied on the device's read thread; both sides take its mutex, so neither
  // ever sees half-moved positions or bytes.
  CircBuff<unsigned char> ring;
  // Lets an onRead caller (the channel's thread) that waits for room in the ring give up.
  std::atomic<bool> closing{false};
  std::mutex drainMutex;
  std::condition_variable drained;
  unsigned long drains = 0;  // under drainMutex

  // Withdraws the connection from the RX thread's wait and closes the channel.
  void release(CDevice* device);
};

CDevTcp::CDevTcp(const char* host) : p(std::make_unique<Private>()) {
  if (host != nullptr) SetHostName(host);
  p->ring.create(4096, false);
  SetWakesReceiver(true);  // onRead wakes it (the connection's descriptor does at granularity 0)
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
  // At granularity 0 the RX thread reads the server's connection itself,
  // waiting on its descriptor. Otherwise its passes keep their pace: the
  // channel's thread queues what comes and wakes it, so that an idle link
  // costs no passes at all.
  const bool direct = theApp.m_threadGranularity == 0;
  p->pipe->setOwnerReads(direct);
  CTcpPipe::ReadHandler queue;
  if (!direct)
    queue = [this](const void* data, unsigned long size) {
      onRead(static_cast<const unsigned char*>(data), size);
    };
  p->pipe->setHandlers(std::move(queue), nullptr, [this](const std::string& who) {
    log(LOG_EVENT, nullptr, IDS_STRANGER_REFUSED);
    OutputDebugStringA(("zor: call back from " + who + " refused: not the server").c_str());
  });
  SetChannelOwner();
  {
    CSingleLock lock(p->ring.mutex(), true);
    p->ring.clear();
  }
  // A failed open releases the channel (and the call-back port) at once.
  bool linked = p->pipe->connect(p->host.c_str(), TCP_PORT);
  if (linked && direct) {
    p->link = p->pipe->receiving();
    linked = p->link != nullptr;
  }
  if (p->link) setHookReadableDescriptor(this, p->link->readableDescriptor());
  if (!linked || !CDevice::openDevice("TCP", nullptr, overlapFlags, rxSize, txSize, lastError)) {
    p->release(this);
    return false;
  }
  return true;
}

void CDevTcp::Private::release(CDevice* device) {
  setHookReadableDescriptor(device, -1);
  link.reset();
  {
    std::lock_guard lock(drainMutex);
    closing = true;
  }
  drained.notify_all();
  pipe.reset();
}

bool CDevTcp::close_device() {
  p->release(this);
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
  int n = 0;
  {
    CSingleLock lock(p->ring.mutex(), true);
    if (p->ring.notEmpty()) n = p->ring.get(static_cast<unsigned char*>(buffer), static_cast<int>(toRead));
  }
  if (n > 0) {
    {
      std::lock_guard lock(p->drainMutex);
      ++p->drains;
    }
    p->drained.notify_all();
    *done = static_cast<unsigned long>(n);
    return TRUE;
  }
  // The connection itself, taking what is there: its descriptor is the idle
  // receiver's wait, and what the ring has no room for waits in the socket,
  // whose flow control holds the server back.
  if (!p->link) return FALSE;
  DWORD error = ERROR_SUCCESS;
  const long got = p->link->read(buffer, toRead, 0, &error);
  if (got >= 0 || error == ERROR_OPERATION_ABORTED) {
    *done = got > 0 ? static_cast<unsigned long>(got) : 0;
    return TRUE;
  }
  // The device judges the socket codes: the server gone, or the connection closed.
  SetLastError(error == ERROR_BROKEN_PIPE      ? WSAECONNRESET
               : error == ERROR_INVALID_HANDLE ? WSAESHUTDOWN
                                               : error);
  return FALSE;
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
