#include "support/PostfixInstance.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/LoopbackPort.h"
#include "support/PeerProcess.h"

namespace fs = std::filesystem;

namespace kelpd::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kPostfix[] = "/usr/sbin/postfix";
constexpr char kMaster[] = "/usr/lib/postfix/sbin/master";
constexpr char kSaslPasswd[] = "/usr/sbin/saslpasswd2";
// The owner of the queue and the user the pipe transport runs its command as
// (the pipe transport refuses root and the mail owner).
constexpr char kMailOwner[] = "postfix";
constexpr char kDeliveryUser[] = "nobody";
constexpr int kStartAttempts = 3;

// Writes the delivered copy into <instance>/delivered: a temporary name first,
// renamed when whole, so that a reader never sees half a message. The first
// lines carry the envelope as the pipe transport passed it.
constexpr char kDeliverScript[] = R"(#!/bin/sh
# deliver from=SENDER to=RECIPIENT id=QUEUEID; the message on standard input.
out="$(dirname "$0")/delivered"
tmp=$(mktemp "$out/.tmp.XXXXXXXX") || exit 75
if ! { printf '%s\n%s\n%s\n\n' "$1" "$2" "$3" && cat; } > "$tmp"; then
  rm -f "$tmp"
  exit 75
fi
mv "$tmp" "$out/${tmp##*/.tmp.}.msg" || exit 75
exit 0
)";

bool WriteText(const std::string& path, const std::string& text, mode_t mode, std::string* error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out || ::chmod(path.c_str(), mode) != 0) {
    *error = "cannot write " + path;
    return false;
  }
  // The MTA's commands wait until a configuration file is at least a moment
  // old (so that they don't read one being edited): date it back a minute.
  std::error_code ec;
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::minutes(1), ec);
  return true;
}

bool Chown(const std::string& path, const char* user, const char* group_name, std::string* error) {
  uid_t uid = 0;
  gid_t gid = static_cast<gid_t>(-1);
  if (user != nullptr) {
    const passwd* pw = ::getpwnam(user);
    if (pw == nullptr) {
      *error = std::string("no user ") + user;
      return false;
    }
    uid = pw->pw_uid;
  }
  if (group_name != nullptr) {
    const struct group* gr = ::getgrnam(group_name);
    if (gr == nullptr) {
      *error = std::string("no group ") + group_name;
      return false;
    }
    gid = gr->gr_gid;
  }
  if (::chown(path.c_str(), uid, gid) != 0) {
    *error = "cannot chown " + path;
    return false;
  }
  return true;
}

bool Executable(const char* path) { return ::access(path, X_OK) == 0; }

std::string Join(const std::vector<std::string>& words, const char* separator) {
  std::string out;
  for (const auto& w : words) {
    if (!out.empty()) out += separator;
    out += w;
  }
  return out;
}

// Removes the first header field when it is a "Received:" field, with its
// continuation lines.
std::string WithoutFirstReceived(const std::string& data) {
  if (data.rfind("Received:", 0) != 0) return data;
  size_t pos = 0;
  while (true) {
    size_t eol = data.find('\n', pos);
    if (eol == std::string::npos) return {};
    pos = eol + 1;
    if (pos >= data.size() || (data[pos] != ' ' && data[pos] != '\t')) return data.substr(pos);
  }
}

bool ParseDelivered(const std::string& path, DeliveredMessage* msg) {
  std::string text = ReadFile(path);
  std::istringstream in(text);
  std::string from, to, id, blank;
  if (!std::getline(in, from) || !std::getline(in, to) || !std::getline(in, id) ||
      !std::getline(in, blank) || !blank.empty() || from.rfind("from=", 0) != 0 ||
      to.rfind("to=", 0) != 0 || id.rfind("id=", 0) != 0) {
    return false;
  }
  msg->path = path;
  msg->sender = from.substr(5);
  msg->recipient = to.substr(3);
  msg->queue_id = id.substr(3);
  std::streamoff offset = in.tellg();
  msg->data = offset < 0 ? std::string() : text.substr(static_cast<size_t>(offset));
  msg->content = WithoutFirstReceived(msg->data);
  return true;
}

}  // namespace

std::vector<SaslUser> DefaultSaslUsers() {
  return {{kPeerUser, kPeerPassword}, {kPeerUser2, kPeerPassword2}};
}

