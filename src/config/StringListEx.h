// CStringListEx: an ordered list of byte strings with positional access.
// Every operation is virtual so that the locked and file-backed forms can wrap
// them. Not thread-safe on its own (see CThreadSafeList).
#pragma once

#include <list>
#include <string>

class CStringListEx {
 public:
  using Container = std::list<std::string>;

  // A place in the list; false when it names no element.
  struct Position {
    Container::iterator it;
    bool valid = false;
    explicit operator bool() const { return valid; }
  };

  CStringListEx() = default;
  CStringListEx(const CStringListEx&) = default;
  CStringListEx& operator=(const CStringListEx&) = default;
  CStringListEx(CStringListEx&&) noexcept = default;
  CStringListEx& operator=(CStringListEx&&) noexcept = default;
  virtual ~CStringListEx() = default;

  virtual int GetCount() const;
  virtual bool IsEmpty() const;

  // REQUIRES: the list is not empty.
  virtual std::string GetHead() const;
  virtual std::string GetTail() const;
  virtual std::string& HeadRef();
  virtual std::string& TailRef();

  // Appends each maximal run of characters between delimiter characters,
  // trimmed of white space at both ends; empty runs are skipped, a run of
  // white space only is appended as an empty entry.
  virtual void Split(const std::string& text, const char* delimiters);

  // REQUIRES: the list is not empty.
  virtual std::string RemoveHead();
  virtual std::string RemoveTail();
  virtual Position AddHead(const std::string& value);
  virtual Position AddTail(const std::string& value);
  virtual void RemoveAll();

  virtual Position GetHeadPosition();
  virtual Position GetTailPosition();
  // Returns the element at pos and moves pos to the next (previous) one.
  virtual std::string& GetNext(Position& pos);
  virtual std::string& GetPrev(Position& pos);
  virtual std::string& GetAt(Position pos);
  virtual void SetAt(Position pos, const std::string& value);
  virtual void RemoveAt(Position pos);
  virtual Position InsertBefore(Position pos, const std::string& value);
  virtual Position InsertAfter(Position pos, const std::string& value);
  // The first element equal to value (exact comparison), from start on.
  virtual Position Find(const std::string& value, Position start);
  Position Find(const std::string& value) { return Find(value, Position{}); }
  // The element at index (0-based), or no position.
  virtual Position FindIndex(int index);

  // Convenience for readers (not wrapped by the locked form: hold its lock).
  bool Contains(const std::string& value) const;
  Container::const_iterator begin() const { return items_.begin(); }
  Container::const_iterator end() const { return items_.end(); }

 protected:
  Position Wrap(Container::iterator it) {
    return it == items_.end() ? Position{} : Position{it, true};
  }
  Container items_;
};

// Appends the runs of text between delimiter characters to list, as
// CStringListEx::Split describes.
void Split(const std::string& text, const char* delimiters, CStringListEx& list);
