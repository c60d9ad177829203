#include "platform/FileMove.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "platform/FdIO.h"
#include "platform/UniqueFd.h"

namespace kelpd::platform {

namespace {

std::atomic<unsigned> g_move_counter{0};

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void SyncDirectory(const std::string& dir) {
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) ::fsync(fd.get());
}

// link, then unlink of the source: for file systems without RENAME_NOREPLACE.
bool LinkAndUnlink(const std::string& from, const std::string& to, int& error) {
  if (::link(from.c_str(), to.c_str()) != 0) {
    error = errno;
    return false;
  }
  if (::unlink(from.c_str()) != 0) {
    error = errno;
    ::unlink(to.c_str());
    return false;
  }
  return true;
}

// Copies from into a new temporary file beside to, syncs it, links it to to
// and removes from.
bool CopyAcross(const std::string& from, const std::string& to, int& error) {
  UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  struct stat source {};
  if (!in.valid() || ::fstat(in.get(), &source) != 0) {
    error = errno;
    return false;
  }
  const std::string dir = DirectoryOf(to);
  char name[80];
  ::snprintf(name, sizeof name, "/.kelpd-move-%d-%u.tmp", static_cast<int>(::getpid()),
             g_move_counter.fetch_add(1));
  const std::string temp = (dir == "/" ? std::string() : dir) + name;
  // The copy is no more readable than the mail it copies.
  UniqueFd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
                      source.st_mode & 0777));
  if (!out.valid()) {
    error = errno;
    return false;
  }
  auto fail = [&](int e) {
    out.Reset();
    ::unlink(temp.c_str());
    error = e;
    return false;
  };
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    if (n == 0) break;
    if (!WriteAll(out.get(), buffer, static_cast<size_t>(n))) return fail(errno);
  }
  if (::fdatasync(out.get()) != 0) return fail(errno);
  if (!out.Reset()) return fail(errno);
  if (::link(temp.c_str(), to.c_str()) != 0) return fail(errno);
  ::unlink(temp.c_str());
  SyncDirectory(dir);
  if (::unlink(from.c_str()) != 0) {
    // The source stays, so the copy goes again: a move tried on every pass
    // must not leave one more copy each time.
    error = errno;
    ::unlink(to.c_str());
    SyncDirectory(dir);
    return false;
  }
  return true;
}

}  // namespace

bool MoveFileNoReplace(const std::string& from, const std::string& to, FileError& err) {
  int error = 0;
  bool ok = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
  if (!ok) {
    error = errno;
    if (error == EINVAL || error == ENOSYS) {
      ok = LinkAndUnlink(from, to, error);
    }
    if (!ok && error == EXDEV) ok = CopyAcross(from, to, error);
  }
  if (!ok) {
    err = FileError::FromErrno(error);
    return false;
  }
  return true;
}

}  // namespace kelpd::platform
