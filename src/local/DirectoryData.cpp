#include "local/DirectoryData.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <vector>

#include "config/Configuration.h"
#include "config/FileFinder.h"
#include "config/Paths.h"
#include "config/Text.h"
#include "core/FileChangeMonitorEx.h"
#include "log/Log.h"
#include "platform/Inotify.h"

namespace {

using kelpd::text::EqualsNoCase;
using kelpd::text::ToLowerCopy;

// The aliases map: every entry read is checked against the user list and the
// local domains before it is stored, so that a target is always a mailbox,
// an address, or the target of an alias listed earlier in the file.
class CAliasMap : public CStorableMap {
 public:
  int GetFaultyCount() const { return faulty_; }
  int GetAcceptedCount() const { return accepted_; }

 protected:
  bool BeforeRead() override {
    accepted_ = 0;
    faulty_ = 0;
    return true;
  }

  // Runs with the map's section held, while items_ holds what this load has
  // stored so far.
  bool AcceptEntry(std::string& key, std::string& value) override {
    key = ToLowerCopy(key);
    size_t at = key.find('@');
    if ((at != std::string::npos && !IsLocalDomain(key.substr(at + 1))) ||
        EqualsNoCase(key, value)) {
      ++faulty_;
      return false;
    }
    if (value.find('@') != std::string::npos) {
      ++accepted_;
      return true;
    }
    // One step along a chain of plain names: an alias listed earlier stands
    // for its own target.
    auto earlier = items_.find(value);
    if (earlier != items_.end()) value = earlier->second;
    if (IsUser(value) && !EqualsNoCase(value, key)) {
      ++accepted_;
      return true;
    }
    ++faulty_;
    return false;
  }

 private:
  std::atomic<int> accepted_{0};
  std::atomic<int> faulty_{0};
};

// Counts a change only when it touches a user's "password" file, which is
// how a new mailbox directory announces itself; mail arriving in a mailbox
// is no reason to rescan the spool directory.
class CUserListMonitor : public CFileChangeMonitorEx {
 public:
  bool OnChange(const Record& record) override {
    size_t slash = record.name.find('/');
    if (slash == 0 || slash == std::string::npos || record.name[0] == '.') return false;
    return EqualsNoCase(std::string_view(record.name).substr(slash + 1), "password");
  }
};

// The user list: lower-cased user name -> the directory's name on disk.
struct UserList {
  std::recursive_mutex section;
  std::map<std::string, std::string> users;  // guarded by section
  CUserListMonitor monitor;
};

UserList& Users() {
  // Never destroyed: worker threads may still look users up while the
  // process exits.
  static UserList* users = new UserList();
  return *users;
}

CAliasMap& AliasMap() {
  static CAliasMap* aliases = new CAliasMap();
  return *aliases;
}

bool ListHasNoCase(CStorableList& list, const std::string& value) {
  if (value.empty()) return false;
  std::lock_guard<std::recursive_mutex> lock(list.Section());
  for (const std::string& entry : list)
    if (EqualsNoCase(entry, value)) return true;
  return false;
}

std::string SpoolDirectory() { return Config().GetString("SpoolDir", kDefaultSpoolDir); }

}  // namespace

CStorableList& Domains() {
  static CStorableList* list = new CStorableList();
  return *list;
}

CStorableList& BackupDomains() {
  static CStorableList* list = new CStorableList();
  return *list;
}

CStorableMap& Aliases() { return AliasMap(); }

CStorableList& Filters() {
  static CStorableList* list = new CStorableList();
  return *list;
}

CConfigMap& SmartHosts() {
  static CConfigMap* map = new CConfigMap();
  return *map;
}

CConfigMap& Masquerading() {
  static CConfigMap* map = new CConfigMap();
  return *map;
}

bool CreateUserList() {
  UserList& list = Users();
  std::string spool = SpoolDirectory();
  list.monitor.Close();
  // Without the monitor the service still delivers; new mailboxes are then
  // noticed at the next configuration restart. The monitor logs its failure.
  list.monitor.Create(spool,
                      kelpd::platform::kNotifyFileName | kelpd::platform::kNotifyDirName |
                          kelpd::platform::kNotifyLastWrite | kelpd::platform::kNotifyCreation,
                      true);
  return BuildUserList();
}

bool BuildUserList() {
  std::map<std::string, std::string> users;
  CFileFinder finder(MakePath(SpoolDirectory(), "*.*"));
  while (finder.FindNext()) {
    if (!finder.IsDirectory()) continue;
    const std::string& real = finder.GetFileName();
    if (real.empty() || real[0] == '.') continue;
    std::string name = ToLowerCopy(real);
    auto it = users.find(name);
    // Of "Alice" and "alice" the lower-case directory is the user's.
    if (it == users.end() || real == name) users[name] = real;
  }
  // A spool directory that can't be read says nothing about the users: the
  // list they had stays, rather than every local recipient becoming unknown.
  if (finder.GetError() != 0) return false;
  UserList& list = Users();
  std::lock_guard<std::recursive_mutex> lock(list.section);
  list.users.swap(users);
  return true;
}

bool UserListMonitorChanged() { return Users().monitor.HasChanged(); }

