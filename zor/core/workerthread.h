// CWorkerThread: a thread that runs one function in three phases (init in the
// starter's thread, run, exit) and that can park itself until resumed.
//
// Linux has no safe way to kill a thread. When a thread does not end within
// Stop's time-out, Stop reports it on standard error and then keeps waiting
// for it: the thread is never abandoned while it may still use its owner's
// memory. Every wait of the library's thread functions is bounded, so such a
// wait ends.
#pragma once

#include <zor/platform.h>

#include <atomic>
#include <functional>
#include <thread>

namespace zor {

class CWorkerThread {
public:
  enum thread_func_flag { TFF_INIT = 0, TFF_RUN = 1, TFF_EXIT = 2 };
  // Called with TFF_INIT on the starter's thread, then TFF_RUN and TFF_EXIT on the worker.
  using zorThreadFunc = std::function<void(thread_func_flag flag)>;

  CWorkerThread();
  virtual ~CWorkerThread();
  CWorkerThread(const CWorkerThread&) = delete;
  CWorkerThread& operator=(const CWorkerThread&) = delete;

  bool Start(zorThreadFunc func);
  // On the worker itself: parks until Resume or Stop. From another thread: asks
  // the worker to park at its next check (ParkRequested). workArrived, when
  // given, is asked once the park is visible to Resume: work queued by a
  // thread whose Resume came too early is then not slept through.
  void Suspend(bool (*workArrived)(void*) = nullptr, void* context = nullptr);
  void Resume();
  // Asks the thread to end (its exit event) without waiting for it: a caller
  // then ends the thread's current wait before it stops it.
  void RequestStop();
  // False when the thread overran the time-out (it has ended all the same).
  bool Stop(unsigned long timeout);
  bool ExitRequested() const;
  bool IsSuspended() const;
  bool ParkRequested() const { return m_parkRequested.load(); }
  HANDLE ExitEvent() const { return m_exitEvent; }
  bool IsRunning() const { return m_running.load(); }
  // True on the worker's own thread.
  bool IsCurrentThread() const;

private:
  void procedure();

  std::thread m_thread;
  zorThreadFunc m_func;
  std::atomic<std::thread::id> m_threadId{};
  HANDLE m_suspendedEvent = nullptr;
  HANDLE m_exitEvent = nullptr;
  HANDLE m_resumeEvent = nullptr;  // automatic reset: one Resume releases one park
  HANDLE m_endedEvent = nullptr;   // set when the procedure has returned
  std::atomic<bool> m_running{false};
  std::atomic<bool> m_parkRequested{false};
};

using thread_func_flag = CWorkerThread::thread_func_flag;
using zorThreadFunc = CWorkerThread::zorThreadFunc;

}  // namespace zor
