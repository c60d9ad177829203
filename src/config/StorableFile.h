// What the file-backed map and list share: reading a whole file for a load,
// cutting it into lines, the change check, whole-file writes and backups.
// Thread-safe: the functions keep no state; the stamp belongs to the caller,
// who guards it.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/Files.h"

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

// The first half of a load, as the map and the list run it: examines the file
// at path, takes its stamp into stamp (with section held), asks before_load,
// then reads the file whole into data. False when any step fails.
bool ReadStorableFile(const std::string& path, std::recursive_mutex& section, FileStamp& stamp,
                      const std::function<bool()>& before_load, std::string& data);

// The second half: the parts are emptied and parse fills them; when it fails
// or memory runs out, they get their previous contents back, so readers see
// the old contents or the new, never a part.
template <class... Parts>
bool ParseKeepingOnFailure(const std::function<bool()>& parse, Parts&... parts) {
  std::tuple<Parts...> old;
  auto exchange = [&](auto&... slot) { (std::swap(slot, parts), ...); };
  std::apply(exchange, old);
  bool ok = false;
  try {
    ok = parse();
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  if (!ok) std::apply(exchange, old);
  return ok;
}

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

// Replaces the file at path with data (written whole, the directory's sync
// left to deferred when given) and sets the stamp to the new file's values.
bool WriteForSave(const std::string& path, const std::string& data, FileStamp& stamp,
                  platform::DeferredSync* deferred = nullptr);

}  // namespace kelpd::config
