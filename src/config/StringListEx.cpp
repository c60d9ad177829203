#include "config/StringListEx.h"

#include <algorithm>
#include <cstring>

#include "base/Text.h"

int CStringListEx::GetCount() const { return static_cast<int>(items_.size()); }
bool CStringListEx::IsEmpty() const { return items_.empty(); }
std::string CStringListEx::GetHead() const { return items_.front(); }
std::string CStringListEx::GetTail() const { return items_.back(); }
std::string& CStringListEx::HeadRef() { return items_.front(); }
std::string& CStringListEx::TailRef() { return items_.back(); }

void CStringListEx::Split(const std::string& text, const char* delimiters) {
  size_t start = 0;
  const size_t n = text.size();
  while (start <= n) {
    size_t end = start;
    while (end < n && std::strchr(delimiters, text[end]) == nullptr) ++end;
    if (end > start) items_.push_back(kelpd::text::Trim(text.substr(start, end - start)));
    if (end >= n) break;
    start = end + 1;
  }
}

std::string CStringListEx::RemoveHead() {
  std::string v = std::move(items_.front());
  items_.pop_front();
  return v;
}

std::string CStringListEx::RemoveTail() {
  std::string v = std::move(items_.back());
  items_.pop_back();
  return v;
}

CStringListEx::Position CStringListEx::AddHead(const std::string& value) {
  items_.push_front(value);
  return Wrap(items_.begin());
}

CStringListEx::Position CStringListEx::AddTail(const std::string& value) {
  items_.push_back(value);
  return Wrap(std::prev(items_.end()));
}

void CStringListEx::RemoveAll() { items_.clear(); }

CStringListEx::Position CStringListEx::GetHeadPosition() { return Wrap(items_.begin()); }

CStringListEx::Position CStringListEx::GetTailPosition() {
  return items_.empty() ? Position{} : Wrap(std::prev(items_.end()));
}

std::string& CStringListEx::GetNext(Position& pos) {
  std::string& v = *pos.it;
  pos = Wrap(std::next(pos.it));
  return v;
}

std::string& CStringListEx::GetPrev(Position& pos) {
  std::string& v = *pos.it;
  pos = pos.it == items_.begin() ? Position{} : Wrap(std::prev(pos.it));
  return v;
}

std::string& CStringListEx::GetAt(Position pos) { return *pos.it; }
void CStringListEx::SetAt(Position pos, const std::string& value) { *pos.it = value; }
void CStringListEx::RemoveAt(Position pos) { items_.erase(pos.it); }

CStringListEx::Position CStringListEx::InsertBefore(Position pos, const std::string& value) {
  if (!pos) return AddHead(value);
  return Wrap(items_.insert(pos.it, value));
}

CStringListEx::Position CStringListEx::InsertAfter(Position pos, const std::string& value) {
  if (!pos) return AddTail(value);
  return Wrap(items_.insert(std::next(pos.it), value));
}

CStringListEx::Position CStringListEx::Find(const std::string& value, Position start) {
  auto from = start ? start.it : items_.begin();
  return Wrap(std::find(from, items_.end(), value));
}

CStringListEx::Position CStringListEx::FindIndex(int index) {
  if (index < 0 || index >= static_cast<int>(items_.size())) return Position{};
  return Wrap(std::next(items_.begin(), index));
}

bool CStringListEx::Contains(const std::string& value) const {
  return std::find(items_.begin(), items_.end(), value) != items_.end();
}

void Split(const std::string& text, const char* delimiters, CStringListEx& list) {
  list.Split(text, delimiters);
}
