// CChangeNotification: tells, without waiting, whether anything changed in a
// directory since the last poll (the caller then asks each of its files
// whether it changed). On inotify: "changed" means at least one event was
// queued; each poll drains the queue.
//
// Not thread-safe: one thread (the run loop) creates and polls it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Inotify.h"

class CChangeNotification {
 public:
  CChangeNotification() = default;
  ~CChangeNotification();
  CChangeNotification(const CChangeNotification&) = delete;
  CChangeNotification& operator=(const CChangeNotification&) = delete;

  // Starts watching directory for the kinds of change in filter
  // (platform::kNotify... bits). A failure is logged and leaves the monitor
  // invalid: it then never reports a change.
  void Create(const std::string& directory, bool watch_subtree, uint32_t filter);
  bool IsValid() const { return watch_.IsOpen(); }
  // True once after each batch of changes. When the watch breaks, it is given
  // up (logged) and true is returned one last time, so that the caller looks
  // at its files once more.
  bool HasChanged();

 private:
  void CloseWatch();

  kelpd::platform::DirectoryWatch watch_;
};
