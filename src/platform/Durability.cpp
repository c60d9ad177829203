#include "platform/Durability.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <vector>

#include "platform/UniqueFd.h"

namespace kelpd::platform {

namespace {

thread_local SyncMode t_mode = SyncMode::kPerFile;
thread_local std::set<std::string> t_noted;

}  // namespace

void SetThreadSyncMode(SyncMode mode) { t_mode = mode; }
SyncMode ThreadSyncMode() { return t_mode; }

void NoteDeferredWrite(const std::string& directory) {
  if (t_mode != SyncMode::kDeferred) return;
  t_noted.insert(directory.empty() ? std::string(".") : directory);
}

bool HasDeferredWrites() { return !t_noted.empty(); }

bool FlushDeferredWrites(FileError& err, std::string& failed_path) {
  if (!HasDeferredWrites()) return true;
  std::vector<dev_t> synced;
  for (const std::string& dir : t_noted) {
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
      // A directory that went away holds nothing we still need.
      if (errno == ENOENT) continue;
      err = FileError::FromErrno(errno);
      failed_path = dir;
      return false;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
      err = FileError::FromErrno(errno);
      failed_path = dir;
      return false;
    }
    bool done = false;
    for (dev_t dev : synced) done = done || dev == st.st_dev;
    if (done) continue;
    if (::syncfs(fd.get()) != 0) {
      err = FileError::FromErrno(errno);
      failed_path = dir;
      return false;
    }
    synced.push_back(st.st_dev);
  }
  t_noted.clear();
  return true;
}

}  // namespace kelpd::platform
