#include <zor/comm.h>
#include <zor/devrfc2217.h>
#include <zor/strings.h>

#include "utils/circbuff.h"
#include "zor/platform/platform.h"
#include "zor/remote/rfc2217.h"
#include "zor/remote/rfc2217_link.h"

#include <zor/app.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <utility>

namespace zor {

using namespace comport;

struct ZOR_LOCAL CDevRfc2217::Private {
  std::string host;
  unsigned short port = 0;
  // The line the next open sends.
  std::atomic<bool> hwHandshake{false};
  std::atomic<unsigned long> baudRate{9600};
  std::atomic<char> parity{'N'};
  std::atomic<unsigned char> dataBits{8};
  std::atomic<unsigned char> stopBits{1};
  // Replaced by an open and taken by a close while the application's thread
  // may use it for a line control call: each user holds it for its call.
  std::mutex linkMutex;
  std::shared_ptr<CRfc2217Link> link;
  std::shared_ptr<CRfc2217Link> current() {
    std::lock_guard lock(linkMutex);
    return link;
  }
  void setLink(std::shared_ptr<CRfc2217Link> l) {
    std::shared_ptr<CRfc2217Link> old;
    {
      std::lock_guard lock(linkMutex);
      old = std::exchange(link, std::move(l));
    }
    // Closed here, outside the lock: its thread may be waiting to deliver.
    old.reset();
  }
  // Filled on the link's thread, emptied on the device's read thread, under its mutex.
  CircBuff<unsigned char> ring;
  std::atomic<bool> closing{false};
  std::mutex drainMutex;
  std::condition_variable drained;
  unsigned long drains = 0;  // under drainMutex

  // TCP has flow control of its own: rather than overrun the ring, the link's
  // thread waits for the read thread to make room, and the server's sends wait
  // in turn. A receive larger than the ring goes in a piece at a time, the
  // reader woken for each. False when the device closed meanwhile.
  bool queue(const std::uint8_t* data, std::size_t size, const std::function<void()>& wake) {
    while (size > 0) {
      unsigned long seen;
      {
        std::lock_guard lock(drainMutex);
        seen = drains;
      }
      {
        CSingleLock lock(ring.mutex(), true);
        // A ring of capacity C holds C - 1 bytes.
        const auto room = static_cast<std::size_t>(std::max(ring.freeSpace() - 1, 0));
        if (room > 0) {
          const std::size_t n = std::min(room, size);
          ring.put(data, static_cast<int>(n));
          data += n;
          size -= n;
          lock.Unlock();
          wake();
          continue;
        }
      }
      std::unique_lock lock(drainMutex);
      if (closing) return false;
      drained.wait_for(lock, std::chrono::milliseconds(100), [&] { return drains != seen || closing; });
    }
    return true;
  }