std::vector<RecipientRule> DefaultRecipientRules() {
  return {{kRejectRecipient, "550 5.1.1 no such user here"},
          {kDeferRecipient, "450 4.2.0 mailbox busy, try again later"}};
}

std::string PostfixInstance::MissingPrerequisite() {
  if (!Executable(kPostfix) || !Executable(kMaster)) {
    return "the postfix package is not installed (scripts/lib/packages.sh installs it)";
  }
  if (!Executable(kSaslPasswd)) {
    return "the sasl2-bin package is not installed (scripts/lib/packages.sh installs it)";
  }
  if (!Executable("/usr/bin/openssl")) return "openssl is not installed";
  if (::geteuid() != 0) return "a private MTA instance must be started as root";
  if (::getpwnam(kMailOwner) == nullptr || ::getpwnam(kDeliveryUser) == nullptr) {
    return "the users 'postfix' and 'nobody' are needed";
  }
  return {};
}

PostfixInstance::PostfixInstance(PostfixOptions options) : options_(std::move(options)) {}

PostfixInstance::~PostfixInstance() { Stop(); }

bool PostfixInstance::Start(std::string* error) {
  std::string missing = MissingPrerequisite();
  if (!missing.empty()) {
    *error = missing;
    return false;
  }
  Stop();
  for (int attempt = 1;; ++attempt) {
    port_ = options_.port != 0 ? options_.port : PickFreeLoopbackPort();
    if (port_ == 0) {
      *error = "no free loopback port";
      return false;
    }
    if (StartOnce(error)) return true;
    std::string log = Log();
    Stop();
    // Another test may have taken the picked port in the meantime.
    bool port_taken = log.find("Address already in use") != std::string::npos;
    if (options_.port != 0 || !port_taken || attempt == kStartAttempts) {
      *error += "\n--- instance log " + dir_->Join("maillog") + " ---\n" + log;
      return false;
    }
  }
}

bool PostfixInstance::StartOnce(std::string* error) {
  dir_ = std::make_unique<TempDir>();
  if (!WriteConfiguration(error)) return false;

  const std::string conf = config_dir();
  ToolResult started = RunTool({kPostfix, "-c", conf, "start"}, {}, options_.start_timeout);
  // The master may be running even when the command failed later on: look for
  // its process id first, so that Stop() can end it.
  std::string pid_text = ReadFile(dir_->Join("queue/pid/master.pid"));
  try {
    master_pid_ = pid_text.empty() ? -1 : std::stoi(pid_text);
  } catch (const std::exception&) {
    master_pid_ = -1;
  }
  if (started.exit_code != 0) {
    *error = "postfix start failed (" + std::to_string(started.exit_code) + "): " + started.output;
    return false;
  }
  if (master_pid_ <= 0) {
    *error = "postfix started but wrote no master.pid";
    return false;
  }
  // Listening is not enough: the greeting shows that smtpd starts and reads
  // its configuration (TLS and SASL included).
  const auto deadline = Clock::now() + options_.start_timeout;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      *error = "no SMTP greeting on port " + std::to_string(port_);
      return false;
    }
    std::string greeting = ReadSmtpGreeting(port_, std::min(left, std::chrono::milliseconds(5000)));
    if (greeting.rfind("220", 0) == 0) return true;
    if (!greeting.empty()) {
      *error = "unexpected greeting: " + greeting;
      return false;
    }
    if (!WaitProcessGone(master_pid_, std::chrono::milliseconds(0))) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    *error = "the master process ended";
    return false;
  }
}

