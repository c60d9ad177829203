// File-system calls of the configuration store and the directory scans:
// status, whole-file reads that notice a concurrent change, plain copies and
// directory listings. Thread-safe: every function works on its own
// descriptors; a DirectoryReader belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelpd::platform {

struct FileStatus {
  int64_t mtime_sec = 0;   // modification time, seconds since 1970
  int64_t mtime_nsec = 0;  // and its nanoseconds
  uint64_t size = 0;
  uint32_t mode = 0;  // permission bits (07777)
  uint64_t device = 0;
  uint64_t inode = 0;
  bool is_directory = false;
  bool is_regular = false;

  // Same file (device and inode), same size and same modification time.
  bool SameVersionAs(const FileStatus& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           mtime_sec == other.mtime_sec && mtime_nsec == other.mtime_nsec;
  }
};

// stat(2) of path (symbolic links followed). False with errno in *err when the
// path cannot be examined.
bool StatFile(const std::string& path, FileStatus& status, int* err);

// Reads the whole regular file at path into out. Fails (errno in *err) when the
// file cannot be opened or read, is larger than max_bytes (EFBIG), or is not
// the version described by expected, or changes while it is read (EAGAIN):
// a reader never takes a half-written file for a whole one.
bool ReadWholeFile(const std::string& path, const FileStatus& expected, size_t max_bytes,
                   std::string& out, int* err);

// Copies the file from to the file to (replaced when it exists), written
// whole by WriteFileWhole. Files above max_bytes fail with EFBIG.
bool CopyFile(const std::string& from, const std::string& to, size_t max_bytes, int* err);

// The entries of one directory, "." and ".." left out, in the order the file
// system returns them.
class DirectoryReader {
 public:
  struct Entry {
    std::string name;
    bool is_directory = false;  // symbolic links are followed
    uint64_t size = 0;
    bool writable = true;  // the owner may write it
  };

  DirectoryReader() = default;
  ~DirectoryReader();
  DirectoryReader(const DirectoryReader&) = delete;
  DirectoryReader& operator=(const DirectoryReader&) = delete;

  // Opens the directory (close-on-exec). False with errno in *err.
  bool Open(const std::string& dir, int* err);
  // The next entry; false at the end or on a read error.
  bool Next(Entry& entry);
  void Close();

 private:
  void* dir_ = nullptr;  // DIR*
};

}  // namespace kelpd::platform
