#include "config/Settings.h"

#include "config/ConfigMap.h"
#include "config/MailFileMode.h"

namespace kelpd::config {

namespace {

int Clamp(int value, int low, int high) {
  return value <= low ? low : value >= high ? high : value;
}

}  // namespace

Settings LoadSettings(const CConfigMap& c) {
  Settings s;
  auto flag = [&c](const char* key, bool def) { return c.GetInt(key, def ? 1 : 0) != 0; };

  s.dirs.queue = c.GetString("QueueDir", kDefaultQueueDir);
  s.dirs.spool = c.GetString("SpoolDir", kDefaultSpoolDir);
  s.dirs.error = c.GetString("ErrorDir", kDefaultErrorDir);
  s.dirs.outgoing = c.GetString("OutgoingDir", kDefaultOutgoingDir);
  s.dirs.filter = c.GetString("FilterDir", kDefaultFilterDir);
  s.dirs.mask_file = c.GetString("MaskFile");

  s.log.host = c.GetString("LogHost", "");
  s.log.port = c.GetInt("LogPort", 514);
  s.log.facility = c.GetString("LogFacility", "mail");
  s.log.socket = c.GetString("LogSocket", kDefaultLogSocket);
  s.log.traffic_host = c.GetString("TrafficLogHost", s.log.host);
  s.log.traffic_port = c.GetInt("TrafficLogPort", s.log.port);
  s.log.traffic_facility = c.GetString("TrafficLogFacility", "local2");
  s.log.traffic = flag("TrafficLogging", true);

  s.service.auto_transport = flag("AutoTransport", true);
  s.service.delivery_threads = c.GetInt("AutoTransport.Threads", 2);
  s.service.hourly_cleanup = flag("HourlyCleanup", false);
  s.service.allow_config_restart = flag("AllowConfigRestart", true);
  s.service.scripts_parallel =
      c.GetInt("Scripts.Execution.Parallel", c.GetInt("AsyncScripts", 1)) != 0;

  s.local.filter_content = flag("FilterContent", true);
  s.local.received_header = flag("Header.Received.Create", true);
  s.local.received_for = flag("Header.Received.Recipient", true);
  s.local.srs_domain = c.GetString("SRS.Domain", "");
  s.local.srs_challenge = c.GetString("SRS.Challenge", "");
  s.local.mail_file_mode = ParseMailFileMode(c.GetString("MailFileMode", ""));

  s.remote.helo_name = c.GetString("FQDN");
  s.remote.interface = c.GetString("Interface");
  s.remote.session_timeout = Clamp(c.GetInt("TimeOut", 90), 60, 1200);
  s.remote.address_family = c.GetString("AddressFamily", "ipv4-first");
  s.remote.use_tls = flag("UseTLS", true);
  s.remote.tls_mode = c.GetString("TLS.Mode", "may");
  s.remote.tls_verify = c.GetString("TLS.Verify", "0");
  s.remote.tls_ca_file = c.GetString("TLS.CAFile", "");
  s.remote.allow_loopback_mx = flag("AllowLoopbackMX", false);
  s.remote.allow_plaintext_auth = flag("Auth.AllowPlaintext", false);
  s.remote.debug_logging = c.GetInt("DebugLogging", 0);
  s.remote.give_up_minutes = c.GetInt("AutoTransTime", 120);
  const int retry = c.GetInt("AutoTransRetry", 60);
  s.remote.retry.min_seconds = static_cast<int64_t>(c.GetInt("AutoTransRetryMin", retry)) * 60;
  s.remote.retry.max_seconds = static_cast<int64_t>(c.GetInt("AutoTransRetryMax", retry)) * 60;

  s.bounce.disable = flag("Bounce.Disable", false);
  s.bounce.postmaster_copy = c.GetString("Postmaster.To", c.GetString("Postmaster", ""));
  s.bounce.attach = c.GetInt("Bounce.Attachment", c.GetInt("BounceAttachment", 0)) != 0;
  s.bounce.bulk = flag("Bounce.Bulk", true);
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

}  // namespace kelpd::config
