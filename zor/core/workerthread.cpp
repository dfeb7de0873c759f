#include "zor/core/workerthread.h"

#include "zor/platform/platform.h"

#include <cstdio>
#include <utility>

namespace zor {

CWorkerThread::CWorkerThread()
    : m_suspendedEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_exitEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_resumeEvent(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
      m_endedEvent(CreateEventA(nullptr, TRUE, TRUE, nullptr)) {}

CWorkerThread::~CWorkerThread() {
  Stop(6000);
  CloseHandle(m_suspendedEvent);
  CloseHandle(m_exitEvent);
  CloseHandle(m_resumeEvent);
  CloseHandle(m_endedEvent);
}

bool CWorkerThread::Start(zorThreadFunc func) {
  // A thread that ended on its own (a panic) is still to be joined.
  if (m_thread.joinable() && !IsCurrentThread()) m_thread.join();
  m_func = std::move(func);
  ResetEvent(m_exitEvent);
  ResetEvent(m_suspendedEvent);
  ResetEvent(m_resumeEvent);
  ResetEvent(m_endedEvent);
  m_running = true;
  if (m_func) m_func(TFF_INIT);
  try {
    m_thread = std::thread(&CWorkerThread::procedure, this);
  } catch (const std::system_error&) {
    m_running = false;
    SetEvent(m_endedEvent);
    return false;
  }
  return true;
}

void CWorkerThread::procedure() {
  m_threadId = std::this_thread::get_id();
  prepareWorkerThread();
  if (m_func) {
    m_func(TFF_RUN);
    m_func(TFF_EXIT);
  }
  m_running = false;
  SetEvent(m_endedEvent);
}

bool CWorkerThread::IsCurrentThread() const { return m_threadId.load() == std::this_thread::get_id(); }

void CWorkerThread::Suspend(bool (*workArrived)(void*), void* context) {
  if (ExitRequested() || IsSuspended()) return;
  if (!IsCurrentThread()) {
    // Another thread asks: the worker parks at its own next check.
    m_parkRequested = true;
    return;
  }
  m_parkRequested = false;
  ResetEvent(m_resumeEvent);
  SetEvent(m_suspendedEvent);
  if (workArrived == nullptr || !workArrived(context)) {
    HANDLE wake[2] = {m_resumeEvent, m_exitEvent};
    WaitForMultipleObjects(2, wake, FALSE, INFINITE);
  }
  ResetEvent(m_suspendedEvent);
}

void CWorkerThread::Resume() {
  m_parkRequested = false;
  if (IsSuspended()) {
    ResetEvent(m_suspendedEvent);
    SetEvent(m_resumeEvent);
  }
}

void CWorkerThread::RequestStop() {
  if (m_thread.joinable()) SetEvent(m_exitEvent);
}

bool CWorkerThread::Stop(unsigned long timeout) {
  if (!m_thread.joinable()) return true;
  SetEvent(m_exitEvent);
  if (IsCurrentThread()) return true;  // a worker closing its own device: it is ending already
  bool inTime = WaitForSingleObject(m_endedEvent, timeout) == WAIT_OBJECT_0;
  if (!inTime) {
    std::fprintf(stderr, "zor: worker thread did not end within %lu ms; waiting for it\n", timeout);
  }
  m_thread.join();
  return inTime;
}

bool CWorkerThread::ExitRequested() const { return WaitForSingleObject(m_exitEvent, 0) == WAIT_OBJECT_0; }

bool CWorkerThread::IsSuspended() const { return WaitForSingleObject(m_suspendedEvent, 0) == WAIT_OBJECT_0; }

}  // namespace zor
