#include "zor/remote/namedpipe.h"

#include "zor/platform/pipe_listener.h"
#include "zor/platform/pipe_transport.h"
#include "zor/platform/platform.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace zor {
namespace {

bool isBrokenPipe(DWORD error) {
  return error == ERROR_BROKEN_PIPE || error == ERROR_BAD_PIPE || error == ERROR_PIPE_NOT_CONNECTED ||
         error == ERROR_NO_DATA;
}

// A base name is one file name of the pipe folder, without the suffix.
bool validBase(const std::string& base) {
  return !base.empty() && base != "." && base != ".." && base.find_first_of("/\\") == std::string::npos;
}

// What a client's pipe is doing, as the server sees it.
enum class Link { Waiting, Up, Ended };

// A client waits on an instance, or its event was set for nothing.
Link acceptFrom(PipeListener& listener, HANDLE event, std::shared_ptr<PipeTransport>& end) {
  DWORD error = ERROR_SUCCESS;
  end = listener.accept(0, &error);
  if (end) return Link::Up;
  return error == ERROR_PIPE_LISTENING && listener.signalWhenClientWaits(event) ? Link::Waiting : Link::Ended;
}

}  // namespace

CNamedPipe::CNamedPipe(unsigned long ioSize) : m_ioSize(ioSize) {}

CNamedPipe::~CNamedPipe() {
  stop();
  std::lock_guard lock(m_openMutex);
  closeHandles();
}

void CNamedPipe::onRead(const void*, unsigned long) {}
void CNamedPipe::onConnect(bool) {}
void CNamedPipe::onHalfOpenDropped(DWORD) {}

std::string CNamedPipe::pipeName(const char* host, const char* base, const char* suffix) {
  std::string name = "\\\\";
  name += host != nullptr ? host : "";
  name += "\\PIPE\\";
  name += base != nullptr ? base : "";
  name += "_";
  name += suffix != nullptr ? suffix : "";
  return name;
}

bool CNamedPipe::create(const char* baseName) {
  close();
  std::lock_guard lock(m_openMutex);
  m_host = ".";
  m_server = true;
  m_base = baseName != nullptr ? baseName : "";
  return openHandles() && start();
}

bool CNamedPipe::connect(const char* host, const char* baseName) {
  close();
  std::lock_guard lock(m_openMutex);
  m_host = host != nullptr ? host : "";
  m_server = false;
  m_base = baseName != nullptr ? baseName : "";
  return openHandles() && start();
}

void CNamedPipe::stop() {
  if (m_thread.IsCurrentThread()) return;
  // The flag first: a read that the cancel ends, or that begins after it, sees it.
  m_stopping = true;
  if (auto in = reader()) in->cancel(true);
  m_thread.Stop(5000);
}

bool CNamedPipe::stopRequested() const { return m_stopping || m_thread.ExitRequested(); }

void CNamedPipe::close() {
  stop();
  std::lock_guard lock(m_openMutex);
  closeHandles();
}

std::shared_ptr<PipeTransport> CNamedPipe::reader() const {
  std::lock_guard lock(m_ioMutex);
  return m_read;
}

bool CNamedPipe::openHandles() {
  m_broken = false;
  m_linked = false;
  if (!validBase(m_base)) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  const char* host = m_host.c_str();
  const char* base = m_base.c_str();
  DWORD error = ERROR_SUCCESS;
  if (m_server) {
    m_inEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    m_outEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (m_inEvent == nullptr || m_outEvent == nullptr) return false;
    m_inListener = PipeListener::create(inPipeName(host, base).c_str(), &error);
    if (m_inListener) m_outListener = PipeListener::create(outPipeName(host, base).c_str(), &error);
    // Each tells its event when a client comes, so that one thread waits for both.
    if (m_outListener && (!m_inListener->signalWhenClientWaits(m_inEvent) ||
                          !m_outListener->signalWhenClientWaits(m_outEvent)))
      error = ERROR_GEN_FAILURE;
    if (m_outListener && error == ERROR_SUCCESS) return true;
    // Neither name stays taken by an open that failed.
    m_inListener.reset();
    m_outListener.reset();
    return fail(error);
  }
  std::shared_ptr<PipeTransport> in = connectLocalPipe(outPipeName(host, base).c_str(), 0, &error);
  std::shared_ptr<PipeTransport> out;
  if (in) out = connectLocalPipe(inPipeName(host, base).c_str(), 0, &error);
  if (!out) return fail(error);
  std::lock_guard lock(m_ioMutex);
  m_read = std::move(in);
  m_write = std::move(out);
  return true;
}

bool CNamedPipe::fail(DWORD error) {
  SetLastError(error);
  return false;
}

