// One opened device under Python: calls hold it open, a close waits for them
// and wakes them first, and every wait runs without the GIL in slices short
// enough for Ctrl-C.
#include "device.h"

#include "errors.h"

#include <zor/monitor.h>
#include <zor/platform.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

namespace zorpy {
namespace {

using namespace std::chrono_literals;

// Python's signal handlers run only when the interpreter gets the GIL back.
constexpr auto kSignalSlice = 50ms;
constexpr std::size_t kReadChunk = 65536;

std::mutex g_settingsLock;
std::atomic<int> g_live{0};

std::string bytesOf(const py::buffer& data, const char* call) {
  py::buffer_info info = data.request();
  if (info.ndim > 1 && !PyBuffer_IsContiguous(info.view(), 'C'))
    raise(PyExc_ValueError, std::string(call) + ": the data must be contiguous bytes");
  return std::string(static_cast<const char*>(info.ptr), static_cast<std::size_t>(info.size * info.itemsize));
}

}  // namespace

std::mutex& settingsLock() { return g_settingsLock; }
int liveDevices() { return g_live.load(); }
void countDevice() { ++g_live; }

void Release::operator()(zor::CDevice* dev) const {
  delete dev;
  --g_live;
}

Device::Device(DevicePtr dev, const OpenOptions& options, std::string name)
    : m_dev(std::move(dev)),
      m_txChunk(static_cast<std::size_t>(std::max(1, options.txSize / 2))),
      m_type(m_dev->Type()),
      m_name(std::move(name)),
      m_wake(zor::CreateEventA(nullptr, zor::TRUE, zor::FALSE, nullptr)),
      m_timeout(options.timeout) {}

Device::~Device() {
  {
    py::gil_scoped_release nogil;
    m_dev.reset();
  }
  if (m_wake != nullptr) zor::CloseHandle(m_wake);
}

Device::Use::Use(Device& device) : m_device(device) {
  std::lock_guard lock(device.m_life);
  if (device.m_closing || !device.m_dev) raise(PyExc_ValueError, "I/O operation on a closed device");
  ++device.m_users;
}

Device::Use::~Use() {
  std::lock_guard lock(m_device.m_life);
  if (--m_device.m_users == 0) m_device.m_idle.notify_all();
}

void Device::close() {
  DevicePtr dev;
  py::gil_scoped_release nogil;
  std::unique_lock lock(m_life);
  if (!m_dev) return;
  m_closing = true;
  if (m_wake != nullptr) zor::SetEvent(m_wake);
  m_idle.wait(lock, [this] { return m_users == 0; });
  dev = std::move(m_dev);
  lock.unlock();
  dev.reset();  // stops the worker threads, without the GIL
  onClosed();
}

bool Device::isOpen() const {
  std::lock_guard lock(m_life);
  return m_dev != nullptr && !m_closing;
}

std::string Device::describe() const { return m_name + (isOpen() ? "" : ", closed"); }

Device::Deadline Device::deadlineOf(const py::object& timeout, const char* call) const {
  std::optional<double> seconds = m_timeout;
  if (!timeout.is_none()) {
    if (!PyNumber_Check(timeout.ptr()) || PyBool_Check(timeout.ptr()))
      raise(PyExc_TypeError, std::string(call) + ": timeout must be a number of seconds or None");
    seconds = timeout.cast<double>();
  }
  if (!seconds) return std::nullopt;
  if (std::isnan(*seconds) || *seconds < 0)
    raise(PyExc_ValueError, std::string(call) + ": timeout must not be negative");
  // A week stands for "no deadline" beyond what the clock can add.
  const double capped = std::min(*seconds, 7 * 86400.0);
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(capped));
}

