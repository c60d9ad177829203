// Turning errno into the error numbers the service reports: the socket error
// numbers its texts are keyed by, and the cause numbers of file errors.
// Thread-safe: pure functions.
#pragma once

#include <string>

namespace kelpd::platform {

// The socket error number (10000 and up) for an errno value.
int SocketErrorFromErrno(int err);

// The file-error cause (0..14) for an errno value: ENOENT 2, ENOTDIR/ENAMETOOLONG/
// ELOOP 3, EMFILE/ENFILE 4, EACCES/EPERM/EROFS/EISDIR 5, EBADF 6, EIO 10,
// EWOULDBLOCK 12, ENOSPC/EDQUOT 13, anything else 1.
int FileCauseFromErrno(int err);

// strerror_r text for an errno value.
std::string ErrnoText(int err);

// A failed file operation as callers report it: the cause number and errno.
struct FileError {
  int cause = 0;   // 0: no error
  int error = -1;  // errno, -1 when none was recorded

  static FileError FromErrno(int err) { return FileError{FileCauseFromErrno(err), err}; }
  bool IsSet() const { return cause != 0; }
};

// The errno of "the file exists" failures (the suite's file-exists code 80).
constexpr int kFileExistsErrno = 17;  // EEXIST

}  // namespace kelpd::platform
