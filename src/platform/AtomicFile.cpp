#include "platform/AtomicFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/Durability.h"
#include "platform/FdIO.h"

namespace kelpd::platform {

namespace {

std::atomic<unsigned> g_temp_counter{0};

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A fresh temporary name in dir; attempt varies it when getrandom can't.
std::string TempName(const std::string& dir, int attempt) {
  unsigned random = 0;
  if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random) {
    random = static_cast<unsigned>(::getpid()) * 2654435761u + static_cast<unsigned>(attempt);
  }
  char name[96];
  ::snprintf(name, sizeof name, ".kelpd-%d-%u-%08x.tmp", static_cast<int>(::getpid()),
             g_temp_counter.fetch_add(1), random);
  return dir == "/" ? "/" + std::string(name) : dir + "/" + name;
}

// Creates a new temporary file in dir; returns its descriptor (or -1 with
// errno set) and its path.
int CreateTemp(const std::string& dir, std::string& temp_path, mode_t mode) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp_path = TempName(dir, attempt);
    int fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// An unnamed file in dir (O_TMPFILE): it has no name until it is linked into
// place, so a process killed while writing it leaves nothing behind. -1 with
// errno set where the file system or kernel can't make one, or /proc is not
// there to link it by.
int CreateUnnamed(const std::string& dir) {
  static const bool proc_fds = ::access("/proc/self/fd", X_OK) == 0;
  if (!proc_fds) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
}

bool IsUnsupported(int e) { return e == EOPNOTSUPP || e == EISDIR || e == EINVAL; }

// A symbolic link at path names the file to replace: the link stays. st
// gets what lstat found (st_mode 0 when nothing); *resolved says whether path
// was a link that was followed.
std::string ResolveTarget(const std::string& path, struct stat& st, bool* resolved) {
  *resolved = false;
  if (::lstat(path.c_str(), &st) != 0) {
    st.st_mode = 0;
    return path;
  }
  if (S_ISLNK(st.st_mode)) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real != nullptr) {
      std::string target(real);
      ::free(real);
      *resolved = true;
      return target;
    }
  }
  return path;
}

// What the new file takes over: the mode, owner and group of the regular file
// it replaces, else the mode asked for a new file.
struct Inherited {
  bool replaces = false;
  struct stat old {};
  int new_mode = kUmaskMode;
};

// known, when not null, is what lstat found at path (no link).
Inherited InheritFrom(const std::string& path, bool replace, int new_mode,
                      const struct stat* known) {
  Inherited in;
  in.new_mode = new_mode;
  if (replace && known != nullptr) {
    in.old = *known;
    in.replaces = S_ISREG(in.old.st_mode);
  } else {
    in.replaces = replace && ::stat(path.c_str(), &in.old) == 0 && S_ISREG(in.old.st_mode);
  }
  return in;
}

// Gives the file its mode, owner and group before it gets a name, so no
// reader ever sees it wider open than meant. Owner and group are set first
// (a change of owner may clear set-id bits). A writer that may not give the
// file away keeps what it may: the group, then nothing.
bool ApplyInherited(int fd, const Inherited& in) {
  if (in.replaces) {
    if (::fchown(fd, in.old.st_uid, in.old.st_gid) != 0 && errno == EPERM)
      (void)::fchown(fd, static_cast<uid_t>(-1), in.old.st_gid);
    return ::fchmod(fd, in.old.st_mode & 07777) == 0;
  }
  if (in.new_mode == kUmaskMode) return true;
  return ::fchmod(fd, static_cast<mode_t>(in.new_mode) & 07777) == 0;
}

// The data must be on stable storage before a rename puts the file over an
// old one: else a power failure can leave the name with an empty file where
// a whole old one was. A new name loses nothing, so in deferred mode its sync
// waits for the pass.
bool SyncBeforeName(int fd, bool replaces, bool per_file) {
  return (!per_file && !replaces) || ::fdatasync(fd) == 0;
}

