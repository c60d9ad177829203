// Turning errno into the error numbers the service reports: the socket error
// numbers its texts are keyed by, and the cause numbers of file errors.
// Thread-safe: pure functions.
#pragma once

#include <string>

namespace kelpd::platform {

// The socket error number (10000 and up) for an errno value.
int SocketErrorFromErrno(int err);

// The cause numbers of file errors, as log lines and failure reports show
// them ("cause=2") and as net/ErrorTexts words them.
enum FileCause : int {
  kFileCauseNone = 0,
  kFileCauseGeneric = 1,
  kFileCauseNotFound = 2,
  kFileCauseBadPath = 3,
  kFileCauseTooManyOpenFiles = 4,
  kFileCauseAccessDenied = 5,
  kFileCauseInvalidHandle = 6,
  kFileCauseRemoveCurrentDir = 7,
  kFileCauseDirectoryFull = 8,
  kFileCauseBadSeek = 9,
  kFileCauseHardIO = 10,
  kFileCauseSharingViolation = 11,
  kFileCauseLockViolation = 12,
  kFileCauseDiskFull = 13,
  kFileCauseEndOfFile = 14,
};

// The file-error cause for an errno value: ENOENT not found, ENOTDIR/
// ENAMETOOLONG/ELOOP bad path, EMFILE/ENFILE too many open files, EACCES/EPERM/
// EROFS/EISDIR access denied, EBADF invalid handle, EIO hardware error,
// EWOULDBLOCK lock violation, ENOSPC/EDQUOT disk full, anything else generic.
FileCause FileCauseFromErrno(int err);

// strerror_r text for an errno value.
std::string ErrnoText(int err);

// A failed file operation as callers report it: the cause number and errno.
struct FileError {
  int cause = kFileCauseNone;  // a FileCause
  int error = -1;              // errno, -1 when none was recorded

  static FileError FromErrno(int err) { return FileError{FileCauseFromErrno(err), err}; }
  bool IsSet() const { return cause != kFileCauseNone; }
  bool Is(FileCause c) const { return cause == c; }
};

// The errno of "the file exists" failures (the suite's file-exists code 80).
constexpr int kFileExistsErrno = 17;  // EEXIST

}  // namespace kelpd::platform
