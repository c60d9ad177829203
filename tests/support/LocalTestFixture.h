// The fixture of the local delivery tests: a mail tree, settings pointing at
// it, and the directory data loaded from it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "config/Configuration.h"
#include "config/Settings.h"
#include "local/DirectoryData.h"
#include "mail/Mail.h"
#include "support/LogCapture.h"
#include "support/MailParts.h"
#include "support/ServiceTree.h"
#include "support/TempDir.h"

namespace kelpd::testing {

class LocalDeliveryTest : public ::testing::Test {
 protected:
  // The tree only: no kelpd runs, and the mailboxes are made by each test.
  static ServiceTreeOptions LocalTreeOptions() {
    ServiceTreeOptions options;
    options.users = {};
    options.debug_mode = true;
    return options;
  }

  void SetUp() override {
    ::setenv("MAILCONFIGDIR", tree.config_dir().c_str(), 1);
    ::setenv("MAILLOCKDIR", tree.lock_dir().c_str(), 1);
    ResetConfigForTests();
    settings.dirs.queue = tree.queue_dir();
    settings.dirs.spool = tree.spool_dir();
    settings.dirs.error = tree.error_dir();
    settings.dirs.outgoing = tree.outgoing_dir();
    settings.dirs.filter = tree.filter_dir();
    tree.WriteList("domains", "example.org\nexample.net\n");
    tree.WriteList("backupdomains", "");
    tree.WriteList("aliases", "");
    tree.WriteList("filters", "");
    CMail::SetLockWaitMs(200);
  }

  void TearDown() override {
    ResetDirectoryDataForTests();
    ResetConfigForTests();
    CMail::SetLockWaitMs(10000);
    ::unsetenv("MAILCONFIGDIR");
    ::unsetenv("MAILLOCKDIR");
  }

  // Loads the tables in the application's order.
  void LoadDirectoryData() {
    BuildUserList(settings.dirs.spool);
    ASSERT_TRUE(Domains().LoadFromEnvDir("domains", "MAILCONFIGDIR"));
    BackupDomains().LoadFromEnvDir("backupdomains", "MAILCONFIGDIR");
    ASSERT_TRUE(Aliases().LoadFromEnvDir("aliases", "MAILCONFIGDIR"));
    PreresolveAliases();
    Filters().LoadFromEnvDir("filters", "MAILCONFIGDIR");
  }

  // What the agents of a test are made with: settings, published now.
  const kelpd::config::SettingsStore& Published() {
    store_.Publish(settings);
    return store_;
  }

  // The "NextUID" of a mailbox's settings file; -2 when it can't be read.
  static int NextUid(const std::string& user_dir) {
    CConfigMap account;
    return account.Load(user_dir + "/config") ? account.GetInt("NextUID", -1) : -2;
  }

  ServiceTree tree{LocalTreeOptions()};
  kelpd::config::Settings settings;
  kelpd::config::SettingsStore store_;
  LogCapture log;
};

}  // namespace kelpd::testing
