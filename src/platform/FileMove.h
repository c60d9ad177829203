// Moving a file to another directory without ever replacing a file there
// (the error directory keeps every mail it was given). Thread-safe.
#pragma once

#include <string>

#include "platform/Errors.h"

namespace kelpd::platform {

// Moves from to to. An existing file at to is never replaced: the call then
// fails with EEXIST in err and nothing changes. Within one file system the
// move is a rename (renameat2 with RENAME_NOREPLACE, or link and unlink where
// the file system lacks it); across file systems the data is copied to a
// temporary name beside to, synced, linked into place and the source removed.
bool MoveFileNoReplace(const std::string& from, const std::string& to, FileError& err);

}  // namespace kelpd::platform
