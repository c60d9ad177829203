#include "platform/FileSystem.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/AtomicFile.h"
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

bool CopyFile(const std::string& from, const std::string& to, size_t max_bytes, int* err) {
  UniqueFd fd(OpenRead(from));
  if (!fd) {
    SetErr(err, errno);
    return false;
  }
  std::string data;
  if (!ReadToEnd(fd.get(), max_bytes, data, err)) return false;
  FileError write_err;
  if (WriteFileWhole(to, {data}, true, write_err)) return true;
  SetErr(err, write_err.error);
  return false;
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
