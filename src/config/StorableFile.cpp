#include "config/StorableFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/Files.h"
#include "platform/LocalTime.h"

namespace kelpd::config {

bool ReadStorableFile(const std::string& path, std::recursive_mutex& section, FileStamp& stamp,
                      const std::function<bool()>& before_load, std::string& data) {
  platform::FileStatus status;
  if (!platform::StatFile(path, status).ok()) return false;
  {
    std::lock_guard<std::recursive_mutex> lock(section);
    stamp = FileStamp::Of(status);
  }
  // The whole file, and only the version that was examined.
  return before_load() && platform::ReadWholeFile(path, status, kMaxStorableFileBytes, data).ok();
}

std::vector<std::string_view> SplitTextLines(std::string_view data) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < data.size()) {
    size_t lf = data.find('\n', start);
    size_t end = lf == std::string::npos ? data.size() : lf;
    size_t cut = end;
    if (lf != std::string::npos && cut > start && data[cut - 1] == '\r') --cut;
    lines.push_back(data.substr(start, cut - start));
    if (lf == std::string::npos) break;
    start = lf + 1;
  }
  return lines;
}

bool IsEscapedHash(const std::string& line, size_t hash) {
  size_t escape = line.find("\\#");
  return escape != std::string::npos && escape + 1 == hash;
}

bool CheckChanged(const std::string& path, FileStamp& stamp) {
  platform::FileStatus status;
  if (!platform::StatFile(path, status).ok()) {
    stamp = FileStamp{};
    return false;
  }
  const FileStamp present = FileStamp::Of(status);
  const bool changed = !(present == stamp);
  stamp = present;
  return changed;
}

void WriteBackup(const std::string& path, const std::string& base) {
  platform::LocalTime now = platform::LocalTimeNow();
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "-%02d%02d%02d-%02d%02d%02d", now.year % 100, now.month,
                now.day, now.hour, now.minute, now.second);
  platform::CopyFile(path, (base.empty() ? path : base) + suffix, kMaxStorableFileBytes)
      .IgnoreError();
}

bool WriteForSave(const std::string& path, const std::string& data, FileStamp& stamp,
                  platform::DeferredSync* deferred) {
  const platform::FileResult written =
      platform::WriteFileWhole(path, {data}, {.replace = true, .deferred = deferred});
  if (!written.ok()) {
    errno = written.error() > 0 ? written.error() : EIO;
    return false;
  }
  platform::FileStatus status;
  if (platform::StatFile(path, status).ok()) stamp = FileStamp::Of(status);
  return true;
}

}  // namespace kelpd::config
