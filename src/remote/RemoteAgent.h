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
// their index; each operation holds it for its whole body and calls nothing
// outside while holding it.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

#include "base/Clock.h"
#include "core/Thread.h"
#include "platform/StopSignal.h"

class CRemoteAgent : public CThread {
 public:
  // Reads "OutgoingDir" now.
  CRemoteAgent();
  ~CRemoteAgent() override;

  // Lists the outgoing directory, opens a retry cycle when it is due, and
  // appends every non-empty "*.eml" name that is in none of the lists to the
  // new list. Returns the number of names added. Agent thread only (tests
  // call it directly on an agent that was not started).
  int ScanOutgoing();

  // The head of the new (retry) list, moved to the active list; false when
  // that list is empty (name is then left alone).
  [[nodiscard]] bool GetNextNewFile(std::string& name);
  [[nodiscard]] bool GetNextRetryFile(std::string& name);
  // Takes name out of the active list (when there) and appends it to the
  // deferred list (always). Returns true.
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
  enum class ListId : uint8_t { kNew, kRetry, kDeferred, kActive };
  using NameList = std::list<std::string>;
  // Where one name stands. The lists keep their order and FIFO meaning; the
  // index beside them makes the scan's membership test and ReleaseFile
  // constant-time, so 100,000 waiting files cost 100,000 look-ups per scan,
  // not their square.
  struct Location {
    ListId list;
    NameList::iterator it;
  };
  using Index = std::unordered_multimap<std::string, Location>;

  NameList& ListOf(ListId id);
  // REQUIRES: m_csLists held.
  void Append(ListId id, const std::string& name);
  bool TakeHead(ListId from, std::string& name);
  bool RemoveFrom(ListId id, const std::string& name);
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
  Index index_;  // guarded by m_csLists
  // Raised when a scan leaves names to take; idle delivery threads wait on it.
  kelpd::platform::WakeSignal files_waiting_;
  kelpd::base::Clock clock_;
};
