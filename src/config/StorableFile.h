// What the file-backed map and list share: reading a whole file for a load,
// cutting it into lines, the change check, whole-file writes and backups.
// Thread-safe: the functions keep no state; the stamp belongs to the caller,
// who guards it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FileSystem.h"

namespace kelpd::config {

// A list or map file larger than this is refused rather than read into memory.
constexpr size_t kMaxStorableFileBytes = 64u * 1024 * 1024;

// The version of a file when it was last loaded, saved or checked: its full
// modification time (nanoseconds included), size, device and inode; all 0
// until it has been examined.
struct FileStamp {
  int64_t time = 0;
  int64_t time_nsec = 0;
  uint64_t size = 0;
  uint64_t device = 0;
  uint64_t inode = 0;

  static FileStamp Of(const platform::FileStatus& status) {
    return FileStamp{status.mtime_sec, status.mtime_nsec, status.size, status.device, status.inode};
  }
  bool operator==(const FileStamp&) const = default;
};

// Reads the file described by status (as StatFile found it) whole. Fails when
// it cannot be read or is not, or no longer, that version of the file.
bool ReadForLoad(const std::string& path, const platform::FileStatus& status, std::string& data);

// The lines of a text file: split at line feeds, a carriage return before a
// line feed dropped, a last line without line feed kept. The views point
// into data.
std::vector<std::string_view> SplitTextLines(std::string_view data);

// Whether the first '#' of line, at index hash, is written as the escape
// "\#".
bool IsEscapedHash(const std::string& line, size_t hash);

// The change check: a file that cannot be examined resets the stamp and is
// not a change; otherwise the file changed when any part of its stamp
// differs: an edit within the same second, or one that keeps the size, is
// seen by the nanoseconds, and a file replaced by rename by its inode. The
// stamp takes the present values.
bool CheckChanged(const std::string& path, FileStamp& stamp);

// Copies the file at path to base (or path, when base is empty) followed by
// the present local time as "-%y%m%d-%H%M%S". Failure is not reported: a
// missing backup does not stop a save.
void WriteBackup(const std::string& path, const std::string& base);

// Replaces the file at path with data (written whole) and sets the stamp to
// the new file's values.
bool WriteForSave(const std::string& path, const std::string& data, FileStamp& stamp);

}  // namespace kelpd::config
