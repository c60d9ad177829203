#include "config/StorableList.h"

#include <new>

#include "base/Environment.h"
#include "base/Paths.h"
#include "base/Text.h"

bool CStorableList::IsLoaded() const {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return loaded_;
}

bool CStorableList::IsModified() const {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return modified_;
}

void CStorableList::SetModified(bool modified) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  modified_ = modified;
}

bool CStorableList::HasChanged() {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return kelpd::config::CheckChanged(path_, stamp_);
}

bool CStorableList::Load() {
  std::string data;
  return kelpd::config::ReadStorableFile(
             GetPath(), section_, stamp_, [this] { return BeforeLoad(); }, data) &&
         LoadText(data);
}

bool CStorableList::LoadText(std::string_view data) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  if (!kelpd::config::ParseKeepingOnFailure(
          [&] { return BeforeRead() && Parse(kelpd::config::SplitTextLines(data)) && AfterRead(); },
          items_, comments_))
    return false;
  AfterLoad();
  loaded_ = true;
  return true;
}

bool CStorableList::Load(const std::string& path) {
  {
    std::lock_guard<std::recursive_mutex> lock(section_);
    stamp_ = kelpd::config::FileStamp{};
    path_ = path;
  }
  return Load();
}

bool CStorableList::LoadFromEnvDir(const std::string& name, const char* env_var) {
  std::string dir;
  if (!kelpd::base::EnvValue(env_var, dir)) return false;
  return Load(MakePath(dir, name));
}

bool CStorableList::Parse(const std::vector<std::string_view>& lines) {
  using kelpd::text::Trim;
  using kelpd::text::TrimRight;
  std::string pending;
  for (std::string_view raw : lines) {
    std::string line = Trim(raw);
    size_t hash = line.find('#');
    if (keep_comments_) {
      // An escaped first '#' leaves the line as it is, backslash included.
      if (hash != std::string::npos && !kelpd::config::IsEscapedHash(line, hash)) {
        pending.append(line, hash, std::string::npos);
        if (hash != 0) pending += '\n';
        line.erase(hash);
      }
    } else if (hash != std::string::npos) {
      line.erase(hash);
    }
    line = TrimRight(line);
    if (line.empty()) {
      if (keep_comments_) pending += '\n';
      continue;
    }
    if (!AcceptEntry(line)) continue;
    items_.push_back(line);
    if (keep_comments_) {
      comments_[line] = pending;
      pending.clear();
    }
  }
  if (keep_comments_ && !pending.empty()) comments_["#"] = pending;
  return true;
}

bool CStorableList::Save(bool backup, const std::string& backup_base) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  if (backup) kelpd::config::WriteBackup(path_, backup_base);
  std::string data;
  if (!SaveText(data)) return false;
  if (!kelpd::config::WriteForSave(path_, data, stamp_)) return false;
  modified_ = false;
  return true;
}

bool CStorableList::SaveText(std::string& data) const {
  std::lock_guard<std::recursive_mutex> lock(section_);
  data.clear();
  try {
    for (const std::string& entry : items_) {
      auto comment = comments_.find(entry);
      if (comment != comments_.end()) data += comment->second;
      data += entry;
      data += '\n';
    }
    // The block after the last entry, without a line feed of our own, so that
    // the file does not grow at each load and save.
    auto tail = comments_.find("#");
    if (tail != comments_.end()) data += tail->second;
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

std::string CStorableList::GetPath() const {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return path_;
}

bool CStorableList::GetKeepComments() const {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return keep_comments_;
}

void CStorableList::SetKeepComments(bool keep) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  keep_comments_ = keep;
}

bool CStorableList::AcceptEntry(std::string&) { return true; }
bool CStorableList::BeforeLoad() { return true; }
void CStorableList::AfterLoad() {}
bool CStorableList::BeforeRead() { return true; }
bool CStorableList::AfterRead() { return true; }
