#include "remote/SMTPDeliveryThread.h"

#include <cerrno>
#include <ctime>

#include "base/Paths.h"
#include "local/DirectoryData.h"
#include "local/MailHelpers.h"
#include "log/Log.h"
#include "mail/Mail.h"
#include "mail/QueueControl.h"
#include "net/ErrorTexts.h"
#include "platform/FileLock.h"
#include "platform/Files.h"
#include "platform/ServiceFiles.h"
#include "remote/QueueControl.h"
#include "remote/RemoteAgent.h"
#include "remote/RetrySchedule.h"

namespace {

constexpr char kSource[] = "Kelpd\\SMTPDeliveryThread";
// The longest an idle thread waits before it asks the agent again; the agent
// wakes it sooner when it has a file.
constexpr int kIdlePollMs = 750;
// The most mails one connection to a smarthost carries, one after another.
constexpr int kMailsPerSession = 20;
// The limit of one auto-responder run.
constexpr int kAutoResponderLimitMs = 3'600'000;

using kelpd::smtp::ClassifyResult;
using kelpd::smtp::ResultClass;

// The text of a file error as the file-error lines quote it: at most 256
// characters.
std::string FileErrorMessage(const kelpd::platform::FileResult& error) {
  std::string text = kelpd::net::FileErrorText(&error);
  if (text.size() > 256) text.resize(256);
  return text;
}

}  // namespace

namespace kelpd::remote {

char Locality(const std::string& address,
              const std::function<bool(const std::string&)>& is_local_domain) {
  const size_t at = address.find('@');
  if (at == std::string::npos) return address.empty() ? 'R' : 'L';
  return is_local_domain(address.substr(at + 1)) ? 'L' : 'R';
}

std::vector<std::vector<std::string>> AutoResponderRuns(const std::string& mail_path,
                                                        const std::string& report_path,
                                                        const std::string& postmaster_copy,
                                                        bool attach, bool bulk) {
  auto run = [&](const char* attachment, std::vector<std::string> tail) {
    std::vector<std::string> words = {"autoresp.exe", mail_path, "-t", report_path};
    if (attach) words.insert(words.end(), {"-b", attachment});
    if (bulk) words.push_back("-ib");
    words.push_back("-s");
    words.insert(words.end(), tail.begin(), tail.end());
    words.push_back("-o");
    return words;
  };
  if (postmaster_copy.empty()) return {run("full", {})};
  return {run("full", {"-k"}), run("header", {"-to", postmaster_copy})};
}

}  // namespace kelpd::remote

CSMTPDeliveryThread::CSMTPDeliveryThread(CRemoteAgent* agent,
                                         const kelpd::config::SettingsStore& settings)
    : CSMTPClientThread(std::string(), true),
      m_pAgent(agent),
      m_strErrorDir(settings.Current()->dirs.error),
      m_strOutgoingDir(settings.Current()->dirs.outgoing),
      settings_(settings),
      clock_(kelpd::base::NowSeconds) {
  const std::shared_ptr<const kelpd::config::Settings> current = settings.Current();
  const kelpd::config::Settings::Remote& remote = current->remote;
  m_strHeloName = remote.helo_name;
  m_strInterface = remote.interface;
  m_nSessionTimeOut = remote.session_timeout;
  m_bUseTLS = remote.use_tls;
  SetTlsMode(kelpd::smtp::ParseTlsMode(remote.tls_mode));
  SetTlsVerify(kelpd::smtp::ParseTlsVerify(remote.tls_verify), remote.tls_ca_file);
  SetAllowLoopbackMX(remote.allow_loopback_mx);
  SetAllowPlaintextAuth(remote.allow_plaintext_auth);
  SetDebugLogging(remote.debug_logging);
  RoutingTables tables;
  tables.smarthosts = &SmartHosts();
  tables.masquerading = &Masquerading();
  tables.is_backup_domain = [](const std::string& domain) { return IsBackupDomain(domain); };
  SetRoutingTables(std::move(tables));
  SetMailsPerSession(kMailsPerSession);
}

