// CThreadSafeList: a CStringListEx whose every operation holds the list's
// re-entrant section. Positions and references handed out stay valid until
// their element is removed; a caller that walks the list or keeps a
// reference holds Section() around the walk.
#pragma once

#include <mutex>
#include <string>

#include "config/StringListEx.h"

class CThreadSafeList : public CStringListEx {
 public:
  CThreadSafeList() = default;
  CThreadSafeList(const CThreadSafeList&) = delete;
  CThreadSafeList& operator=(const CThreadSafeList&) = delete;

  int GetCount() const override;
  bool IsEmpty() const override;
  std::string GetHead() const override;
  std::string GetTail() const override;
  std::string& HeadRef() override;
  std::string& TailRef() override;
  void Split(const std::string& text, const char* delimiters) override;
  std::string RemoveHead() override;
  std::string RemoveTail() override;
  Position AddHead(const std::string& value) override;
  Position AddTail(const std::string& value) override;
  void RemoveAll() override;
  Position GetHeadPosition() override;
  Position GetTailPosition() override;
  std::string& GetNext(Position& pos) override;
  std::string& GetPrev(Position& pos) override;
  std::string& GetAt(Position pos) override;
  void SetAt(Position pos, const std::string& value) override;
  void RemoveAt(Position pos) override;
  Position InsertBefore(Position pos, const std::string& value) override;
  Position InsertAfter(Position pos, const std::string& value) override;
  Position Find(const std::string& value, Position start) override;
  using CStringListEx::Find;
  Position FindIndex(int index) override;

  // Contains() under the section.
  bool ContainsLocked(const std::string& value) const;

  std::recursive_mutex& Section() const { return section_; }

 protected:
  mutable std::recursive_mutex section_;
};