bool IsUser(const std::string& name) {
  UserList& list = Users();
  std::lock_guard<std::recursive_mutex> lock(list.section);
  return list.users.count(name) != 0;
}

std::string UserDirectoryName(const std::string& name) {
  UserList& list = Users();
  std::lock_guard<std::recursive_mutex> lock(list.section);
  auto it = list.users.find(name);
  return it == list.users.end() ? std::string() : it->second;
}

int GetUserCount() {
  UserList& list = Users();
  std::lock_guard<std::recursive_mutex> lock(list.section);
  return static_cast<int>(list.users.size());
}

bool IsLocalDomain(const std::string& domain) { return ListHasNoCase(Domains(), domain); }

bool IsBackupDomain(const std::string& domain) { return ListHasNoCase(BackupDomains(), domain); }

bool IsLocalAddress(const std::string& address) {
  if (address.empty()) return false;
  size_t at = address.find('@');
  if (at == std::string::npos) return true;
  return IsLocalDomain(address.substr(at + 1));
}

bool MatchAliasPattern(const std::string& pattern, const std::string& text) {
  if (text.find_first_of("*?") != std::string::npos) return false;
  // The classic loop with one remembered star: on a mismatch the last '*'
  // takes one more character. Linear in practice and never exponential,
  // whatever a recipient address looks like.
  size_t p = 0, t = 0;
  size_t star = std::string::npos, star_text = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      star_text = t;
    } else if (p < pattern.size() && (pattern[p] == '?' || kelpd::text::ToLower(pattern[p]) ==
                                                               kelpd::text::ToLower(text[t]))) {
      ++p;
      ++t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++star_text;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool LookupAlias(const std::string& key, std::string& target) {
  CAliasMap& aliases = AliasMap();
  std::lock_guard<std::recursive_mutex> lock(aliases.Section());
  const CMapEx::Container& items = aliases.Items();
  auto exact = items.find(key);
  if (exact != items.end()) {
    target = exact->second;
    return true;
  }
  // The longest matching pattern wins; between patterns of equal length the
  // one first in byte order, so that the answer never depends on how the
  // table happens to be laid out in memory.
  const std::pair<const std::string, std::string>* best = nullptr;
  for (const auto& entry : items) {
    if (!MatchAliasPattern(entry.first, key)) continue;
    if (best == nullptr || entry.first.size() > best->first.size() ||
        (entry.first.size() == best->first.size() && entry.first < best->first))
      best = &entry;
  }
  if (best == nullptr) return false;
  target = best->second;
  return true;
}

std::string ResolveLocal(const std::string& address) {
  std::string target;
  size_t at = address.find('@');
  if (at != std::string::npos) {
    if (LookupAlias(address, target)) return target;
    if (LookupAlias("*" + address.substr(at), target)) return target;
    std::string local = address.substr(0, at);
    if (LookupAlias(local, target)) return target;
    if (IsUser(local)) return local;
    return std::string();
  }
  if (LookupAlias(address, target)) return target;
  if (IsUser(address)) return address;
  return std::string();
}

void PreresolveAliases() {
  CAliasMap& aliases = AliasMap();
  std::lock_guard<std::recursive_mutex> lock(aliases.Section());
  // Each changing pass moves every target one alias further; a chain can't
  // be longer than the table, so more passes than entries mean a cycle that
  // keeps moving, and what is left of it is dropped below.
  const size_t max_passes = static_cast<size_t>(aliases.GetCount()) + 2;
  bool changed = true;
  for (size_t pass = 0; changed && pass < max_passes; ++pass) {
    changed = false;
    std::vector<std::string> keys;
    for (const auto& entry : aliases.Items()) keys.push_back(entry.first);
    std::sort(keys.begin(), keys.end());
    for (const std::string& key : keys) {
      std::string target;
      if (!aliases.LookupPlain(key, target)) continue;  // removed earlier in this pass
      if (target.find('@') == std::string::npos) {
        if (!IsUser(target)) aliases.RemoveKey(key);
        continue;
      }
      if (!IsLocalAddress(target)) continue;
      std::string resolved = ResolveLocal(ToLowerCopy(target));
      if (!resolved.empty() && !EqualsNoCase(resolved, key) && !EqualsNoCase(resolved, target)) {
        aliases.SetAt(key, resolved);
        changed = true;
      } else {
        aliases.RemoveKey(key);
      }
    }
    if (changed && pass + 1 == max_passes) {
      Warning(MainLog(), "aliases still changing after %d passes, dropping the rest of the cycle",
              static_cast<int>(max_passes));
      for (const std::string& key : keys) {
        std::string target;
        if (aliases.LookupPlain(key, target) && target.find('@') != std::string::npos &&
            IsLocalAddress(target))
          aliases.RemoveKey(key);
      }
    }
  }
}

int GetFaultyAliasCount() { return AliasMap().GetFaultyCount(); }

void ResetDirectoryDataForTests() {
  UserList& list = Users();
  list.monitor.Close();
  {
    std::lock_guard<std::recursive_mutex> lock(list.section);
    list.users.clear();
  }
  Domains().RemoveAll();
  BackupDomains().RemoveAll();
  AliasMap().Reset();
  Filters().RemoveAll();
  SmartHosts().Reset();
  Masquerading().Reset();
}
