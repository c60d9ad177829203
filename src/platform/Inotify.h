// Directory change notification on inotify: one non-blocking, close-on-exec
// inotify descriptor watching a directory and, on request, every directory
// below it (directories that appear later are watched as they appear).
// Events are turned into change records whose name is the path relative to
// the watched directory with '/' between components.
//
// Not thread-safe: the owner serialises Open, Poll, Drain and Close.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/UniqueFd.h"

namespace kelpd::platform {

// Kinds of change to report (the directory-change filter bits the
// monitors are configured with).
constexpr uint32_t kNotifyFileName = 0x001;
constexpr uint32_t kNotifyDirName = 0x002;
constexpr uint32_t kNotifyAttributes = 0x004;
constexpr uint32_t kNotifySize = 0x008;
constexpr uint32_t kNotifyLastWrite = 0x010;
constexpr uint32_t kNotifyLastAccess = 0x020;
constexpr uint32_t kNotifyCreation = 0x040;
constexpr uint32_t kNotifySecurity = 0x100;
// A file that may have just become whole: created, moved in, or closed after
// writing. Deletions and writes in progress are not reported.
constexpr uint32_t kNotifyArrival = 0x200;

// The action of a change record (the action codes the monitors'
// callers compare).
constexpr uint32_t kActionAdded = 1;
constexpr uint32_t kActionRemoved = 2;
constexpr uint32_t kActionModified = 3;
constexpr uint32_t kActionRenamedOldName = 4;
constexpr uint32_t kActionRenamedNewName = 5;

struct ChangeRecord {
  uint32_t action = 0;
  std::string name;  // relative to the watched directory, '/' between components
};

class DirectoryWatch {
 public:
  enum class OpenFailure { kNone, kInstance, kDirectory };

  DirectoryWatch() = default;
  DirectoryWatch(const DirectoryWatch&) = delete;
  DirectoryWatch& operator=(const DirectoryWatch&) = delete;

  // Watches dir for the kinds of change in filter (kNotify... bits), with
  // subtree every directory below it too. On failure *failure says whether the
  // inotify instance or the watch on dir failed, *err carries errno, and the
  // object stays closed.
  bool Open(const std::string& dir, uint32_t filter, bool subtree, OpenFailure* failure, int* err);
  bool IsOpen() const { return fd_.valid(); }
  // The descriptor to wait on (readable while events are queued); -1 when closed.
  int fd() const { return fd_.get(); }
  // Closes the descriptor; false (errno in *err) when close failed. Closed either way.
  bool Close(int* err);

  // Whether events are queued, without waiting: 1 yes, 0 no, -1 the test
  // failed (errno in *err).
  int Poll(int* err);

  // Reads the queued events. Each reportable event is appended to records
  // (when not null); *overflow is set when the kernel's queue overflowed and
  // events were lost. New subdirectories are watched (with subtree), and the
  // entries they already hold are reported as added. A read error returns
  // false with errno in *err.
  bool Drain(std::vector<ChangeRecord>* records, bool* overflow, int* err);

 private:
  uint32_t WatchMask(bool is_root) const;
  // Watches the directory at relative path rel (and, with subtree, below it),
  // reporting what it already holds when records is not null.
  void AddTree(const std::string& rel, int depth, std::vector<ChangeRecord>* records);
  std::string FullPath(const std::string& rel) const;
  std::string Join(const std::string& rel, const std::string& name) const;
  void Report(uint32_t action, bool is_dir, const std::string& name,
              std::vector<ChangeRecord>* records) const;

  UniqueFd fd_;
  std::string root_;
  uint32_t filter_ = 0;
  bool subtree_ = false;
  std::unordered_map<int, std::string> paths_;  // watch descriptor -> relative path
};

}  // namespace kelpd::platform
