#include "zor/monitor/record_queue.h"

#include <cstring>
#include <new>
#include <system_error>
#include <utility>

namespace zor {

CRecordQueue::CRecordQueue(Sink sink, std::size_t capBytes) : m_sink(std::move(sink)), m_cap(capBytes) {}

CRecordQueue::~CRecordQueue() { Stop(); }

void CRecordQueue::startWriter() {
  try {
    m_writer = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    m_noWriter = true;  // no thread to be had: the records go through on their own threads
    return;
  }
  m_writerId = m_writer.get_id();
  m_started = true;
}

template <class Done>
void CRecordQueue::waitForWriter(std::unique_lock<std::mutex>& lock, Done done) {
  // A lingering writer is called at once: whoever waits for it waits for no timer.
  ++m_urgent;
  m_work.notify_one();
  m_done.wait(lock, done);
  --m_urgent;
}

void CRecordQueue::Push(int kind, unsigned long time, const void* data, unsigned long size, bool hasBytes) {
  const std::size_t n = hasBytes ? size : 0;
  // The cap counts each record's entry too, so that a flood of tiny records is bounded as well.
  const std::size_t weight = n + sizeof(CapturedRecord);
  std::unique_lock lock(m_mutex);
  if (!m_started && !m_noWriter) startWriter();
  if (m_noWriter) {
    passInline(kind, time, data, size, hasBytes, lock);
    return;
  }
  // A record larger than the cap still goes, alone.
  if (m_unwritten != 0 && m_unwritten + weight > m_cap)
    waitForWriter(lock, [&] { return m_unwritten == 0 || m_unwritten + weight <= m_cap || m_noWriter; });
  if (m_noWriter) {
    passInline(kind, time, data, size, hasBytes, lock);
    return;
  }
  const std::size_t offset = m_bytes.size();
  try {
    m_bytes.resize(offset + n);
    if (n != 0) std::memcpy(m_bytes.data() + offset, data, n);
    m_records.push_back(CapturedRecord{kind, time, size, offset});
  } catch (const std::bad_alloc&) {
    m_bytes.resize(offset);
    return;
  }
  m_unwritten += weight;
  ++m_pushed;
  // Only a writer asleep for good costs a wake-up; a busy or lingering one
  // finds the record on its own.
  if (m_writerWaiting) {
    m_writerWaiting = false;
    m_work.notify_one();
  }
}

void CRecordQueue::passInline(int kind, unsigned long time, const void* data, unsigned long size,
                              bool hasBytes, std::unique_lock<std::mutex>& /*held*/) {
  // Under the queue's mutex, so that inline records keep their order too.
  try {
    std::vector<CapturedRecord> one{CapturedRecord{kind, time, size, 0}};
    m_sink(one, hasBytes ? static_cast<const unsigned char*>(data) : nullptr);
  } catch (...) {
    // The sink reports its own failures; a record that cannot be shown is lost.
  }
}

void CRecordQueue::run() {
  std::vector<CapturedRecord> records;
  std::vector<unsigned char> bytes;
  bool lingering = false;
  std::unique_lock lock(m_mutex);
  for (;;) {
    if (m_records.empty()) {
      if (m_stopping) {
        // Whatever comes from now on goes through inline, after all that went before.
        m_noWriter = true;
        m_done.notify_all();
        break;
      }
      if (lingering) {
        // After a batch the writer looks again a moment later rather than
        // have every record wake it: a flow of records costs the capturing
        // threads no system call, and the file lags it by at most kLinger.
        lingering = false;
        m_work.wait_for(lock, kLinger, [&] { return m_stopping || m_urgent != 0; });
        continue;
      }
      m_writerWaiting = true;
      m_work.wait(lock, [&] { return !m_records.empty() || m_stopping; });
      m_writerWaiting = false;
      continue;
    }
    lingering = true;
    // The buffers change hands, so both keep their capacity and a steady flow allocates nothing.
    records.swap(m_records);
    bytes.swap(m_bytes);
    const std::uint64_t upTo = m_pushed;
    lock.unlock();
    const std::size_t written = bytes.size() + records.size() * sizeof(CapturedRecord);
    try {
      m_sink(records, bytes.data());
    } catch (...) {
      // As passInline: the batch is lost, the writer goes on.
    }
    records.clear();
    bytes.clear();
    lock.lock();
    m_unwritten -= written;
    m_passed = upTo;
    m_done.notify_all();
  }
}

void CRecordQueue::Drain() {
  std::unique_lock lock(m_mutex);
  if (std::this_thread::get_id() == m_writerId) return;
  const std::uint64_t target = m_pushed;
  if (m_passed < target && !m_noWriter) waitForWriter(lock, [&] { return m_passed >= target || m_noWriter; });
}

void CRecordQueue::Stop() {
  std::thread writer;
  {
    std::lock_guard lock(m_mutex);
    if (std::this_thread::get_id() == m_writerId) return;
    m_stopping = true;
    m_work.notify_one();
    writer = std::move(m_writer);
  }
  if (writer.joinable()) writer.join();
  std::lock_guard lock(m_mutex);
  m_noWriter = true;
  m_done.notify_all();
}

}  // namespace zor
