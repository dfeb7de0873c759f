#include "zor/remote/namedpipe.h"

#include "zor/platform/platform.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace zor {
namespace {

bool isBrokenPipe(DWORD error) {
  return error == ERROR_BROKEN_PIPE || error == ERROR_BAD_PIPE || error == ERROR_PIPE_NOT_CONNECTED;
}

// A base name is one file name of the pipe folder, without the suffix.
bool validBase(const std::string& base) {
  return !base.empty() && base != "." && base != ".." && base.find_first_of("/\\") == std::string::npos;
}

bool buildSecurity(SECURITY_ATTRIBUTES* sa, const char* text) {
  *sa = SECURITY_ATTRIBUTES{0, nullptr, FALSE};
  sa->nLength = sizeof(SECURITY_ATTRIBUTES);
  return ConvertStringSecurityDescriptorToSecurityDescriptorA(text, 1, &sa->lpSecurityDescriptor, nullptr) !=
         0;
}

// What a client's pipe is doing, as the server sees it.
enum class Link { Waiting, Up, Ended };

Link listenFor(HANDLE h, OVERLAPPED* ovl) {
  if (ConnectNamedPipe(h, ovl)) return Link::Up;
  DWORD error = GetLastError();
  if (error == ERROR_PIPE_CONNECTED) return Link::Up;
  return error == ERROR_IO_PENDING ? Link::Waiting : Link::Ended;
}

// A connect that was waiting, once its event is set.
Link connectResult(HANDLE h, OVERLAPPED* ovl) {
  DWORD count = 0;
  if (GetOverlappedResult(h, ovl, &count, FALSE)) return Link::Up;
  return GetLastError() == ERROR_IO_INCOMPLETE ? Link::Waiting : Link::Ended;
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

bool CNamedPipe::initSecurity(SECURITY_ATTRIBUTES* sa) {
  if (buildSecurity(sa, "D:(A;OICI;GRGW;;;DU)")) return true;
  freeSecurity(sa);
  return initNetworkSecurity(sa);
}

bool CNamedPipe::initNetworkSecurity(SECURITY_ATTRIBUTES* sa) {
  if (buildSecurity(sa, "D:(A;OICI;GRGW;;;NU)")) return true;
  freeSecurity(sa);
  return false;
}

void CNamedPipe::freeSecurity(SECURITY_ATTRIBUTES* sa) {
  if (sa == nullptr || sa->lpSecurityDescriptor == nullptr) return;
  LocalFree(sa->lpSecurityDescriptor);
  *sa = SECURITY_ATTRIBUTES{0, nullptr, FALSE};
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
  m_stopping = true;
  m_thread.Stop(5000);
}

void CNamedPipe::close() {
  stop();
  std::lock_guard lock(m_openMutex);
  closeHandles();
}

bool CNamedPipe::openHandles() {
  m_broken = false;
  m_linked = false;
  m_readOvl = OVERLAPPED{};
  m_connectOvl = OVERLAPPED{};
  m_outConnectOvl = OVERLAPPED{};
  m_outOvl = OVERLAPPED{};
  if (!validBase(m_base)) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  m_readOvl.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  m_connectOvl.hEvent = m_readOvl.hEvent;  // a connect and a read never overlap
  if (m_readOvl.hEvent == nullptr) return false;
  if (m_server) {
    m_outOvl.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_outConnectOvl.hEvent = m_outOvl.hEvent;
    if (m_outOvl.hEvent == nullptr) return false;
  }
  if (!initSecurity(&m_sa)) return false;
  const char* host = m_host.c_str();
  const char* base = m_base.c_str();
  if (m_server) {
    const DWORD mode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT;
    m_read = CreateNamedPipeA(inPipeName(host, base).c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                              mode, PIPE_UNLIMITED_INSTANCES, m_ioSize, m_ioSize, 0, &m_sa);
    if (m_read == INVALID_HANDLE_VALUE) return false;
    // Overlapped so that the reading thread can wait for its client to come and go.
    m_write = CreateNamedPipeA(outPipeName(host, base).c_str(), PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED,
                               mode, PIPE_UNLIMITED_INSTANCES, m_ioSize, m_ioSize, 0, &m_sa);
  } else {
    m_read = CreateFileA(outPipeName(host, base).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_read == INVALID_HANDLE_VALUE) return false;
    m_write = CreateFileA(inPipeName(host, base).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  return m_write != INVALID_HANDLE_VALUE;
}

void CNamedPipe::closeHandles() {
  for (std::atomic<HANDLE>* slot : {&m_write, &m_read}) {
    HANDLE h = slot->exchange(INVALID_HANDLE_VALUE);
    if (h == INVALID_HANDLE_VALUE) continue;
    if (m_server) DisconnectNamedPipe(h);
    CloseHandle(h);
  }
  if (m_readOvl.hEvent != nullptr) CloseHandle(m_readOvl.hEvent);
  m_readOvl.hEvent = m_connectOvl.hEvent = nullptr;
  if (m_outOvl.hEvent != nullptr) CloseHandle(m_outOvl.hEvent);
  m_outOvl.hEvent = m_outConnectOvl.hEvent = nullptr;
  freeSecurity(&m_sa);
}

bool CNamedPipe::write(const void* data, unsigned long size) {
  // A handle closed by the reading thread's re-creation fails the write; its
  // number is never given to another object.
  HANDLE h = m_write.load();
  if (h == INVALID_HANDLE_VALUE || (m_server && !m_linked)) return false;
  DWORD written = 0;
  return WriteFile(h, data, size, &written, nullptr) && written == size;
}

DWORD CNamedPipe::clientProcessId() const {
  DWORD pid = 0;
  if (GetNamedPipeClientProcessId(m_read.load(), &pid)) return pid;
  return GetNamedPipeClientProcessId(m_write.load(), &pid) ? pid : 0;
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
      if (!m_broken || m_stopping || m_thread.ExitRequested() || !reopen()) return;
      continue;
    }
    DWORD pid = 0;
    ServerEnd end = serveLoop(pid);
    bool again = m_broken && !m_stopping && !m_thread.ExitRequested() && reopen();
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
  if (!buffer) return;
  const HANDLE h = m_read.load();
  bool running = true;
  bool notified = false;
  while (running) {
    if (notified) {
      // Once a peer is there this thread waits for its data itself, so the
      // read then completes at once with no second thread in between.
      HANDLE exitEvent = m_thread.ExitEvent();
      DWORD r = WaitForMultipleObjectsOrInput(1, &exitEvent, h, kReadWaitMs);
      if (r == WAIT_OBJECT_0) break;
      if (r == WAIT_TIMEOUT) continue;
    }
    DWORD count = 0;
    BOOL done = ReadFile(h, buffer.get(), m_ioSize, &count, &m_readOvl);
    DWORD error = done ? ERROR_SUCCESS : GetLastError();
    if (!notified && (done || error == ERROR_IO_PENDING)) {
      notified = true;
      onConnect(true);
    }
    if (count != 0) onRead(buffer.get(), count);
    if (done) {
      running = !m_thread.ExitRequested();
    } else if (isBrokenPipe(error)) {
      running = false;
      m_broken = true;
      onConnect(false);
    } else if (error == ERROR_IO_PENDING) {
      running = completionWait(h, buffer.get());
    } else if (error == ERROR_INVALID_HANDLE) {
      running = false;  // closed under the loop: nothing more to read
    } else {
      // Retried, one slice later so that a lasting error costs no core.
      running = WaitForSingleObject(m_thread.ExitEvent(), 50) != WAIT_OBJECT_0;
    }
  }
}

bool CNamedPipe::completionWait(HANDLE h, unsigned char* buffer) {
  for (;;) {
    HANDLE events[2] = {m_readOvl.hEvent, m_thread.ExitEvent()};
    DWORD r = WaitForMultipleObjects(2, events, FALSE, kReadWaitMs);
    if (r == WAIT_OBJECT_0) {
      DWORD count = 0;
      if (GetOverlappedResult(h, &m_readOvl, &count, FALSE)) {
        if (count != 0) onRead(buffer, count);
        ResetEvent(m_readOvl.hEvent);
        return true;
      }
      if (GetLastError() == ERROR_IO_INCOMPLETE) continue;
      // The read failed; the next one tells whether the pipe broke.
      ResetEvent(m_readOvl.hEvent);
      return true;
    }
    if (r == WAIT_OBJECT_0 + 1) {
      cancelRead(h, buffer);
      return false;
    }
    if (r == WAIT_TIMEOUT) cancelRead(h, buffer);
    return true;
  }
}

void CNamedPipe::cancelRead(HANDLE h, unsigned char* buffer) {
  CancelIo(h);
  // A read that completed just before the cancel keeps its bytes.
  DWORD count = 0;
  if (GetOverlappedResult(h, &m_readOvl, &count, TRUE) && count != 0) onRead(buffer, count);
  ResetEvent(m_readOvl.hEvent);
}

CNamedPipe::ServerEnd CNamedPipe::serveLoop(DWORD& pid) {
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[2 * m_ioSize]);
  if (!buffer) return ServerEnd::Stopped;
  unsigned char* stray = buffer.get() + m_ioSize;  // what a client wrongly sends on the outbound pipe
  const HANDLE in = m_read.load();
  const HANDLE out = m_write.load();
  const HANDLE exitEvent = m_thread.ExitEvent();
  Link inLink = listenFor(in, &m_connectOvl);
  Link outLink = listenFor(out, &m_outConnectOvl);
  DWORD firstUp = GetTickCount();
  bool anyUp = inLink == Link::Up || outLink == Link::Up;
  // The half-open time counts from the first pipe a client took.
  auto cameUp = [&] {
    if (!anyUp) firstUp = GetTickCount();
    anyUp = true;
  };
  if (outLink == Link::Up && !watchOutbound(out, stray)) outLink = Link::Ended;
  bool linked = false;
  bool stopped = false;

  while (inLink != Link::Ended && outLink != Link::Ended) {
    if (!linked && inLink == Link::Up && outLink == Link::Up) {
      linked = true;
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
    HANDLE events[3] = {exitEvent, m_outOvl.hEvent, m_connectOvl.hEvent};
    DWORD r = linked ? WaitForMultipleObjectsOrInput(2, events, in, wait)
                     : WaitForMultipleObjects(inLink == Link::Up ? 2 : 3, events, FALSE, wait);
    if (r == WAIT_OBJECT_0) {
      stopped = true;
      break;
    }
    if (r == WAIT_OBJECT_0 + 1) {
      if (outLink == Link::Waiting) {
        outLink = connectResult(out, &m_outConnectOvl);
        if (outLink == Link::Up) {
          cameUp();
          if (!watchOutbound(out, stray)) outLink = Link::Ended;
        }
      } else {
        // The outbound read ends only when the client leaves, or with bytes it should not send.
        DWORD count = 0;
        if (GetOverlappedResult(out, &m_outOvl, &count, FALSE)) {
          if (!watchOutbound(out, stray)) outLink = Link::Ended;
        } else if (GetLastError() != ERROR_IO_INCOMPLETE) {
          outLink = Link::Ended;
        }
      }
    } else if (r == WAIT_OBJECT_0 + 2 && !linked) {
      inLink = connectResult(in, &m_connectOvl);
      if (inLink == Link::Up) cameUp();
    } else if (r == WAIT_OBJECT_0 + 2) {
      DWORD count = 0;
      BOOL done = ReadFile(in, buffer.get(), m_ioSize, &count, &m_readOvl);
      DWORD error = done ? ERROR_SUCCESS : GetLastError();
      if (count != 0) onRead(buffer.get(), count);
      if (isBrokenPipe(error) || error == ERROR_INVALID_HANDLE) {
        inLink = Link::Ended;
      } else if (error == ERROR_IO_PENDING) {
        cancelRead(in, buffer.get());  // ready, yet nothing came: look again
      } else if (error != ERROR_SUCCESS && WaitForSingleObject(exitEvent, 50) == WAIT_OBJECT_0) {
        stopped = true;
        break;
      }
    } else if (r == WAIT_FAILED && WaitForSingleObject(exitEvent, 50) == WAIT_OBJECT_0) {
      stopped = true;
      break;
    }
  }

  m_linked = false;
  pid = clientProcessId();
  CancelIo(out);
  CancelIo(in);
  if (stopped) return ServerEnd::Stopped;
  m_broken = true;
  if (linked) return ServerEnd::Left;
  if (anyUp) return ServerEnd::Dropped;
  // The pipes failed before anyone came: re-create them, but not at once.
  WaitForSingleObject(exitEvent, 50);
  return ServerEnd::Failed;
}

bool CNamedPipe::watchOutbound(HANDLE out, unsigned char* stray) {
  // A read that completes at once leaves the event set: its bytes are
  // dropped on the next pass, so that a client writing here costs no more
  // than it sends.
  DWORD count = 0;
  return ReadFile(out, stray, m_ioSize, &count, &m_outOvl) || GetLastError() == ERROR_IO_PENDING;
}

}  // namespace zor
