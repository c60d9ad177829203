// What the companion programs share with the service: where the configuration
// and the queue directory are, the envelope lines that open a queued mail
// file, and the writing of a queued file so that the local delivery agent never
// sees a part of it (named lock of the file's base name, temporary name, sync,
// then a link to a name that did not exist before).
//
// Thread-safe: no shared state.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/Errors.h"
#include "platform/FileLock.h"

class CConfigMap;

namespace kelpd::companions {

constexpr char kConfigFileName[] = "kelpd.cfg";

// name joined with $MAILCONFIGDIR (kDefaultConfigDir when unset or empty); an
// absolute name is used unchanged, as the service's "-c" does.
std::string ConfigFilePath(const std::string& name);

// The queue directory of config (config/Settings.h).
std::string QueueDirOf(const CConfigMap& config);

// Whether path names an existing directory.
bool IsDirectory(const std::string& path);

// "X-Envelope-From: %s" and "X-Envelope-To: %s" with CR LF: the sender bare
// (empty for the null sender), the recipients separated by ", " so that the
// reader's split at ",;<>" gives them back one by one.
std::string EnvelopeLines(const std::string& sender, const std::vector<std::string>& recipients);

// A new base name for a queued mail file, "<seconds>-<pid>-<random hex>.eml":
// a single dot, so the lock name (the name without extension) is unambiguous.
std::string NewQueueFileName();

// A new unique Message-ID (without angle brackets) whose right side is host.
std::string NewMessageId(const std::string& host);

// This machine's name for Message-IDs and sender addresses: the "FQDN" of
// config when set, else the host name, else "localhost".
std::string LocalHostName(const CConfigMap& config);

enum class MailLockResult { kAcquired, kTimeout, kFailed };

// Takes lock, the named lock of a mail file (CMail::LockNameOf), waiting as
// long as CMail waits; kFailed sets err from the lock's error.
MailLockResult LockMailFile(platform::NamedLock& lock, platform::FileResult& err);

enum class QueueWriteResult {
  kWritten,
  kExists,  // a file of that name exists; it was not touched
  kLockTimeout,
  kFailed,  // err carries the cause
};

// Writes text as a new file at path under the named lock of the file's base
// name (waited for as long as CMail waits). The file appears whole; an
// existing file is never replaced.
QueueWriteResult WriteQueueFile(const std::string& path, std::string_view text,
                                platform::FileResult& err);

// Writes text under a new unique name in dir (NewQueueFileName, retried on a
// name that exists); path receives the full name.
QueueWriteResult QueueText(const std::string& dir, std::string_view text, std::string& path,
                           platform::FileResult& err);

}  // namespace kelpd::companions