bool PostfixInstance::WriteConfiguration(std::string* error) {
  const std::string& root = dir_->path();
  const std::string conf = dir_->MakeDir("conf");
  dir_->MakeDir("conf/sasl");
  dir_->MakeDir("queue");
  const std::string data = dir_->MakeDir("data");
  const std::string delivered = dir_->MakeDir("delivered");
  // The daemons run as the mail owner and the pipe command as nobody: both
  // must be able to reach their files under the (mode 0700) temporary dir.
  if (::chmod(root.c_str(), 0755) != 0 || ::chmod(data.c_str(), 0700) != 0 ||
      ::chmod(delivered.c_str(), 0755) != 0) {
    *error = "cannot set modes under " + root;
    return false;
  }
  if (!Chown(data, kMailOwner, nullptr, error) ||
      !Chown(delivered, kDeliveryUser, nullptr, error)) {
    return false;
  }
  if (!WriteText(dir_->Join("deliver"), kDeliverScript, 0755, error)) return false;

  if (options_.starttls && !MakeCertificate(conf, "smtpd", options_.certificate, &cert_, error,
                                            options_.hostname, options_.key_type)) {
    return false;
  }

  std::ostringstream access;
  for (const auto& rule : options_.recipient_rules)
    access << rule.address << ' ' << rule.reply << '\n';
  if (!WriteText(conf + "/recipient_access", access.str(), 0644, error)) return false;

  if (options_.auth) {
    // Debian's build reads the Cyrus settings from <config_directory>/sasl/
    // <smtpd_sasl_path>.conf; cyrus_sasl_config_path is not honoured.
    const std::string sasldb = conf + "/sasldb2";
    std::ostringstream sasl;
    sasl << "pwcheck_method: auxprop\n"
         << "auxprop_plugin: sasldb\n"
         << "sasldb_path: " << sasldb << "\n"
         << "mech_list: " << Join(options_.mechanisms, " ") << "\n";
    if (!WriteText(conf + "/sasl/smtpd.conf", sasl.str(), 0644, error)) return false;
    for (const auto& user : options_.users) {
      ToolResult r = RunTool({kSaslPasswd, "-f", sasldb, "-p", "-c", "-u", kPeerRealm, user.name},
                             user.password);
      if (r.exit_code != 0) {
        *error = "saslpasswd2 failed for " + user.name + ": " + r.output;
        return false;
      }
    }
    // smtpd reads the database after it has dropped to the mail owner.
    if (!Chown(sasldb, "root", kMailOwner, error) || ::chmod(sasldb.c_str(), 0640) != 0) {
      if (error->empty()) *error = "cannot chmod " + sasldb;
      return false;
    }
  }

  std::ostringstream main;
  main << "compatibility_level = 3.6\n"
       << "queue_directory = " << root << "/queue\n"
       << "data_directory = " << data << "\n"
       << "mail_owner = " << kMailOwner << "\n"
       << "setgid_group = postdrop\n"
       << "syslog_name = kelpd-peer-" << port_ << "\n"
       << "maillog_file = " << root << "/maillog\n"
       << "maillog_file_prefixes = " << root << "\n"
       << "myhostname = " << options_.hostname << "\n"
       << "mydomain = " << kPeerRealm << "\n"
       << "myorigin = $myhostname\n"
       << "mydestination =\n"
       << "relay_domains =\n"
       << "inet_interfaces = 127.0.0.1\n"
       << "inet_protocols = ipv4\n"
       << "mynetworks = 127.0.0.0/8\n"
       << "smtpd_banner = " << options_.banner << "\n"
       << "alias_maps =\n"
       << "alias_database =\n"
       << "biff = no\n"
       << "smtpd_peername_lookup = no\n"
       // Keep the client's message as it came: no header rewriting or added
       // Message-Id/Date/From for clients on the loopback interface.
       << "local_header_rewrite_clients =\n"
       << "always_add_missing_headers = no\n"
       // Refusals answer at once instead of after the default 1 s pause.
       << "smtpd_error_sleep_time = 0\n"
       << "smtpd_soft_error_limit = 100\n"
       << "smtpd_hard_error_limit = 200\n"
       // Every destination goes to the file-writing pipe, one recipient each.
       << "default_transport = filesink\n"
       << "relay_transport = filesink\n"
       << "local_transport = filesink\n"
       << "virtual_transport = filesink\n"
       << "filesink_destination_recipient_limit = 1\n"
       << "smtpd_relay_restrictions = "
       << (options_.require_auth_to_relay ? "permit_sasl_authenticated, reject_unauth_destination"
                                          : "permit_mynetworks, permit_sasl_authenticated, "
                                            "reject_unauth_destination")
       << "\n"
       << "smtpd_recipient_restrictions = check_recipient_access texthash:" << conf
       << "/recipient_access\n";
  if (options_.auth) {
    main << "smtpd_sasl_auth_enable = yes\n"
         << "smtpd_sasl_type = cyrus\n"
         << "smtpd_sasl_path = smtpd\n"
         << "smtpd_sasl_local_domain = " << kPeerRealm << "\n"
         << "smtpd_sasl_security_options = noanonymous\n"
         << "smtpd_sasl_tls_security_options = noanonymous\n"
         << "broken_sasl_auth_clients = no\n";
  } else {
    main << "smtpd_sasl_auth_enable = no\n";
  }
  main << "smtpd_tls_auth_only = no\n";
  if (options_.starttls) {
    main << "smtpd_tls_security_level = may\n"
         << "smtpd_tls_cert_file = " << cert_.cert << "\n"
         << "smtpd_tls_key_file = " << cert_.key << "\n"
         << "smtpd_tls_loglevel = 1\n"
         << "smtpd_tls_session_cache_database =\n";
  } else {
    main << "smtpd_tls_security_level = none\n";
  }
  for (const auto& line : options_.extra_main_cf) main << line << "\n";
  if (!WriteText(conf + "/main.cf", main.str(), 0644, error)) return false;

  // Debian's stock master.cf runs most services chrooted into the queue
  // directory, where a private instance has no copy of /etc: nothing here
  // is chrooted (the fifth column is "n" throughout).
  std::ostringstream master;
  master << "127.0.0.1:" << port_ << " inet n - n - - smtpd\n"
         << "pickup    unix  n - n 60    1 pickup\n"
         << "cleanup   unix  n - n -     0 cleanup\n"
         << "qmgr      unix  n - n 300   1 qmgr\n"
         << "tlsmgr    unix  - - n 1000? 1 tlsmgr\n"
         << "rewrite   unix  - - n -     - trivial-rewrite\n"
         << "bounce    unix  - - n -     0 bounce\n"
         << "defer     unix  - - n -     0 bounce\n"
         << "trace     unix  - - n -     0 bounce\n"
         << "verify    unix  - - n -     1 verify\n"
         << "flush     unix  n - n 1000? 0 flush\n"
         << "proxymap  unix  - - n -     - proxymap\n"
         << "showq     unix  n - n -     - showq\n"
         << "error     unix  - - n -     - error\n"
         << "retry     unix  - - n -     - error\n"
         << "discard   unix  - - n -     - discard\n"
         << "anvil     unix  - - n -     1 anvil\n"
         << "scache    unix  - - n -     1 scache\n"
         << "postlog   unix-dgram n - n - 1 postlogd\n"
         << "filesink  unix  - n n -     - pipe\n"
         << "  flags= user=" << kDeliveryUser << " null_sender= argv=" << root
         << "/deliver from=${sender} to=${recipient} id=${queue_id}\n";
  return WriteText(conf + "/master.cf", master.str(), 0644, error);
}

