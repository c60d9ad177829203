// The age of a file and moving a file aside without ever replacing another.
// Thread-safe: every call works on its own descriptors.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Errors.h"

namespace kelpd::platform {

struct FileAge {
  int64_t created = 0;  // seconds since 1970
  uint64_t size = 0;
  bool from_birth_time = false;  // false: the file system keeps no birth time
};

// The creation time of path: its birth time (statx) where the file system
// keeps one, else its modification time; never the status-change time, which
// a rename changes. False with err set when the file can't be examined.
bool GetFileAge(const std::string& path, FileAge& age, FileError& err);

// Moves from to to, failing with EEXIST when to exists (renameat2 with
// RENAME_NOREPLACE; link and unlink where the file system lacks it). Across
// file systems the file is copied to a temporary name beside to, synced,
// linked into place and then removed at from. False with err set on failure;
// from is then still there.
bool MoveFileNoReplace(const std::string& from, const std::string& to, FileError& err);

}  // namespace kelpd::platform
