// The process-wide directory data that decides where an address goes: the
// user list (the mailbox directories of the spool directory), the local and backup
// domains, the aliases, the filters, and the smarthost and masquerading maps
// that remote delivery consults.
//
// Thread safety: every table has its own re-entrant lock, held for a whole
// look-up, load or rebuild; the functions may be called from any thread.
#pragma once

#include <string>
#include <vector>

#include "config/ConfigMap.h"
#include "config/StorableList.h"
#include "config/StorableMap.h"

// The tables, loaded by the application with LoadFromEnvDir(name, "MAILCONFIGDIR").
CStorableList& Domains();        // "domains"
CStorableList& BackupDomains();  // "backupdomains"
CStorableMap& Aliases();         // "aliases", with the alias checks as its hooks
CStorableList& Filters();        // "filters"
CConfigMap& SmartHosts();        // "smarthosts"
CConfigMap& Masquerading();      // the file named by "MaskFile"

// Restarts the spool directory monitor on spool, then BuildUserList(spool).
bool CreateUserList(const std::string& spool);
// Rebuilds the user list from the subdirectories of spool. A spool directory
// that can't be read keeps the previous list and reports failure.
bool BuildUserList(const std::string& spool);
// Whether the spool directory monitor saw a user's "password" file change.
bool UserListMonitorChanged();

bool IsUser(const std::string& name);  // exact; callers pass lower-case names
// The mailbox directory's name as it is on disk ("Alice" for the user
// "alice"); empty when name is no user.
std::string UserDirectoryName(const std::string& name);
bool IsLocalDomain(const std::string& domain);
bool IsBackupDomain(const std::string& domain);
bool IsLocalAddress(const std::string& address);
bool LookupAlias(const std::string& key, std::string& target);
// The mailbox name or forwarding address of a local address; empty for nothing.
std::string ResolveLocal(const std::string& address);
void PreresolveAliases();
int GetFaultyAliasCount();
// The alias entries refused at the last load, in file order, each with why.
struct FaultyAlias {
  std::string key;  // lower case, as the check saw it
  std::string target;
  std::string reason;
};
std::vector<FaultyAlias> GetFaultyAliases();

// Whether a key text matches an alias pattern ('*' any run, '?' one
// character, compared without regard to case); a text holding '*' or '?'
// matches nothing.
bool MatchAliasPattern(const std::string& pattern, const std::string& text);
// The number of user names in the list (for the log and tests).
int GetUserCount();

// Empties every table and stops the monitor (tests only).
void ResetDirectoryDataForTests();
