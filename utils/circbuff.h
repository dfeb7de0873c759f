// CircBuff: the fixed ring between the application and a device's worker
// thread. It carries a mutex for its users but does no locking itself. A ring
// of capacity C holds C - 1 bytes: the put that fills it is an overrun, after
// which the ring reads as empty (the device reports the loss).
//
// Its one writer may also fill the ring in place: freeSpan() names the room
// up to the wrap, which the writer fills without the mutex (readers never
// touch it) and then hands over with commit() under the mutex. The positions
// are published with release and read with acquire, so that a reader sees the
// bytes of a commit and the writer reuses only room a reader has finished with.
#pragma once

#include "zor/support/support.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <type_traits>

namespace zor {

template <class T>
class CircBuff {
public:
  enum CircBuffException { CB_NO_MEMORY = 0, CB_OVERFLOW = 1, CB_UNDERFLOW = 2 };

  CircBuff() { initialise(0, false); }
  ~CircBuff() { release(); }
  CircBuff(const CircBuff&) = delete;
  CircBuff& operator=(const CircBuff&) = delete;

  bool create(int size, bool throwOnError) {
    if (m_buffer != nullptr) criticalAssert("m_buffer == NULL", "utils\\circbuff", 100, __DATE__, __TIME__);
    release();
    initialise(size, throwOnError);
    return m_buffer != nullptr;
  }

  void destroy() {
    release();
    initialise(0, false);
  }

  void clear() {
    m_overrun = false;
    store(m_in, 0);
    store(m_out, 0);
  }

  // The positions are atomic so that count(), notEmpty() and freeSpace() may be
  // read without the mutex as advisory values.
  bool notEmpty() const { return load(m_in) != load(m_out); }
  int count() const {
    int in = load(m_in), out = load(m_out);
    if (in == out) return 0;
    return out < in ? in - out : load(m_size) - (out - in);
  }
  // A ring without storage (capacity 0 or negative) has no free space either.
  int freeSpace() const {
    int size = load(m_size);
    return size < 1 ? 0 : size - count();
  }
  int capacity() const { return load(m_size); }
  bool aboveHighTide() const { return count() >= m_highTide; }
  bool belowLowTide() const { return count() <= m_lowTide; }
  int lowTide() const { return m_lowTide; }
  int highTide() const { return m_highTide; }

  bool takeOverrun() {
    bool was = m_overrun;
    m_overrun = false;
    return was;
  }

  bool putByte(const T& b) { return put(&b, 1, 249); }
  bool put(const T* data, int n) { return put(data, n, 277); }

  T getByte() {
    if (!hasStorage(307) || !checkNotEmpty()) return T();
    T b = m_buffer[load(m_out)];
    advance(m_out);
    return b;
  }

  int get(T* out, int max) {
    if (!hasStorage(334) || !checkNotEmpty()) return 0;
    const int size = load(m_size), from = load(m_out);
    const int n = std::min(std::max(max, 0), count());
    const int first = std::min(n, size - from);
    copy(out, m_buffer + from, first);
    copy(out + first, m_buffer, n - first);
    store(m_out, from + n < size ? from + n : from + n - size);
    return n;
  }

  // The room the writer may fill in place, up to the wrap: *span points at it
  // and the count is returned (0: none, or no storage). The writer alone calls
  // it; the room stays valid, and only grows, until its commit.
  int freeSpan(T** span) {
    *span = nullptr;
    const int size = load(m_size);
    if (m_buffer == nullptr || size < 2) return 0;
    const int in = load(m_in), out = load(m_out);
    // One slot stays empty: the ring never fills by a commit.
    const int n = in >= out ? size - in - (out == 0 ? 1 : 0) : out - in - 1;
    *span = m_buffer + in;
    return n;
  }

  // Hands over n bytes the writer put at span (from freeSpan) to the readers.
  // A clear() since then moved the start of the ring: the bytes follow it.
  void commit(const T* span, int n) {
    if (n <= 0 || m_buffer == nullptr) return;
    const int size = load(m_size), in = load(m_in);
    if (span != m_buffer + in) std::memmove(m_buffer + in, span, static_cast<std::size_t>(n) * sizeof(T));
    store(m_in, in + n < size ? in + n : in + n - size);
  }

  T peekByte() {
    if (!hasStorage(362) || !checkNotEmpty()) return T();
    return m_buffer[load(m_out)];
  }

  CMutex* mutex() { return &m_lock; }

private:
  void initialise(int size, bool throwFlag) {
    store(m_size, size);
    m_lowTide = size >> 2;
    m_highTide = size - m_lowTide;
    m_throw = throwFlag;
    m_buffer = nullptr;
    clear();
    if (size < 1) return;
    m_buffer = static_cast<T*>(_utlMemAlloc(8, static_cast<unsigned long>(size) * sizeof(T)));
    if (m_buffer != nullptr) return;
    if (throwFlag) throw CB_NO_MEMORY;
    // Without throwing, a failed allocation is a ring without storage.
    store(m_size, 0);
    m_lowTide = m_highTide = 0;
  }

  void release() {
    if (m_buffer != nullptr) _utlMemFree(0, m_buffer);
    m_buffer = nullptr;
  }

  bool put(const T* data, int n, int line) {
    if (!hasStorage(line)) return false;
    if (n <= 0) return true;
    const int size = load(m_size), in = load(m_in);
    // The put overruns when it reaches the reading position at any byte.
    const bool overran = n >= size - count();
    // Of a put longer than the ring only the last lap stays.
    const int skip = n > size ? n - size : 0;
    const int start = static_cast<int>((static_cast<long long>(in) + skip) % size);
    const int len = n - skip;
    const int first = std::min(len, size - start);
    copy(m_buffer + start, data + skip, first);
    copy(m_buffer, data + skip + first, len - first);
    store(m_in, static_cast<int>((static_cast<long long>(in) + n) % size));
    if (overran) {
      m_overrun = true;
      if (m_throw) throw CB_OVERFLOW;
    }
    return !overran;
  }

  bool hasStorage(int line) {
    if (m_buffer != nullptr) return true;
    criticalAssert("m_buffer != NULL", "utils\\circbuff", line, __DATE__, __TIME__);
    return false;
  }

  bool checkNotEmpty() {
    if (notEmpty()) return true;
    if (m_throw) throw CB_UNDERFLOW;
    return false;
  }

  static void copy(T* to, const T* from, int n) {
    static_assert(std::is_trivially_copyable_v<T>);
    if (n > 0) std::memcpy(to, from, static_cast<std::size_t>(n) * sizeof(T));
  }
  static int load(const std::atomic<int>& v) { return v.load(std::memory_order_acquire); }
  static void store(std::atomic<int>& v, int x) { v.store(x, std::memory_order_release); }
  void advance(std::atomic<int>& pos) {
    int next = load(pos) + 1;
    store(pos, next == load(m_size) ? 0 : next);
  }

  T* m_buffer = nullptr;
  std::atomic<int> m_in{0};
  std::atomic<int> m_out{0};
  std::atomic<int> m_size{0};
  bool m_overrun = false;
  bool m_throw = false;
  CMutex m_lock;
  int m_lowTide = 0;
  int m_highTide = 0;
};

}  // namespace zor