CSMTPDeliveryThread::~CSMTPDeliveryThread() = default;

void CSMTPDeliveryThread::Run() {
  if (m_pAgent == nullptr) {
    Error(MainLog(), "RemoteAgent-pointer was NULL at %s:%d", kSource, 34);
    m_nResult = 0;
    return;
  }
  m_nSessionTimeOut = settings_.Current()->remote.session_timeout;
  Info(MainLog(), "remote delivery thread (id %04X) started", GetThreadId());
  while (IsRunning()) {
    bool report = true;
    if (!m_pAgent->GetNextNewFile(m_strFileName, &report) &&
        !m_pAgent->GetNextRetryFile(m_strFileName, &report)) {
      // No mail waits: a connection kept for one is not held while idle.
      EndSession();
      m_pAgent->WaitForFiles(kIdlePollMs);
      continue;
    }
    SetReportMayExist(report);
    m_strMailFile = MakePath(m_strOutgoingDir, m_strFileName);
    // The claim tells the queue tool that this mail is in delivery; a tool
    // that holds it is about to remove the mail, which the next scan finds
    // out. A lock directory that can't be used does not stop delivery.
    kelpd::platform::NamedLock claim(kelpd::mail::DeliveryClaimName(m_strMailFile));
    const kelpd::platform::LockResult claimed = claim.Lock(0);
    int missing = 0;
    if (claimed == kelpd::platform::LockResult::kTimeout ||
        claimed == kelpd::platform::LockResult::kStopped ||
        !kelpd::platform::PathExists(m_strMailFile, &missing)) {
      m_pAgent->ReleaseFile(m_strFileName);
      continue;
    }
    if (DeliverOne()) continue;
    Error(MainLog(), "sending mail '%s' failed", m_strFileName.c_str());
    kelpd::remote::CountFailed();
    MoveToErrorDir();
  }
  EndSession();
  Info(MainLog(), "remote delivery thread (id %04X) stopped", GetThreadId());
}

void CSMTPDeliveryThread::MoveToErrorDir() {
  const kelpd::platform::FileResult error =
      kelpd::platform::MoveFileNoReplace(m_strMailFile, MakePath(m_strErrorDir, m_strFileName));
  if (error.ok()) {
    m_pAgent->ReleaseFile(m_strFileName);
    return;
  }
  // The name stays held, so the file is not tried again in this run.
  Error(MainLog(), "CFileException in %s:%d, cause=%d error=%d file=\"%s\": %s\n", kSource, 75,
        error.cause(), error.error(), m_strMailFile.c_str(), FileErrorMessage(error).c_str());
}

