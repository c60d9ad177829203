#include "platform/FileSystem.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/Durability.h"
#include "platform/FdIO.h"
#include "platform/UniqueFd.h"

namespace kelpd::platform {

namespace {

void SetErr(int* err, int value) {
  if (err != nullptr) *err = value;
}

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
bool ReadToEnd(int fd, size_t max_bytes, std::string& out, int* err) {
  out.clear();
  char buf[16384];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetErr(err, errno);
      return false;
    }
    if (n == 0) return true;
    if (out.size() + static_cast<size_t>(n) > max_bytes) {
      SetErr(err, EFBIG);
      return false;
    }
    out.append(buf, static_cast<size_t>(n));
  }
}

// The path that a write must replace: the target of a symbolic link, else the
// path itself.
std::string ResolveTarget(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real != nullptr) {
      std::string resolved(real);
      ::free(real);
      return resolved;
    }
  }
  return path;
}

std::atomic<unsigned> g_temp_counter{0};

}  // namespace

bool StatFile(const std::string& path, FileStatus& status, int* err) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    SetErr(err, errno);
    return false;
  }
  FillStatus(st, status);
  return true;
}

bool ReadWholeFile(const std::string& path, const FileStatus& expected, size_t max_bytes,
                   std::string& out, int* err) {
  UniqueFd fd(OpenRead(path));
  if (!fd) {
    SetErr(err, errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    SetErr(err, errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    SetErr(err, EISDIR);
    return false;
  }
  FileStatus before;
  FillStatus(st, before);
  if (!before.SameVersionAs(expected)) {
    SetErr(err, EAGAIN);
    return false;
  }
  if (!ReadToEnd(fd.get(), max_bytes, out, err)) return false;
  if (::fstat(fd.get(), &st) != 0) {
    SetErr(err, errno);
    return false;
  }
  FileStatus after;
  FillStatus(st, after);
  if (!after.SameVersionAs(before) || out.size() != after.size) {
    SetErr(err, EAGAIN);
    return false;
  }
  return true;
}

bool WriteFileAtomic(const std::string& path, std::string_view data, int* err) {
  const std::string target = ResolveTarget(path);
  size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);

  struct stat old {};
  bool replaces = ::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  mode_t mode = replaces ? (old.st_mode & 07777) : 0666;

  std::string temp;
  UniqueFd fd;
  for (int attempt = 0; attempt < 100 && !fd; ++attempt) {
    temp = dir + "." + name + "." + std::to_string(::getpid()) + "." +
           std::to_string(g_temp_counter.fetch_add(1)) + ".tmp";
    fd.Reset(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode));
    if (!fd && errno != EEXIST && errno != EINTR) break;
  }
  if (!fd) {
    SetErr(err, errno);
    return false;
  }
  bool ok = WriteAll(fd.get(), data.data(), data.size());
  // The creation mode was cut by the umask; a replaced file keeps its own.
  if (ok && replaces) ok = ::fchmod(fd.get(), mode) == 0;
  const bool per_file = ThreadSyncMode() == SyncMode::kPerFile;
  if (ok && per_file) ok = ::fdatasync(fd.get()) == 0;
  int saved = errno;
  if (ok) {
    ok = fd.Reset();
    saved = errno;
  }
  if (ok) {
    ok = ::rename(temp.c_str(), target.c_str()) == 0;
    saved = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    SetErr(err, saved);
    return false;
  }
  if (!per_file) {
    // dir keeps its trailing '/'; "/" itself stays whole.
    NoteDeferredWrite(dir.empty()      ? std::string(".")
                      : dir.size() > 1 ? dir.substr(0, dir.size() - 1)
                                       : dir);
  }
  return true;
}

bool CopyFile(const std::string& from, const std::string& to, size_t max_bytes, int* err) {
  UniqueFd fd(OpenRead(from));
  if (!fd) {
    SetErr(err, errno);
    return false;
  }
  std::string data;
  if (!ReadToEnd(fd.get(), max_bytes, data, err)) return false;
  return WriteFileAtomic(to, data, err);
}

DirectoryReader::~DirectoryReader() { Close(); }

bool DirectoryReader::Open(const std::string& dir, int* err) {
  Close();
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());  // glibc opens it close-on-exec
  if (d == nullptr) {
    SetErr(err, errno);
    return false;
  }
  dir_ = d;
  return true;
}

bool DirectoryReader::Next(Entry& entry) {
  if (dir_ == nullptr) return false;
  DIR* d = static_cast<DIR*>(dir_);
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(d);
    if (e == nullptr) return false;
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    entry.name = e->d_name;
    entry.is_directory = e->d_type == DT_DIR;
    entry.size = 0;
    entry.writable = true;
    struct stat st {};
    if (::fstatat(::dirfd(d), e->d_name, &st, 0) == 0) {
      entry.is_directory = S_ISDIR(st.st_mode);
      entry.size = static_cast<uint64_t>(st.st_size);
      entry.writable = (st.st_mode & S_IWUSR) != 0;
    }
    return true;
  }
}

void DirectoryReader::Close() {
  if (dir_ != nullptr) {
    ::closedir(static_cast<DIR*>(dir_));
    dir_ = nullptr;
  }
}

}  // namespace kelpd::platform
