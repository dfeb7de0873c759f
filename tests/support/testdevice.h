// A pseudo device whose hooks the test controls: reads come from a queue (or
// block until released, or fail fatally), writes are recorded.
#pragma once

#include <zor/zor.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace zor_test {

class TestDevice : public zor::CDevice {
public:
  explicit TestDevice(int ioSize = 1024) : m_ioSize(ioSize) { constructor(); }
  ~TestDevice() override { destroyer(); }

  zor::zorType Type() const override { return zor::ZOR_NULL; }

  bool OpenDevice(int overlapFlags, int rxSize, int txSize) {
    SetChannelOwner();
    unsigned long error = 0;
    return openDevice("NULL", nullptr, overlapFlags, rxSize, txSize, &error);
  }

  void feed(const std::vector<unsigned char>& bytes);
  std::vector<unsigned char> written() const;
  int writeCalls() const { return m_writeCalls; }
  int openCalls() const { return m_openCalls; }
  int flags() const { return OverlapFlags(); }

  // Fatal failures of reads, and refusal of the open, as when the medium goes away.
  std::atomic<bool> unplugged{false};
  // Programming the medium fails, as when a port comes back not ready.
  std::atomic<bool> failProgram{false};
  // Reads block (bounded) until released.
  std::atomic<bool> holdReads{false};
  // What the last open asked for, to check that a resume reopens alike.
  std::string lastInName;
  int lastFlags = -1, lastRx = -1, lastTx = -1;

protected:
  bool openDevice(const char* inName, const char* outName, int overlapFlags, int rxSize, int txSize,
                  unsigned long* lastError) override;
  int GetIOSize(int) const override { return m_ioSize; }
  bool program_device(int, int) override { return !failProgram; }
  bool on_io_error(unsigned long error, int) override { return error == zor::ERROR_GEN_FAILURE; }
  int hook_readFile(void*, void* buffer, unsigned long size, unsigned long* done, zor::OVERLAPPED*) override;
  int hook_writeFile(void*, const void* buffer, unsigned long size, unsigned long* done,
                     zor::OVERLAPPED*) override;

private:
  int m_ioSize;
  mutable std::mutex m_mutex;
  std::deque<unsigned char> m_input;
  std::vector<unsigned char> m_output;
  std::atomic<int> m_writeCalls{0};
  std::atomic<int> m_openCalls{0};
};

}  // namespace zor_test
