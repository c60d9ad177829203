#include "platform/DirectoryNames.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

namespace kelpd::platform {

DirectoryNameReader::~DirectoryNameReader() {
  if (dir_ != nullptr) ::closedir(static_cast<DIR*>(dir_));
}

bool DirectoryNameReader::Open(const std::string& dir, int* err) {
  if (dir_ != nullptr) ::closedir(static_cast<DIR*>(dir_));
  current_ = nullptr;
  dir_ = ::opendir(dir.empty() ? "." : dir.c_str());  // glibc opens it close-on-exec
  if (dir_ == nullptr && err != nullptr) *err = errno;
  return dir_ != nullptr;
}

bool DirectoryNameReader::Next(std::string_view& name) {
  current_ = nullptr;
  if (dir_ == nullptr) return false;
  for (;;) {
    struct dirent* e = ::readdir(static_cast<DIR*>(dir_));
    if (e == nullptr) return false;
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    current_ = e->d_name;
    name = current_;
    return true;
  }
}

bool DirectoryNameReader::StatCurrent(uint64_t& size, bool& is_directory) {
  if (dir_ == nullptr || current_ == nullptr) return false;
  struct stat st {};
  if (::fstatat(::dirfd(static_cast<DIR*>(dir_)), current_, &st, 0) != 0) return false;
  size = static_cast<uint64_t>(st.st_size);
  is_directory = S_ISDIR(st.st_mode);
  return true;
}

}  // namespace kelpd::platform
