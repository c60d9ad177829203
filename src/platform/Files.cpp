#include "platform/Files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/Paths.h"
#include "platform/FdIO.h"

namespace kelpd::platform {

namespace {

std::atomic<unsigned> g_temp_counter{0};

FileResult LastError() { return FileResult::FromErrno(errno); }

void FillStatus(const struct stat& st, FileStatus& status) {
  status.mtime_sec = static_cast<int64_t>(st.st_mtim.tv_sec);
  status.mtime_nsec = static_cast<int64_t>(st.st_mtim.tv_nsec);
  status.size = static_cast<uint64_t>(st.st_size);
  status.mode = static_cast<uint32_t>(st.st_mode & 07777);
  status.device = static_cast<uint64_t>(st.st_dev);
  status.inode = static_cast<uint64_t>(st.st_ino);
  status.is_directory = S_ISDIR(st.st_mode);
  status.is_regular = S_ISREG(st.st_mode);
}

int OpenRead(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Reads from fd until end of file, at most max_bytes (one byte more marks the
// file as too large).
FileResult ReadToEnd(int fd, size_t max_bytes, std::string& out) {
  out.clear();
  char buf[16384];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    if (n == 0) return {};
    if (out.size() + static_cast<size_t>(n) > max_bytes) return FileResult::FromErrno(EFBIG);
    out.append(buf, static_cast<size_t>(n));
  }
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

// Makes the names in dir durable; a directory that can't be opened is left.
void SyncDirectory(const std::string& dir) {
  UniqueFd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir_fd.valid()) ::fsync(dir_fd.get());
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
// a whole old one was. A new name loses nothing, so a deferred sync of it
// waits for the flush.
bool SyncBeforeName(int fd, bool replaces, const DeferredSync* deferred) {
  return (deferred != nullptr && !replaces) || ::fdatasync(fd) == 0;
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

// Makes the new name in dir durable now, or at the flush (fd, when still
// open, names the file system without opening the directory).
void FinishName(const std::string& dir, DeferredSync* deferred, int fd = -1, uint64_t device = 0) {
  if (deferred == nullptr) {
    SyncDirectory(dir);
  } else if (fd >= 0) {
    deferred->Note(fd, device);
  } else {
    deferred->Note(dir);
  }
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
// and a whole one only in the moment between the two calls. Fails with
// *unsupported set when the caller should use a named temporary file instead.
FileResult WriteUnnamed(const std::string& dir, const std::string& path,
                        std::initializer_list<std::string_view> pieces, const WriteOptions& options,
                        const Inherited& inherited, bool* unsupported) {
  *unsupported = false;
  UniqueFd fd(CreateUnnamed(dir));
  if (!fd.valid()) {
    *unsupported = IsUnsupported(errno);
    return LastError();
  }
  if (!WriteAllPieces(fd.get(), pieces) || !ApplyInherited(fd.get(), inherited) ||
      !SyncBeforeName(fd.get(), inherited.replaces, options.deferred))
    return LastError();
  // The name the file gets first; a late write error (as network file
  // systems report at close) takes it away again.
  std::string first_name = path;
  if (options.replace ? !LinkUnnamedAsTemp(fd.get(), dir, first_name)
                      : !LinkUnnamed(fd.get(), path))
    return LastError();
  // Noted while the descriptor is open; a failure below leaves only an extra sync.
  if (options.deferred != nullptr) FinishName(dir, options.deferred, fd.get());
  if (!fd.Reset()) {
    const int e = errno;
    ::unlink(first_name.c_str());
    return FileResult::FromErrno(e);
  }
  if (options.replace && ::rename(first_name.c_str(), path.c_str()) != 0) {
    const int e = errno;
    ::unlink(first_name.c_str());
    return FileResult::FromErrno(e);
  }
  if (options.deferred == nullptr) SyncDirectory(dir);
  return {};
}

// link, then unlink of the source: for file systems without RENAME_NOREPLACE.
bool LinkAndUnlink(const std::string& from, const std::string& to, int& error) {
  if (::link(from.c_str(), to.c_str()) != 0) {
    error = errno;
    return false;
  }
  if (::unlink(from.c_str()) != 0) {
    error = errno;
    ::unlink(to.c_str());
    return false;
  }
  return true;
}

// Copies from into a new temporary file beside to, syncs it, links it to to
// and removes from.
bool CopyAcross(const std::string& from, const std::string& to, int& error) {
  UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  struct stat source {};
  if (!in.valid() || ::fstat(in.get(), &source) != 0) {
    error = errno;
    return false;
  }
  const std::string dir = DirectoryOf(to);
  std::string temp;
  // The copy is no more readable than the mail it copies.
  UniqueFd out(CreateTemp(dir, temp, source.st_mode & 0777));
  if (!out.valid()) {
    error = errno;
    return false;
  }
  auto fail = [&](int e) {
    out.Reset();
    ::unlink(temp.c_str());
    error = e;
    return false;
  };
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    if (n == 0) break;
    if (!WriteAll(out.get(), buffer, static_cast<size_t>(n))) return fail(errno);
  }
  if (::fdatasync(out.get()) != 0) return fail(errno);
  if (!out.Reset()) return fail(errno);
  if (::link(temp.c_str(), to.c_str()) != 0) return fail(errno);
  ::unlink(temp.c_str());
  SyncDirectory(dir);
  if (::unlink(from.c_str()) != 0) {
    // The source stays, so the copy goes again: a move tried on every pass
    // must not leave one more copy each time.
    error = errno;
    ::unlink(to.c_str());
    SyncDirectory(dir);
    return false;
  }
  return true;
}

}  // namespace

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

FileResult StatFile(const std::string& path, FileStatus& status) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return LastError();
  FillStatus(st, status);
  return {};
}

FileResult ReadWholeFile(const std::string& path, const FileStatus& expected, size_t max_bytes,
                         std::string& out) {
  UniqueFd fd(OpenRead(path));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0) return LastError();
  if (S_ISDIR(st.st_mode)) return FileResult::FromErrno(EISDIR);
  FileStatus before;
  FillStatus(st, before);
  if (!before.SameVersionAs(expected)) return FileResult::FromErrno(EAGAIN);
  if (FileResult read = ReadToEnd(fd.get(), max_bytes, out); !read.ok()) return read;
  if (::fstat(fd.get(), &st) != 0) return LastError();
  FileStatus after;
  FillStatus(st, after);
  if (!after.SameVersionAs(before) || out.size() != after.size)
    return FileResult::FromErrno(EAGAIN);
  return {};
}

FileResult ReadWholeFile(const std::string& path, size_t max_bytes, std::string& out) {
  FileStatus status;
  FileResult result = StatFile(path, status);
  return result.ok() ? ReadWholeFile(path, status, max_bytes, out) : result;
}

std::optional<std::string> ReadFileStart(const std::string& path, size_t max_bytes) {
  UniqueFd fd(OpenRead(path));
  if (!fd.valid()) return std::nullopt;
  std::string out;
  char buf[4096];
  while (out.size() < max_bytes) {
    size_t want = max_bytes - out.size();
    if (want > sizeof buf) want = sizeof buf;
    ssize_t n = ::read(fd.get(), buf, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

FileResult ReadOnlyFile::Open(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0) return LastError();
  if (!S_ISREG(st.st_mode)) return FileResult::FromErrno(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  fd_ = std::move(fd);
  size_ = st.st_size;
  return {};
}

int64_t ReadOnlyFile::ReadAt(int64_t offset, char* buf, size_t len) {
  for (;;) {
    ssize_t n = ::pread(fd_.get(), buf, len, offset);
    if (n >= 0) return n;
    if (errno != EINTR) return -1;
  }
}

void DeferredSync::Note(const std::string& directory) {
  dirs_.insert(directory.empty() ? std::string(".") : directory);
}

void DeferredSync::Note(int fd, uint64_t device) {
  struct stat st {};
  st.st_dev = static_cast<dev_t>(device);
  if (device == 0 && ::fstat(fd, &st) != 0) {
    // Unknown: its own descriptor stands for it.
    st.st_dev = 0;
  } else {
    for (const auto& noted : fds_)
      if (noted.first == st.st_dev) return;
  }
  UniqueFd copy(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (!copy.valid()) {
    sync_all_ = true;
    return;
  }
  fds_.emplace_back(st.st_dev, std::move(copy));
}

FileResult DeferredSync::Flush(std::string& failed_path) {
  if (!HasWrites()) return {};
  if (sync_all_) ::sync();
  std::vector<uint64_t> synced;
  for (const auto& [dev, fd] : fds_) {
    if (::syncfs(fd.get()) != 0) {
      failed_path = "/proc/self/fd/" + std::to_string(fd.get());
      return LastError();
    }
    if (dev != 0) synced.push_back(dev);
  }
  for (const std::string& dir : dirs_) {
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // A directory that went away holds nothing we still need.
    if (!fd.valid() && errno == ENOENT) continue;
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
      failed_path = dir;
      return LastError();
    }
    bool done = false;
    for (uint64_t dev : synced) done = done || dev == st.st_dev;
    if (done) continue;
    if (::syncfs(fd.get()) != 0) {
      failed_path = dir;
      return LastError();
    }
    synced.push_back(st.st_dev);
  }
  dirs_.clear();
  fds_.clear();
  sync_all_ = false;
  return {};
}

FileResult WriteFileWhole(const std::string& target, std::initializer_list<std::string_view> pieces,
                          const WriteOptions& options) {
  struct stat found {};
  bool resolved = false;
  const bool replace = options.replace;
  const std::string path = replace ? ResolveTarget(target, found, &resolved) : target;
  const std::string dir = DirectoryOf(path);
  // A link that was followed (or a dangling one) is looked at again.
  const bool known = replace && !resolved && !S_ISLNK(found.st_mode);
  const Inherited inherited =
      InheritFrom(path, replace, options.new_mode, known ? &found : nullptr);
  bool unsupported = false;
  FileResult result = WriteUnnamed(dir, path, pieces, options, inherited, &unsupported);
  if (!unsupported) return result;
  std::string temp_path;
  // Named, so no wider open than the final file until its mode is set.
  const bool umask_mode = !inherited.replaces && options.new_mode == kUmaskMode;
  UniqueFd fd(CreateTemp(dir, temp_path, umask_mode ? 0666 : 0600));
  if (!fd.valid()) return LastError();
  auto fail = [&](int e) {
    fd.Reset();
    ::unlink(temp_path.c_str());
    return FileResult::FromErrno(e);
  };
  if (!ApplyInherited(fd.get(), inherited) || !WriteAllPieces(fd.get(), pieces)) return fail(errno);
  if (!SyncBeforeName(fd.get(), inherited.replaces, options.deferred)) return fail(errno);
  if (!fd.Reset()) return fail(errno);
  if (replace) {
    if (::rename(temp_path.c_str(), path.c_str()) != 0) return fail(errno);
  } else {
    // link never replaces an existing name: EEXIST tells the caller to pick
    // another one.
    if (::link(temp_path.c_str(), path.c_str()) != 0) return fail(errno);
    ::unlink(temp_path.c_str());
  }
  FinishName(dir, options.deferred);
  return {};
}

FileResult StagedFiles::Add(const std::string& dir, std::initializer_list<std::string_view> pieces,
                            int new_mode) {
  File file;
  file.dir = dir;
  file.fd.Reset(CreateUnnamed(dir));
  if (!file.fd.valid()) {
    if (!IsUnsupported(errno)) return LastError();
    file.fd.Reset(CreateTemp(dir, file.temp_path, new_mode == kUmaskMode ? 0666 : 0600));
    if (!file.fd.valid()) return LastError();
  }
  Inherited mode;
  mode.new_mode = new_mode;
  if (!ApplyInherited(file.fd.get(), mode) || !WriteAllPieces(file.fd.get(), pieces)) {
    FileResult result = LastError();
    if (!file.temp_path.empty()) ::unlink(file.temp_path.c_str());
    return result;
  }
  files_.push_back(std::move(file));
  return {};
}

FileResult StagedFiles::SyncData(std::string& failed_path) {
  // The devices synced by this call, so that each file system is synced once.
  std::vector<dev_t> synced;
  // The directories seen, with their devices.
  std::vector<std::pair<const std::string*, dev_t>> dirs;
  for (size_t i = synced_; i < files_.size(); ++i) {
    File& file = files_[i];
    if (deferred_ == nullptr) {
      if (::fdatasync(file.fd.get()) != 0) {
        failed_path = file.dir;
        return LastError();
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
      failed_path = file.dir;
      return LastError();
    }
    file.device = st.st_dev;
    for (dev_t dev : synced) done = done || dev == st.st_dev;
    if (!done) {
      if (::syncfs(file.fd.get()) != 0) {
        failed_path = file.dir;
        return LastError();
      }
      synced.push_back(st.st_dev);
    }
    dirs.emplace_back(&file.dir, st.st_dev);
  }
  synced_ = files_.size();
  return {};
}

FileResult StagedFiles::Name(size_t index, const std::string& path) {
  if (index >= synced_ || files_[index].named) return FileResult::FromErrno(EINVAL);
  File& file = files_[index];
  const bool linked = file.temp_path.empty() ? LinkUnnamed(file.fd.get(), path)
                                             : ::link(file.temp_path.c_str(), path.c_str()) == 0;
  if (!linked) return LastError();
  file.named = true;
  FinishName(file.dir, deferred_, file.fd.get(), file.device);
  return {};
}

void StagedFiles::Clear() {
  for (File& file : files_) {
    if (!file.temp_path.empty()) ::unlink(file.temp_path.c_str());
  }
  files_.clear();
  synced_ = 0;
}

FileResult CopyFile(const std::string& from, const std::string& to, size_t max_bytes) {
  UniqueFd fd(OpenRead(from));
  if (!fd) return LastError();
  std::string data;
  if (FileResult read = ReadToEnd(fd.get(), max_bytes, data); !read.ok()) return read;
  return WriteFileWhole(to, {data}, {.replace = true});
}

FileResult MoveFileNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
  int error = errno;
  bool ok = false;
  if (error == EINVAL || error == ENOSYS) ok = LinkAndUnlink(from, to, error);
  if (!ok && error == EXDEV) ok = CopyAcross(from, to, error);
  return ok ? FileResult() : FileResult::FromErrno(error);
}

FileResult RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 ? FileResult() : LastError();
}

DirectoryReader::~DirectoryReader() { Close(); }

FileResult DirectoryReader::Open(const std::string& dir, std::string pattern) {
  Close();
  pattern_ = std::move(pattern);
  dir_ = ::opendir(dir.empty() ? "." : dir.c_str());  // glibc opens it close-on-exec
  return dir_ != nullptr ? FileResult() : FileResult::FromErrno(errno);
}

bool DirectoryReader::Next(std::string_view& name) {
  current_ = nullptr;
  type_ = EntryType::kUnknown;
  if (dir_ == nullptr) return false;
  for (;;) {
    struct dirent* e = ::readdir(static_cast<DIR*>(dir_));
    if (e == nullptr) return false;
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    if (!pattern_.empty() && !kelpd::text::MatchWildcard(pattern_, e->d_name)) continue;
    current_ = e->d_name;
    name = current_;
    switch (e->d_type) {
      case DT_UNKNOWN:
        break;
      case DT_DIR:
        type_ = EntryType::kDirectory;
        break;
      case DT_REG:
        type_ = EntryType::kRegular;
        break;
      default:
        type_ = EntryType::kOther;
    }
    return true;
  }
}

FileResult DirectoryReader::Stat(FileStatus& status) const {
  if (dir_ == nullptr || current_ == nullptr) return FileResult::FromErrno(EBADF);
  struct stat st {};
  if (::fstatat(::dirfd(static_cast<DIR*>(dir_)), current_, &st, 0) != 0) return LastError();
  FillStatus(st, status);
  return {};
}

void DirectoryReader::Close() {
  if (dir_ != nullptr) ::closedir(static_cast<DIR*>(dir_));
  dir_ = nullptr;
  current_ = nullptr;
}

FileResult GetFileAge(const std::string& path, FileAge& age) {
  struct statx stx {};
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME | STATX_SIZE, &stx) != 0)
    return LastError();
  age.size = stx.stx_size;
  age.from_birth_time = (stx.stx_mask & STATX_BTIME) != 0 && stx.stx_btime.tv_sec != 0;
  age.created = age.from_birth_time ? static_cast<int64_t>(stx.stx_btime.tv_sec)
                                    : static_cast<int64_t>(stx.stx_mtime.tv_sec);
  return {};
}

}  // namespace kelpd::platform