void CNamedPipe::closeHandles() {
  std::shared_ptr<PipeTransport> ends[2];
  {
    std::lock_guard lock(m_ioMutex);
    ends[0] = std::move(m_read);
    ends[1] = std::move(m_write);
  }
  // A write under way on another thread ends at once and keeps its end until it returns.
  for (auto& end : ends)
    if (end) end->close();
  m_inListener.reset();
  m_outListener.reset();
  for (HANDLE* event : {&m_inEvent, &m_outEvent}) {
    if (*event != nullptr) CloseHandle(*event);
    *event = nullptr;
  }
}

bool CNamedPipe::write(const void* data, unsigned long size) {
  std::shared_ptr<PipeTransport> out;
  {
    std::lock_guard lock(m_ioMutex);
    out = m_write;
  }
  if (!out || (m_server && !m_linked)) return false;
  std::lock_guard lock(m_writeMutex);
  DWORD error = ERROR_SUCCESS;
  return out->write(data, size, kWriteWaitMs, &error) == static_cast<long>(size);
}

long CNamedPipe::writeNow(const void* data, unsigned long size) {
  std::shared_ptr<PipeTransport> out;
  {
    std::lock_guard lock(m_ioMutex);
    out = m_write;
  }
  if (!out || (m_server && !m_linked)) return -1;
  std::unique_lock lock(m_writeMutex, std::try_to_lock);
  if (!lock.owns_lock()) return 0;
  DWORD error = ERROR_SUCCESS;
  return out->write(data, size, 0, &error);
}

DWORD CNamedPipe::clientProcessId() const {
  std::lock_guard lock(m_ioMutex);
  DWORD pid = m_read ? m_read->peerProcessId() : 0;
  return pid != 0 || !m_write ? pid : m_write->peerProcessId();
}

bool CNamedPipe::writeString(const char* text) {
  if (text == nullptr) return false;
  return write(text, static_cast<unsigned long>(std::strlen(text) + 1));
}

bool CNamedPipe::start() {
  m_stopping = false;
  return m_thread.Start([this](thread_func_flag flag) {
    if (flag == CWorkerThread::TFF_RUN) run();
  });
}

void CNamedPipe::run() {
  for (;;) {
    if (!m_server) {
      readLoop();
      if (!m_broken || stopRequested() || !reopen()) return;
      continue;
    }
    DWORD pid = 0;
    ServerEnd end = serveLoop(pid);
    bool again = m_broken && !stopRequested() && reopen();
    // Told once the pipes are there again, so that whoever hears it can connect at once.
    if (end == ServerEnd::Left)
      onConnect(false);
    else if (end == ServerEnd::Dropped)
      onHalfOpenDropped(pid);
    if (!again) return;
  }
}

bool CNamedPipe::pause() {
  return WaitForSingleObject(m_thread.ExitEvent(), kReopenPauseMs) != WAIT_OBJECT_0;
}

bool CNamedPipe::reopen() {
  for (int attempt = 0; attempt < kReopenAttempts; ++attempt) {
    if (attempt > 0 && !pause()) return false;
    std::lock_guard lock(m_openMutex);
    if (m_stopping) return false;
    closeHandles();
    if (openHandles()) return true;
  }
  std::lock_guard lock(m_openMutex);
  closeHandles();
  char line[160];
  std::snprintf(line, sizeof line, "zor: the pipes of %s could not be made again after %d attempts; closed",
                m_base.c_str(), kReopenAttempts);
  OutputDebugStringA(line);
  return false;
}

void CNamedPipe::readLoop() {
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[m_ioSize]);
  const std::shared_ptr<PipeTransport> in = reader();
  if (!buffer || !in) return;
  bool notified = false;
  while (!stopRequested()) {
    DWORD error = ERROR_SUCCESS;
    // The thread waits for its data itself, so a read completes as the bytes
    // come, with no second thread in between; the first look does not wait.
    long n = in->read(buffer.get(), m_ioSize, notified ? kReadWaitMs : 0, &error);
    if (!notified && n >= 0) {
      notified = true;
      onConnect(true);
    }
    if (n > 0) {
      onRead(buffer.get(), static_cast<unsigned long>(n));
    } else if (n < 0 && isBrokenPipe(error)) {
      m_broken = true;
      onConnect(false);
      return;
    } else if (n < 0 && error == ERROR_INVALID_HANDLE) {
      return;  // closed under the loop: nothing more to read
    } else if (n < 0 && error != ERROR_OPERATION_ABORTED) {
      // Retried, one slice later so that a lasting error costs no core.
      if (WaitForSingleObject(m_thread.ExitEvent(), 50) == WAIT_OBJECT_0) return;
    }
  }
}

