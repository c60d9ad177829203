#include "config/Settings.h"

#include <gtest/gtest.h>

#include <functional>
#include <utility>
#include <vector>

#include "config/ConfigMap.h"

namespace {

using kelpd::config::LoadSettings;
using kelpd::config::Settings;

Settings Load(const std::vector<std::pair<const char*, const char*>>& keys) {
  CConfigMap config;
  for (const auto& [key, value] : keys) config.SetString(key, value);
  return LoadSettings(config);
}

TEST(Settings, AFileWithoutTheKeysGivesTheDefaults) {
  EXPECT_EQ(LoadSettings(CConfigMap{}), Settings{});
  EXPECT_EQ(Load({{"Unrelated", "1"}}), Settings{});
}

TEST(Settings, ClampsAndKeysThatFallBackToOthers) {
  using Field = std::function<int64_t(const Settings&)>;
  const Field timeout = [](const Settings& s) { return s.remote.session_timeout; };
  const Field parallel = [](const Settings& s) { return s.service.scripts_parallel; };
  const Field retry_min = [](const Settings& s) { return s.remote.retry.min_seconds; };
  const Field retry_max = [](const Settings& s) { return s.remote.retry.max_seconds; };
  const Field attach = [](const Settings& s) { return s.bounce.attach; };
  const Field traffic_port = [](const Settings& s) { return s.log.traffic_port; };
  const Field mode = [](const Settings& s) { return s.local.mail_file_mode; };
  const struct {
    std::vector<std::pair<const char*, const char*>> keys;
    const Field& field;
    int64_t want;
  } cases[] = {
      {{{"TimeOut", "-5"}}, timeout, 60},
      {{{"TimeOut", "60"}}, timeout, 60},
      {{{"TimeOut", "61"}}, timeout, 61},
      {{{"TimeOut", "1199"}}, timeout, 1199},
      {{{"TimeOut", "99999999999"}}, timeout, 1200},
      {{{"AsyncScripts", "0"}}, parallel, 0},
      {{{"AsyncScripts", "0"}, {"Scripts.Execution.Parallel", "1"}}, parallel, 1},
      {{{"AutoTransRetry", "10"}}, retry_min, 600},
      {{{"AutoTransRetry", "10"}, {"AutoTransRetryMax", "30"}}, retry_max, 1800},
      {{{"AutoTransRetry", "10"}, {"AutoTransRetryMax", "30"}}, retry_min, 600},
      {{{"BounceAttachment", "1"}}, attach, 1},
      {{{"BounceAttachment", "1"}, {"Bounce.Attachment", "0"}}, attach, 0},
      {{{"LogPort", "1514"}}, traffic_port, 1514},
      {{{"LogPort", "1514"}, {"TrafficLogPort", "2514"}}, traffic_port, 2514},
      {{{"MailFileMode", "0660"}}, mode, 0660},
      {{{"MailFileMode", "0x1ff"}}, mode, 0600},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.field(Load(c.keys)), c.want) << c.keys.back().first << ": " << c.keys.back().second;

  const Settings s = Load({{"Postmaster", "pm@example.org"}, {"LogHost", "logs.example"}});
  EXPECT_EQ(s.bounce.postmaster_copy, "pm@example.org");
  EXPECT_EQ(s.bounce.report_sender, "pm@example.org");
  EXPECT_EQ(s.log.traffic_host, "logs.example");
  const Settings own = Load({{"Postmaster", "pm@example.org"},
                             {"Postmaster.To", "copy@example.org"},
                             {"Postmaster.From", "from@example.org"}});
  EXPECT_EQ(own.bounce.postmaster_copy, "copy@example.org");
  EXPECT_EQ(own.bounce.report_sender, "from@example.org");
}

}  // namespace