// Gives an unnamed file the name path; an existing name is never replaced
// (EEXIST).
bool LinkUnnamed(int fd, const std::string& path) {
  char proc_path[64];
  ::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
  return ::linkat(AT_FDCWD, proc_path, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// One writev for all pieces (a short write goes on where it stopped).
bool WriteAllPieces(int fd, std::initializer_list<std::string_view> pieces) {
  constexpr size_t kMaxPieces = 8;
  if (pieces.size() > kMaxPieces) {
    for (std::string_view piece : pieces) {
      if (!piece.empty() && !WriteAll(fd, piece.data(), piece.size())) return false;
    }
    return true;
  }
  struct iovec vec[kMaxPieces];
  int count = 0;
  for (std::string_view piece : pieces) {
    if (piece.empty()) continue;
    vec[count].iov_base = const_cast<char*>(piece.data());
    vec[count].iov_len = piece.size();
    ++count;
  }
  struct iovec* next = vec;
  while (count > 0) {
    ssize_t n = ::writev(fd, next, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    size_t done = static_cast<size_t>(n);
    while (count > 0 && done >= next->iov_len) {
      done -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + done;
      next->iov_len -= done;
    }
  }
  return true;
}

// Makes the new name in dir durable now, or at the pass's sync (fd, when
// still open, names the file system without opening the directory).
void FinishName(const std::string& dir, bool per_file, int fd = -1, uint64_t device = 0) {
  if (!per_file) {
    if (fd >= 0) {
      NoteDeferredWrite(fd, device);
    } else {
      NoteDeferredWrite(dir);
    }
    return;
  }
  UniqueFd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir_fd.valid()) ::fsync(dir_fd.get());
}

// Gives an unnamed file a fresh temporary name in dir.
bool LinkUnnamedAsTemp(int fd, const std::string& dir, std::string& temp_path) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp_path = TempName(dir, attempt);
    if (LinkUnnamed(fd, temp_path)) return true;
    if (errno != EEXIST) return false;
  }
  errno = EEXIST;
  return false;
}

// Writes with an unnamed file. A new name is linked once the file is whole;
// a name to replace gets a whole file under a temporary name that is renamed
// over it at once, so a killed process leaves a partial file under no name
// and a whole one only in the moment between the two calls. False with
// *unsupported set when the caller should use a named temporary file instead.
bool WriteUnnamed(const std::string& dir, const std::string& path,
                  std::initializer_list<std::string_view> pieces, bool replace,
                  const Inherited& inherited, FileError& err, bool* unsupported) {
  *unsupported = false;
  UniqueFd fd(CreateUnnamed(dir));
  if (!fd.valid()) {
    if (IsUnsupported(errno)) {
      *unsupported = true;
    } else {
      err = FileError::FromErrno(errno);
    }
    return false;
  }
  const bool per_file = ThreadSyncMode() == SyncMode::kPerFile;
  if (!WriteAllPieces(fd.get(), pieces) || !ApplyInherited(fd.get(), inherited) ||
      !SyncBeforeName(fd.get(), inherited.replaces, per_file)) {
    err = FileError::FromErrno(errno);
    return false;
  }
  // The name the file gets first; a late write error (as network file
  // systems report at close) takes it away again.
  std::string first_name = path;
  if (replace ? !LinkUnnamedAsTemp(fd.get(), dir, first_name) : !LinkUnnamed(fd.get(), path)) {
    err = FileError::FromErrno(errno);
    return false;
  }
  // Noted while the descriptor is open; a failure below leaves only an extra sync.
  if (!per_file) FinishName(dir, per_file, fd.get());
  if (!fd.Reset()) {
    const int e = errno;
    ::unlink(first_name.c_str());
    err = FileError::FromErrno(e);
    return false;
  }
  if (replace && ::rename(first_name.c_str(), path.c_str()) != 0) {
    const int e = errno;
    ::unlink(first_name.c_str());
    err = FileError::FromErrno(e);
    return false;
  }
  if (per_file) FinishName(dir, per_file);
  return true;
}

}  // namespace