bool CSMTPDeliveryThread::DeliverOne() {
  const std::string& path = m_strMailFile;
  kelpd::platform::FileAge age;
  if (!kelpd::platform::GetFileAge(path, age).ok()) {
    // The file vanished or can't be examined; SendMail finds out which.
    age.created = clock_();
    age.size = 0;
  }

  // SendMail reads the file once, for the delivery and for the lines below.
  SendMail();
  const int r = m_nResult;
  const LoadedMail& mail = LastLoad();
  if (!mail.loaded) {
    if (MailFileBusy()) {
      Warning(MainLog(), "Looks like lock on file \"%s\" failed, retrying later!\n", path.c_str());
    } else if (mail.error.HasCause()) {
      Error(MainLog(), "CFileException in %s:%d, cause=%d error=%d file=\"%s\": %s\n", kSource, 101,
            mail.error.cause(), mail.error.error(), path.c_str(),
            FileErrorMessage(mail.error).c_str());
    } else {
      Error(MainLog(), "mail file \"%s\" is empty or could not be read, it is broken",
            path.c_str());
    }
  }

  // A file whose lock another program still holds is not broken: it waits
  // for the next scan. Every other file that can't be read never will be,
  // and goes to the error directory (result 29).
  if (r == kelpd::smtp::ToInt(kelpd::smtp::DeliveryResult::kBadFile) && MailFileBusy()) {
    m_pAgent->ReleaseFile(m_strFileName);
    return true;
  }

  if (r == kelpd::smtp::ToInt(kelpd::smtp::DeliveryResult::kShutDown)) {
    // The stop came before a host was tried, so nothing was sent for this
    // attempt: the mail is as good as before and waits for the next start
    // (a configuration restart lands here as well).
    m_pAgent->ReleaseFile(m_strFileName);
    Warning(MainLog(),
            "Delivering \"%s\" stopped before a host was tried; the mail stays in the outgoing "
            "directory for the next start.",
            path.c_str());
    return true;
  }

  switch (ClassifyResult(r)) {
    case ResultClass::kDelivered: {
      // A delivered mail that could not be deleted stays held, so that the
      // next scan does not send it again.
      if (!RemoveFailed()) m_pAgent->ReleaseFile(m_strFileName);
      kelpd::remote::CountDelivered();
      const std::string& recipient = mail.first_recipient;
      Info(MainLog(), "successfully delivered mail from <%s> to <%s> (%d bytes)",
           mail.sender.c_str(), recipient.c_str(), static_cast<int>(age.size));
      if (settings_.Current()->log.traffic) {
        const std::string& sender = mail.resent_for.empty() ? mail.sender : mail.resent_for;
        auto is_local = [](const std::string& domain) { return IsLocalDomain(domain); };
        Info(TrafficLog(), "Traffic: %c, %s, %c, %s, %d", kelpd::remote::Locality(sender, is_local),
             sender.c_str(), kelpd::remote::Locality(recipient, is_local), recipient.c_str(),
             static_cast<int>(age.size));
      }
      return true;
    }
    case ResultClass::kTemporary: {
      const int limit = settings_.Current()->remote.give_up_minutes;
      if (kelpd::remote::MailTooOld(clock_(), age.created, limit)) {
        Error(MainLog(),
              "Delivering \"%s\" failed for %d minutes with error %d. I am "
              "giving up!",
              path.c_str(), limit, r);
        return GiveUp(path);
      }
      m_pAgent->DeferFile(m_strFileName);
      Error(MainLog(),
            "Delivering \"%s\" temporarily failed with error %d. I will retry "
            "later!",
            path.c_str(), r);
      return true;
    }
    case ResultClass::kPermanent:
      Error(MainLog(), "Delivering \"%s\" permanently failed with error %d. I am giving up!",
            path.c_str(), r);
      return GiveUp(path);
    case ResultClass::kConfiguration: {
      const int err = errno;
      Error(MainLog(),
            "Delivering \"%s\" failed with error %d, errno %d, winerr %d. Maybe "
            "malconfigured? "
            "Don't know what to do!",
            path.c_str(), r, err, err);
      return false;
    }
    case ResultClass::kShutDown:
      break;
  }
  Error(MainLog(), "Delivering \"%s\" aborted, thread has been shut down.", path.c_str());
  return false;
}

bool CSMTPDeliveryThread::GiveUp(const std::string& path) {
  kelpd::remote::CountFailed();
  const std::string report = path + ".err";
  const std::shared_ptr<const kelpd::config::Settings> settings = settings_.Current();
  const kelpd::config::Settings::Bounce& bounce = settings->bounce;
  if (bounce.disable) {
    bool result = true;
    kelpd::platform::FileResult error = kelpd::platform::RemoveFile(path);
    if (!error.ok()) {
      Error(MainLog(), "could not remove file \"%s\", cause=%d error=%d", path.c_str(),
            error.cause(), error.error());
      result = false;
    }
    error = kelpd::platform::RemoveFile(report);
    if (!error.ok())
      Error(MainLog(), "could not remove file \"%s\", cause=%d error=%d", report.c_str(),
            error.cause(), error.error());
    return result;
  }

  // The words go to the helper as they are: no shell, and no re-splitting
  // of a file name that holds blanks or quotes.
  for (const std::vector<std::string>& words : kelpd::remote::AutoResponderRuns(
           path, report, bounce.postmaster_copy, bounce.attach, bounce.bulk))
    (void)RunProgram(words, kAutoResponderLimitMs);
  return true;
}
