// A pseudo device whose hooks the test controls: reads come from a queue (or
// block until released, or fail fatally), writes are recorded. And the TX
// thread's park and run reports, as a device's monitor posts them.
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
  // The bytes one read and one write move at most (txSize 0: as many as a read).
  explicit TestDevice(int ioSize = 1024, int txSize = 0) : m_ioSize{ioSize, txSize ? txSize : ioSize} {
    constructor();
  }
  ~TestDevice() override { destroyer(); }

  zor::zorType Type() const override { return zor::ZOR_NULL; }

  bool OpenDevice(int overlapFlags, int rxSize, int txSize) {
    SetChannelOwner();
    unsigned long error = 0;
    return openDevice("NULL", nullptr, overlapFlags, rxSize, txSize, &error);
  }

  void feed(const std::vector<unsigned char>& bytes);
  std::vector<unsigned char> written() const;
  int openCalls() const { return m_openCalls; }
  int flags() const { return OverlapFlags(); }

  // Fatal failures of reads, and refusal of the open, as when the medium goes away.
  std::atomic<bool> unplugged{false};
  // Programming the medium fails, as when a port comes back not ready.
  std::atomic<bool> failProgram{false};
  // Reads block (bounded) until released.
  std::atomic<bool> holdReads{false};
  // Reads that failed because of unplugged.
  std::atomic<int> failedReads{0};
  // What the last open asked for, to check that a resume reopens alike.
  std::string lastInName;
  int lastFlags = -1, lastRx = -1, lastTx = -1;

protected:
  bool openDevice(const char* inName, const char* outName, int overlapFlags, int rxSize, int txSize,
                  unsigned long* lastError) override;
  int GetIOSize(int k) const override { return m_ioSize[k != 0]; }
  bool program_device(int, int) override { return !failProgram; }
  bool on_io_error(unsigned long error, int) override { return error == zor::ERROR_GEN_FAILURE; }
  int hook_readFile(void*, void* buffer, unsigned long size, unsigned long* done, zor::OVERLAPPED*) override;
  int hook_writeFile(void*, const void* buffer, unsigned long size, unsigned long* done,
                     zor::OVERLAPPED*) override;

private:
  int m_ioSize[2];
  mutable std::mutex m_mutex;
  std::deque<unsigned char> m_input;
  std::vector<unsigned char> m_output;
  std::atomic<int> m_openCalls{0};
};

// Collects the park (0) and run (1) reports of a device's TX thread:
// dev.Monitor()->SetWindowTarget(&reports.queue).
struct TxReports {
  // The next report, or -1 when none comes in time.
  int next(zor::DWORD ms = 3000);
  // Takes the reports up to the one that ends the current run.
  bool parked();
  zor::MessageQueue queue;
  int last = -1;
};

}  // namespace zor_test
