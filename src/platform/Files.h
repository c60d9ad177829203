// The service's file work: status, whole reads, directory listings, files
// that appear whole, moves that never replace, removal, and when written files
// reach stable storage. Every call returns a FileResult.
//
// A file is written as an unnamed file in the target's directory (O_TMPFILE)
// and gets a name only once it is whole: linked to its name where an existing
// name must not be replaced, else linked to a temporary name that is renamed
// over the old file at once. So even a killed process leaves no partial file
// behind. Where the file system can't make unnamed files, the file is written
// under the temporary name itself (".kelpd-<pid>-<n>-<random>.tmp", which no
// "*.eml" or other scan of the service matches), synced, and then renamed (or
// linked) into place. On any failure the temporary file is removed, so a
// reader never sees a partial file.
//
// Thread-safe: no shared state besides an atomic counter; a DeferredSync, a
// StagedFiles group and a DirectoryReader belong to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/FileResult.h"
#include "platform/UniqueFd.h"

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

// stat(2) of path (symbolic links followed).
FileResult StatFile(const std::string& path, FileStatus& status);

// The directory part of path: "." when it has none, "/" for a file in the root.
std::string DirectoryOf(const std::string& path);

// Reads the whole regular file at path into out. Fails when the file cannot be
// opened or read, is larger than max_bytes (EFBIG), or is not the version
// described by expected, or changes while it is read (EAGAIN): a reader never
// takes a half-written file for a whole one.
FileResult ReadWholeFile(const std::string& path, const FileStatus& expected, size_t max_bytes,
                         std::string& out);
// The same for the version found now.
FileResult ReadWholeFile(const std::string& path, size_t max_bytes, std::string& out);

// The first max_bytes bytes of the file at path, or nothing when it cannot be
// opened or read (configuration such as resolv.conf, read as far as it goes).
std::optional<std::string> ReadFileStart(const std::string& path, size_t max_bytes);

// A regular file opened read-only (close-on-exec) with positional reads.
class ReadOnlyFile {
 public:
  ReadOnlyFile() = default;

  // Opens path. A directory or other non-regular file fails with EISDIR /
  // EINVAL.
  FileResult Open(const std::string& path);
  // The size at the time of opening.
  int64_t Size() const { return size_; }
  // Reads up to len bytes at offset; returns the count (0 at the end of the
  // file) or -1 with errno set. EINTR is retried.
  int64_t ReadAt(int64_t offset, char* buf, size_t len);
  bool IsOpen() const { return fd_.valid(); }

 private:
  UniqueFd fd_;
  int64_t size_ = 0;
};

// The writes of one thread whose syncs wait for a later point (the local
// delivery agent's, before it deletes the queue files of a pass). Writes
// given one skip the per-file syncs of new files (a file that replaces
// another is still synced before the rename) and note their file systems;
// Flush then runs one syncfs per file system noted.
class DeferredSync {
 public:
  DeferredSync() = default;
  DeferredSync(const DeferredSync&) = delete;
  DeferredSync& operator=(const DeferredSync&) = delete;

  // Notes the directory of a written file.
  void Note(const std::string& directory);
  // The same by a descriptor open on the written file: no directory needs to
  // be opened, and a file system already noted costs nothing more than the
  // fstat (nothing when device, the file's st_dev, is given).
  void Note(int fd, uint64_t device = 0);
  // Whether writes were noted since the last successful flush.
  bool HasWrites() const { return !dirs_.empty() || !fds_.empty() || sync_all_; }
  // One syncfs for each file system noted. On success the notes are cleared;
  // on failure they are kept (so a later flush tries again) and failed_path
  // names the first failure.
  FileResult Flush(std::string& failed_path);

 private:
  std::set<std::string> dirs_;
  // One descriptor for each file system noted by descriptor, with its device.
  std::vector<std::pair<uint64_t, UniqueFd>> fds_;
  // A file system noted without a descriptor to spare: the flush syncs them all.
  bool sync_all_ = false;
};

// new_mode of a write for 0666 less the umask.
constexpr int kUmaskMode = -1;

struct WriteOptions {
  // Replace an existing file (rename), else fail with EEXIST and leave it.
  bool replace = false;
  // The mode of a file that replaces nothing (kUmaskMode: 0666 less the umask).
  int new_mode = kUmaskMode;
  // Null: the data is synced before the file gets its name, and the directory
  // after. Else the syncs of a new file wait for deferred->Flush().
  DeferredSync* deferred = nullptr;
};

// The one writer of whole files. Writes the concatenation of pieces to path
// so that it appears whole. A replacing write keeps a symbolic link at path
// (its target is replaced) and gives the new file the mode, owner and group of
// the old one, and its data is synced before the rename in every case, so the
// name never comes back empty after a power failure. A file that replaces
// nothing gets new_mode exactly.
FileResult WriteFileWhole(const std::string& path, std::initializer_list<std::string_view> pieces,
                          const WriteOptions& options);

