// Reading whole files and writing files that appear whole.
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
// Thread-safe: no shared state besides an atomic counter.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Errors.h"
#include "platform/UniqueFd.h"

namespace kelpd::platform {

// A regular file opened read-only (close-on-exec) with positional reads.
class ReadOnlyFile {
 public:
  ReadOnlyFile() = default;

  // Opens path; on failure returns false with err set from errno. A directory
  // or other non-regular file fails with EISDIR / EINVAL.
  bool Open(const std::string& path, FileError& err);
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

// new_mode of WriteFileWhole for 0666 less the umask.
constexpr int kUmaskMode = -1;

// The one writer of whole files. Writes the concatenation of pieces to path
// so that it appears whole. With replace an existing file is replaced
// (rename; a symbolic link at path stays and its target is replaced) and the
// new file keeps the mode, owner and group of the old one, and its data is
// synced before the rename in every sync mode, so the name never comes back
// empty after a power failure. Without replace an existing file makes the call
// fail with EEXIST and stays untouched (link). A file that replaces nothing
// gets new_mode exactly (kUmaskMode: 0666 less the umask). In per-file sync
// mode the data is synced before the file gets its name, and the directory
// after. Returns false with err set on failure.
bool WriteFileWhole(const std::string& path, std::initializer_list<std::string_view> pieces,
                    bool replace, FileError& err, int new_mode = kUmaskMode);

// New files written now and named later, so that a group of them is made
// durable by one sync between the writes and the names: no name appears
// before its data is on stable storage, and no file is synced on its own.
//
//   StagedFiles group;
//   group.Add(dir, {header, body}, mode, err);  // an unnamed file
//   group.SyncData(err, failed_path);           // once for the group
//   group.Name(0, path, err);                   // never replaces (EEXIST)
//   FlushDeferredWrites(err, failed_path);      // the names
//   group.Clear();
//
// A file is written unnamed (O_TMPFILE) so that a killed process leaves
// nothing behind; where the file system can't, under a temporary name as
// WriteFileWhole does, removed again by Clear. In deferred sync mode SyncData
// runs one syncfs per file system and Name notes the names for
// FlushDeferredWrites; in per-file mode SyncData syncs each file and Name
// syncs the directory at once. Each file holds a descriptor until Clear.
class StagedFiles {
 public:
  StagedFiles() = default;
  ~StagedFiles() { Clear(); }
  StagedFiles(const StagedFiles&) = delete;
  StagedFiles& operator=(const StagedFiles&) = delete;

  size_t size() const { return files_.size(); }
  bool empty() const { return files_.empty(); }
  // Writes a new file in dir with new_mode (as for WriteFileWhole); it gets
  // index size() - 1. False with err set on failure (nothing is added).
  bool Add(const std::string& dir, std::initializer_list<std::string_view> pieces, int new_mode,
           FileError& err);
  // Puts the data of every file added so far on stable storage.
  bool SyncData(FileError& err, std::string& failed_path);
  // Gives file index the name path, after SyncData. An existing name is kept
  // and fails with EEXIST, so the caller may try another; a file can be named
  // once.
  bool Name(size_t index, const std::string& path, FileError& err);
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
  std::vector<File> files_;
  size_t synced_ = 0;  // files_[0, synced_) have their data on stable storage
};

// Removes path; false with err set on failure.
bool RemoveFile(const std::string& path, FileError& err);

}  // namespace kelpd::platform
