// Points the built-in resolver of the calling thread at test servers: a
// private platform configuration file and configuration directory, a test
// port and short "seconds". Restores the environment when destroyed.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#include "dns/ResolverState.h"
#include "support/TempDir.h"

namespace kelpd::testing {

class ResolverTestEnv {
 public:
  explicit ResolverTestEnv(uint16_t port = 53, int millis_per_second = 20) {
    Save("MAILCONFIGDIR", &saved_config_dir_);
    Save("LOCALDOMAIN", &saved_local_domain_);
    ::setenv("MAILCONFIGDIR", dir_.path().c_str(), 1);
    ::unsetenv("LOCALDOMAIN");
    settings_.platform_conf_path = dir_.Join("system-resolv.conf");
    settings_.server_port = port;
    settings_.millis_per_second = millis_per_second;
    settings_.host_name = "testhost";
    dns::SetResolverTestSettings(settings_);
  }
  ~ResolverTestEnv() {
    dns::res_cleanup();
    dns::SetResolverTestSettings(dns::ResolverTestSettings{});
    Restore("MAILCONFIGDIR", saved_config_dir_);
    Restore("LOCALDOMAIN", saved_local_domain_);
  }
  ResolverTestEnv(const ResolverTestEnv&) = delete;
  ResolverTestEnv& operator=(const ResolverTestEnv&) = delete;

  void SystemConf(const std::string& text) { dir_.WriteFile("system-resolv.conf", text); }
  void MailConf(const std::string& text) { dir_.WriteFile("resolv.conf", text); }
  void HostName(const std::string& name) {
    settings_.host_name = name;
    dns::SetResolverTestSettings(settings_);
  }
  void LocalDomain(const std::string& value) { ::setenv("LOCALDOMAIN", value.c_str(), 1); }
  // Builds the calling thread's state; returns it.
  dns::ResolverState& Init() {
    dns::res_init();
    return *dns::CurrentResolverState();
  }
  const TempDir& dir() const { return dir_; }

 private:
  static void Save(const char* name, std::optional<std::string>* out) {
    if (const char* v = std::getenv(name)) *out = v;
  }
  static void Restore(const char* name, const std::optional<std::string>& value) {
    if (value)
      ::setenv(name, value->c_str(), 1);
    else
      ::unsetenv(name);
  }

  TempDir dir_;
  dns::ResolverTestSettings settings_;
  std::optional<std::string> saved_config_dir_;
  std::optional<std::string> saved_local_domain_;
};

}  // namespace kelpd::testing
