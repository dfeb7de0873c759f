// The hand-over between the threads that capture monitor records and the one
// thread that formats and writes them: a device's worker thread copies a
// record in and returns, so that no reader of the device waits for a log file
// or a window. Records leave in the order they were captured, in batches.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zor {

// One captured record; its bytes are `size` bytes at `offset` in the batch's
// byte block, except for an event, whose size is its string's id.
struct CapturedRecord {
  int kind = 0;
  unsigned long time = 0;
  unsigned long size = 0;
  std::size_t offset = 0;
};

class CRecordQueue {
public:
  // Called on the writer thread (or, without one, on the capturing thread),
  // never twice at once, with the records in capture order.
  using Sink = std::function<void(const std::vector<CapturedRecord>& records, const unsigned char* bytes)>;

  // Above `capBytes` waiting to be written (the records' bytes and entries) a
  // capturing thread waits for the writer: memory stays bounded and nothing is lost.
  explicit CRecordQueue(Sink sink, std::size_t capBytes = std::size_t{8} << 20);
  ~CRecordQueue();
  CRecordQueue(const CRecordQueue&) = delete;
  CRecordQueue& operator=(const CRecordQueue&) = delete;

  // Copies the record in; `hasBytes` false for an event. The writer thread
  // starts with the first record. A record that finds no memory is lost.
  void Push(int kind, unsigned long time, const void* data, unsigned long size, bool hasBytes);
  // Returns once every record pushed before the call has left through the
  // sink. Does nothing on the writer thread itself.
  void Drain();
  // Drains and ends the writer; later records go through the sink at once.
  void Stop();

private:
  // How long the writer lingers after a batch before it sleeps until woken.
  static constexpr std::chrono::milliseconds kLinger{2};

  void run();
  // Waits until done() holds, calling the writer first. Caller holds m_mutex.
  template <class Done>
  void waitForWriter(std::unique_lock<std::mutex>& lock, Done done);
  void startWriter();  // caller holds m_mutex
  void passInline(int kind, unsigned long time, const void* data, unsigned long size, bool hasBytes,
                  std::unique_lock<std::mutex>& lock);

  Sink m_sink;
  const std::size_t m_cap;

  std::mutex m_mutex;
  std::condition_variable m_work;  // the writer waits for records or the stop
  std::condition_variable m_done;  // drainers and capped capturers wait for a batch to end
  std::vector<CapturedRecord> m_records;
  std::vector<unsigned char> m_bytes;
  std::size_t m_unwritten = 0;  // bytes and entries pushed and not yet through the sink
  std::uint64_t m_pushed = 0;   // records pushed, ever
  std::uint64_t m_passed = 0;   // records through the sink, ever
  int m_urgent = 0;             // threads waiting for the writer
  bool m_writerWaiting = false;
  bool m_stopping = false;
  bool m_started = false;
  bool m_noWriter = false;  // stopped, or the thread could not start: the sink runs inline
  std::thread m_writer;
  std::thread::id m_writerId;
};

}  // namespace zor
