#include "platform/Inotify.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace kelpd::platform {

namespace {

// A tree deeper or larger than this is watched only down to the limit: the
// kernel's watch budget is shared with every other program of the user.
constexpr int kMaxDepth = 32;
constexpr size_t kMaxWatches = 65536;
// One poll reads at most this many buffers; what is left is seen by the next.
constexpr int kMaxReadsPerDrain = 256;

void SetErr(int* err, int value) {
  if (err != nullptr) *err = value;
}

}  // namespace

uint32_t DirectoryWatch::WatchMask(bool is_root) const {
  uint32_t mask = IN_ONLYDIR;
  if (!is_root) mask |= IN_DONT_FOLLOW;
  if (filter_ & (kNotifyFileName | kNotifyDirName))
    mask |= IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
  if (filter_ & kNotifyCreation) mask |= IN_CREATE | IN_MOVED_TO;
  if (filter_ & kNotifyArrival) mask |= IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE;
  if (filter_ & (kNotifyLastWrite | kNotifySize)) mask |= IN_MODIFY | IN_CLOSE_WRITE;
  if (filter_ & (kNotifyAttributes | kNotifySecurity)) mask |= IN_ATTRIB;
  if (filter_ & kNotifyLastAccess) mask |= IN_ACCESS;
  // New directories must be seen to be watched.
  if (subtree_) mask |= IN_CREATE | IN_MOVED_TO;
  return mask;
}

std::string DirectoryWatch::FullPath(const std::string& rel) const {
  return rel.empty() ? root_ : root_ + "/" + rel;
}

std::string DirectoryWatch::Join(const std::string& rel, const std::string& name) const {
  return rel.empty() ? name : rel + "/" + name;
}

bool DirectoryWatch::Open(const std::string& dir, uint32_t filter, bool subtree,
                          OpenFailure* failure, int* err) {
  if (failure != nullptr) *failure = OpenFailure::kNone;
  int close_err = 0;
  Close(&close_err);
  UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!fd) {
    SetErr(err, errno);
    if (failure != nullptr) *failure = OpenFailure::kInstance;
    return false;
  }
  root_ = dir;
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  filter_ = filter;
  subtree_ = subtree;
  int wd = ::inotify_add_watch(fd.get(), root_.c_str(), WatchMask(true));
  if (wd < 0) {
    SetErr(err, errno);
    if (failure != nullptr) *failure = OpenFailure::kDirectory;
    return false;
  }
  fd_ = std::move(fd);
  paths_.clear();
  paths_[wd] = std::string();
  if (subtree_) AddTree(std::string(), 0, nullptr);
  return true;
}

bool DirectoryWatch::Close(int* err) {
  paths_.clear();
  if (!fd_.valid()) return true;
  if (!fd_.Reset()) {
    SetErr(err, errno);
    return false;
  }
  return true;
}

int DirectoryWatch::Poll(int* err) {
  if (!fd_.valid()) return 0;
  struct pollfd p {
    fd_.get(), POLLIN, 0
  };
  int r;
  do {
    r = ::poll(&p, 1, 0);
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    SetErr(err, errno);
    return -1;
  }
  if (r == 0) return 0;
  if (p.revents & (POLLERR | POLLNVAL)) {
    SetErr(err, EIO);
    return -1;
  }
  return (p.revents & POLLIN) ? 1 : 0;
}

void DirectoryWatch::Report(uint32_t action, bool is_dir, const std::string& name,
                            std::vector<ChangeRecord>* records) const {
  if (records == nullptr) return;
  bool wanted = false;
  switch (action) {
    case kActionAdded:
      wanted = (filter_ & (is_dir ? kNotifyDirName : kNotifyFileName)) ||
               (filter_ & (kNotifyCreation | kNotifyArrival));
      break;
    case kActionRenamedNewName:
      wanted =
          (filter_ & (is_dir ? kNotifyDirName : kNotifyFileName)) || (filter_ & kNotifyArrival);
      break;
    case kActionRemoved:
    case kActionRenamedOldName:
      wanted = (filter_ & (is_dir ? kNotifyDirName : kNotifyFileName)) != 0;
      break;
    default:
      wanted = true;  // the watch mask already limits the other kinds
      break;
  }
  if (wanted) records->push_back(ChangeRecord{action, name});
}

