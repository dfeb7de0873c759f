// The terminal's raw file transfers: no protocol, no framing, no check.
#include <zor/host.h>

#include "zor/platform/platform.h"

#include <algorithm>

namespace zor {
namespace {

constexpr unsigned long kBlock = 1024;

// A file handle closed when it goes.
class File {
public:
  explicit File(HANDLE h) : m_h(h) {}
  ~File() { close(); }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  bool ok() const { return m_h != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return m_h; }
  bool close() {
    if (m_h == INVALID_HANDLE_VALUE) return true;
    bool closed = CloseHandle(m_h) != 0;
    m_h = INVALID_HANDLE_VALUE;
    return closed;
  }

private:
  HANDLE m_h;
};

unsigned long long leftRing(CDevice& device, unsigned long long sent) {
  unsigned long long queued = device.GetTxBufferCount();
  return sent > queued ? sent - queued : 0;
}

bool writeAll(HANDLE file, const unsigned char* data, unsigned long n) {
  DWORD written = 0;
  return WriteFile(file, data, n, &written, nullptr) && written == n;
}

// One slice of waiting for the transmit thread, then the window's events.
void waitForRoom(CDevice& device, unsigned long long seen, CTransferProgress& progress) {
  device.WaitTxTaken(seen, kTransferSliceMs);
  progress.HandleEvents();
}

}  // namespace

void CTransferProgress::SetProgress(unsigned long long, unsigned long long) {}
void CTransferProgress::SetReceived(unsigned long long) {}
void CTransferProgress::HandleEvents() {}

bool SendFile(CDevice& device, const char* path, CTransferProgress& progress) {
  File file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                        nullptr));
  long long size = 0;
  // Only a regular file is sent: a FIFO or a device would never end.
  if (!file.ok() || !GetFileSizeEx(file.get(), &size)) return false;
  const unsigned long long total = static_cast<unsigned long long>(size);
  unsigned long long sent = 0;
  progress.SetProgress(sent, total);
  bool result = true;
  unsigned char block[kBlock];
  while (!progress.IsCancelled()) {
    unsigned long long seen = device.TxTakenCount();
    unsigned long chunk = std::min(device.GetMaxTransferSize(), kBlock);
    if (chunk == 0) {
      // The ring is full: wait for the transmit thread instead of looking again at once.
      waitForRoom(device, seen, progress);
      continue;
    }
    DWORD count = 0;
    if (!ReadFile(file.get(), block, chunk, &count, nullptr)) {
      result = false;
      break;
    }
    if (count == 0) break;  // the end of the file
    while (!device.TxReady() && !progress.IsCancelled()) {
      progress.SetProgress(leftRing(device, sent), total);
      waitForRoom(device, seen, progress);
      seen = device.TxTakenCount();
    }
    result = device.WriteBuffer(block, count);
    sent += count;
    progress.SetProgress(leftRing(device, sent), total);
    progress.HandleEvents();
    if (!result) break;
  }
  // Drain: the progress shows what has left the ring.
  while (result && !progress.IsCancelled()) {
    unsigned long long seen = device.TxTakenCount();
    progress.SetProgress(leftRing(device, sent), total);
    if (device.GetTxBufferCount() == 0) break;
    waitForRoom(device, seen, progress);
  }
  while (!device.TxReady() && !progress.IsCancelled()) waitForRoom(device, device.TxTakenCount(), progress);
  file.close();
  if (progress.IsCancelled()) device.Flush(true, true);
  return result;
}

bool ReceiveFile(CDevice& device, const char* path, CTransferProgress& progress) {
  File file(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.ok()) return false;
  unsigned long long received = 0;
  progress.SetReceived(received);
  bool result = true;
  unsigned char block[kBlock];
  for (;;) {
    progress.HandleEvents();
    if (progress.IsCancelled()) {
      // What had arrived when the user closed still goes to the file.
      for (unsigned long long left = device.GetRxBufferCount(); left > 0 && result;) {
        unsigned long n =
            device.ReadBuffer(block, static_cast<unsigned long>(std::min<unsigned long long>(left, kBlock)));
        if (n == 0) break;
        left -= n;
        result = writeAll(file.get(), block, n);
        if (result) progress.SetReceived(received += n);
      }
      break;
    }
    unsigned long n = device.ReadBuffer(block, kBlock);
    if (n == 0) {
      HANDLE ready = device.DataReadyEvent();
      if (ready != nullptr)
        WaitForSingleObject(ready, kTransferSliceMs);
      else
        Sleep(kTransferSliceMs);  // the device is closed (a panic): it may come back
      continue;
    }
    // A full disk or a folder removed: no success for a partial file.
    if (!(result = writeAll(file.get(), block, n))) break;
    progress.SetReceived(received += n);
  }
  if (result && !FlushFileBuffers(file.get())) result = false;
  if (!file.close()) result = false;
  return result;
}

}  // namespace zor
