// The outcome of a file operation: success, or the cause number and errno of
// a failure, as log lines and failure reports show them ("cause=2 error=2").
// Thread-safe: a value type.
#pragma once

#include <string>

namespace kelpd::platform {

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

// The errno of "the file exists" failures (the suite's file-exists code 80).
constexpr int kFileExistsErrno = 17;  // EEXIST

// Success, or a failure with its cause and errno. A failure may carry an
// errno without a file cause: a mail that was busy (ETIMEDOUT) or broken
// (ENODATA) rather than unreadable.
class [[nodiscard]] FileResult {
 public:
  FileResult() = default;  // success
  FileResult(FileCause cause, int error) : cause_(cause), error_(error) {}
  static FileResult FromErrno(int err) { return FileResult(FileCauseFromErrno(err), err); }

  bool ok() const { return cause_ == kFileCauseNone && error_ == -1; }
  FileCause cause() const { return cause_; }
  int error() const { return error_; }  // errno, -1 when none was recorded
  bool Is(FileCause c) const { return cause_ == c; }
  bool HasCause() const { return cause_ != kFileCauseNone; }
  bool AlreadyExists() const { return error_ == kFileExistsErrno; }
  // The errno text for log lines, "unknown error" when there is none.
  std::string Text() const { return error_ > 0 ? ErrnoText(error_) : "unknown error"; }
  // For a caller that has nothing to do about a failure.
  void IgnoreError() const {}

 private:
  FileCause cause_ = kFileCauseNone;
  int error_ = -1;
};

}  // namespace kelpd::platform
