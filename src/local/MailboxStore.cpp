#include "local/MailboxStore.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "base/Paths.h"
#include "base/Text.h"
#include "config/ConfigMap.h"
#include "local/DirectoryData.h"
#include "local/MailHelpers.h"
#include "log/Log.h"
#include "mail/Mail.h"
#include "platform/Errors.h"
#include "platform/FileLock.h"
#include "platform/Files.h"
#include "platform/StopSignal.h"

namespace platform = kelpd::platform;

namespace {

constexpr char kSource[] = "Kelpd\\LocalAgent";

bool StopRequested() {
  const platform::StopSignal* stop = platform::CurrentStopSignal();
  return stop != nullptr && stop->IsRaised();
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

Mailbox MailboxOf(const std::string& user, const std::string& spoolDir) {
  // The user list holds lower-case names; the directory keeps its own case.
  std::string on_disk = UserDirectoryName(user);
  if (on_disk.empty()) on_disk = user;
  Mailbox box;
  box.user = user;
  box.directory = MakePath(spoolDir, on_disk);
  box.settings_path = MakePath(box.directory, "config");
  return box;
}

namespace {

StoreResult LockAccount(platform::NamedLock& lock) {
  const platform::LockResult locked = lock.Lock(-1);
  if (locked == platform::LockResult::kStopped) return StoreResult::kStopped;
  if (locked != platform::LockResult::kAcquired) {
    Error(MainLog(), "CMutex::Lock failed in %s:%d, error=%d", kSource, __LINE__, lock.error());
    return StoreResult::kFailed;
  }
  return StoreResult::kStored;
}

bool LoadSettings(const Mailbox& box, CConfigMap& settings) {
  errno = 0;
  if (settings.Load(box.settings_path)) return true;
  Error(MainLog(), "couldn't load account config: %s (error=%d)", box.settings_path.c_str(),
        errno != 0 ? errno : -1);
  return false;
}

MailboxSettings SettingsFrom(const CConfigMap& settings) {
  MailboxSettings out;
  const bool save_envelope = settings.GetInt("SaveEnvelope", 0) != 0;
  out.run_anti_spam = settings.GetInt("RunAntiSpam", 0) != 0;
  out.run_reply = settings.GetInt("RunReply", 0) != 0;
  out.reply_template = settings.GetString("RunReplyTemplate", "");
  out.kind = save_envelope || out.run_reply ? EnvelopeHeaders : ReturnPathHeader;
  return out;
}

}  // namespace

StoreResult ReadMailboxSettings(const Mailbox& box, MailboxSettings& settings) {
  platform::NamedLock account_lock(AccountLockName(box.settings_path));
  const StoreResult locked = LockAccount(account_lock);
  if (locked != StoreResult::kStored) return locked;
  CConfigMap map;
  if (!LoadSettings(box, map)) return StoreResult::kFailed;
  settings = SettingsFrom(map);
  settings.stamp = map.Stamp();
  return StoreResult::kStored;
}

bool SettingsCurrent(const Mailbox& box, const MailboxSettings& settings) {
  platform::FileStatus status;
  return platform::StatFile(box.settings_path, status).ok() &&
         kelpd::config::FileStamp::Of(status) == settings.stamp;
}

void NameInMailbox(const Mailbox& box, platform::StagedFiles& files,
                   std::vector<StagedCopy*>& copies, const std::string& queueDir,
                   const kelpd::config::Settings& service, MailboxSettings* saved) {
  platform::NamedLock account_lock(AccountLockName(box.settings_path));
  const StoreResult locked = LockAccount(account_lock);
  if (locked != StoreResult::kStored) {
    for (StagedCopy* copy : copies) copy->result = locked;
    return;
  }
  CConfigMap settings;
  if (!LoadSettings(box, settings)) return;
  uint32_t next_uid = 1;
  const std::string next_text = settings.GetString("NextUID", "");
  if (!next_text.empty() && !ParseMailboxNumber(next_text, next_uid)) {
    Warning(MainLog(), "account config %s holds NextUID \"%s\", which is no number; starting at 1",
            box.settings_path.c_str(), next_text.c_str());
    next_uid = 1;
  }
  const MailboxSettings wanted = SettingsFrom(settings);
  const bool no_wait = service.service.scripts_parallel;

  // A number already taken is passed over: the link never replaces a file,
  // so trying it is the check.
  uint32_t n = next_uid;
  bool any = false;
  for (StagedCopy* copy : copies) {
    for (uint64_t attempts = 0;; ++attempts) {
      char name[32];
      std::snprintf(name, sizeof name, "%u.eml", static_cast<unsigned>(n));
      copy->path = MakePath(box.directory, name);
      ++n;
      const platform::FileResult file_error = files.Name(copy->index, copy->path);
      if (file_error.ok()) {
        copy->result = StoreResult::kStored;
        any = true;
        break;
      }
      if (file_error.AlreadyExists() && attempts < 0xFFFFFFFFull) continue;
      --n;
      copy->result = StopRequested() ? StoreResult::kStopped : StoreResult::kFailed;
      if (copy->result == StoreResult::kFailed)
        Error(MainLog(),
              "CFileException in %s:%d, cause=%d error=%d file=\"%s\" msgid=<%s> from=<%s> "
              "to=<%s>: %s\n",
              kSource, __LINE__, file_error.cause(), file_error.error(), copy->path.c_str(),
              copy->message_id.c_str(), copy->sender.c_str(), copy->recipient.c_str(),
              file_error.Text().c_str());
      break;
    }
  }
  if (!any) return;

  settings.SetString("NextUID", std::to_string(n));
  settings.DeferSyncTo(files.deferred());
  errno = 0;
  if (!settings.Save(false)) {
    // The mail is stored; the next store passes over the number by itself.
    const int err = errno != 0 ? errno : -1;
    Error(MainLog(), "CFileException in %s:%d, cause=%d error=%d file=\"%s\": %s\n", kSource,
          __LINE__, platform::FileCauseFromErrno(err), err, box.settings_path.c_str(),
          err > 0 ? platform::ErrnoText(err).c_str() : "unknown error");
  } else if (saved != nullptr) {
    *saved = wanted;
    saved->stamp = settings.Stamp();
  }

  for (const StagedCopy* copy : copies) {
    if (copy->result != StoreResult::kStored) continue;
    Info(MainLog(), "mail <%s> from <%s> to <%s> saved in <%s>", copy->message_id.c_str(),
         copy->sender.c_str(), copy->recipient.c_str(), box.user.c_str());
    if (wanted.run_anti_spam) RunSpamTagger(box.directory, copy->path, no_wait);
    if (wanted.run_reply && !wanted.reply_template.empty())
      RunAutoResponder(box.directory, copy->path, wanted.reply_template,
                       MakePath(queueDir, "r_" + copy->reply_name), no_wait);
    RunArrivalScript(box.directory, copy->path, no_wait);
  }
}

StoreResult StoreInMailbox(CMail& mail, const std::string& user, const std::string& replyName,
                           const std::string& spoolDir, const std::string& queueDir,
                           const kelpd::config::Settings& service) {
  const Mailbox box = MailboxOf(user, spoolDir);
  MailboxSettings settings;
  const StoreResult read = ReadMailboxSettings(box, settings);
  if (read != StoreResult::kStored) return read;
  platform::StagedFiles files;
  platform::FileResult file_error;
  std::string failed_path = box.directory;
  if (!mail.StageIn(files, box.directory, settings.kind, file_error) ||
      !(file_error = files.SyncData(failed_path)).ok()) {
    Error(MainLog(),
          "CFileException in %s:%d, cause=%d error=%d file=\"%s\" msgid=<%s> from=<%s> to=<%s>: "
          "%s\n",
          kSource, __LINE__, file_error.cause(), file_error.error(), failed_path.c_str(),
          mail.GetMessageID().c_str(), mail.GetSender().c_str(), mail.GetFirstRecipient().c_str(),
          file_error.Text().c_str());
    return StoreResult::kFailed;
  }
  StagedCopy copy;
  copy.reply_name = replyName;
  copy.message_id = mail.GetMessageID();
  copy.sender = mail.GetSender();
  copy.recipient = mail.GetFirstRecipient();
  std::vector<StagedCopy*> copies{&copy};
  NameInMailbox(box, files, copies, queueDir, service);
  return copy.result;
}

void BuildReceivedHeader(const platform::LocalTime& time, const std::string& hostName,
                         const std::string& recipient, bool withRecipient, std::string& text) {
  const std::string date = platform::FormatMailDate(time);
  std::string for_part;
  if (withRecipient) for_part = " for <" + recipient + ">";
  text = "by " + hostName + " (Zelvane Mail Delivery Agent 4.00.4759.1)\r\n\twith KMTP" + for_part +
         "; " + date;
}
