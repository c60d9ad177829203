#include "platform/FileLock.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <openssl/evp.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "base/Environment.h"
#include "platform/StopSignal.h"

namespace kelpd::platform {

namespace {

constexpr char kDefaultLockDir[] = "/run/lock/zelvane";
constexpr char kSuffix[] = ".lock";
// Short enough that a freed lock is taken quickly, long enough that a waiter
// costs nothing measurable.
constexpr int kPollIntervalMs = 20;

int64_t MonotonicMs() {
  struct timespec ts {};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string Sha256Hex(const std::string& text) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(text.data(), text.size(), md, &len, EVP_sha256(), nullptr) != 1) len = 0;
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < len; ++i) {
    out += kHex[md[i] >> 4];
    out += kHex[md[i] & 15];
  }
  return out;
}

// Creates dir and its missing parents (mode 0755). The lock directory itself
// gets kLockDirMode whatever the umask: the suite's programs that share its
// group create and remove lock files in it, and no other account can enter
// it, so none can hold a lock that delays delivery. The set-group-id bit
// gives every lock file the directory's group.
constexpr mode_t kLockDirMode = 02770;
// Lock files are opened for reading only (flock needs no more), so the
// group needs only read access; other accounts get none.
constexpr mode_t kLockFileMode = 0640;

bool MakeDirs(const std::string& dir, mode_t mode) {
  if (dir.empty()) return false;
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? true : (errno = ENOTDIR, false);
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    if (!MakeDirs(dir.substr(0, slash), 0755)) return false;
  }
  if (::mkdir(dir.c_str(), mode) == 0) {
    if (mode != 0755) (void)::chmod(dir.c_str(), mode);
    return true;
  }
  return errno == EEXIST;
}

}  // namespace

std::string LockDirectory() {
  std::string dir;
  if (!kelpd::base::EnvValue("MAILLOCKDIR", dir)) return kDefaultLockDir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

std::string LockFileName(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(name.size() + sizeof kSuffix);
  for (unsigned char c : name) {
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '.' || c == '_' || c == '-';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  // "." and ".." are no file names of their own.
  if (out == "." || out == "..") out = out == "." ? "%2E" : "%2E%2E";
  out += kSuffix;
  if (out.size() > NAME_MAX) out = Sha256Hex(name) + kSuffix;
  return out;
}

NamedLock::NamedLock(std::string name) : name_(std::move(name)) {}

NamedLock::~NamedLock() { Unlock(); }

LockResult NamedLock::Lock(int timeout_ms) {
  if (fd_.valid()) return LockResult::kAcquired;
  const std::string dir = LockDirectory();
  const std::string path = dir + "/" + LockFileName(name_);
  const int64_t deadline = timeout_ms < 0 ? -1 : MonotonicMs() + timeout_ms;
  bool made_dir = false;
  for (;;) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kLockFileMode));
    if (!fd.valid()) {
      if (errno == ENOENT && !made_dir) {
        made_dir = true;
        if (MakeDirs(dir, kLockDirMode)) continue;
      }
      error_ = errno;
      return LockResult::kError;
    }
    // Wait for this file description's lock.
    for (;;) {
      if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) break;
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK) {
        error_ = errno;
        return LockResult::kError;
      }
      int wait = kPollIntervalMs;
      if (deadline >= 0) {
        int64_t left = deadline - MonotonicMs();
        if (left <= 0) return LockResult::kTimeout;
        wait = static_cast<int>(std::min<int64_t>(left, kPollIntervalMs));
      }
      if (SleepFor(wait) == WaitResult::kStopped) return LockResult::kStopped;
    }
    // The previous holder unlinks the path before it unlocks: only a lock on
    // the file that the path still names counts.
    struct stat held {
    }, named{};
    if (::fstat(fd.get(), &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      fd_ = std::move(fd);
      path_ = path;
      return LockResult::kAcquired;
    }
    if (deadline >= 0 && MonotonicMs() >= deadline) return LockResult::kTimeout;
  }
}

void NamedLock::Unlock() {
  if (!fd_.valid()) return;
  ::unlink(path_.c_str());
  fd_.Reset();  // closing the last descriptor releases the flock
  path_.clear();
}

}  // namespace kelpd::platform
