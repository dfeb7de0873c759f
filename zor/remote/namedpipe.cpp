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

}  // namespace

CNamedPipe::CNamedPipe(unsigned long ioSize) : m_ioSize(ioSize) {}

CNamedPipe::~CNamedPipe() {
  stop();
  std::lock_guard lock(m_openMutex);
  closeHandles();
}

void CNamedPipe::onRead(const void*, unsigned long) {}
void CNamedPipe::onConnect(bool) {}

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
  m_readOvl = OVERLAPPED{};
  m_connectOvl = OVERLAPPED{};
  if (!validBase(m_base)) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  m_readOvl.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  m_connectOvl.hEvent = m_readOvl.hEvent;  // a connect and a read never overlap
  if (m_readOvl.hEvent == nullptr || !initSecurity(&m_sa)) return false;
  const char* host = m_host.c_str();
  const char* base = m_base.c_str();
  if (m_server) {
    const DWORD mode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT;
    m_read = CreateNamedPipeA(inPipeName(host, base).c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                              mode, PIPE_UNLIMITED_INSTANCES, m_ioSize, m_ioSize, 0, &m_sa);
    if (m_read == INVALID_HANDLE_VALUE) return false;
    m_write = CreateNamedPipeA(outPipeName(host, base).c_str(), PIPE_ACCESS_OUTBOUND, mode,
                               PIPE_UNLIMITED_INSTANCES, m_ioSize, m_ioSize, 0, &m_sa);
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
  freeSecurity(&m_sa);
}

bool CNamedPipe::write(const void* data, unsigned long size) {
  // A handle closed by the reading thread's re-creation fails the write; its
  // number is never given to another object.
  HANDLE h = m_write.load();
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  return WriteFile(h, data, size, &written, nullptr) && written == size;
}

DWORD CNamedPipe::clientProcessId() const {
  DWORD pid = 0;
  return GetNamedPipeClientProcessId(m_read.load(), &pid) ? pid : 0;
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
    readLoop();
    if (!m_broken || m_stopping || m_thread.ExitRequested() || !reopen()) return;
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
    } else if (error == ERROR_PIPE_LISTENING) {
      running = waitForClient(h);  // sleeps until a client comes
      if (running && !notified) {
        notified = true;
        onConnect(true);
      }
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

bool CNamedPipe::waitForClient(HANDLE h) {
  if (!ConnectNamedPipe(h, &m_connectOvl)) {
    DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) return true;
    if (error != ERROR_IO_PENDING) return WaitForSingleObject(m_thread.ExitEvent(), 50) != WAIT_OBJECT_0;
  }
  HANDLE events[2] = {m_connectOvl.hEvent, m_thread.ExitEvent()};
  if (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0) {
    ResetEvent(m_connectOvl.hEvent);
    return true;
  }
  CancelIo(h);
  return false;
}

}  // namespace zor
