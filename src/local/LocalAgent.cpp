#include "local/LocalAgent.h"

#include <cerrno>
#include <cstdio>

#include "base/Environment.h"
#include "base/Paths.h"
#include "base/Text.h"
#include "config/FileFinder.h"
#include "config/StorableFile.h"
#include "core/ArrivalWatch.h"
#include "core/Service.h"
#include "local/DirectoryData.h"
#include "local/MailHelpers.h"
#include "local/MailboxStore.h"
#include "log/Log.h"
#include "mail/Address.h"
#include "mail/Mail.h"
#include "mail/Srs.h"
#include "net/LocalHostIdentity.h"
#include "platform/Errors.h"
#include "platform/FileLock.h"
#include "platform/Files.h"
#include "platform/LocalTime.h"
#include "platform/StopSignal.h"

namespace platform = kelpd::platform;
namespace text = kelpd::text;

namespace {

constexpr char kSource[] = "Kelpd\\LocalAgent";

// A name taken in the error directory or by a generated copy is tried again
// with another one at most this often.
constexpr int kMaxNameAttempts = 10000;
// The most copies a group holds unnamed (each an open descriptor): a queued
// file with many recipients has its copies named in several steps.
constexpr size_t kMaxStaged = 256;
// The most mailboxes whose settings are kept between copies.
constexpr size_t kMaxKnownMailboxes = 4096;
// The longest an idle agent waits before it lists the queue again.
constexpr int kScanIntervalMs = 1000;

void LogFileError(int line, const platform::FileResult& err, const std::string& path) {
  Error(MainLog(), "CFileException in %s:%d, cause=%d error=%d file=\"%s\": %s\n", kSource, line,
        err.cause(), err.error(), path.c_str(), err.Text().c_str());
}

void LogMailFileError(int line, const platform::FileResult& err, const std::string& path,
                      const StagedCopy& copy) {
  Error(MainLog(),
        "CFileException in %s:%d, cause=%d error=%d file=\"%s\" msgid=<%s> from=<%s> to=<%s>: %s\n",
        kSource, line, err.cause(), err.error(), path.c_str(), copy.message_id.c_str(),
        copy.sender.c_str(), copy.recipient.c_str(), err.Text().c_str());
}

// What the log lines of a copy name.
StagedCopy CopyOf(const CMail& mail, size_t index, const std::string& reply_name) {
  StagedCopy copy;
  copy.index = index;
  copy.reply_name = reply_name;
  copy.message_id = mail.GetMessageID();
  copy.sender = mail.GetSender();
  copy.recipient = mail.GetFirstRecipient();
  return copy;
}

// "name.eml" -> "name_<n>.eml" (a name without a dot gets "_<n>" at its end).
std::string WithSuffix(const std::string& name, int n) {
  const size_t dot = name.rfind('.');
  const std::string suffix = "_" + std::to_string(n);
  if (dot == std::string::npos || dot == 0) return name + suffix;
  return name.substr(0, dot) + suffix + name.substr(dot);
}

// Whether the syncs of a pass wait for its end, else each file is synced.
bool DeferSyncs() {
  // The benchmark compares both ways; the default is the faster one.
  std::string value;
  return !(kelpd::base::EnvValue("KELPD_LOCAL_SYNC", value) && value == "file");
}

}  // namespace

// A copy written without a name, and where it goes.
struct CLocalAgent::PendingCopy {
  enum class Kind { kMailbox, kOutgoing, kFilter };
  Kind kind = Kind::kMailbox;
  std::string queue_path;  // the queued file it is a copy of
  StagedCopy copy;
  Mailbox mailbox;     // kMailbox
  std::string name;    // kOutgoing, kFilter: the name tried first
  std::string reason;  // kFilter: why the mail was filtered
};

CLocalAgent::CLocalAgent(const kelpd::config::SettingsStore& settings)
    : settings_(settings),
      m_strQueueDir(settings.Current()->dirs.queue),
      m_strSpoolDir(settings.Current()->dirs.spool),
      m_strErrorDir(settings.Current()->dirs.error),
      m_strFilterDir(settings.Current()->dirs.filter),
      m_strOutgoingDir(settings.Current()->dirs.outgoing),
      staged_(DeferSyncs() ? &deferred_ : nullptr) {
  std::string hold;
  hold_before_naming_ = kelpd::base::EnvValue("KELPD_TEST_HOLD_BEFORE_NAMING", hold);
  std::string address;
  GetLocalHostIdentity(address, m_strHostName);
}

