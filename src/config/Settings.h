// Settings: every setting of "kelpd.cfg" that the service and its companion
// programs use, as one value with named, typed fields. The defaults are the
// fields' initial values; LoadSettings is the one place that names the keys
// and applies the clamps. Nothing else reads kelpd.cfg by key.
//
// The application loads a value at start and at each configuration restart
// and publishes it in ServiceSettings(). The agents and the delivery threads
// are handed that store and take its current snapshot where they need a
// value; a published value never changes, so a snapshot is read without locks.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class CConfigMap;

// Where the service looks when the configuration names no directory.
constexpr char kDefaultQueueDir[] = "/var/spool/zelvane/queue";
constexpr char kDefaultSpoolDir[] = "/var/spool/zelvane/spool";
constexpr char kDefaultErrorDir[] = "/var/spool/zelvane/error";
constexpr char kDefaultOutgoingDir[] = "/var/spool/zelvane/outgoing";
constexpr char kDefaultFilterDir[] = "/var/spool/zelvane/filtered";

namespace kelpd::config {

constexpr char kDefaultLogSocket[] = "/dev/log";

// The bounds between two retry cycles of the outgoing directory, in seconds.
struct RetrySettings {
  int64_t min_seconds = 3600;
  int64_t max_seconds = 3600;
  bool operator==(const RetrySettings&) const = default;
};

// Each field's comment names its key.
struct Settings {
  struct Directories {
    std::string queue = kDefaultQueueDir;        // "QueueDir"
    std::string spool = kDefaultSpoolDir;        // "SpoolDir"
    std::string error = kDefaultErrorDir;        // "ErrorDir"
    std::string outgoing = kDefaultOutgoingDir;  // "OutgoingDir"
    std::string filter = kDefaultFilterDir;      // "FilterDir"
    std::string mask_file;                       // "MaskFile": the masquerading map
    bool operator==(const Directories&) const = default;
  } dirs;

  struct Logging {
    std::string host;                         // "LogHost"; empty: the local socket
    int port = 514;                           // "LogPort"
    std::string facility = "mail";            // "LogFacility"
    std::string socket = kDefaultLogSocket;   // "LogSocket"
    std::string traffic_host;                 // "TrafficLogHost", else "LogHost"
    int traffic_port = 514;                   // "TrafficLogPort", else "LogPort"
    std::string traffic_facility = "local2";  // "TrafficLogFacility"
    bool traffic = true;                      // "TrafficLogging": a line per delivery
    bool operator==(const Logging&) const = default;
  } log;

  struct Service {
    bool auto_transport = true;        // "AutoTransport": remote delivery runs
    int delivery_threads = 2;          // "AutoTransport.Threads"
    bool hourly_cleanup = false;       // "HourlyCleanup"
    bool allow_config_restart = true;  // "AllowConfigRestart"
    bool scripts_parallel = true;      // "Scripts.Execution.Parallel", else "AsyncScripts"
    bool operator==(const Service&) const = default;
  } service;

  struct Local {
    bool filter_content = true;   // "FilterContent"
    bool received_header = true;  // "Header.Received.Create"
    bool received_for = true;     // "Header.Received.Recipient"
    std::string srs_domain;       // "SRS.Domain"
    std::string srs_challenge;    // "SRS.Challenge"
    // "MailFileMode": the permission bits of the mail files the service
    // creates, an octal number up to 0777; any other text counts as 0600, so
    // that only the service's own account reads mail.
    unsigned mail_file_mode = 0600;
    bool operator==(const Local&) const = default;
  } local;

  struct Remote {
    std::string helo_name;                      // "FQDN"
    std::string interface;                      // "Interface"
    int session_timeout = 90;                   // "TimeOut", seconds held to 60 .. 1200
    std::string address_family = "ipv4-first";  // "AddressFamily"
    bool use_tls = true;                        // "UseTLS"
    std::string tls_mode = "may";               // "TLS.Mode"
    std::string tls_verify = "0";               // "TLS.Verify"
    std::string tls_ca_file;                    // "TLS.CAFile"
    bool allow_loopback_mx = false;             // "AllowLoopbackMX"
    bool allow_plaintext_auth = false;          // "Auth.AllowPlaintext"
    int debug_logging = 0;                      // "DebugLogging"
    int give_up_minutes = 120;                  // "AutoTransTime"
    // "AutoTransRetryMin", "AutoTransRetryMax" in minutes, else "AutoTransRetry"
    RetrySettings retry;
    bool operator==(const Remote&) const = default;
  } remote;

  struct Bounce {
    bool disable = false;         // "Bounce.Disable": given-up mail is deleted
    std::string postmaster_copy;  // "Postmaster.To", else "Postmaster"
    std::string report_sender;    // "Postmaster.From", else "Postmaster"
    bool attach = false;          // "Bounce.Attachment", else "BounceAttachment"
    bool bulk = true;             // "Bounce.Bulk"
    bool operator==(const Bounce&) const = default;
  } bounce;

  bool operator==(const Settings&) const = default;
};

// The settings of a loaded kelpd.cfg.
Settings LoadSettings(const CConfigMap& config);

// The settings in force, replaced whole by Publish. A reader takes Current()
// where it needs a value and keeps that snapshot for the task at hand (a
// mail, a scan). Any thread.
class SettingsStore {
 public:
  std::shared_ptr<const Settings> Current() const;
  void Publish(Settings settings);

 private:
  mutable std::mutex section_;
  std::shared_ptr<const Settings> current_ = std::make_shared<const Settings>();
};

// The store the application publishes kelpd.cfg into; the defaults until
// then. Never destroyed: a thread still running while the process exits may
// still read it.
SettingsStore& ServiceSettings();

// The mail file mode of ServiceSettings(), taken at the moment of use.
unsigned MailFileMode();

}  // namespace kelpd::config
