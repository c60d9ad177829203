// CRemoteAgent: the one worker thread that owns the schedule of the outgoing
// directory. It lists the directory when a mail file arrives in it, and at
// least about once a second whatever arrives, keeps every "*.eml"
// name it found in exactly one of four lists (new, retry, deferred, active)
// and hands names to the remote delivery threads on request. It never opens a
// mail file and keeps nothing on disk: after a start every waiting file is new.
//
// Thread safety: ScanOutgoing and the thread body run on the agent's own
// thread; GetNextNewFile, GetNextRetryFile, DeferFile and ReleaseFile may be
// called from any thread. One mutex, m_csLists, guards the four lists and
// the table of their names; each operation holds it for its whole body and
// calls nothing outside while holding it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.h"
#include "config/Settings.h"
#include "core/Thread.h"
#include "platform/StopSignal.h"

class CRemoteAgent : public CThread {
 public:
  // Takes the outgoing directory from settings now and the retry bounds at
  // each scan. settings must outlive the agent.
  explicit CRemoteAgent(const kelpd::config::SettingsStore& settings);
  ~CRemoteAgent() override;

  // Lists the outgoing directory, opens a retry cycle when it is due, and
  // appends every non-empty "*.eml" name that is in none of the lists to the
  // new list. Returns the number of names added. Agent thread only (tests
  // call it directly on an agent that was not started).
  int ScanOutgoing();

  // The head of the new (retry) list, moved to the active list; false when
  // that list is empty (name is then left alone). *report, when given, tells
  // whether a failure report "<name>.err" may lie beside the mail: the scan
  // listed one, an earlier attempt was deferred (and wrote one), or the scan
  // that added the name is still listing.
  [[nodiscard]] bool GetNextNewFile(std::string& name, bool* report = nullptr);
  [[nodiscard]] bool GetNextRetryFile(std::string& name, bool* report = nullptr);
  // Appends name to the deferred list, taking it out of the active list (or
  // whichever list holds it); a name in no list is added. Returns true.
  bool DeferFile(const std::string& name);
  // Takes name out of the active list, when there.
  void ReleaseFile(const std::string& name);
  // For an idle delivery thread: returns when the new or retry list has a
  // name, the scan added one, timeout_ms passed, or the calling thread is
  // asked to stop, whichever comes first. Any thread.
  void WaitForFiles(int timeout_ms);

  // The number of names in each list (tests and diagnostics).
  struct Counts {
    size_t new_files, retry, deferred, active;
  };
  Counts GetCounts() const;

  // Replaces the clock (seconds since 1970) that ScanOutgoing reads (tests).
  void SetClockForTests(kelpd::base::Clock clock) { clock_ = std::move(clock); }

 protected:
  void Run() override;

 private:
  enum class ListId : uint8_t { kNew, kRetry, kDeferred, kActive, kNone };
  static constexpr uint32_t kNoEntry = UINT32_MAX;
  // One known name and its place in its list. Entries live in one store
  // (stable addresses, a freed entry is reused) and the lists are chains
  // through their indices, so a waiting mail costs one entry and one slot of
  // the name table instead of a list node and a hash node of its own.
  struct Entry {
    std::string name;
    uint32_t prev = kNoEntry;
    uint32_t next = kNoEntry;  // also the chain of free entries
    // The entry that followed this one in the last listing. The directory
    // returns its names in the same order each time, so a scan mostly finds
    // the next name where this points and never reaches for the table.
    uint32_t listed_next = kNoEntry;
    ListId list = ListId::kNone;
    // The same for the entries whose failure reports were listed, in the
    // order of the reports' names.
    uint32_t report_listed_next = kNoEntry;
    // A failure report beside the mail was listed, or may have been written.
    bool report = false;
    // The scan that added the name, while it is still listing.
    uint32_t added_by_scan = 0;
  };

 public:
  // A first-in, first-out list of names: a chain through the entries.
  struct NameList {
    uint32_t head = kNoEntry;
    uint32_t tail = kNoEntry;
    size_t size = 0;
    bool empty() const { return size == 0; }
  };

 private:
  // Takes m_csLists itself.
  bool TakeHead(ListId from, std::string& name, bool* report);
  // REQUIRES: m_csLists held (all of these).
  NameList& ListOf(ListId id);
  // Puts name at the tail of list id (moved there when it is in another
  // list, so that a name is never in two lists) and returns its entry.
  uint32_t Append(ListId id, std::string_view name);
  void Link(ListId id, uint32_t index);
  void Unlink(uint32_t index);
  // The entry that holds name, or kNoEntry.
  uint32_t Find(std::string_view name) const;
  void AddToTable(uint32_t index);
  void RemoveFromTable(uint32_t index);
  // Drops the name of an entry in no list and keeps the entry for reuse.
  void FreeEntry(uint32_t index);
  bool IsPaused() const;

 public:
  // The agent's lists and settings, shared with the delivery threads.
  NameList m_lstNew;       // guarded by m_csLists
  NameList m_lstRetry;     // guarded by m_csLists
  NameList m_lstDeferred;  // guarded by m_csLists
  NameList m_lstActive;    // guarded by m_csLists
  mutable std::mutex m_csLists;
  std::string m_strOutgoingDir;
  int64_t m_tLastCycle = 0;  // agent thread only

 private:
  // guarded by m_csLists:
  std::deque<Entry> entries_;
  uint32_t free_entries_ = kNoEntry;
  // The name table: open addressing with linear probing. A slot is 0 when
  // empty, else the name's 32-bit hash in the high half and its entry index
  // plus one in the low half; a look-up reads the entry only when the hashes
  // agree. Kept at most half full.
  std::vector<uint64_t> table_;
  size_t table_used_ = 0;
  uint32_t first_listed_ = kNoEntry;         // the first entry of the last listing
  uint32_t first_report_listed_ = kNoEntry;  // the first whose report it listed
  // The number of the scan that is listing now, 0 while none is.
  uint32_t listing_scan_ = 0;
  uint32_t last_scan_ = 0;
  // Raised when a scan leaves names to take; idle delivery threads wait on it.
  kelpd::platform::WakeSignal files_waiting_;
  const kelpd::config::SettingsStore& settings_;
  kelpd::base::Clock clock_;
};