CLocalAgent::~CLocalAgent() = default;

bool CLocalAgent::IsPaused() const {
  if (paused_) return paused_();
  CService* service = CService::Instance();
  return service != nullptr && service->PauseEvent().IsSet() && service->RunEvent().IsSet();
}

void CLocalAgent::SleepMs(int ms) {
  if (direct_) return;  // a caller that drives passes itself does its own waiting
  Sleep(ms);
}

void CLocalAgent::Run() {
  Info(MainLog(), "local delivery agent (id %04X) started", GetThreadId());
  // Watched before the first scan, so that a file arriving between a scan and
  // the wait after it ends that wait. The scan each second stays the safety
  // net for events that never come (lost, or a file system without them).
  kelpd::core::ArrivalWatch arrivals;
  int watch_err = 0;
  if (!arrivals.Open(m_strQueueDir, {"*.eml"}, &watch_err))
    Warning(MainLog(), "can't watch QueueDir (%s), looking once a second",
            platform::ErrnoText(watch_err).c_str());
  while (IsRunning()) {
    while (IsPaused() && IsRunning()) Sleep(1000);
    if (!Scan()) {
      Error(MainLog(), "couldn't find QueueDir");
      return;
    }
    HandlePending();
    DeleteProcessed();
    if (m_pending.IsEmpty() && IsRunning()) arrivals.Wait(kScanIntervalMs);
  }
  Info(MainLog(), "local delivery agent (id %04X) stopped", GetThreadId());
}

bool CLocalAgent::RunOnePass() {
  direct_ = true;
  const bool found = Scan();
  if (found) {
    HandlePending();
    DeleteProcessed();
  }
  direct_ = false;
  return found;
}

bool CLocalAgent::Scan() {
  m_pending.RemoveAll();
  // Entries of m_processed and names of failed moves whose files are still
  // in the queue; the others are dropped below. So a file is never handled
  // twice while it is in the queue, and neither set outgrows the queue.
  std::unordered_set<std::string> processed_present;
  std::unordered_set<std::string> failed_present;
  CFileFinder finder(MakePath(m_strQueueDir, "*.eml"));
  while (finder.FindNext()) {
    if (finder.IsDirectory()) continue;
    const std::string& name = finder.GetFileName();
    const std::string path = MakePath(m_strQueueDir, name);
    if (processed_index_.count(path) != 0) {
      processed_present.insert(path);
      continue;
    }
    if (failed_moves_.count(name) != 0) failed_present.insert(name);
    if (finder.GetFileSize() == 0) continue;
    m_pending.AddTail(name);
  }
  const int err = finder.GetError();
  if (err == ENOENT || err == ENOTDIR) return false;

  if (processed_present.size() != processed_index_.size()) {
    for (CStringListEx::Position pos = m_processed.GetHeadPosition(); pos;) {
      const CStringListEx::Position here = pos;
      const std::string path = m_processed.GetNext(pos);
      if (processed_present.count(path) == 0) {
        processed_index_.erase(path);
        m_processed.RemoveAt(here);
      }
    }
  }
  failed_moves_.swap(failed_present);
  return true;
}

void CLocalAgent::HandlePending() {
  while (KeepGoing() && !m_pending.IsEmpty()) {
    const std::string name = m_pending.RemoveHead();
    if (processed_index_.count(MakePath(m_strQueueDir, name)) != 0) continue;
    if (failed_moves_.count(name) != 0) {
      // Its delivery failed before; only the move is still owed.
      MoveToError(name);
      continue;
    }
    if (!Deliver(name)) {
      Error(MainLog(), "delivering mail '%s' failed, placing in error", name.c_str());
      MoveToError(name);
    }
    if (m_processed.GetCount() >= kDeleteGroup) DeleteProcessed();
  }
}

bool CLocalAgent::MoveToError(const std::string& name) {
  const std::string from = MakePath(m_strQueueDir, name);
  std::string to = MakePath(m_strErrorDir, name);
  platform::FileResult err;
  for (int attempt = 1; attempt <= kMaxNameAttempts; ++attempt) {
    err = platform::MoveFileNoReplace(from, to);
    if (err.ok()) {
      failed_moves_.erase(name);
      return true;
    }
    if (!err.AlreadyExists()) break;
    // The error directory keeps what it holds: this mail takes a free name.
    to = MakePath(m_strErrorDir, WithSuffix(name, attempt));
  }
  LogFileError(__LINE__, err, from);
  failed_moves_.insert(name);
  SleepMs(1000);
  return false;
}