CNamedPipe::ServerEnd CNamedPipe::serveLoop(DWORD& pid) {
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[2 * m_ioSize]);
  if (!buffer) return ServerEnd::Stopped;
  unsigned char* stray = buffer.get() + m_ioSize;  // what a client wrongly sends on the outbound pipe
  const HANDLE exitEvent = m_thread.ExitEvent();
  std::shared_ptr<PipeTransport> in, out;
  Link inLink = Link::Waiting, outLink = Link::Waiting;
  DWORD firstUp = GetTickCount();
  bool anyUp = false;
  // The half-open time counts from the first pipe a client took.
  auto cameUp = [&] {
    if (!anyUp) firstUp = GetTickCount();
    anyUp = true;
  };
  bool linked = false;
  bool stopped = false;
  // A client that took the outbound pipe only and left is dropped, and the
  // next one served on the same pipes: made again, they would cut off a client
  // already queued on them.
  auto nextOut = [&] {
    onHalfOpenDropped(out->peerProcessId());
    out.reset();
    firstUp = GetTickCount();
    anyUp = inLink == Link::Up;
    outLink = acceptFrom(*m_outListener, m_outEvent, out);
    if (outLink != Link::Up) return;
    cameUp();
    if (!out->signalWhenReadable(m_outEvent)) outLink = Link::Ended;
  };

  while (inLink != Link::Ended && outLink != Link::Ended) {
    // The outbound end's leaving is announced through the reactor, perhaps
    // after the inbound client came: a client that took the outbound pipe and
    // left must not be paired with the next one's inbound pipe.
    if (!linked && inLink == Link::Up && outLink == Link::Up && out->peerHasLeft()) {
      nextOut();
      continue;
    }
    if (!linked && inLink == Link::Up && outLink == Link::Up) {
      linked = true;
      {
        std::lock_guard lock(m_ioMutex);
        m_read = in;
        m_write = out;
      }
      m_linked = true;
      onConnect(true);
    }
    DWORD wait = kReadWaitMs;
    if (!linked && anyUp) {
      DWORD waited = GetTickCount() - firstUp;
      if (waited >= kHalfOpenMs) break;
      wait = kHalfOpenMs - waited;
    }
    // Until the client holds both pipes its inbound bytes wait in the pipe:
    // whatever it sends is served to it whole, and nothing to a stranger.
    HANDLE events[3] = {exitEvent, m_outEvent, m_inEvent};
    DWORD r = linked ? WaitForMultipleObjectsOrReadable(2, events, in->readableDescriptor(), wait)
                     : WaitForMultipleObjects(inLink == Link::Up ? 2 : 3, events, FALSE, wait);
    if (r == WAIT_OBJECT_0) {
      stopped = true;
      break;
    }
    if (r == WAIT_OBJECT_0 + 1 && outLink == Link::Waiting) {
      outLink = acceptFrom(*m_outListener, m_outEvent, out);
      if (outLink == Link::Up) {
        cameUp();
        // Its only input is its leaving, or bytes it should not send.
        if (!out->signalWhenReadable(m_outEvent)) outLink = Link::Ended;
      }
    } else if (r == WAIT_OBJECT_0 + 1) {
      // Stray bytes are dropped, so that a client writing here costs no more than it sends.
      const bool gone = out->read(stray, m_ioSize, 0, nullptr) < 0 || !out->signalWhenReadable(m_outEvent);
      if (gone && !linked)
        nextOut();
      else if (gone)
        outLink = Link::Ended;
    } else if (r == WAIT_OBJECT_0 + 2 && !linked) {
      inLink = acceptFrom(*m_inListener, m_inEvent, in);
      if (inLink == Link::Up) cameUp();
    } else if (r == WAIT_OBJECT_0 + 2) {
      DWORD error = ERROR_SUCCESS;
      long n = in->read(buffer.get(), m_ioSize, 0, &error);
      if (n > 0) onRead(buffer.get(), static_cast<unsigned long>(n));
      if (n < 0 && (isBrokenPipe(error) || error == ERROR_INVALID_HANDLE)) {
        inLink = Link::Ended;
      } else if (n < 0 && error != ERROR_OPERATION_ABORTED &&
                 WaitForSingleObject(exitEvent, 50) == WAIT_OBJECT_0) {
        stopped = true;
        break;
      }
    } else if (r == WAIT_FAILED && WaitForSingleObject(exitEvent, 50) == WAIT_OBJECT_0) {
      stopped = true;
      break;
    }
  }

  m_linked = false;
  pid = in ? in->peerProcessId() : 0;
  if (pid == 0 && out) pid = out->peerProcessId();
  if (stopped) return ServerEnd::Stopped;
  m_broken = true;
  if (linked) return ServerEnd::Left;
  if (anyUp) return ServerEnd::Dropped;
  // The pipes failed before anyone came: re-create them, but not at once.
  WaitForSingleObject(exitEvent, 50);
  return ServerEnd::Failed;
}

}  // namespace zor