void PostfixInstance::Stop() {
  if (master_pid_ > 0 && dir_) {
    const std::string conf = config_dir();
    const pid_t master = master_pid_;
    // A master that already ended (a failed start) needs no stop command.
    if (!WaitProcessGone(master, std::chrono::milliseconds(0))) {
      RunTool({kPostfix, "-c", conf, "stop"}, {}, std::chrono::seconds(10));
    }
    if (!WaitProcessGone(master, std::chrono::seconds(10))) {
      RunTool({kPostfix, "-c", conf, "abort"}, {}, std::chrono::seconds(10));
      WaitProcessGone(master, std::chrono::seconds(5));
    }
    // The master starts a session of its own, so its pid is the group of
    // every daemon it ran: whatever is left of them goes now.
    KillProcessGroup(master, std::chrono::seconds(5));
  }
  master_pid_ = -1;
}

std::vector<DeliveredMessage> PostfixInstance::Delivered() const {
  std::vector<std::pair<fs::file_time_type, std::string>> files;
  if (!dir_) return {};
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir_->Join("delivered"), ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".msg") == 0) {
      files.emplace_back(entry.last_write_time(ec), entry.path().string());
    }
  }
  std::sort(files.begin(), files.end());
  std::vector<DeliveredMessage> out;
  for (const auto& [time, path] : files) {
    DeliveredMessage msg;
    if (ParseDelivered(path, &msg)) out.push_back(std::move(msg));
  }
  return out;
}

bool PostfixInstance::WaitForDelivered(size_t count, std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  while (Delivered().size() < count) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string PostfixInstance::Log() const { return dir_ ? ReadFile(dir_->Join("maillog")) : ""; }

bool PostfixInstance::WaitForLog(const std::string& needle,
                                 std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  while (Log().find(needle) == std::string::npos) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace kelpd::testing
