#include "core/FileChangeMonitorEx.h"

#include <vector>

#include "log/Log.h"

namespace {
constexpr char kSource[] = "Common\\FileChangeMonitor";
}

CFileChangeMonitorEx::~CFileChangeMonitorEx() { Close(); }

bool CFileChangeMonitorEx::Create(const std::string& directory, uint32_t filter,
                                  bool watch_subtree) {
  std::lock_guard<std::mutex> lock(lock_);
  if (watch_.IsOpen()) {
    Error(MainLog(), "CFileChangeMonitorEx in %s:%d already created", kSource, __LINE__);
    return false;
  }
  filter_ = filter;
  watch_subtree_ = watch_subtree;
  silent_ = false;
  kelpd::platform::DirectoryWatch::OpenFailure failure;
  int err = 0;
  if (watch_.Open(directory, filter, watch_subtree, &failure, &err)) return true;
  if (failure == kelpd::platform::DirectoryWatch::OpenFailure::kInstance)
    Error(MainLog(), "CreateEvent in %s:%d failed, error-code: 0x%08X", kSource, __LINE__,
          static_cast<unsigned>(err));
  else
    Error(MainLog(), "CreateFile in %s:%d on \"%s\" failed, error-code: 0x%08X", kSource, __LINE__,
          directory.c_str(), static_cast<unsigned>(err));
  return false;
}

bool CFileChangeMonitorEx::HasChanged() {
  std::lock_guard<std::mutex> lock(lock_);
  if (!watch_.IsOpen() || silent_) return false;
  int err = 0;
  int ready = watch_.Poll(&err);
  if (ready < 0) {
    Error(MainLog(), "WaitForSingleObject in %s:%d failed, error-code: 0x%08X", kSource, __LINE__,
          static_cast<unsigned>(err));
    return false;
  }
  if (ready == 0) return false;
  std::vector<Record> records;
  bool overflow = false;
  bool read_ok = watch_.Drain(&records, &overflow, &err);
  bool changed = overflow;
  for (const Record& record : records) changed = OnChange(record) || changed;
  if (!read_ok) {
    Error(MainLog(), "ReadDirectoryChangesW in %s:%d failed, error-code: 0x%08X", kSource, __LINE__,
          static_cast<unsigned>(err));
    silent_ = true;
    return false;
  }
  return changed;
}

void CFileChangeMonitorEx::Close() {
  std::lock_guard<std::mutex> lock(lock_);
  silent_ = false;
  int err = 0;
  if (!watch_.Close(&err))
    Error(MainLog(), "CloseHandle in %s:%d failed, error-code: 0x%08X", kSource, __LINE__,
          static_cast<unsigned>(err));
}

bool CFileChangeMonitorEx::OnChange(const Record&) { return true; }
