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

// Removes path; false with err set on failure.
bool RemoveFile(const std::string& path, FileError& err);

}  // namespace kelpd::platform
