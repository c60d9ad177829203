#include "config/Settings.h"

#include <algorithm>

#include "base/Text.h"
#include "config/ConfigMap.h"

namespace kelpd::config {

namespace {

unsigned ParseMailFileMode(const std::string& text) {
  const unsigned kDefault = Settings::Local{}.mail_file_mode;
  const std::string value = kelpd::text::Trim(text);
  if (value.empty() || value.size() > 4) return kDefault;
  unsigned mode = 0;
  for (const char c : value) {
    if (c < '0' || c > '7') return kDefault;
    mode = mode * 8 + static_cast<unsigned>(c - '0');
  }
  return mode <= 0777 ? mode : kDefault;
}

}  // namespace

Settings LoadSettings(const CConfigMap& c) {
  Settings s;
  // Each reads key into field, whose value so far is the default.
  auto text = [&c](std::string& field, const char* key) { field = c.GetString(key, field); };
  auto number = [&c](int& field, const char* key) { field = c.GetInt(key, field); };
  auto flag = [&c](bool& field, const char* key) { field = c.GetInt(key, field ? 1 : 0) != 0; };
  // A key that falls back to another: the other first, then the key itself.
  auto flag_or = [&](bool& field, const char* key, const char* fallback) {
    flag(field, fallback);
    flag(field, key);
  };

  text(s.dirs.queue, "QueueDir");
  text(s.dirs.spool, "SpoolDir");
  text(s.dirs.error, "ErrorDir");
  text(s.dirs.outgoing, "OutgoingDir");
  text(s.dirs.filter, "FilterDir");
  text(s.dirs.mask_file, "MaskFile");

  text(s.log.host, "LogHost");
  number(s.log.port, "LogPort");
  text(s.log.facility, "LogFacility");
  text(s.log.socket, "LogSocket");
  s.log.traffic_host = c.GetString("TrafficLogHost", s.log.host);
  s.log.traffic_port = c.GetInt("TrafficLogPort", s.log.port);
  text(s.log.traffic_facility, "TrafficLogFacility");
  flag(s.log.traffic, "TrafficLogging");

  flag(s.service.auto_transport, "AutoTransport");
  number(s.service.delivery_threads, "AutoTransport.Threads");
  flag(s.service.hourly_cleanup, "HourlyCleanup");
  flag(s.service.allow_config_restart, "AllowConfigRestart");
  flag_or(s.service.scripts_parallel, "Scripts.Execution.Parallel", "AsyncScripts");

  flag(s.local.filter_content, "FilterContent");
  flag(s.local.received_header, "Header.Received.Create");
  flag(s.local.received_for, "Header.Received.Recipient");
  text(s.local.srs_domain, "SRS.Domain");
  text(s.local.srs_challenge, "SRS.Challenge");
  s.local.mail_file_mode = ParseMailFileMode(c.GetString("MailFileMode"));

  text(s.remote.helo_name, "FQDN");
  text(s.remote.interface, "Interface");
  number(s.remote.session_timeout, "TimeOut");
  s.remote.session_timeout = std::min(std::max(s.remote.session_timeout, 60), 1200);
  text(s.remote.address_family, "AddressFamily");
  flag(s.remote.use_tls, "UseTLS");
  text(s.remote.tls_mode, "TLS.Mode");
  text(s.remote.tls_verify, "TLS.Verify");
  text(s.remote.tls_ca_file, "TLS.CAFile");
  flag(s.remote.allow_loopback_mx, "AllowLoopbackMX");
  flag(s.remote.allow_plaintext_auth, "Auth.AllowPlaintext");
  number(s.remote.debug_logging, "DebugLogging");
  number(s.remote.give_up_minutes, "AutoTransTime");
  int retry = 60, retry_min = 0, retry_max = 0;
  number(retry, "AutoTransRetry");
  retry_min = retry_max = retry;
  number(retry_min, "AutoTransRetryMin");
  number(retry_max, "AutoTransRetryMax");
  s.remote.retry = {int64_t{retry_min} * 60, int64_t{retry_max} * 60};

  flag(s.bounce.disable, "Bounce.Disable");
  const std::string postmaster = c.GetString("Postmaster");
  s.bounce.postmaster_copy = c.GetString("Postmaster.To", postmaster);
  s.bounce.report_sender = c.GetString("Postmaster.From", postmaster);
  flag_or(s.bounce.attach, "Bounce.Attachment", "BounceAttachment");
  flag(s.bounce.bulk, "Bounce.Bulk");
  return s;
}

std::shared_ptr<const Settings> SettingsStore::Current() const {
  std::lock_guard<std::mutex> lock(section_);
  return current_;
}

void SettingsStore::Publish(Settings settings) {
  auto value = std::make_shared<const Settings>(std::move(settings));
  std::lock_guard<std::mutex> lock(section_);
  current_.swap(value);
  // The old value goes when its last reader lets it go, outside the lock.
}

SettingsStore& ServiceSettings() {
  static SettingsStore* store = new SettingsStore();
  return *store;
}

unsigned MailFileMode() { return ServiceSettings().Current()->local.mail_file_mode; }

}  // namespace kelpd::config
