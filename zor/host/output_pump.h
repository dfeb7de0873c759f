// The console's standard output, written by a thread of its own and bounded.
#pragma once

#include "zor/host/os/console.h"

#include <zor/platform.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

namespace zor {

// Received bytes waiting for standard output, at most. While it is full the
// console takes nothing from the device, and reads no standard input: an
// echoing device's answers then pace what is sent.
constexpr std::size_t kOutputBacklog = 1u << 20;

// Standard output written by a thread of its own, so that a slow reader of
// it never keeps the loop from emptying the device's receive ring. What it
// holds is bounded: when it is full the loop takes nothing more from the
// device, whose receive side then waits as it would for any slow reader.
class OutputPump {
public:
  OutputPump() : m_thread([this] { run(); }) {}
  ~OutputPump() { abandon(); }

  // Bytes push() takes now: 0 while standard output is behind or has failed.
  std::size_t room() {
    std::lock_guard lock(m_mutex);
    const std::size_t held = m_pending.size() + m_writing;
    return m_closed || held >= kOutputBacklog ? 0 : kOutputBacklog - held;
  }
  // False once standard output takes nothing more.
  bool push(const unsigned char* data, unsigned long n) {
    std::lock_guard lock(m_mutex);
    if (m_closed) return false;
    m_pending.append(reinterpret_cast<const char*>(data), n);
    m_cv.notify_all();
    return true;
  }
  std::size_t backlog() {
    std::lock_guard lock(m_mutex);
    return m_pending.size() + m_writing;
  }
  // Waits up to ms for room (or a failure).
  void waitForRoom(DWORD ms) {
    std::unique_lock lock(m_mutex);
    m_cv.wait_for(lock, std::chrono::milliseconds(ms),
                  [&] { return m_closed || m_pending.size() + m_writing < kOutputBacklog; });
  }
  // The errno of a failed standard output; 0 while it works.
  int error() {
    std::lock_guard lock(m_mutex);
    return m_error;
  }
  // Writes everything pending, looking every slice at stop(); false when
  // standard output failed or stop() said to give up first.
  template <class Stop>
  bool drain(Stop stop) {
    for (;;) {
      {
        std::unique_lock lock(m_mutex);
        if (m_closed) return false;
        if (m_pending.empty() && m_writing == 0) return true;
        m_cv.wait_for(lock, std::chrono::milliseconds(kDrainSlice));
      }
      if (stop()) return false;
    }
  }
  // Ends the thread, dropping what is not written yet.
  void abandon() {
    {
      std::lock_guard lock(m_mutex);
      m_stop = true;
      m_cv.notify_all();
    }
    m_out.stop();
    if (m_thread.joinable()) m_thread.join();
  }

private:
  void run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
      m_cv.wait(lock, [&] { return m_stop || !m_pending.empty(); });
      if (m_stop) return;
      std::string out;
      out.swap(m_pending);
      m_writing = out.size();
      lock.unlock();
      const bool ok = m_out.write(out.data(), out.size());
      lock.lock();
      m_writing = 0;
      m_cv.notify_all();
      if (!ok) {
        m_closed = true;
        m_error = m_out.error();
        m_pending.clear();
        return;
      }
    }
  }

  StandardOutput m_out;                   // only the pump's thread writes; abandon() may stop it
  static constexpr int kDrainSlice = 50;  // longest wait between two looks at stop()
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::string m_pending;
  std::size_t m_writing = 0;
  bool m_stop = false;
  bool m_closed = false;
  int m_error = 0;
  std::thread m_thread;
};

}  // namespace zor