template <class Ready>
Device::Stop Device::waitFor(Use& use, const Deadline& deadline, Ready ready) {
  for (;;) {
    bool sliceOver = false;
    Stop stop = Stop::Done;
    {
      py::gil_scoped_release nogil;
      const auto sliceEnd = Clock::now() + kSignalSlice;
      for (;;) {
        if (ready()) break;
        {
          std::lock_guard lock(m_life);
          if (m_closing) {
            stop = Stop::Closed;
            break;
          }
        }
        const auto now = Clock::now();
        if (deadline && now >= *deadline) {
          stop = Stop::Deadline;
          break;
        }
        if (now >= sliceEnd) {
          sliceOver = true;
          break;
        }
        auto until = deadline ? std::min(sliceEnd, *deadline) : sliceEnd;
        auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
        const auto wait = static_cast<zor::DWORD>(std::max<long long>(1, ms));
        zor::HANDLE handles[2] = {m_wake, use->DataReadyEvent()};
        // A device closed by its own panic has no event for a while: the slice bounds that.
        if (handles[1] == nullptr ||
            zor::WaitForMultipleObjects(2, handles, zor::FALSE, wait) == zor::WAIT_FAILED)
          zor::WaitForSingleObject(m_wake, wait);
      }
    }
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (!sliceOver) return stop;
  }
}

void Device::pull(zor::CDevice* dev, std::size_t max) {
  std::lock_guard lock(m_pendingLock);
  while (max > 0) {
    const std::size_t old = m_pending.size();
    const std::size_t want = std::min(max, kReadChunk);
    m_pending.resize(old + want);
    auto n = dev->ReadBuffer(reinterpret_cast<unsigned char*>(m_pending.data() + old), want);
    m_pending.resize(old + n);
    if (n < want) return;
    max -= n;
  }
}

std::size_t Device::pendingSize() {
  std::lock_guard lock(m_pendingLock);
  return m_pending.size();
}

std::string Device::take(std::size_t n) {
  std::lock_guard lock(m_pendingLock);
  n = std::min(n, m_pending.size());
  std::string out = m_pending.substr(0, n);
  m_pending.erase(0, n);
  return out;
}

py::bytes Device::read(py::ssize_t size, const py::object& timeout) {
  if (size < 0) raise(PyExc_ValueError, "read: size must not be negative");
  Use use(*this);
  const Deadline deadline = deadlineOf(timeout, "read");
  const auto want = static_cast<std::size_t>(size);
  waitFor(use, deadline, [&] {
    const std::size_t have = pendingSize();
    if (have < want) pull(use.get(), want - have);
    return pendingSize() >= want;
  });
  std::string got = take(want);
  return py::bytes(got);
}

std::optional<std::string> Device::until(Use& use, const std::string& expected, std::size_t limit,
                                         const Deadline& deadline, Stop* stop) {
  std::size_t found = std::string::npos;
  std::size_t searched = 0;
  *stop = waitFor(use, deadline, [&] {
    pull(use.get(), limit == std::string::npos ? kReadChunk : limit - std::min(limit, pendingSize()));
    std::lock_guard lock(m_pendingLock);
    const std::size_t from = searched >= expected.size() ? searched - expected.size() + 1 : 0;
    found = m_pending.find(expected, from);
    searched = m_pending.size();
    return found != std::string::npos || m_pending.size() >= limit;
  });
  if (found != std::string::npos && found + expected.size() <= limit) return take(found + expected.size());
  if (limit != std::string::npos && pendingSize() >= limit) return take(limit);
  return std::nullopt;
}

py::bytes Device::readUntil(const py::bytes& expected, const py::object& size, const py::object& timeout) {
  std::string what = expected;
  if (what.empty()) raise(PyExc_ValueError, "read_until: expected must not be empty");
  std::size_t limit = std::string::npos;
  if (!size.is_none()) {
    if (!PyLong_Check(size.ptr())) raise(PyExc_TypeError, "read_until: size must be an int or None");
    const long long n = size.cast<long long>();
    if (n < 0) raise(PyExc_ValueError, "read_until: size must not be negative");
    limit = static_cast<std::size_t>(n);
  }
  Use use(*this);
  const Deadline deadline = deadlineOf(timeout, "read_until");
  Stop stop;
  if (auto answer = until(use, what, limit, deadline, &stop)) return py::bytes(*answer);
  // At the deadline, what arrived, as a serial port's read_until gives it.
  std::string got = take(limit);
  return py::bytes(got);
}

std::size_t Device::writeAll(Use& use, const char* data, std::size_t size, const Deadline& deadline) {
  std::size_t sent = 0;
  unsigned long long seen = 0;
  waitFor(use, deadline, [&] {
    for (;;) {
      if (sent == size) return true;
      seen = use->TxTakenCount();
      const unsigned long room = use->GetMaxTransferSize();
      if (room == 0) break;
      const std::size_t n = std::min({size - sent, static_cast<std::size_t>(room), m_txChunk});
      if (!use->WriteBuffer(reinterpret_cast<const unsigned char*>(data + sent), n)) break;
      sent += n;
    }
    // The ring is full: wait for the transmitter to take some, within the slice.
    use->WaitTxTaken(seen, 10);
    return sent == size;
  });
  return sent;
}