void DirectoryWatch::AddTree(const std::string& rel, int depth,
                             std::vector<ChangeRecord>* records) {
  if (depth >= kMaxDepth) return;
  DIR* d = ::opendir(FullPath(rel).c_str());
  if (d == nullptr) return;  // gone again, or unreadable: nothing to watch
  while (struct dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    struct stat st {};
    if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    bool is_dir = S_ISDIR(st.st_mode);
    std::string child = Join(rel, e->d_name);
    // Entries that a new directory already held when its watch began would
    // otherwise never be seen.
    if (records != nullptr) Report(kActionAdded, is_dir, child, records);
    if (!is_dir || paths_.size() >= kMaxWatches) continue;
    int wd = ::inotify_add_watch(fd_.get(), FullPath(child).c_str(), WatchMask(false));
    if (wd < 0) continue;  // vanished meanwhile, or the watch budget is spent
    paths_[wd] = child;
    AddTree(child, depth + 1, records);
  }
  ::closedir(d);
}

bool DirectoryWatch::Drain(std::vector<ChangeRecord>* records, bool* overflow, int* err) {
  if (!fd_.valid()) return true;
  alignas(struct inotify_event) char buf[16384];
  for (int reads = 0; reads < kMaxReadsPerDrain; ++reads) {
    ssize_t n = ::read(fd_.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      SetErr(err, errno);
      return false;
    }
    if (n == 0) return true;
    size_t offset = 0;
    const size_t total = static_cast<size_t>(n);
    // Only records wholly inside the bytes the read delivered are visited.
    while (offset + sizeof(struct inotify_event) <= total) {
      struct inotify_event ev;
      std::memcpy(&ev, buf + offset, sizeof ev);
      size_t record_size = sizeof(struct inotify_event) + ev.len;
      if (record_size > total - offset) break;
      const char* name_bytes = buf + offset + sizeof(struct inotify_event);
      std::string name(name_bytes, ::strnlen(name_bytes, ev.len));
      offset += record_size;

      if (ev.mask & IN_Q_OVERFLOW) {
        if (overflow != nullptr) *overflow = true;
        // Directories made while events were lost are not watched yet.
        if (subtree_) AddTree(std::string(), 0, nullptr);
        continue;
      }
      auto it = paths_.find(ev.wd);
      if (it == paths_.end()) continue;
      if (ev.mask & IN_IGNORED) {
        paths_.erase(it);
        continue;
      }
      if (name.empty()) continue;  // events of the watched directory itself
      const std::string rel = Join(it->second, name);
      const bool is_dir = (ev.mask & IN_ISDIR) != 0;
      if (ev.mask & IN_CREATE) Report(kActionAdded, is_dir, rel, records);
      if (ev.mask & IN_DELETE) Report(kActionRemoved, is_dir, rel, records);
      if (ev.mask & IN_MOVED_FROM) Report(kActionRenamedOldName, is_dir, rel, records);
      if (ev.mask & IN_MOVED_TO) Report(kActionRenamedNewName, is_dir, rel, records);
      if ((ev.mask & (IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_ACCESS)) &&
          !(ev.mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)))
        Report(kActionModified, is_dir, rel, records);
      if (subtree_ && is_dir && (ev.mask & (IN_CREATE | IN_MOVED_TO)) &&
          paths_.size() < kMaxWatches) {
        int wd = ::inotify_add_watch(fd_.get(), FullPath(rel).c_str(), WatchMask(false));
        if (wd >= 0) {
          paths_[wd] = rel;  // a directory moved within the tree keeps its watch
          AddTree(rel, 1, records);
        }
      }
    }
  }
  return true;
}

}  // namespace kelpd::platform
