#include "config/StorableMap.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <unordered_set>

#include "base/Environment.h"
#include "base/Paths.h"
#include "base/Text.h"
#include "log/Log.h"

namespace {
constexpr char kSource[] = "Common\\MapEx";
}

CStorableMap::~CStorableMap() {
  if (trace_level_ > 2)
    Log(MainLog(), kLevelDebug, "CStorableMap::~CStorableMap: 0x%08X, %s:%d",
        static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)), kSource, __LINE__);
}

bool CStorableMap::IsLoaded() const {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return loaded_;
}

kelpd::config::FileStamp CStorableMap::Stamp() const {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return stamp_;
}

bool CStorableMap::HasChanged() {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return kelpd::config::CheckChanged(path_, stamp_);
}

bool CStorableMap::Load() {
  std::string data;
  return kelpd::config::ReadStorableFile(
             GetPath(), section_, stamp_, [this] { return BeforeLoad(); }, data) &&
         LoadText(data);
}

bool CStorableMap::LoadText(std::string_view data) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  generation_ = NewGeneration();
  if (!kelpd::config::ParseKeepingOnFailure(
          [&] { return BeforeRead() && Parse(kelpd::config::SplitTextLines(data)) && AfterRead(); },
          items_, key_order_, comments_))
    return false;
  AfterLoad();
  loaded_ = true;
  modified_ = false;
  return true;
}

bool CStorableMap::Load(const std::string& path) {
  {
    std::lock_guard<std::recursive_mutex> lock(section_);
    stamp_ = kelpd::config::FileStamp{};
    path_ = path;
  }
  return Load();
}

bool CStorableMap::LoadFromEnvDir(const std::string& name, const char* env_var) {
  std::string dir;
  if (!kelpd::base::EnvValue(env_var, dir)) return false;
  return Load(MakePath(dir, name));
}

bool CStorableMap::Parse(const std::vector<std::string_view>& lines) {
  using kelpd::text::Trim;
  using kelpd::text::TrimLeft;
  using kelpd::text::TrimRight;
  std::string pending;  // comment and blank lines before the next entry
  for (std::string_view raw : lines) {
    std::string line = Trim(raw);
    size_t hash = line.find('#');
    if (keep_comments_) {
      if (hash != std::string::npos) {
        if (kelpd::config::IsEscapedHash(line, hash)) {
          line.erase(hash - 1, 1);  // the rest of the line is data, '#' included
        } else {
          pending.append(line, hash, std::string::npos);
          if (hash != 0) pending += '\n';
          line.erase(hash);
        }
      }
    } else if (hash != std::string::npos) {
      line.erase(hash);
      if (Trim(line).empty()) continue;
    }
    line = TrimRight(line);
    size_t sep = line.find(separator_);
    if (sep == std::string::npos) {
      if (keep_comments_) pending += '\n';
      continue;
    }
    std::string key = TrimRight(std::string_view(line).substr(0, sep));
    std::string value = TrimLeft(std::string_view(line).substr(sep + 1));
    if (key.empty() || value.empty()) continue;
    if (!AcceptEntry(key, value) || key.empty()) continue;
    items_[key] = value;
    if (keep_comments_) {
      key_order_.push_back(key);
      comments_[key] = pending;
      pending.clear();
    }
  }
  // Comment lines after the last entry are not kept.
  return true;
}

std::string CStorableMap::Render() const {
  // Values start on one tab column: W is the widest key plus its separator.
  size_t widest = 0;
  for (const auto& [key, value] : items_) widest = std::max(widest, key.size() + 1);
  std::string tabs = "\t";
  if (widest > 8) tabs.append((widest - 8 + 7) / 8, '\t');
  auto tab_run = [&tabs](size_t key_length) {
    size_t skip = std::min((key_length + 1) / 8, tabs.size());
    return tabs.substr(skip);
  };
  // The inverse of the load rule: the first '#' of an entry line is written
  // as "\#", so that the load takes it and what follows as data.
  auto entry_line = [&](const std::string& key, const std::string& value) {
    std::string line = key;
    line += separator_;
    line += tab_run(key.size());
    line += value;
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.insert(hash, 1, '\\');
    line += '\n';
    return line;
  };

  std::string out;
  std::unordered_set<std::string> ordered;
  for (const std::string& key : key_order_) {
    auto it = items_.find(key);
    if (it == items_.end()) continue;  // removed since the load, with its comment
    ordered.insert(key);
    auto comment = comments_.find(key);
    if (comment != comments_.end()) out += comment->second;
    out += entry_line(key, it->second);
  }
  // Entries added since the load follow in key order, without comments.
  std::vector<std::string> added;
  for (const auto& [key, value] : items_)
    if (ordered.count(key) == 0) added.push_back(key);
  std::sort(added.begin(), added.end());
  for (const std::string& key : added) out += entry_line(key, items_.at(key));
  return out;
}

bool CStorableMap::Save(bool backup, const std::string& backup_base) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  if (backup) kelpd::config::WriteBackup(path_, backup_base);
  std::string data;
  if (!SaveText(data)) return false;
  if (!kelpd::config::WriteForSave(path_, data, stamp_, deferred_)) return false;
  modified_ = false;
  return true;
}

void CStorableMap::DeferSyncTo(kelpd::platform::DeferredSync* deferred) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  deferred_ = deferred;
}

bool CStorableMap::SaveText(std::string& data) const {
  std::lock_guard<std::recursive_mutex> lock(section_);
  try {
    data = Render();
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

std::string CStorableMap::GetPath() const {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return path_;
}

char CStorableMap::GetSeparator() const {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return separator_;
}

void CStorableMap::SetSeparator(char separator) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  separator_ = separator;
}

bool CStorableMap::GetKeepComments() const {
  std::lock_guard<std::recursive_mutex> lock(section_);
  return keep_comments_;
}

void CStorableMap::SetKeepComments(bool keep) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  keep_comments_ = keep;
}

void CStorableMap::Reset() {
  std::lock_guard<std::recursive_mutex> lock(section_);
  generation_ = NewGeneration();
  items_.clear();
  key_order_.clear();
  comments_.clear();
  path_.clear();
  stamp_ = kelpd::config::FileStamp{};
  loaded_ = false;
  modified_ = false;
  keep_comments_ = true;
  separator_ = ':';
  trace_level_ = 0;
}

bool CStorableMap::AcceptEntry(std::string&, std::string&) { return true; }
bool CStorableMap::BeforeLoad() { return true; }
void CStorableMap::AfterLoad() {}
bool CStorableMap::BeforeRead() { return true; }
bool CStorableMap::AfterRead() { return true; }
