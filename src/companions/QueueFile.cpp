#include "companions/QueueFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "base/Environment.h"
#include "base/Paths.h"
#include "config/ConfigMap.h"
#include "config/Settings.h"
#include "mail/Mail.h"
#include "platform/FileLock.h"
#include "platform/Files.h"
#include "platform/HostLookup.h"
#include "platform/LocalTime.h"
#include "platform/ThreadId.h"

namespace kelpd::companions {

namespace {

// 64 random bits as 16 hex digits, from a generator seeded once per thread.
std::string RandomHex() {
  thread_local std::mt19937_64 generator{[] {
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) ^ device();
  }()};
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(generator()));
  return buf;
}

}  // namespace

std::string ConfigFilePath(const std::string& name) {
  return MakePath(kelpd::base::ConfigDirectory(), name);
}

std::string QueueDirOf(const CConfigMap& config) {
  return kelpd::config::LoadSettings(config).dirs.queue;
}

bool IsDirectory(const std::string& path) {
  platform::FileStatus status;
  return !path.empty() && platform::StatFile(path, status).ok() && status.is_directory;
}

std::string EnvelopeLines(const std::string& sender, const std::vector<std::string>& recipients) {
  std::string lines = "X-Envelope-From: " + sender + "\r\nX-Envelope-To: ";
  for (size_t i = 0; i < recipients.size(); ++i) {
    if (i > 0) lines += ", ";
    lines += recipients[i];
  }
  lines += "\r\n";
  return lines;
}

std::string NewQueueFileName() {
  return std::to_string(platform::Now()) + "-" + std::to_string(platform::CurrentProcessId()) +
         "-" + RandomHex() + ".eml";
}

std::string NewMessageId(const std::string& host) {
  return std::to_string(platform::Now()) + "." + std::to_string(platform::CurrentProcessId()) +
         "." + RandomHex() + "@" + host;
}

std::string LocalHostName(const CConfigMap& config) {
  std::string host = kelpd::config::LoadSettings(config).remote.helo_name;
  if (host.empty()) host = platform::HostName().value_or("");
  return host.empty() ? "localhost" : host;
}

MailLockResult LockMailFile(platform::NamedLock& lock, platform::FileResult& err) {
  switch (lock.Lock(CMail::LockWaitMs())) {
    case platform::LockResult::kAcquired:
      return MailLockResult::kAcquired;
    case platform::LockResult::kError:
      err = platform::FileResult::FromErrno(lock.error());
      return MailLockResult::kFailed;
    default:
      return MailLockResult::kTimeout;
  }
}

QueueWriteResult WriteQueueFile(const std::string& path, std::string_view text,
                                platform::FileResult& err) {
  // The same lock the service and the suite's receiver take for this file
  // name, so that no reader opens the name while it is being made.
  platform::NamedLock lock(CMail::LockNameOf(path));
  switch (LockMailFile(lock, err)) {
    case MailLockResult::kAcquired:
      break;
    case MailLockResult::kFailed:
      return QueueWriteResult::kFailed;
    case MailLockResult::kTimeout:
      return QueueWriteResult::kLockTimeout;
  }
  err = platform::WriteFileWhole(path, {text}, {.replace = false});
  if (err.ok()) return QueueWriteResult::kWritten;
  return err.AlreadyExists() ? QueueWriteResult::kExists : QueueWriteResult::kFailed;
}

QueueWriteResult QueueText(const std::string& dir, std::string_view text, std::string& path,
                           platform::FileResult& err) {
  // A clash needs the same second, process id and 64 random bits; a handful
  // of tries is plenty, and the bound keeps a broken directory from looping.
  QueueWriteResult result = QueueWriteResult::kExists;
  for (int attempt = 0; attempt < 16 && result == QueueWriteResult::kExists; ++attempt) {
    path = MakePath(dir, NewQueueFileName());
    err = platform::FileResult{};
    result = WriteQueueFile(path, text, err);
  }
  if (result == QueueWriteResult::kExists) err = platform::FileResult::FromErrno(EEXIST);
  return result;
}

}  // namespace kelpd::companions
