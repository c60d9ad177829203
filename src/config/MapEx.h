// CMapEx: a hash map from byte-string key to byte-string value (keys compare
// exactly, case-sensitive), and CThreadSafeMap, its locked form.
//
// CMapEx is not thread-safe. CThreadSafeMap holds its re-entrant section for
// every single operation; a caller that needs several operations to be one
// (an iteration, a lookup followed by a change) holds Section() around them.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

class CMapEx {
 public:
  using Container = std::unordered_map<std::string, std::string>;

  // An iteration position; false when the iteration is over.
  struct Position {
    Container::iterator it;
    bool valid = false;
    explicit operator bool() const { return valid; }
  };

  CMapEx() = default;
  CMapEx(const CMapEx&) = default;
  CMapEx& operator=(const CMapEx&) = default;
  virtual ~CMapEx() = default;

  virtual int GetCount() const;
  virtual bool IsEmpty() const;
  // The value of key; writes debug trace lines when the trace level is above 4.
  virtual bool Lookup(const std::string& key, std::string& value) const;
  // The same without tracing.
  virtual bool LookupPlain(const std::string& key, std::string& value) const;
  // The value of key for assignment; the entry is created when missing.
  virtual std::string& operator[](const std::string& key);
  virtual void SetAt(const std::string& key, const std::string& value);
  // True when the key was there.
  virtual bool RemoveKey(const std::string& key);
  virtual void RemoveAll();
  virtual Position GetStartPosition();
  // Returns the entry at pos and moves pos to the next one.
  virtual void GetNextAssoc(Position& pos, std::string& key, std::string& value);

  int GetTraceLevel() const { return trace_level_; }
  void SetTraceLevel(int level) { trace_level_ = level; }

  // Read-only access for code that holds the locked form's section.
  const Container& Items() const { return items_; }

 protected:
  Container items_;
  int trace_level_ = 0;
};

class CThreadSafeMap : public CMapEx {
 public:
  CThreadSafeMap() = default;
  CThreadSafeMap(const CThreadSafeMap&) = delete;
  CThreadSafeMap& operator=(const CThreadSafeMap&) = delete;

  int GetCount() const override;
  bool IsEmpty() const override;
  bool Lookup(const std::string& key, std::string& value) const override;
  bool LookupPlain(const std::string& key, std::string& value) const override;
  // The reference stays valid until the entry is removed; changing it
  // through the reference is the caller's to lock.
  std::string& operator[](const std::string& key) override;
  void SetAt(const std::string& key, const std::string& value) override;
  bool RemoveKey(const std::string& key) override;
  void RemoveAll() override;
  Position GetStartPosition() override;
  void GetNextAssoc(Position& pos, std::string& key, std::string& value) override;

  // Set by the operations that store a value; cleared by loads and saves.
  bool IsModified() const;
  void SetModified(bool modified);

  // The section that every operation takes; re-entrant.
  std::recursive_mutex& Section() const { return section_; }
  // A number that every change of the contents (a store, a removal, a load)
  // makes new, never the same for two maps, so that a reader may keep what it
  // derived from them until the next change. Read it with the section held.
  uint64_t Generation() const { return generation_; }

 protected:
  mutable std::recursive_mutex section_;
  bool modified_ = false;  // guarded by section_
  // A number no map had before.
  static uint64_t NewGeneration();
  uint64_t generation_ = NewGeneration();  // guarded by section_
};
