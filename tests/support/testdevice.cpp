#include "support/testdevice.h"

#include <chrono>
#include <thread>

namespace zor_test {

void TestDevice::feed(const std::vector<unsigned char>& bytes) {
  {
    std::lock_guard lock(m_mutex);
    m_input.insert(m_input.end(), bytes.begin(), bytes.end());
  }
  WakeReceiver();
}

std::vector<unsigned char> TestDevice::written() const {
  std::lock_guard lock(m_mutex);
  return m_output;
}

bool TestDevice::openDevice(const char* inName, const char* outName, int overlapFlags, int rxSize, int txSize,
                            unsigned long* lastError) {
  ++m_openCalls;
  if (unplugged) {
    *lastError = zor::ERROR_FILE_NOT_FOUND;
    return false;
  }
  bool ok = CDevice::openDevice(inName, outName, overlapFlags, rxSize, txSize, lastError);
  if (ok) {
    std::lock_guard lock(m_mutex);
    lastInName = inName;
    lastFlags = OverlapFlags();
    lastRx = rxSize;
    lastTx = txSize;
  }
  return ok;
}

int TestDevice::hook_readFile(void*, void* buffer, unsigned long size, unsigned long* done,
                              zor::OVERLAPPED*) {
  for (int i = 0; holdReads && i < 2500; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  if (unplugged) {
    ++failedReads;
    zor::SetLastError(zor::ERROR_GEN_FAILURE);
    return 0;
  }
  std::lock_guard lock(m_mutex);
  if (m_input.empty()) return 0;
  auto* out = static_cast<unsigned char*>(buffer);
  unsigned long n = 0;
  while (n < size && !m_input.empty()) {
    out[n++] = m_input.front();
    m_input.pop_front();
  }
  *done = n;
  return 1;
}

int TestDevice::hook_writeFile(void*, const void* buffer, unsigned long size, unsigned long* done,
                               zor::OVERLAPPED*) {
  auto* p = static_cast<const unsigned char*>(buffer);
  {
    std::lock_guard lock(m_mutex);
    m_output.insert(m_output.end(), p, p + size);
  }
  *done = size;
  return 1;
}

int TxReports::next(zor::DWORD ms) {
  zor::MSG m;
  while (queue.get(m, ms)) {
    if (m.message != zor::WM_MONITOR_TXTHREAD) continue;
    return last = static_cast<int>(m.wParam);
  }
  return -1;
}

bool TxReports::parked() {
  zor::MSG m;
  for (int i = 0; i < 1000 && (last != 0 || queue.peek(m, false)); ++i)
    if (next() < 0) break;
  return last == 0;
}

}  // namespace zor_test
