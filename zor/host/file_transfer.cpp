// The terminal's raw file transfers: no protocol, no framing, no check.
#include <zor/host.h>

#include <zor/platform.h>

#include "zor/host/os/file_io.h"

#include <algorithm>

namespace zor {
namespace {

constexpr unsigned long kBlock = 1024;

unsigned long long leftRing(CDevice& device, unsigned long long sent) {
  unsigned long long queued = device.GetTxBufferCount();
  return sent > queued ? sent - queued : 0;
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
  TransferFile file;
  // Only a regular file is sent: a FIFO or a device would never end.
  if (!file.openToRead(path)) return false;
  const unsigned long long total = file.size();
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
    const long count = file.read(block, chunk);
    if (count < 0) {
      result = false;
      break;
    }
    if (count == 0) break;  // the end of the file
    while (!device.TxReady() && !progress.IsCancelled()) {
      progress.SetProgress(leftRing(device, sent), total);
      waitForRoom(device, seen, progress);
      seen = device.TxTakenCount();
    }
    result = device.WriteBuffer(block, static_cast<unsigned long>(count));
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
  TransferFile file;
  if (!file.create(path)) return false;
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
        result = file.writeAll(block, n);
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
    if (!(result = file.writeAll(block, n))) break;
    progress.SetReceived(received += n);
  }
  if (result && !file.flush()) result = false;
  if (!file.close()) result = false;
  return result;
}

}  // namespace zor