void CLocalAgent::DeleteProcessed() {
  NameStaged();
  SettleUnnamed();
  if (m_processed.IsEmpty()) return;
  // A mail must survive a power failure once its queue file is gone: what
  // this pass wrote reaches stable storage first. Should that fail, the files
  // stay in the queue, still marked processed, and the next pass tries again.
  if (deferred_.HasWrites()) {
    std::string failed_path;
    if (const platform::FileResult err = deferred_.Flush(failed_path); !err.ok()) {
      LogFileError(__LINE__, err, failed_path);
      return;
    }
  }
  for (CStringListEx::Position pos = m_processed.GetHeadPosition(); pos;) {
    const CStringListEx::Position here = pos;
    const std::string path = m_processed.GetNext(pos);
    const platform::FileResult err = platform::RemoveFile(path);
    if (err.ok() || err.error() == ENOENT) {
      processed_index_.erase(path);
      m_processed.RemoveAt(here);
    } else {
      LogFileError(__LINE__, err, path);
    }
  }
}

void CLocalAgent::AddProcessed(const std::string& path) {
  if (processed_index_.insert(path).second) m_processed.AddTail(path);
}

void CLocalAgent::NameStaged() {
  if (staged_.empty()) return;
  std::string failed_path;
  if (const platform::FileResult err = staged_.SyncData(failed_path); !err.ok()) {
    // Nothing is named: the queued files stay and are delivered again.
    LogFileError(__LINE__, err, failed_path);
    for (const PendingCopy& pending : pending_)
      unnamed_.emplace(pending.queue_path, StoreResult::kStopped);
    staged_.Clear();
    pending_.clear();
    mailbox_settings_.clear();
    return;
  }
  if (hold_before_naming_) {
    hold_before_naming_ = false;
    Info(MainLog(), "holding %u unnamed copies before naming them",
         static_cast<unsigned>(staged_.size()));
    while (IsRunning()) Sleep(1000);
  }

  // The copies of one mailbox are named under one hold of its account lock.
  std::vector<std::string> order;
  std::unordered_map<std::string, std::vector<StagedCopy*>> by_mailbox;
  std::unordered_map<std::string, const Mailbox*> mailboxes;
  for (PendingCopy& pending : pending_) {
    if (pending.kind != PendingCopy::Kind::kMailbox) continue;
    const std::string& key = pending.mailbox.directory;
    auto [it, fresh] = by_mailbox.try_emplace(key);
    if (fresh) {
      order.push_back(key);
      mailboxes[key] = &pending.mailbox;
    }
    it->second.push_back(&pending.copy);
  }
  for (const std::string& key : order) {
    MailboxSettings saved;
    NameInMailbox(*mailboxes[key], staged_, by_mailbox[key], m_strQueueDir, *settings_.Current(),
                  &saved);
    if (saved.stamp == kelpd::config::FileStamp{}) {
      mailbox_settings_.erase(key);
    } else {
      mailbox_settings_.insert_or_assign(key, std::move(saved));
    }
  }
  for (PendingCopy& pending : pending_) {
    if (pending.kind != PendingCopy::Kind::kMailbox) pending.copy.result = NameGenerated(pending);
    if (pending.copy.result == StoreResult::kStored) continue;
    auto [it, fresh] = unnamed_.try_emplace(pending.queue_path, pending.copy.result);
    if (pending.copy.result == StoreResult::kFailed) it->second = StoreResult::kFailed;
  }
  staged_.Clear();
  pending_.clear();
}