bool ReadOnlyFile::Open(const std::string& path, FileError& err) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    err = FileError::FromErrno(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    err = FileError::FromErrno(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    err = FileError::FromErrno(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    return false;
  }
  fd_ = std::move(fd);
  size_ = st.st_size;
  return true;
}

int64_t ReadOnlyFile::ReadAt(int64_t offset, char* buf, size_t len) {
  for (;;) {
    ssize_t n = ::pread(fd_.get(), buf, len, offset);
    if (n >= 0) return n;
    if (errno != EINTR) return -1;
  }
}

bool WriteFileWhole(const std::string& target, std::initializer_list<std::string_view> pieces,
                    bool replace, FileError& err, int new_mode) {
  struct stat found {};
  bool resolved = false;
  const std::string path = replace ? ResolveTarget(target, found, &resolved) : target;
  const std::string dir = DirectoryOf(path);
  // A link that was followed (or a dangling one) is looked at again.
  const bool known = replace && !resolved && !S_ISLNK(found.st_mode);
  const Inherited inherited = InheritFrom(path, replace, new_mode, known ? &found : nullptr);
  bool unsupported = false;
  if (WriteUnnamed(dir, path, pieces, replace, inherited, err, &unsupported)) return true;
  if (!unsupported) return false;
  std::string temp_path;
  // Named, so no wider open than the final file until its mode is set.
  const bool umask_mode = !inherited.replaces && new_mode == kUmaskMode;
  UniqueFd fd(CreateTemp(dir, temp_path, umask_mode ? 0666 : 0600));
  if (!fd.valid()) {
    err = FileError::FromErrno(errno);
    return false;
  }
  auto fail = [&](int e) {
    fd.Reset();
    ::unlink(temp_path.c_str());
    err = FileError::FromErrno(e);
    return false;
  };
  if (!ApplyInherited(fd.get(), inherited) || !WriteAllPieces(fd.get(), pieces)) return fail(errno);
  const bool per_file = ThreadSyncMode() == SyncMode::kPerFile;
  if (!SyncBeforeName(fd.get(), inherited.replaces, per_file)) return fail(errno);
  if (!fd.Reset()) return fail(errno);
  if (replace) {
    if (::rename(temp_path.c_str(), path.c_str()) != 0) return fail(errno);
  } else {
    // link never replaces an existing name: EEXIST tells the caller to pick
    // another one.
    if (::link(temp_path.c_str(), path.c_str()) != 0) return fail(errno);
    ::unlink(temp_path.c_str());
  }
  FinishName(dir, per_file);
  return true;
}

bool StagedFiles::Add(const std::string& dir, std::initializer_list<std::string_view> pieces,
                      int new_mode, FileError& err) {
  File file;
  file.dir = dir;
  file.fd.Reset(CreateUnnamed(dir));
  if (!file.fd.valid()) {
    if (!IsUnsupported(errno)) {
      err = FileError::FromErrno(errno);
      return false;
    }
    file.fd.Reset(CreateTemp(dir, file.temp_path, new_mode == kUmaskMode ? 0666 : 0600));
    if (!file.fd.valid()) {
      err = FileError::FromErrno(errno);
      return false;
    }
  }
  Inherited mode;
  mode.new_mode = new_mode;
  if (!ApplyInherited(file.fd.get(), mode) || !WriteAllPieces(file.fd.get(), pieces)) {
    err = FileError::FromErrno(errno);
    if (!file.temp_path.empty()) ::unlink(file.temp_path.c_str());
    return false;
  }
  files_.push_back(std::move(file));
  return true;
}

bool StagedFiles::SyncData(FileError& err, std::string& failed_path) {
  const bool per_file = ThreadSyncMode() == SyncMode::kPerFile;
  // The devices synced by this call, so that each file system is synced once.
  std::vector<dev_t> synced;
  // The directories seen, with their devices.
  std::vector<std::pair<const std::string*, dev_t>> dirs;
  for (size_t i = synced_; i < files_.size(); ++i) {
    File& file = files_[i];
    if (per_file) {
      if (::fdatasync(file.fd.get()) != 0) {
        err = FileError::FromErrno(errno);
        failed_path = file.dir;
        return false;
      }
      continue;
    }
    bool done = false;
    for (const auto& [dir, dev] : dirs) {
      if (*dir != file.dir) continue;
      file.device = dev;
      done = true;
      break;
    }
    if (done) continue;
    struct stat st {};
    if (::fstat(file.fd.get(), &st) != 0) {
      err = FileError::FromErrno(errno);
      failed_path = file.dir;
      return false;
    }
    file.device = st.st_dev;
    for (dev_t dev : synced) done = done || dev == st.st_dev;
    if (!done) {
      if (::syncfs(file.fd.get()) != 0) {
        err = FileError::FromErrno(errno);
        failed_path = file.dir;
        return false;
      }
      synced.push_back(st.st_dev);
    }
    dirs.emplace_back(&file.dir, st.st_dev);
  }
  synced_ = files_.size();
  return true;
}

bool StagedFiles::Name(size_t index, const std::string& path, FileError& err) {
  if (index >= synced_ || files_[index].named) {
    err = FileError::FromErrno(EINVAL);
    return false;
  }
  File& file = files_[index];
  const bool linked = file.temp_path.empty() ? LinkUnnamed(file.fd.get(), path)
                                             : ::link(file.temp_path.c_str(), path.c_str()) == 0;
  if (!linked) {
    err = FileError::FromErrno(errno);
    return false;
  }
  file.named = true;
  const bool per_file = ThreadSyncMode() == SyncMode::kPerFile;
  FinishName(file.dir, per_file, file.fd.get(), file.device);
  return true;
}

void StagedFiles::Clear() {
  for (File& file : files_) {
    if (!file.temp_path.empty()) ::unlink(file.temp_path.c_str());
  }
  files_.clear();
  synced_ = 0;
}

bool RemoveFile(const std::string& path, FileError& err) {
  if (::unlink(path.c_str()) == 0) return true;
  err = FileError::FromErrno(errno);
  return false;
}

}  // namespace kelpd::platform