// New files written now and named later, so that a group of them is made
// durable by one sync between the writes and the names: no name appears
// before its data is on stable storage, and no file is synced on its own.
//
//   StagedFiles group(&deferred);
//   group.Add(dir, {header, body}, mode);  // an unnamed file
//   group.SyncData(failed_path);           // once for the group
//   group.Name(0, path);                   // never replaces (EEXIST)
//   deferred.Flush(failed_path);           // the names
//   group.Clear();
//
// A file is written unnamed (O_TMPFILE) so that a killed process leaves
// nothing behind; where the file system can't, under a temporary name as
// WriteFileWhole does, removed again by Clear. With a DeferredSync SyncData
// runs one syncfs per file system and Name notes the names in it; without,
// SyncData syncs each file and Name syncs the directory at once. Each file
// holds a descriptor until Clear.
class StagedFiles {
 public:
  explicit StagedFiles(DeferredSync* deferred = nullptr) : deferred_(deferred) {}
  ~StagedFiles() { Clear(); }
  StagedFiles(const StagedFiles&) = delete;
  StagedFiles& operator=(const StagedFiles&) = delete;

  DeferredSync* deferred() const { return deferred_; }
  size_t size() const { return files_.size(); }
  bool empty() const { return files_.empty(); }
  // Writes a new file in dir with new_mode (as for WriteFileWhole); it gets
  // index size() - 1. Nothing is added on failure.
  FileResult Add(const std::string& dir, std::initializer_list<std::string_view> pieces,
                 int new_mode);
  // Puts the data of every file added so far on stable storage.
  FileResult SyncData(std::string& failed_path);
  // Gives file index the name path, after SyncData. An existing name is kept
  // and fails with EEXIST, so the caller may try another; a file can be named
  // once.
  FileResult Name(size_t index, const std::string& path);
  // Closes every file; one never named is gone.
  void Clear();

 private:
  struct File {
    UniqueFd fd;
    std::string dir;
    std::string temp_path;  // only where no unnamed file could be made
    uint64_t device = 0;    // st_dev, once synced
    bool named = false;
  };
  DeferredSync* deferred_;
  std::vector<File> files_;
  size_t synced_ = 0;  // files_[0, synced_) have their data on stable storage
};

// Copies the file from to the file to (replaced when it exists), written
// whole by WriteFileWhole. Files above max_bytes fail with EFBIG.
FileResult CopyFile(const std::string& from, const std::string& to, size_t max_bytes);

// Moves from to to. An existing file at to is never replaced: the call then
// fails with EEXIST and nothing changes. Within one file system the move is a
// rename (renameat2 with RENAME_NOREPLACE, or link and unlink where the file
// system lacks it); across file systems the data is copied to a temporary
// name beside to, synced, linked into place and the source removed.
FileResult MoveFileNoReplace(const std::string& from, const std::string& to);

FileResult RemoveFile(const std::string& path);

// The names in one directory, read without examining every entry: a name
// filter is applied before anything else, and the status of an entry is
// looked up only on request. A scan that already knows most names then costs
// one directory read instead of one status call per entry.
class DirectoryReader {
 public:
  // What the directory entry itself says of the current name, where the file
  // system tells (no status call; symbolic links not followed).
  enum class EntryType { kUnknown, kDirectory, kRegular, kOther };

  DirectoryReader() = default;
  ~DirectoryReader();
  DirectoryReader(const DirectoryReader&) = delete;
  DirectoryReader& operator=(const DirectoryReader&) = delete;

  // Opens the directory (close-on-exec; "" is the working directory). With a
  // pattern only names that match it as MatchWildcard says are returned.
  FileResult Open(const std::string& dir, std::string pattern = std::string());
  // The next name, "." and ".." left out; false at the end or on a read error.
  // The name is not copied: it stays valid until the next call.
  bool Next(std::string_view& name);
  EntryType Type() const { return type_; }
  // The status of the entry Next returned last (symbolic links followed); it
  // may have gone since.
  FileResult Stat(FileStatus& status) const;
  void Close();

 private:
  void* dir_ = nullptr;            // DIR*
  const char* current_ = nullptr;  // in the reader's buffer
  EntryType type_ = EntryType::kUnknown;
  std::string pattern_;
};

// The age of a file: when it was created, as far as the file system knows.
struct FileAge {
  int64_t created = 0;  // seconds since 1970
  uint64_t size = 0;
  bool from_birth_time = false;  // false: the file system keeps no birth time
};

// The creation time of path: its birth time (statx) where the file system
// keeps one, else its modification time; never the status-change time, which
// a rename changes.
FileResult GetFileAge(const std::string& path, FileAge& age);

}  // namespace kelpd::platform
