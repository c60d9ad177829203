// The fixture of the local delivery tests: a mail tree, the configuration
// pointing at it, and the directory data loaded from it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "config/Configuration.h"
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
    Config().SetString("QueueDir", tree.queue_dir());
    Config().SetString("SpoolDir", tree.spool_dir());
    Config().SetString("ErrorDir", tree.error_dir());
    Config().SetString("OutgoingDir", tree.outgoing_dir());
    Config().SetString("FilterDir", tree.filter_dir());
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
    BuildUserList();
    ASSERT_TRUE(Domains().LoadFromEnvDir("domains", "MAILCONFIGDIR"));
    BackupDomains().LoadFromEnvDir("backupdomains", "MAILCONFIGDIR");
    ASSERT_TRUE(Aliases().LoadFromEnvDir("aliases", "MAILCONFIGDIR"));
    PreresolveAliases();
    Filters().LoadFromEnvDir("filters", "MAILCONFIGDIR");
  }

  ServiceTree tree{LocalTreeOptions()};
  LogCapture log;
};

}  // namespace kelpd::testing
