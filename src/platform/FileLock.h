// Named locks shared with the other programs of the suite: one per queued mail
// file (named by its base name) and one per mailbox account.
//
// A named lock is an exclusive flock on "<lock dir>/<name>.lock". The lock
// directory is $MAILLOCKDIR, by default /run/lock/zelvane, and is created when
// missing with mode 02770 (the suite's programs share its group; no other
// account can enter it); lock files are created 0640 and opened read-only. In the file name every
// byte outside [A-Za-z0-9._-] is written as %XX, so a name holding '/' cannot leave the directory;
// a name whose file name would be too long for the file system is replaced by the SHA-256 of the
// name in hex. Every acquisition opens the lock file afresh, so that separate open file
// descriptions exclude threads of this process as well as other processes, and a holder that dies
// releases the lock. The holder unlinks the path before it unlocks; an acquirer checks that the
// path still names the file it locked, else it starts over. Every program of the suite follows the
// same convention.
//
// Waits poll with LOCK_NB and sleep through platform::SleepFor, so they wake on
// the calling worker's stop request.
//
// A NamedLock object is used by one thread at a time.
#pragma once

#include <string>

#include "platform/UniqueFd.h"

namespace kelpd::platform {

enum class LockResult {
  kAcquired,
  kTimeout,  // the lock stayed held elsewhere for the whole wait
  kStopped,  // the calling worker was asked to stop
  kError,    // the lock file could not be created or locked (error() has errno)
};

class NamedLock {
 public:
  explicit NamedLock(std::string name);
  ~NamedLock();  // releases a held lock
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;

  // Waits at most timeout_ms (-1: without limit) for the lock. Calling Lock
  // while the lock is held returns kAcquired at once.
  LockResult Lock(int timeout_ms);
  // Releases the lock if held.
  void Unlock();
  bool IsHeld() const { return fd_.valid(); }
  // errno of the last kError.
  int error() const { return error_; }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::string path_;  // lock file path of the held lock
  UniqueFd fd_;
  int error_ = 0;
};

// $MAILLOCKDIR, or /run/lock/zelvane when it is unset or empty.
std::string LockDirectory();

// The lock file name (without directory) for a lock name.
std::string LockFileName(const std::string& name);

}  // namespace kelpd::platform
