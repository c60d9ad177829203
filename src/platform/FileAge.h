// The age of a file: when it was created, as far as the file system knows.
// Thread-safe: one status call per question.
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

}  // namespace kelpd::platform