StoreResult CLocalAgent::NameGenerated(PendingCopy& pending) {
  const bool filter = pending.kind == PendingCopy::Kind::kFilter;
  const std::string& dir = filter ? m_strFilterDir : m_strOutgoingDir;
  std::string path;
  platform::FileResult err;
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    path = MakePath(dir, pending.name);
    // The other programs of the suite take a mail file's named lock before
    // they touch it; a name held elsewhere is not given out.
    platform::NamedLock lock(CMail::LockNameOf(path));
    const platform::LockResult locked = lock.Lock(CMail::LockWaitMs());
    if (locked != platform::LockResult::kAcquired) {
      Error(MainLog(), "CMutex::Lock failed in %s:%d, error=%d", kSource, __LINE__,
            locked == platform::LockResult::kError ? lock.error() : ETIMEDOUT);
      if (locked == platform::LockResult::kError) return StoreResult::kFailed;
      Warning(MainLog(), "Looks like lock on file \"%s\" failed, retrying later!\n",
              pending.queue_path.c_str());
      return StoreResult::kStopped;
    }
    err = staged_.Name(pending.copy.index, path);
    if (err.ok()) {
      const StagedCopy& copy = pending.copy;
      const std::shared_ptr<const kelpd::config::Settings> settings = settings_.Current();
      if (filter) {
        Warning(MainLog(), "mail <%s> from <%s> to <%s> has been filtered due to \"%s\"",
                copy.message_id.c_str(), copy.sender.c_str(), copy.recipient.c_str(),
                pending.reason.c_str());
        RunArrivalScript(m_strFilterDir, path, settings->service.scripts_parallel);
      } else {
        Info(MainLog(), "mail <%s> from <%s> to <%s> saved in outgoing", copy.message_id.c_str(),
             copy.sender.c_str(), copy.recipient.c_str());
        if (!settings->service.auto_transport)
          RunArrivalScript(m_strOutgoingDir, path, settings->service.scripts_parallel);
      }
      return StoreResult::kStored;
    }
    if (!err.AlreadyExists()) break;
    pending.name = MakeFileName(filter);
  }
  LogMailFileError(__LINE__, err, path, pending.copy);
  return StoreResult::kFailed;
}

void CLocalAgent::SettleUnnamed() {
  for (const auto& [path, result] : unnamed_) {
    // Files no longer marked were moved to the error directory or left in
    // the queue already.
    if (processed_index_.erase(path) == 0) continue;
    for (CStringListEx::Position pos = m_processed.GetHeadPosition(); pos;) {
      const CStringListEx::Position here = pos;
      if (m_processed.GetNext(pos) == path) m_processed.RemoveAt(here);
    }
    if (result != StoreResult::kFailed) continue;
    const std::string name = path.substr(path.find_last_of('/') + 1);
    Error(MainLog(), "delivering mail '%s' failed, placing in error", name.c_str());
    MoveToError(name);
  }
  unnamed_.clear();
}

bool CLocalAgent::TakeUnnamed(const std::string& path, bool* result) {
  auto found = unnamed_.find(path);
  if (found == unnamed_.end()) return false;
  *result = found->second != StoreResult::kFailed;
  unnamed_.erase(found);
  return true;
}

platform::LocalTime CLocalAgent::NameTime() const { return platform::LocalTimeNow(); }

std::string CLocalAgent::MakeFileName(bool filter_style) {
  const platform::LocalTime t = NameTime();
  char name[64];
  if (filter_style) {
    std::snprintf(name, sizeof name, "%04d%02d%02d%02d%02d%02d%04d%04u.eml", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, t.millisecond, m_nCounter);
  } else {
    std::snprintf(name, sizeof name, "%04d%02d%02d%02d%02d%02d%03d%04u.eml", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, t.millisecond, m_nCounter);
  }
  ++m_nCounter;
  return name;
}

