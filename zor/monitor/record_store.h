// The record store behind the monitor's list: the lines a window draws, kept
// without any window. Blocks of 900 records are added as the store fills and
// are never moved, so growth costs one allocation and no copy; the store
// never shrinks. Not thread-safe: its owner serialises access.
#pragma once

#include <zor/monitor.h>
#include <zor/platform.h>

#include <memory>
#include <string>
#include <vector>

namespace zor {

// One list line: its LineKind (image) and four texts of at most 499
// characters (time stamp, size, data, and a fourth that stays empty).
struct ListRecord {
  int image = 0;
  std::string text[4];
};

class CRecordStore {
public:
  static constexpr int kGrowth = 900;
  static constexpr std::size_t kFieldMax = 499;

  CRecordStore();
  CRecordStore(const CRecordStore&) = delete;
  CRecordStore& operator=(const CRecordStore&) = delete;

  // Null texts store empty fields; longer texts are cut at 499 characters.
  // False when the store was full and could not grow (the line is lost).
  bool AddRecord(int image, const char* s0, const char* s1, const char* s2, const char* s3);
  // Forgets the records; the capacity stays.
  void ClearRecords() { m_count = 0; }

  int Count() const { return m_count; }
  int Capacity() const { return static_cast<int>(m_blocks.size()) * kGrowth; }
  // Null when index is out of range.
  const ListRecord* Record(int index) const;

  // Where WM_FASTLIST_ADDED goes; null: nowhere.
  void SetTarget(HWND target) { m_target = target; }

private:
  bool ensureCapacity();

  std::vector<std::unique_ptr<ListRecord[]>> m_blocks;
  int m_count = 0;
  HWND m_target = nullptr;
};

}  // namespace zor
