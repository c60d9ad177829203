#include "local/MailboxStore.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "base/Paths.h"
#include "base/Text.h"
#include "config/ConfigMap.h"
#include "config/Configuration.h"
#include "local/DirectoryData.h"
#include "local/MailHelpers.h"
#include "log/Log.h"
#include "mail/Mail.h"
#include "platform/Errors.h"
#include "platform/FileLock.h"
#include "platform/FileSystem.h"
#include "platform/StopSignal.h"

namespace platform = kelpd::platform;

namespace {

constexpr char kSource[] = "Kelpd\\LocalAgent";

bool StopRequested() {
  const platform::StopSignal* stop = platform::CurrentStopSignal();
  return stop != nullptr && stop->IsRaised();
}

std::string ErrorText(const platform::FileError& err) {
  return err.error > 0 ? platform::ErrnoText(err.error) : std::string("unknown error");
}

bool Exists(const std::string& path) {
  platform::FileStatus status;
  int err = 0;
  return platform::StatFile(path, status, &err);
}

// "NextUID" as one unsigned 32-bit number; false when the text is no such
// number (a sign, other characters, or too large).
bool ParseMailboxNumber(const std::string& text, uint32_t& number) {
  const std::string value = kelpd::text::Trim(text);
  if (value.empty() || value.size() > 10) return false;
  uint64_t n = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  if (n > 0xFFFFFFFFull) return false;
  number = static_cast<uint32_t>(n);
  return true;
}

}  // namespace

std::string AccountLockName(const std::string& settingsPath) {
  constexpr size_t kMax = 259;
  const std::string tail =
      settingsPath.size() > kMax ? settingsPath.substr(settingsPath.size() - kMax) : settingsPath;
  return ToForwardSlashes(tail);
}

StoreResult StoreInMailbox(CMail& mail, const std::string& user, const std::string& replyName,
                           const std::string& spoolDir, const std::string& queueDir) {
  // The user list holds lower-case names; the directory keeps its own case.
  std::string on_disk = UserDirectoryName(user);
  if (on_disk.empty()) on_disk = user;
  const std::string directory = MakePath(spoolDir, on_disk);
  const std::string settings_path = MakePath(directory, "config");

  platform::NamedLock account_lock(AccountLockName(settings_path));
  const platform::LockResult locked = account_lock.Lock(-1);
  if (locked == platform::LockResult::kStopped) return StoreResult::kStopped;
  if (locked != platform::LockResult::kAcquired) {
    Error(MainLog(), "CMutex::Lock failed in %s:%d, error=%d", kSource, __LINE__,
          account_lock.error());
    return StoreResult::kFailed;
  }

  CConfigMap settings;
  errno = 0;
  if (!settings.Load(settings_path)) {
    Error(MainLog(), "couldn't load account config: %s (error=%d)", settings_path.c_str(),
          errno != 0 ? errno : -1);
    return StoreResult::kFailed;
  }
  uint32_t next_uid = 1;
  const std::string next_text = settings.GetString("NextUID", "");
  if (!next_text.empty() && !ParseMailboxNumber(next_text, next_uid)) {
    Warning(MainLog(), "account config %s holds NextUID \"%s\", which is no number; starting at 1",
            settings_path.c_str(), next_text.c_str());
    next_uid = 1;
  }
  const bool save_envelope = settings.GetInt("SaveEnvelope", 0) != 0;
  const bool run_anti_spam = settings.GetInt("RunAntiSpam", 0) != 0;
  const bool run_reply = settings.GetInt("RunReply", 0) != 0;
  const std::string reply_template = settings.GetString("RunReplyTemplate", "");
  const bool no_wait =
      Config().GetInt("Scripts.Execution.Parallel", Config().GetInt("AsyncScripts", 1)) != 0;
  const int kind = save_envelope || run_reply ? EnvelopeHeaders : ReturnPathHeader;

  // Numbers already taken are passed over; the create-new save still decides,
  // so a file that appears meanwhile is never replaced.
  uint32_t n = next_uid;
  std::string path;
  for (uint64_t attempts = 0;; ++attempts) {
    char name[32];
    std::snprintf(name, sizeof name, "%u.eml", static_cast<unsigned>(n));
    path = MakePath(directory, name);
    ++n;
    platform::FileError file_error;
    if (attempts < 0xFFFFFFFFull && Exists(path)) continue;
    // The account lock orders the numbers of this mailbox and the new file
    // appears whole under a name nothing else uses, so the file's own named
    // lock would guard nothing here.
    if (mail.SaveNewUnlocked(path, kind, file_error)) break;
    if (file_error.error == platform::kFileExistsErrno && attempts < 0xFFFFFFFFull) continue;
    if (StopRequested()) return StoreResult::kStopped;
    Error(MainLog(),
          "CFileException in %s:%d, cause=%d error=%d file=\"%s\" msgid=<%s> from=<%s> to=<%s>: "
          "%s\n",
          kSource, __LINE__, file_error.cause, file_error.error, path.c_str(),
          mail.GetMessageID().c_str(), mail.GetSender().c_str(), mail.GetFirstRecipient().c_str(),
          ErrorText(file_error).c_str());
    return StoreResult::kFailed;
  }

  settings.SetString("NextUID", std::to_string(n));
  errno = 0;
  if (!settings.Save(false)) {
    // The mail is stored; the next store passes over the number by itself.
    const int err = errno != 0 ? errno : -1;
    Error(MainLog(), "CFileException in %s:%d, cause=%d error=%d file=\"%s\": %s\n", kSource,
          __LINE__, platform::FileCauseFromErrno(err), err, settings_path.c_str(),
          err > 0 ? platform::ErrnoText(err).c_str() : "unknown error");
  }

  Info(MainLog(), "mail <%s> from <%s> to <%s> saved in <%s>", mail.GetMessageID().c_str(),
       mail.GetSender().c_str(), mail.GetFirstRecipient().c_str(), user.c_str());

  if (run_anti_spam) RunSpamTagger(directory, path, no_wait);
  if (run_reply && !reply_template.empty())
    RunAutoResponder(directory, path, reply_template, MakePath(queueDir, "r_" + replyName),
                     no_wait);
  RunArrivalScript(directory, path, no_wait);
  return StoreResult::kStored;
}

void BuildReceivedHeader(const platform::LocalTime& time, const std::string& hostName,
                         const std::string& recipient, std::string& text) {
  const std::string date = platform::FormatMailDate(time);
  std::string for_part;
  if (Config().GetInt("Header.Received.Recipient", 1) != 0) for_part = " for <" + recipient + ">";
  text = "by " + hostName + " (Zelvane Mail Delivery Agent 4.00.4759.1)\r\n\twith KMTP" + for_part +
         "; " + date;
}
