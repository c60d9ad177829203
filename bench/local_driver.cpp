// Runs the local delivery agent alone, as the application would, on the
// configuration in $MAILCONFIGDIR ("kelpd.cfg" and the lists), until SIGINT
// or SIGTERM. A stand-in for "kelpd -debug" when measuring local delivery.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>

#include "config/Configuration.h"
#include "config/Settings.h"
#include "local/DirectoryData.h"
#include "local/LocalAgent.h"
#include "log/ConsoleLogTarget.h"
#include "log/Log.h"

namespace {
std::atomic<bool> g_stop{false};
void OnSignal(int) { g_stop = true; }
}  // namespace

int main() {
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  SetTarget(MainLog(), std::make_unique<CConsoleLogTarget>());
  if (!Config().LoadFromEnvDir("kelpd.cfg", "MAILCONFIGDIR")) {
    std::fprintf(stderr, "could not load kelpd.cfg\n");
    return 1;
  }
  kelpd::config::SettingsStore& settings = kelpd::config::ServiceSettings();
  settings.Publish(kelpd::config::LoadSettings(Config()));
  CreateUserList(settings.Current()->dirs.spool);
  if (!Domains().LoadFromEnvDir("domains", "MAILCONFIGDIR")) return 1;
  BackupDomains().LoadFromEnvDir("backupdomains", "MAILCONFIGDIR");
  Aliases().LoadFromEnvDir("aliases", "MAILCONFIGDIR");
  PreresolveAliases();
  Filters().LoadFromEnvDir("filters", "MAILCONFIGDIR");
  CLocalAgent agent(settings);
  if (!agent.Start()) return 1;
  while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return agent.Stop(10000) ? 0 : 1;
}
