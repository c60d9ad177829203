// Waiting for new mail files in a directory instead of polling it: the wait
// ends early when a file whose name matches one of the patterns is created,
// moved in or closed after writing, or when the kernel lost events (then
// nothing can be ruled out). Deletions, writes in progress and names that
// match no pattern (temporary files, the service's own status files) do not
// end it. Without a watch (none could be had) the wait is a plain sleep, so a
// caller that scans after every wait keeps working, only slower.
//
// One inotify descriptor, close-on-exec, from Open to Close. Every wait also
// wakes on the calling worker's stop request. One thread uses an object.
#pragma once

#include <string>
#include <vector>

#include "platform/Inotify.h"

namespace kelpd::core {

class ArrivalWatch {
 public:
  // Starts watching dir; false (errno in *err) when no watch could be had.
  bool Open(const std::string& dir, std::vector<std::string> patterns, int* err);
  void Close();
  bool IsOpen() const { return watch_.IsOpen(); }

  enum class Woken { kArrival, kTimeout, kStopped };
  // Waits at most timeout_ms for an arrival. Events queued since the last
  // wait count: the caller's scan may have run before the file was whole.
  Woken Wait(int timeout_ms);

 private:
  // Reads the queued events; true when one of them is an arrival.
  bool DrainArrivals();

  kelpd::platform::DirectoryWatch watch_;
  std::vector<std::string> patterns_;
  std::vector<kelpd::platform::ChangeRecord> records_;
};

}  // namespace kelpd::core