long Device::write(const py::buffer& data, const py::object& timeout) {
  const std::string bytes = bytesOf(data, "write");
  Use use(*this);
  Deadline deadline;
  if (!timeout.is_none()) deadline = deadlineOf(timeout, "write");
  return static_cast<long>(writeAll(use, bytes.data(), bytes.size(), deadline));
}

py::bytes Device::query(const py::buffer& data, const py::bytes& expected, const py::object& timeout) {
  const std::string bytes = bytesOf(data, "query");
  std::string what = expected;
  if (what.empty()) raise(PyExc_ValueError, "query: expected must not be empty");
  Use use(*this);
  // The deadline counts from the call, whatever trickles in meanwhile.
  const Deadline deadline = deadlineOf(timeout, "query");
  if (writeAll(use, bytes.data(), bytes.size(), deadline) < bytes.size())
    raise(PyExc_TimeoutError, "query: the request could not be sent before the deadline");
  Stop stop;
  if (auto answer = until(use, what, std::string::npos, deadline, &stop)) return py::bytes(*answer);
  if (stop == Stop::Closed)
    raise(PyExc_ValueError, "query: the device was closed while waiting for the answer");
  raise(PyExc_TimeoutError, "query: no complete answer before the deadline (" +
                                std::to_string(pendingSize()) + " bytes of it wait in in_waiting)");
}

std::size_t Device::inWaiting() {
  Use use(*this);
  return pendingSize() + use->GetRxBufferCount();
}

void Device::resetInput() {
  Use use(*this);
  std::lock_guard lock(m_pendingLock);
  m_pending.clear();
  use->Flush(true, false);
}

void Device::resetOutput() {
  Use use(*this);
  use->Flush(false, true);
}

void Device::flush(const py::object& timeout) {
  Use use(*this);
  Deadline deadline;
  if (!timeout.is_none()) deadline = deadlineOf(timeout, "flush");
  const Stop stop = waitFor(use, deadline, [&] {
    const unsigned long long seen = use->TxTakenCount();
    if (use->GetTxBufferCount() == 0) return true;
    use->WaitTxTaken(seen, 10);
    return use->GetTxBufferCount() == 0;
  });
  if (stop == Stop::Deadline)
    raise(PyExc_TimeoutError, "flush: the transmit ring was not empty by the deadline");
}

void Device::logTo(const std::string& path) {
  Use use(*this);
  if (m_type == zor::ZOR_PLAYBACK) raise(PyExc_ValueError, "log_to: a playback device writes no traffic log");
  if (path.empty() || path.find('\0') != std::string::npos)
    raise(PyExc_ValueError, "log_to: no file name given");
  bool ok;
  {
    py::gil_scoped_release nogil;
    // The monitor becomes the logger; no window layer is loaded here, so none opens.
    use->ShowMonitor();
    ok = use->Monitor()->StartLogFile(path.c_str());
  }
  if (!ok) {
    use->InstallLogger(nullptr, 0);
    raise(PyExc_OSError,
          "log_to: cannot log to " + path + " (another log holds it, or it cannot be written)");
  }
  m_logging = true;
}

void Device::stopLog() {
  Use use(*this);
  // Every line is flushed as it is written: what is there is whole. The file
  // itself is let go at close() or at the next log_to().
  if (m_logging) use->InstallLogger(nullptr, 0);
  m_logging = false;
}

py::object Device::timeout() const {
  return m_timeout ? py::object(py::float_(*m_timeout)) : py::object(py::none());
}

void Device::setTimeout(const py::object& value) {
  if (value.is_none()) {
    m_timeout.reset();
    return;
  }
  if (!PyNumber_Check(value.ptr()) || PyBool_Check(value.ptr()))
    raise(PyExc_TypeError, "timeout must be a number of seconds or None");
  const double v = value.cast<double>();
  if (std::isnan(v) || v < 0) raise(PyExc_ValueError, "timeout must not be negative");
  m_timeout = v;
}

}  // namespace zorpy
