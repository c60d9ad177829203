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
#include "support/MailTree.h"
#include "support/TempDir.h"

namespace kelpd::testing {

class LocalDeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("MAILCONFIGDIR", tree.config.c_str(), 1);
    ::setenv("MAILLOCKDIR", tree.lock.c_str(), 1);
    ResetConfigForTests();
    Config().SetString("QueueDir", tree.queue);
    Config().SetString("SpoolDir", tree.spool);
    Config().SetString("ErrorDir", tree.error);
    Config().SetString("OutgoingDir", tree.outgoing);
    Config().SetString("FilterDir", tree.filtered);
    tree.WriteConfigFile("domains", "example.org\nexample.net\n");
    tree.WriteConfigFile("backupdomains", "");
    tree.WriteConfigFile("aliases", "");
    tree.WriteConfigFile("filters", "");
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

  MailTree tree;
  LogCapture log;
};

}  // namespace kelpd::testing
