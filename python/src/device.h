// The Python face of one opened device: its lifetime under threads, and the
// byte stream with deadlines that end where they say.
#pragma once

#include <pybind11/pybind11.h>

#include <zor/device.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace zorpy {

namespace py = pybind11;
using Clock = std::chrono::steady_clock;

// Deletes a device and counts it gone: the library-wide settings may change
// only while no device of this process exists (their threads read them).
struct Release {
  void operator()(zor::CDevice* dev) const;
};
using DevicePtr = std::unique_ptr<zor::CDevice, Release>;

// Constructs a device of class T and counts it; adjust runs first, under the
// settings' lock, and may change a setting only while no device exists.
template <class T, class Adjust, class... Args>
std::unique_ptr<T, Release> construct(Adjust adjust, Args&&... args);

// The settings' lock and the count of devices that exist.
std::mutex& settingsLock();
int liveDevices();
void countDevice();

template <class T, class Adjust, class... Args>
std::unique_ptr<T, Release> construct(Adjust adjust, Args&&... args) {
  {
    std::lock_guard lock(settingsLock());
    adjust(liveDevices());
    countDevice();
  }
  try {
    return std::unique_ptr<T, Release>(new T(std::forward<Args>(args)...));
  } catch (...) {
    Release{}(nullptr);
    throw;
  }
}

// The keywords every kind takes.
struct OpenOptions {
  int rxSize = 65536;
  int txSize = 65536;
  bool overlapped = false;
  std::optional<double> timeout;  // the device's default deadline
  int overlapFlags() const { return overlapped ? 3 : 0; }
};

class Device {
public:
  virtual ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Holds the device open for one call: close() waits until no call holds it.
  class Use {
  public:
    explicit Use(Device& device);
    ~Use();
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    zor::CDevice* operator->() const { return m_device.m_dev.get(); }
    zor::CDevice* get() const { return m_device.m_dev.get(); }

  private:
    Device& m_device;
  };

  void close();
  bool isOpen() const;
  std::string describe() const;

  long write(const py::buffer& data, const py::object& timeout);
  py::bytes read(py::ssize_t size, const py::object& timeout);
  py::bytes readUntil(const py::bytes& expected, const py::object& size, const py::object& timeout);
  py::bytes query(const py::buffer& data, const py::bytes& expected, const py::object& timeout);
  std::size_t inWaiting();
  void resetInput();
  void resetOutput();
  void flush(const py::object& timeout);
  void logTo(const std::string& path);
  void stopLog();

  // The default deadline of the calls: None waits for as long as it takes.
  py::object timeout() const;
  void setTimeout(const py::object& value);
  zor::zorType type() const { return m_type; }

protected:
  // Takes an opened device.
  Device(DevicePtr dev, const OpenOptions& options, std::string name);
  // After the device has closed, once, without the GIL.
  virtual void onClosed() {}

private:
  using Deadline = std::optional<Clock::time_point>;
  enum class Stop { Done, Deadline, Closed };

  Deadline deadlineOf(const py::object& timeout, const char* call) const;
  // Waits without the GIL until ready() is true, the deadline or a close,
  // looking at Python's signals at least every 50 ms. ready() runs without the GIL.
  template <class Ready>
  Stop waitFor(Use& use, const Deadline& deadline, Ready ready);
  // Moves what the receive ring holds (at most max bytes) to the pending bytes.
  void pull(zor::CDevice* dev, std::size_t max);
  std::size_t pendingSize();
  std::string take(std::size_t n);
  // Writes all of data or stops at the deadline; returns the count queued.
  std::size_t writeAll(Use& use, const char* data, std::size_t size, const Deadline& deadline);
  // The answer up to and including expected, or nullopt at the stop (kept pending).
  std::optional<std::string> until(Use& use, const std::string& expected, std::size_t limit,
                                   const Deadline& deadline, Stop* stop);

  DevicePtr m_dev;
  std::size_t m_txChunk;
  zor::zorType m_type;
  std::string m_name;
  // Wakes every waiter at a close.
  zor::HANDLE m_wake = nullptr;

  mutable std::mutex m_life;
  std::condition_variable m_idle;
  int m_users = 0;
  bool m_closing = false;

  // Bytes taken from the ring and not yet given to a caller: read_until may
  // take more than its answer, and the rest is the next read's.
  std::mutex m_pendingLock;
  std::string m_pending;

  std::optional<double> m_timeout;
  bool m_logging = false;
};

// Registers Device with its methods on the module.
void bindDevice(py::module_& m);

}  // namespace zorpy
