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
    const kelpd::platform::FileResult opened = reader_.Open(dir_, wildcard_);
    open_ = opened.ok();
    if (!open_) error_ = opened.error();
  }
  if (!open_) return false;
  std::string_view name;
  // An empty pattern matches no name.
  if (reader_.Next(name) && !wildcard_.empty()) {
    name_ = name;
    // An entry that can't be examined (it may have gone) still counts, as a
    // plain file unless its directory entry says otherwise.
    kelpd::platform::FileStatus status;
    status.is_directory = reader_.Type() == kelpd::platform::DirectoryReader::EntryType::kDirectory;
    status.mode = 0200;
    (void)reader_.Stat(status);
    size_ = status.is_directory ? 0 : status.size;
    attributes_ = status.is_directory ? kFileAttributeDirectory : kFileAttributeArchive;
    if ((status.mode & 0200) == 0) attributes_ |= kFileAttributeReadOnly;
    return true;
  }
  reader_.Close();
  open_ = false;
  return false;
}
