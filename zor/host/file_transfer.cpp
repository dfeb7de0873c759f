// The terminal's raw file transfers: no protocol, no framing, no check.
#include <zor/host.h>

#include "zor/platform/platform.h"
#include "zor/platform/stdiofile.h"

#include <algorithm>

namespace zor {
namespace {

constexpr unsigned long kBlock = 1024;

unsigned long long leftRing(CDevice& device, unsigned long long sent) {
  unsigned long long queued = device.GetTxBufferCount();
  return sent > queued ? sent - queued : 0;
}

// Each block reaches the file as it comes, so that the file grows while the
// transfer runs.
bool writeNow(CStdioFile& file, const unsigned char* data, unsigned long n) {
  return file.Write(data, n) && file.Flush();
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
  // Only a regular file opens: a FIFO or a device would never end.
  CStdioFile file;
  if (!file.Open(path, CStdioFile::modeRead)) return false;
  const unsigned long long total = file.Length();
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
    const long got = file.Read(block, chunk);
    if (got < 0) {
      result = false;
      break;
    }
    if (got == 0) break;  // the end of the file
    const auto count = static_cast<unsigned long>(got);
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
  file.Close();
  if (progress.IsCancelled()) device.Flush(true, true);
  return result;
}

bool ReceiveFile(CDevice& device, const char* path, CTransferProgress& progress) {
  CStdioFile file;
  if (!file.Open(path, CStdioFile::modeWrite | CStdioFile::modeCreate)) return false;
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
        result = writeNow(file, block, n);
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
    if (!(result = writeNow(file, block, n))) break;
    progress.SetReceived(received += n);
  }
  if (result && !file.Sync()) result = false;
  if (!file.Close()) result = false;
  return result;
}

}  // namespace zor
