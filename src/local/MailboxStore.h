// Storing one copy of a mail in a local user's mailbox, and the Received
// header that the local delivery agent puts on top of every copy.
//
// A mailbox is the user's directory under the spool directory: its settings
// file "config" hands out the numbers of the mailbox files "%u.eml". Every
// program of the suite that reads or writes an account's settings holds the
// account lock, a named lock called after the settings file's path.
//
// Thread-safe in the sense that concurrent stores into one mailbox are
// serialised by the account lock; the local delivery agent is the only
// thread of the service that stores.
#pragma once

#include <string>
#include <vector>

#include "config/Settings.h"
#include "config/StorableFile.h"
#include "mail/Message.h"
#include "platform/LocalTime.h"

class CMail;
namespace kelpd::platform {
class StagedFiles;
}

enum class StoreResult {
  kStored,
  kFailed,   // logged; the queue file goes to the error directory
  kStopped,  // the worker was asked to stop while it waited: try again later
};

// A local user's mailbox: user as the agent names it, the directory on disk
// and its settings file.
struct Mailbox {
  std::string user;
  std::string directory;
  std::string settings_path;
};
Mailbox MailboxOf(const std::string& user, const std::string& spoolDir);

// What the settings of a mailbox ask of a copy stored in it.
struct MailboxSettings {
  int kind = ReturnPathHeader;  // the envelope lines the copy is written with
  bool run_anti_spam = false;
  bool run_reply = false;
  std::string reply_template;
  // The version of the settings file they were read from (or saved as).
  kelpd::config::FileStamp stamp;
};

// Reads the settings of box under its account lock; logs a failure.
StoreResult ReadMailboxSettings(const Mailbox& box, MailboxSettings& settings);
// Whether the settings file of box is still the version settings were read
// from: a stat, so that a writer need not take the account lock and read the
// file for every copy.
bool SettingsCurrent(const Mailbox& box, const MailboxSettings& settings);

// A copy written into a mailbox without a name, waiting for its number.
struct StagedCopy {
  size_t index = 0;        // in the StagedFiles
  std::string reply_name;  // see StoreInMailbox
  std::string message_id, sender, recipient;
  std::string path;                           // once named
  StoreResult result = StoreResult::kFailed;  // kStored once named
};

// Names copies of box (already in files, their data synced) under the account
// lock: each takes the next free number from "NextUID" (a taken number is
// passed over by trying the link again), NextUID is saved once, and each
// named copy is logged and handed to the mailbox's programs (waited for or
// not as service.service.scripts_parallel says). Sets each copy's
// result; a copy that can't be named is logged. saved, when given, gets the
// settings as saved (its stamp stays 0 when nothing was saved).
void NameInMailbox(const Mailbox& box, kelpd::platform::StagedFiles& files,
                   std::vector<StagedCopy*>& copies, const std::string& queueDir,
                   const kelpd::config::Settings& service, MailboxSettings* saved = nullptr);

// Stores mail (a copy that already carries its single recipient and its
// Received header) for user, whose mailbox is spoolDir joined with the name
// of its directory on disk. replyName is the outgoing-style name the agent
// made for this copy: the auto-responder writes its reply to
// "<queueDir>/r_<replyName>".
StoreResult StoreInMailbox(CMail& mail, const std::string& user, const std::string& replyName,
                           const std::string& spoolDir, const std::string& queueDir,
                           const kelpd::config::Settings& service);

// The account lock's name for a settings file path: its last 259 characters
// with every '\' written as '/'.
std::string AccountLockName(const std::string& settingsPath);

// The value of the Received header of one copy: "by <host> (Zelvane Mail
// Delivery Agent 4.00.4759.1)", a fold, "with KMTP", " for <recipient>" when
// withRecipient, "; " and the date of time.
void BuildReceivedHeader(const kelpd::platform::LocalTime& time, const std::string& hostName,
                         const std::string& recipient, bool withRecipient, std::string& text);
