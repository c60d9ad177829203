#include "config/FileFinder.h"

#include "base/Paths.h"

CFileFinder::CFileFinder(const std::string& pattern) {
  size_t slash = pattern.rfind('/');
  if (slash == std::string::npos) {
    wildcard_ = pattern;
  } else {
    dir_ = slash == 0 ? std::string("/") : pattern.substr(0, slash);
    wildcard_ = pattern.substr(slash + 1);
  }
}

std::string CFileFinder::GetFilePath() const {
  return dir_.empty() ? name_ : MakePath(dir_, name_);
}

bool CFileFinder::FindNext() {
  if (!started_) {
    started_ = true;
    open_ = reader_.Open(dir_.empty() ? "." : dir_, &error_);
  }
  if (!open_) return false;
  kelpd::platform::DirectoryReader::Entry entry;
  while (reader_.Next(entry)) {
    if (!kelpd::text::MatchWildcard(wildcard_, entry.name)) continue;
    name_ = entry.name;
    size_ = entry.is_directory ? 0 : entry.size;
    attributes_ = entry.is_directory ? kFileAttributeDirectory : kFileAttributeArchive;
    if (!entry.writable) attributes_ |= kFileAttributeReadOnly;
    return true;
  }
  reader_.Close();
  open_ = false;
  return false;
}
