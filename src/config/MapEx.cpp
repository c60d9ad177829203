#include "config/MapEx.h"

#include <atomic>

#include "log/Log.h"

namespace {
constexpr char kSource[] = "Common\\MapEx";
}

int CMapEx::GetCount() const { return static_cast<int>(items_.size()); }
bool CMapEx::IsEmpty() const { return items_.empty(); }

bool CMapEx::Lookup(const std::string& key, std::string& value) const {
  const bool trace = trace_level_ > 4;
  if (trace) Log(MainLog(), kLevelDebug, "CMapEx::Lookup: %s:%d", kSource, __LINE__);
  auto it = items_.find(key);
  if (trace) Log(MainLog(), kLevelDebug, "CMapEx::Lookup: %s:%d", kSource, __LINE__);
  if (it == items_.end()) return false;
  if (trace) Log(MainLog(), kLevelDebug, "CMapEx::Lookup: %s:%d", kSource, __LINE__);
  value = it->second;
  if (trace) Log(MainLog(), kLevelDebug, "CMapEx::Lookup: %s:%d", kSource, __LINE__);
  return true;
}

bool CMapEx::LookupPlain(const std::string& key, std::string& value) const {
  auto it = items_.find(key);
  if (it == items_.end()) return false;
  value = it->second;
  return true;
}

std::string& CMapEx::operator[](const std::string& key) { return items_[key]; }
void CMapEx::SetAt(const std::string& key, const std::string& value) { items_[key] = value; }
bool CMapEx::RemoveKey(const std::string& key) { return items_.erase(key) != 0; }
void CMapEx::RemoveAll() { items_.clear(); }

CMapEx::Position CMapEx::GetStartPosition() {
  return items_.empty() ? Position{} : Position{items_.begin(), true};
}

void CMapEx::GetNextAssoc(Position& pos, std::string& key, std::string& value) {
  key = pos.it->first;
  value = pos.it->second;
  ++pos.it;
  if (pos.it == items_.end()) pos = Position{};
}

uint64_t CThreadSafeMap::NewGeneration() {
  static std::atomic<uint64_t> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

int CThreadSafeMap::GetCount() const {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return CMapEx::GetCount();
}

bool CThreadSafeMap::IsEmpty() const {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return CMapEx::IsEmpty();
}

bool CThreadSafeMap::Lookup(const std::string& key, std::string& value) const {
  const bool trace = trace_level_ > 4;
  if (trace) Log(MainLog(), kLevelDebug, "CThreadSafeMap::Lookup: %s:%d", kSource, __LINE__);
  std::lock_guard<std::recursive_mutex> lock(section_);
  bool found = CMapEx::Lookup(key, value);
  if (trace) Log(MainLog(), kLevelDebug, "CThreadSafeMap::Lookup: %s:%d", kSource, __LINE__);
  return found;
}

bool CThreadSafeMap::LookupPlain(const std::string& key, std::string& value) const {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return CMapEx::LookupPlain(key, value);
}

std::string& CThreadSafeMap::operator[](const std::string& key) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  generation_ = NewGeneration();
  modified_ = true;
  return CMapEx::operator[](key);
}

void CThreadSafeMap::SetAt(const std::string& key, const std::string& value) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  generation_ = NewGeneration();
  modified_ = true;
  CMapEx::SetAt(key, value);
}

bool CThreadSafeMap::RemoveKey(const std::string& key) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  generation_ = NewGeneration();
  return CMapEx::RemoveKey(key);
}

void CThreadSafeMap::RemoveAll() {
  std::lock_guard<std::recursive_mutex> lock(section_);
  generation_ = NewGeneration();
  CMapEx::RemoveAll();
}

CMapEx::Position CThreadSafeMap::GetStartPosition() {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return CMapEx::GetStartPosition();
}

void CThreadSafeMap::GetNextAssoc(Position& pos, std::string& key, std::string& value) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  CMapEx::GetNextAssoc(pos, key, value);
}

bool CThreadSafeMap::IsModified() const {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return modified_;
}

void CThreadSafeMap::SetModified(bool modified) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  modified_ = modified;
}