  // Sends a command and true when the answer carries the value asked.
  bool ask(std::uint8_t command, const telnet::Bytes& value, telnet::Bytes* answer = nullptr) {
    auto l = current();
    telnet::Bytes got;
    if (l == nullptr || !l->request(command, value, &got, ANSWER_MS)) return false;
    if (answer != nullptr) *answer = got;
    return got == value;
  }
};

namespace {

std::uint8_t parityCode(char letter) {
  switch (letter) {
    case 'O':
    case 'o':
      return PARITY_ODD;
    case 'E':
    case 'e':
      return PARITY_EVEN;
    case 'M':
    case 'm':
      return PARITY_MARK;
    case 'S':
    case 's':
      return PARITY_SPACE;
    default:
      return PARITY_NONE;
  }
}

telnet::Bytes rateBytes(unsigned long rate) {
  const auto r = static_cast<std::uint32_t>(rate);
  return {static_cast<std::uint8_t>(r >> 24), static_cast<std::uint8_t>(r >> 16),
          static_cast<std::uint8_t>(r >> 8), static_cast<std::uint8_t>(r)};
}

}  // namespace

CDevRfc2217::CDevRfc2217(const char* host, unsigned short port) : p(std::make_unique<Private>()) {
  SetAddress(host, port);
  p->ring.create(4096, false);
  SetWakesReceiver(true);  // the link's data wakes it
  constructor();
}

CDevRfc2217::~CDevRfc2217() {
  destroyer();
  p->closing = true;
  p->setLink(nullptr);
}

void CDevRfc2217::SetAddress(const char* host, unsigned short port) {
  p->host = host != nullptr ? host : "";
  p->port = port;
}

void CDevRfc2217::DeviceProgram(bool hwHandshake, unsigned long baudRate, unsigned char parity,
                                unsigned char dataBits, unsigned char stopBits) {
  p->hwHandshake = hwHandshake;
  p->baudRate = baudRate;
  p->parity = static_cast<char>(parity);
  p->dataBits = dataBits;
  p->stopBits = stopBits;
}

bool CDevRfc2217::OpenDevice(int, int rxSize, int txSize) {
  if (p->host.empty() || p->port == 0 || IsDeviceOpen()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  unsigned long error = 0;
  bool ok = openDevice("RFC2217", nullptr, 0, rxSize, txSize, &error);
  if (!ok && error != 0) SetLastError(static_cast<DWORD>(error));
  return ok;
}

bool CDevRfc2217::openDevice(const char*, const char*, int overlapFlags, int rxSize, int txSize,
                             unsigned long* lastError) {
  if (IsDeviceOpen()) return false;
  p->setLink(nullptr);
  p->closing = false;
  const std::string where = p->host + ":" + std::to_string(p->port);
  std::shared_ptr<CRfc2217Link> link(new (std::nothrow) CRfc2217Link(
      [this](const std::uint8_t* data, std::size_t size) {
        p->queue(data, size, [this] { WakeReceiver(); });
      },
      [this] { WakeReceiver(); },
      [where](const std::string& line) {
        if (theApp.m_showMonitor) OutputDebugStringA(("zor rfc2217 " + where + ": " + line).c_str());
      }));
  if (!link) return false;
  SetChannelOwner();
  {
    CSingleLock lock(p->ring.mutex(), true);
    p->ring.clear();
  }
  DWORD error = ERROR_SUCCESS;
  if (!link->open(p->host, p->port, static_cast<unsigned long>(theApp.m_connectionTimeout), NEGOTIATE_MS,
                  &error)) {
    if (error == ERROR_NOT_SUPPORTED)
      OutputDebugStringA(("zor: " + where +
                          " does not serve a network serial port (no COM-PORT-OPTION within " +
                          std::to_string(NEGOTIATE_MS / 1000) + " s)")
                             .c_str());
    if (lastError != nullptr) *lastError = error;
    p->closing = true;
    return false;
  }
  // The programmed line; a server that refuses a value keeps its own, which its answer tells.
  const std::uint8_t stop = p->stopBits == 2 ? STOP_TWO : STOP_ONE;
  CRfc2217Link& l = *link;
  const bool answered =
      l.request(SET_BAUDRATE, rateBytes(p->baudRate), nullptr, ANSWER_MS) &&
      l.request(SET_DATASIZE, {p->dataBits}, nullptr, ANSWER_MS) &&
      l.request(SET_PARITY, {parityCode(p->parity)}, nullptr, ANSWER_MS) &&
      l.request(SET_STOPSIZE, {stop}, nullptr, ANSWER_MS) &&
      l.request(SET_CONTROL, {p->hwHandshake ? FLOW_HARDWARE : FLOW_NONE}, nullptr, ANSWER_MS);
  if (!answered) {
    if (lastError != nullptr) *lastError = ERROR_TIMEOUT;
    p->closing = true;
    return false;
  }
  p->setLink(std::move(link));
  if (!CDevice::openDevice("RFC2217", nullptr, overlapFlags, rxSize, txSize, lastError)) {
    p->closing = true;
    p->setLink(nullptr);
    return false;
  }
  return true;
}

bool CDevRfc2217::close_device() {
  {
    std::lock_guard lock(p->drainMutex);
    p->closing = true;
  }
  p->drained.notify_all();
  p->setLink(nullptr);
  return true;
}

bool CDevRfc2217::on_io_error(unsigned long error, int) {
  return error == ERROR_BROKEN_PIPE || error == WSAENOTSOCK ||
         (error >= WSAEADDRINUSE && error <= WSAESHUTDOWN) || error == WSAEHOSTDOWN ||
         error == WSAEHOSTUNREACH;
}

int CDevRfc2217::hook_readFile(void*, void* buffer, unsigned long toRead, unsigned long* done, OVERLAPPED*) {
  if (toRead == 0) return FALSE;
  int n;
  {
    CSingleLock lock(p->ring.mutex(), true);
    if (!p->ring.notEmpty()) {
      // The server's last bytes are read before its leaving is told.
      auto l = p->current();
      if (l != nullptr && l->lost()) SetLastError(WSAECONNRESET);
      return FALSE;
    }
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

int CDevRfc2217::hook_writeFile(void*, const void* data, unsigned long toWrite, unsigned long* written,
                                OVERLAPPED*) {
  auto l = p->current();
  DWORD error = ERROR_INVALID_HANDLE;
  if (l == nullptr || !l->send(data, toWrite, &error)) {
    SetLastError(error);
    return FALSE;
  }
  *written = toWrite;
  return TRUE;
}

bool CDevRfc2217::ChangeSpeed(unsigned long baudRate) {
  if (!IsDeviceOpen() || baudRate == 0 || baudRate > 0xFFFFFFFFul) return false;
  if (!p->ask(SET_BAUDRATE, rateBytes(baudRate))) return false;
  p->baudRate = baudRate;
  return true;
}

void CDevRfc2217::GetLine(bool* hwHandshake, unsigned long* baudRate, unsigned char* parity,
                          unsigned char* dataBits, unsigned char* stopBits) const {
  if (hwHandshake != nullptr) *hwHandshake = p->hwHandshake;
  if (baudRate != nullptr) *baudRate = p->baudRate;
  if (parity != nullptr) *parity = static_cast<unsigned char>(p->parity.load());
  if (dataBits != nullptr) *dataBits = p->dataBits;
  if (stopBits != nullptr) *stopBits = p->stopBits;
}

bool CDevRfc2217::ChangeFrame(unsigned char parity, unsigned char dataBits, unsigned char stopBits) {
  if (!IsDeviceOpen()) return false;
  // Each value is kept as soon as the server takes it: a refusal of a later
  // one leaves the line as the server then has it.
  if (!p->ask(SET_DATASIZE, {dataBits})) return false;
  p->dataBits = dataBits;
  if (!p->ask(SET_PARITY, {parityCode(static_cast<char>(parity))})) return false;
  p->parity = static_cast<char>(parity);
  if (!p->ask(SET_STOPSIZE, {stopBits == 2 ? STOP_TWO : STOP_ONE})) return false;
  p->stopBits = stopBits;
  return true;
}

bool CDevRfc2217::EnableHwHandshake(bool on) {
  if (!IsDeviceOpen() || !p->ask(SET_CONTROL, {on ? FLOW_HARDWARE : FLOW_NONE})) return false;
  p->hwHandshake = on;
  return true;
}

bool CDevRfc2217::SetRts(bool on) { return IsDeviceOpen() && p->ask(SET_CONTROL, {on ? RTS_ON : RTS_OFF}); }

bool CDevRfc2217::SetDtr(bool on) { return IsDeviceOpen() && p->ask(SET_CONTROL, {on ? DTR_ON : DTR_OFF}); }

bool CDevRfc2217::SetBreak(bool on) {
  return IsDeviceOpen() && p->ask(SET_CONTROL, {on ? BREAK_ON : BREAK_OFF});
}

bool CDevRfc2217::PurgeComm(unsigned long flags) {
  const bool rx = (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
  const bool tx = (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
  if (!IsDeviceOpen()) return false;
  if (!rx && !tx) return true;
  const std::uint8_t what = rx && tx ? PURGE_BOTH : rx ? PURGE_RX : PURGE_TX;
  if (!p->ask(PURGE_DATA, {what})) return false;
  if (rx) {
    CSingleLock lock(p->ring.mutex(), true);
    p->ring.clear();
  }
  return true;
}

bool CDevRfc2217::GetCommModemStatus(unsigned long* modemStatus) {
  auto l = IsDeviceOpen() ? p->current() : nullptr;
  if (l == nullptr) return false;
  std::uint8_t state = 0;
  if (!l->modemState(&state)) {
    telnet::Bytes answer;
    if (!l->request(NOTIFY_MODEMSTATE, {}, &answer, ANSWER_MS) || answer.empty()) return false;
    state = answer[0];
  }
  // The report's line bits are MS_CTS_ON, MS_DSR_ON, MS_RING_ON and MS_RLSD_ON.
  if (modemStatus != nullptr) *modemStatus = state & 0xF0u;
  return true;
}

}  // namespace zor
