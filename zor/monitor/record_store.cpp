#include "zor/monitor/record_store.h"

#include <cstring>
#include <new>

namespace zor {
namespace {

void assignField(std::string& field, const char* text) {
  if (text == nullptr) {
    field.clear();
    return;
  }
  field.assign(text, strnlen(text, CRecordStore::kFieldMax));
}

}  // namespace

CRecordStore::CRecordStore() { ensureCapacity(); }

bool CRecordStore::ensureCapacity() {
  if (m_count < Capacity()) return true;
  try {
    m_blocks.reserve(m_blocks.size() + 1);
    m_blocks.emplace_back(new ListRecord[kGrowth]);
  } catch (const std::bad_alloc&) {
    return false;  // the store stays as it was
  }
  return true;
}

bool CRecordStore::AddRecord(int image, const char* s0, const char* s1, const char* s2, const char* s3) {
  if (!ensureCapacity()) return false;
  ListRecord& r = m_blocks[m_count / kGrowth][m_count % kGrowth];
  r.image = image;
  try {
    assignField(r.text[0], s0);
    assignField(r.text[1], s1);
    assignField(r.text[2], s2);
    assignField(r.text[3], s3);
  } catch (const std::bad_alloc&) {
    return false;
  }
  ++m_count;
  if (m_target != nullptr) PostMessageA(m_target, WM_FASTLIST_ADDED, 0, 0);
  return true;
}

const ListRecord* CRecordStore::Record(int index) const {
  if (index < 0 || index >= m_count) return nullptr;
  return &m_blocks[index / kGrowth][index % kGrowth];
}

}  // namespace zor
