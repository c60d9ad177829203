#include "local/DirectoryData.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <vector>

#include "base/Paths.h"
#include "base/Text.h"
#include "config/FileFinder.h"
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
  std::vector<FaultyAlias> GetFaulty() {
    std::lock_guard<std::recursive_mutex> lock(Section());
    return refused_;
  }
  int GetAcceptedCount() const { return accepted_; }

  // Whether a lookup has to match key one text at a time: a pattern, or a key
  // with capitals. A lower-case key without '*' and '?' can only match a text
  // equal to it without regard to case, which one hashed lookup finds.
  static bool NeedsScan(const std::string& key) {
    return key.find_first_of("*?") != std::string::npos || ToLowerCopy(key) != key;
  }
  // The keys that need a scan, remembered until the table changes, so that a
  // delivery lookup does not visit every alias. Call with the section held.
  const std::vector<std::string>& ScannedKeys() {
    if (!scanned_valid_) {
      scanned_.clear();
      for (const auto& entry : items_)
        if (NeedsScan(entry.first)) scanned_.push_back(entry.first);
      scanned_valid_ = true;
    }
    return scanned_;
  }

  // Every change of the table forgets the scanned keys within the section,
  // so that no lookup can remember a list from before the change.
  std::string& operator[](const std::string& key) override {
    std::lock_guard<std::recursive_mutex> lock(Section());
    scanned_valid_ = false;
    return CStorableMap::operator[](key);
  }
  void SetAt(const std::string& key, const std::string& value) override {
    std::lock_guard<std::recursive_mutex> lock(Section());
    scanned_valid_ = false;
    CStorableMap::SetAt(key, value);
  }
  bool RemoveKey(const std::string& key) override {
    std::lock_guard<std::recursive_mutex> lock(Section());
    scanned_valid_ = false;
    return CStorableMap::RemoveKey(key);
  }
  void RemoveAll() override {
    std::lock_guard<std::recursive_mutex> lock(Section());
    scanned_valid_ = false;
    CStorableMap::RemoveAll();
  }
  void Reset() {
    std::lock_guard<std::recursive_mutex> lock(Section());
    scanned_valid_ = false;
    CStorableMap::Reset();
  }

 protected:
  // A load empties the table here and, when it fails, puts the previous
  // contents back without another call: the list is rebuilt from whatever
  // the table holds at the next lookup.
  bool BeforeRead() override {
    scanned_valid_ = false;
    accepted_ = 0;
    faulty_ = 0;
    refused_.clear();
    return true;
  }

  // Runs with the map's section held, while items_ holds what this load has
  // stored so far.
  bool AcceptEntry(std::string& key, std::string& value) override {
    key = ToLowerCopy(key);
    size_t at = key.find('@');
    if (at != std::string::npos && !IsLocalDomain(key.substr(at + 1)))
      return Refuse(key, value, "the domain of the alias is not a local domain");
    if (EqualsNoCase(key, value)) return Refuse(key, value, "the alias names itself");
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
    return Refuse(key, value,
                  EqualsNoCase(value, key)
                      ? "the alias names itself"
                      : "the target is no user, no address and no alias listed before it");
  }

 private:
  bool Refuse(const std::string& key, const std::string& value, const char* reason) {
    ++faulty_;
    refused_.push_back(FaultyAlias{key, value, reason});
    return false;
  }

  std::atomic<int> accepted_{0};
  std::atomic<int> faulty_{0};
  std::vector<FaultyAlias> refused_;  // guarded by the section
  std::vector<std::string> scanned_;  // guarded by the section
  bool scanned_valid_ = false;        // guarded by the section
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

bool CreateUserList(const std::string& spool) {
  UserList& list = Users();
  list.monitor.Close();
  // Without the monitor the service still delivers; new mailboxes are then
  // noticed at the next configuration restart. The monitor logs its failure.
  list.monitor.Create(spool,
                      kelpd::platform::kNotifyFileName | kelpd::platform::kNotifyDirName |
                          kelpd::platform::kNotifyLastWrite | kelpd::platform::kNotifyCreation,
                      true);
  return BuildUserList(spool);
}

bool BuildUserList(const std::string& spool) {
  std::map<std::string, std::string> users;
  CFileFinder finder(MakePath(spool, "*.*"));
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
  return !kelpd::text::HasWildcard(text) && kelpd::text::MatchPattern(pattern, text, true);
}

