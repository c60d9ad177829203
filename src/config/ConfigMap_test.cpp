#include "config/ConfigMap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <mutex>
#include <string>
#include <thread>

#include "config/Configuration.h"
#include "support/TempDir.h"

namespace {

using kelpd::testing::TempDir;

TEST(CConfigMap, GetStringAndGetIntWithDefaults) {
  TempDir dir;
  CConfigMap config;
  // Empty: every key gives the default.
  EXPECT_EQ(config.GetString("QueueDir", "/var/spool/zelvane/queue"), "/var/spool/zelvane/queue");
  EXPECT_EQ(config.GetString("QueueDir"), "");
  EXPECT_EQ(config.GetInt("AutoTransport", 7), 7);

  ASSERT_TRUE(config.Load(dir.WriteFile("kelpd.cfg",
                                        "Letters: abc\n"
                                        "Mixed: 12abc\n"
                                        "Blank: \t 42\n"
                                        "Negative: -17x\n"
                                        "Plus: +5\n"
                                        "Huge: 99999999999999999999\n"
                                        "HugeNegative: -99999999999\n"
                                        "Limit: 2147483647\n"
                                        "Hosts: a.example, b.example ,,  c.example\n")));
  EXPECT_EQ(config.GetInt("Letters", 9), 0);
  EXPECT_EQ(config.GetInt("Mixed", 9), 12);
  EXPECT_EQ(config.GetInt("Blank", 9), 42);
  EXPECT_EQ(config.GetInt("Negative", 9), -17);
  EXPECT_EQ(config.GetInt("Plus", 9), 5);
  EXPECT_EQ(config.GetInt("Huge", 9), INT_MAX);
  EXPECT_EQ(config.GetInt("HugeNegative", 9), INT_MIN);
  EXPECT_EQ(config.GetInt("Limit", 9), INT_MAX);
  EXPECT_EQ(config.GetInt("Absent", 9), 9);
  EXPECT_EQ(config.GetInt("letters", 9), 9);  // keys are case-sensitive
  EXPECT_EQ(config.GetString("Mixed", "d"), "12abc");

  CStringListEx hosts;
  hosts.AddTail("first");
  config.GetList("Hosts", hosts);
  ASSERT_EQ(hosts.GetCount(), 4);
  auto pos = hosts.GetHeadPosition();
  EXPECT_EQ(hosts.GetNext(pos), "first");
  EXPECT_EQ(hosts.GetNext(pos), "a.example");
  EXPECT_EQ(hosts.GetNext(pos), "b.example");
  EXPECT_EQ(hosts.GetNext(pos), "c.example");

  CStringListEx fallback;
  config.GetList("Absent", fallback, "x, ,y");
  ASSERT_EQ(fallback.GetCount(), 3);
  EXPECT_EQ(fallback.GetHead(), "x");
  EXPECT_EQ(*std::next(fallback.begin()), "");  // a run of blanks is an empty entry
}

TEST(CConfigMap, SetStringAndSetInt) {
  CConfigMap config;
  config.SetString("A", "value");
  EXPECT_TRUE(config.IsModified());
  EXPECT_EQ(config.GetString("A"), "value");
  config.SetModified(false);
  config.SetString("A", "");
  EXPECT_TRUE(config.IsModified());
  EXPECT_EQ(config.GetString("A", "gone"), "gone");
  config.SetModified(false);
  config.SetString("Absent", "");
  EXPECT_TRUE(config.IsModified());
  config.SetInt("NextUID", 4294967295u);
  EXPECT_EQ(config.GetString("NextUID"), "4294967295");
  EXPECT_EQ(config.GetInt("NextUID"), INT_MAX);
  config.SetInt("NextUID", 12);
  EXPECT_EQ(config.GetInt("NextUID"), 12);
}

TEST(Configuration, ProcessWideObjectIsSharedAndResettable) {
  TempDir dir;
  ResetConfigForTests();
  EXPECT_EQ(Config().GetInt("AutoTransport", 1), 1);
  ASSERT_TRUE(Config().Load(dir.WriteFile("kelpd.cfg", "AutoTransport: 0\n")));
  int seen = -1;
  std::thread other([&] { seen = Config().GetInt("AutoTransport", 1); });
  other.join();
  EXPECT_EQ(seen, 0);
  ResetConfigForTests();
  EXPECT_FALSE(Config().IsLoaded());
  EXPECT_EQ(Config().GetPath(), "");
  EXPECT_EQ(Config().GetInt("AutoTransport", 1), 1);
}

// A reader that looks at the whole table under its section must never see a
// mixture of two files, nor an empty table, while another thread reloads.
TEST(CConfigMap, ReaderSeesOnlyWholeContentsDuringReloads) {
  TempDir dir;
  std::string a, b;
  for (int i = 0; i < 200; ++i) {
    a += "Key" + std::to_string(i) + ": a\n";
    b += "Key" + std::to_string(i) + ": b\n";
  }
  std::string path_a = dir.WriteFile("a.cfg", a);
  std::string path_b = dir.WriteFile("b.cfg", b);
  CConfigMap config;
  ASSERT_TRUE(config.Load(path_a));

  std::atomic<bool> done{false};
  std::atomic<int> torn{0}, reads{0};
  std::thread reader([&] {
    while (!done) {
      std::lock_guard<std::recursive_mutex> lock(config.Section());
      std::string first = config.GetString("Key0", "-");
      for (int i = 1; i < 200; ++i)
        if (config.GetString("Key" + std::to_string(i), "-") != first || first == "-") {
          ++torn;
          break;
        }
      ++reads;
    }
  });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (int i = 0; i < 300 && std::chrono::steady_clock::now() < deadline; ++i)
    ASSERT_TRUE(config.Load(i % 2 ? path_a : path_b));
  while (reads < 10 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
  EXPECT_GT(reads, 0);
}

}  // namespace
