#include "core/ChangeNotification.h"

#include "log/Log.h"

namespace {
constexpr char kSource[] = "Common\\FileChangeMonitor";
}

CChangeNotification::~CChangeNotification() { CloseWatch(); }

void CChangeNotification::CloseWatch() {
  if (!watch_.IsOpen()) return;
  int err = 0;
  if (!watch_.Close(&err))
    Error(MainLog(), "FindCloseChangeNotification in %s:%d failed, error-code: 0x%08X", kSource,
          __LINE__, static_cast<unsigned>(err));
}

void CChangeNotification::Create(const std::string& directory, bool watch_subtree,
                                 uint32_t filter) {
  CloseWatch();
  kelpd::platform::DirectoryWatch::OpenFailure failure;
  int err = 0;
  if (watch_.Open(directory, filter, watch_subtree, &failure, &err)) return;
  Error(MainLog(), "FindFirstChangeNotification in %s:%d on \"%s\" failed, error-code: 0x%08X",
        kSource, __LINE__, directory.c_str(), static_cast<unsigned>(err));
  Warning(MainLog(), "unable to monitor file-system-changes");
}

bool CChangeNotification::HasChanged() {
  if (!watch_.IsOpen()) return false;
  int err = 0;
  int ready = watch_.Poll(&err);
  if (ready < 0) {
    Error(MainLog(), "WaitForSingleObject in %s:%d failed, error-code: 0x%08X", kSource, __LINE__,
          static_cast<unsigned>(err));
    return false;
  }
  if (ready == 0) return false;
  bool overflow = false;
  if (watch_.Drain(nullptr, &overflow, &err)) return true;
  Error(MainLog(), "FindNextChangeNotification in %s:%d failed, error-code: 0x%08X", kSource,
        __LINE__, static_cast<unsigned>(err));
  Warning(MainLog(), "unable to monitor file-system-changes");
  CloseWatch();
  return true;
}
