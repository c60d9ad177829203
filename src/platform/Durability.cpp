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
// One descriptor for each file system noted by descriptor, with its device.
thread_local std::vector<std::pair<dev_t, UniqueFd>> t_noted_fds;
// A file system noted without a descriptor to spare: the flush syncs them all.
thread_local bool t_sync_all = false;

}  // namespace

void SetThreadSyncMode(SyncMode mode) { t_mode = mode; }
SyncMode ThreadSyncMode() { return t_mode; }

void NoteDeferredWrite(const std::string& directory) {
  if (t_mode != SyncMode::kDeferred) return;
  t_noted.insert(directory.empty() ? std::string(".") : directory);
}

void NoteDeferredWrite(int fd, uint64_t device) {
  if (t_mode != SyncMode::kDeferred) return;
  struct stat st {};
  st.st_dev = static_cast<dev_t>(device);
  if (device != 0) {
    for (const auto& noted : t_noted_fds)
      if (noted.first == st.st_dev) return;
  } else if (::fstat(fd, &st) != 0) {
    // Unknown: its own descriptor stands for it.
    st.st_dev = 0;
  } else {
    for (const auto& noted : t_noted_fds)
      if (noted.first == st.st_dev) return;
  }
  UniqueFd copy(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (!copy.valid()) {
    t_sync_all = true;
    return;
  }
  t_noted_fds.emplace_back(st.st_dev, std::move(copy));
}

bool HasDeferredWrites() { return !t_noted.empty() || !t_noted_fds.empty() || t_sync_all; }

bool FlushDeferredWrites(FileError& err, std::string& failed_path) {
  if (!HasDeferredWrites()) return true;
  if (t_sync_all) ::sync();
  std::vector<dev_t> synced;
  for (const auto& [dev, fd] : t_noted_fds) {
    if (::syncfs(fd.get()) != 0) {
      err = FileError::FromErrno(errno);
      failed_path = "/proc/self/fd/" + std::to_string(fd.get());
      return false;
    }
    if (dev != 0) synced.push_back(dev);
  }
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
  t_noted_fds.clear();
  t_sync_all = false;
  return true;
}

}  // namespace kelpd::platform