bool CLocalAgent::Deliver(const std::string& name) {
  const std::string path = MakePath(m_strQueueDir, name);
  CMail mail;
  platform::FileResult file_error;
  if (!mail.Load(path, file_error, false)) {
    // A file error, or two bytes or fewer under the file's lock (files appear
    // whole, so this one will never grow into a mail): the file is broken.
    // Anything else (the lock not obtained, memory) is tried again later.
    if (file_error.HasCause() || file_error.error() == ENODATA) {
      LogFileError(__LINE__, file_error, path);
      return false;
    }
    Warning(MainLog(), "Looks like lock on file \"%s\" failed, retrying later!\n", path.c_str());
    return true;
  }
  if (mail.m_recipients.IsEmpty()) {
    Error(MainLog(), "no receivers found in mail");
    return false;
  }

  // Adds the copy just written; the group is named early when it holds the
  // most copies it may. False when this mail's earlier copies could not be
  // named, with *result what Deliver returns.
  auto add_pending = [&](PendingCopy&& pending, bool* result) {
    pending.queue_path = path;
    pending_.push_back(std::move(pending));
    if (staged_.size() < kMaxStaged) return true;
    NameStaged();
    return !TakeUnnamed(path, result);
  };
  bool result = true;

  const std::shared_ptr<const kelpd::config::Settings> service = settings_.Current();
  std::string filter_name = MakeFileName(true);
  std::string reason;
  if (service->local.filter_content && MatchFilters(mail, reason)) {
    platform::FileResult save_error;
    PendingCopy pending;
    pending.kind = PendingCopy::Kind::kFilter;
    pending.copy = CopyOf(mail, staged_.size(), "");
    if (!mail.StageIn(staged_, m_strFilterDir, EnvelopeHeaders, save_error)) {
      LogMailFileError(__LINE__, save_error, m_strFilterDir, pending.copy);
      return false;
    }
    pending.name = filter_name;
    pending.reason = reason;
    if (!add_pending(std::move(pending), &result)) return result;
    AddProcessed(path);
    return true;
  }

  const CStringListEx recipients = mail.m_recipients;
  for (const std::string& recipient : recipients) {
    CMail copy = mail.CopyWithoutRecipients();
    copy.SetRecipients(recipient);
    std::string copy_name = MakeFileName(false);
    if (service->local.received_header) {
      std::string received;
      BuildReceivedHeader(platform::LocalTimeNow(), m_strHostName, recipient,
                          service->local.received_for, received);
      copy.AddReceived(received);
    }
    std::string target = recipient;
    if (IsLocalAddress(target)) target = ResolveLocal(text::ToLowerCopy(target));

    if (IsLocalAddress(target)) {
      PendingCopy pending;
      pending.mailbox = MailboxOf(target, m_strSpoolDir);
      auto settings = mailbox_settings_.find(pending.mailbox.directory);
      if (settings == mailbox_settings_.end() ||
          !SettingsCurrent(pending.mailbox, settings->second)) {
        MailboxSettings read;
        const StoreResult got = ReadMailboxSettings(pending.mailbox, read);
        if (got == StoreResult::kFailed) return false;
        // Asked to stop while waiting for the account: the file stays in the
        // queue and is handled again by a later run.
        if (got == StoreResult::kStopped) return true;
        if (mailbox_settings_.size() >= kMaxKnownMailboxes) mailbox_settings_.clear();
        settings =
            mailbox_settings_.insert_or_assign(pending.mailbox.directory, std::move(read)).first;
      }
      pending.copy = CopyOf(copy, staged_.size(), copy_name);
      platform::FileResult save_error;
      if (!copy.StageIn(staged_, pending.mailbox.directory, settings->second.kind, save_error)) {
        LogMailFileError(__LINE__, save_error, pending.mailbox.directory, pending.copy);
        return false;
      }
      if (!add_pending(std::move(pending), &result)) return result;
      continue;
    }

    if (!IsValidAddress(target)) {
      Error(MainLog(), "recipient in mail <%s> from <%s> to <%s> not valid",
            copy.GetMessageID().c_str(), copy.GetSender().c_str(),
            copy.GetFirstRecipient().c_str());
      return false;
    }
    if (!text::EqualsNoCase(target, copy.GetFirstRecipient())) {
      // Forwarded by an alias: say for whom, and rewrite the sender so that
      // the receiving side's sender checks see this domain. A null sender
      // stays null: nothing may ever answer a bounce.
      copy.SetResentFor(copy.GetFirstRecipient());
      const std::string& srs_domain = service->local.srs_domain;
      const std::string& srs_challenge = service->local.srs_challenge;
      if (!srs_domain.empty() && !srs_challenge.empty() && !copy.GetSender().empty())
        copy.SetEnvelopeSender(SrsRewrite(copy.GetSender(), srs_domain, srs_challenge));
    }
    copy.SetRecipients(target);
    PendingCopy pending;
    pending.kind = PendingCopy::Kind::kOutgoing;
    pending.copy = CopyOf(copy, staged_.size(), copy_name);
    platform::FileResult save_error;
    if (!copy.StageIn(staged_, m_strOutgoingDir, EnvelopeHeaders, save_error)) {
      LogMailFileError(__LINE__, save_error, m_strOutgoingDir, pending.copy);
      return false;
    }
    pending.name = copy_name;
    if (!add_pending(std::move(pending), &result)) return result;
  }
  AddProcessed(path);
  return true;
}
