// CFileChangeMonitorEx: watches a directory (and, on request, its whole
// tree) and hands each change record to OnChange, which decides whether it
// counts. Polled without waiting. Record names are paths relative to the
// watched directory with '/' between components; directories that appear in
// a watched tree are watched as they appear, and the entries they already
// hold are reported as added. When the system's queue overflowed, records
// were lost: the poll then reports a change whatever OnChange would say.
//
// Thread-safe: Create, HasChanged and Close are exclusive under the
// monitor's lock. OnChange runs with the lock held.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/Inotify.h"

class CFileChangeMonitorEx {
 public:
  using Record = kelpd::platform::ChangeRecord;

  CFileChangeMonitorEx() = default;
  virtual ~CFileChangeMonitorEx();
  CFileChangeMonitorEx(const CFileChangeMonitorEx&) = delete;
  CFileChangeMonitorEx& operator=(const CFileChangeMonitorEx&) = delete;

  // Starts watching. False (logged) when already created or the watch
  // cannot be set up.
  bool Create(const std::string& directory, uint32_t filter, bool watch_subtree);
  // Whether any record since the last poll counted (OnChange returned true
  // for at least one; every record is offered).
  bool HasChanged();
  // Stops watching; Create may be called again.
  void Close();

  // Called for each change record; the base counts every record.
  virtual bool OnChange(const Record& record);

 private:
  std::mutex lock_;
  kelpd::platform::DirectoryWatch watch_;  // guarded by lock_
  uint32_t filter_ = 0;                    // guarded by lock_
  bool watch_subtree_ = false;             // guarded by lock_
  bool silent_ = false;                    // a read failed: no change is reported until re-created
};