namespace {

using AliasItems = CMapEx::Container;

// Whether candidate beats the best match so far: the longest key wins, and
// between keys of equal length the one first in byte order, so that the
// answer never depends on how the table happens to be laid out in memory.
bool BetterMatch(const std::string& candidate, const std::string* best) {
  return best == nullptr || candidate.size() > best->size() ||
         (candidate.size() == best->size() && candidate < *best);
}

// The alias lookup: the exact key, else the best matching key. A lower-case
// plain key is found by one hashed look-up of the lower-cased text; only the
// keys in `scanned` (CAliasMap::NeedsScan; some may have been removed since
// the list was made) are matched one by one.
bool LookupIndexed(const AliasItems& items, const std::vector<std::string>& scanned,
                   const std::string& key, std::string& target) {
  auto exact = items.find(key);
  if (exact != items.end()) {
    target = exact->second;
    return true;
  }
  if (kelpd::text::HasWildcard(key)) return false;
  const std::pair<const std::string, std::string>* best = nullptr;
  auto plain = items.find(ToLowerCopy(key));
  if (plain != items.end()) best = &*plain;
  for (const std::string& pattern : scanned) {
    if (!MatchAliasPattern(pattern, key)) continue;
    auto entry = items.find(pattern);
    if (entry == items.end()) continue;
    if (BetterMatch(entry->first, best == nullptr ? nullptr : &best->first)) best = &*entry;
  }
  if (best == nullptr) return false;
  target = best->second;
  return true;
}

template <typename Lookup>
std::string ResolveLocalWith(const std::string& address, const Lookup& lookup) {
  std::string target;
  size_t at = address.find('@');
  if (at != std::string::npos) {
    if (lookup(address, target)) return target;
    if (lookup("*" + address.substr(at), target)) return target;
    std::string local = address.substr(0, at);
    if (lookup(local, target)) return target;
    if (IsUser(local)) return local;
    return std::string();
  }
  if (lookup(address, target)) return target;
  if (IsUser(address)) return address;
  return std::string();
}

}  // namespace

bool LookupAlias(const std::string& key, std::string& target) {
  CAliasMap& aliases = AliasMap();
  std::lock_guard<std::recursive_mutex> lock(aliases.Section());
  return LookupIndexed(aliases.Items(), aliases.ScannedKeys(), key, target);
}

std::string ResolveLocal(const std::string& address) {
  return ResolveLocalWith(address, [](const std::string& key, std::string& target) {
    return LookupAlias(key, target);
  });
}

void PreresolveAliases() {
  CAliasMap& aliases = AliasMap();
  std::lock_guard<std::recursive_mutex> lock(aliases.Section());
  // Each changing pass moves every target one alias further; a chain can't
  // be longer than the table, so more passes than entries mean a cycle that
  // keeps moving, and what is left of it is dropped below. A pass only
  // changes or removes entries, never adds one, so the keys listed at its
  // start cover every lookup of the pass (the table's own list would be
  // rebuilt after each change).
  const size_t max_passes = static_cast<size_t>(aliases.GetCount()) + 2;
  bool changed = true;
  for (size_t pass = 0; changed && pass < max_passes; ++pass) {
    changed = false;
    std::vector<std::string> keys;
    std::vector<std::string> scanned;
    for (const auto& entry : aliases.Items()) {
      keys.push_back(entry.first);
      if (CAliasMap::NeedsScan(entry.first)) scanned.push_back(entry.first);
    }
    std::sort(keys.begin(), keys.end());
    const AliasItems& items = aliases.Items();
    auto lookup = [&](const std::string& key, std::string& target) {
      return LookupIndexed(items, scanned, key, target);
    };
    for (const std::string& key : keys) {
      std::string target;
      if (!aliases.LookupPlain(key, target)) continue;  // removed earlier in this pass
      if (target.find('@') == std::string::npos) {
        if (!IsUser(target)) aliases.RemoveKey(key);
        continue;
      }
      if (!IsLocalAddress(target)) continue;
      std::string resolved = ResolveLocalWith(ToLowerCopy(target), lookup);
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

std::vector<FaultyAlias> GetFaultyAliases() { return AliasMap().GetFaulty(); }

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
