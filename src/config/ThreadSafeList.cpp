#include "config/ThreadSafeList.h"

int CThreadSafeList::GetCount() const {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return CStringListEx::GetCount();
}

bool CThreadSafeList::IsEmpty() const {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return CStringListEx::IsEmpty();
}

std::string CThreadSafeList::GetHead() const {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return CStringListEx::GetHead();
}

std::string CThreadSafeList::GetTail() const {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return CStringListEx::GetTail();
}

std::string& CThreadSafeList::HeadRef() {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return CStringListEx::HeadRef();
}

std::string& CThreadSafeList::TailRef() {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return CStringListEx::TailRef();
}

void CThreadSafeList::Split(const std::string& text, const char* delimiters) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  CStringListEx::Split(text, delimiters);
}

std::string CThreadSafeList::RemoveHead() {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return CStringListEx::RemoveHead();
}

std::string CThreadSafeList::RemoveTail() {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return CStringListEx::RemoveTail();
}

CStringListEx::Position CThreadSafeList::AddHead(const std::string& value) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return CStringListEx::AddHead(value);
}

CStringListEx::Position CThreadSafeList::AddTail(const std::string& value) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return CStringListEx::AddTail(value);
}

void CThreadSafeList::RemoveAll() {
  std::lock_guard<std::recursive_mutex> lock(section_);
  CStringListEx::RemoveAll();
}

CStringListEx::Position CThreadSafeList::GetHeadPosition() {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return CStringListEx::GetHeadPosition();
}

CStringListEx::Position CThreadSafeList::GetTailPosition() {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return CStringListEx::GetTailPosition();
}

std::string& CThreadSafeList::GetNext(Position& pos) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return CStringListEx::GetNext(pos);
}

std::string& CThreadSafeList::GetPrev(Position& pos) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return CStringListEx::GetPrev(pos);
}

std::string& CThreadSafeList::GetAt(Position pos) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return CStringListEx::GetAt(pos);
}

void CThreadSafeList::SetAt(Position pos, const std::string& value) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  CStringListEx::SetAt(pos, value);
}

void CThreadSafeList::RemoveAt(Position pos) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  CStringListEx::RemoveAt(pos);
}

CStringListEx::Position CThreadSafeList::InsertBefore(Position pos, const std::string& value) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return CStringListEx::InsertBefore(pos, value);
}

CStringListEx::Position CThreadSafeList::InsertAfter(Position pos, const std::string& value) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return CStringListEx::InsertAfter(pos, value);
}

CStringListEx::Position CThreadSafeList::Find(const std::string& value, Position start) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return CStringListEx::Find(value, start);
}

CStringListEx::Position CThreadSafeList::FindIndex(int index) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return CStringListEx::FindIndex(index);
}

bool CThreadSafeList::ContainsLocked(const std::string& value) const {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return Contains(value);
}
