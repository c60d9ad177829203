// The process-id file of the running service: created (or taken over),
// locked with an exclusive flock for as long as the service runs, holding
// the process id in decimal without a line end; removed when released.
//
// A file that another running instance holds is left alone: its lock is
// tried before anything is written. Not thread-safe: one owner.
#pragma once

#include <string>

#include "platform/UniqueFd.h"

namespace kelpd::platform {

class PidFile {
 public:
  PidFile() = default;
  ~PidFile();  // Release()
  PidFile(const PidFile&) = delete;
  PidFile& operator=(const PidFile&) = delete;

  // Opens path (close-on-exec), takes its lock without waiting, truncates it
  // and writes the process id. False with errno in *err (EWOULDBLOCK when
  // another process holds it); nothing is held then.
  bool Create(const std::string& path, int* err);
  bool IsHeld() const { return fd_.valid(); }
  // Removes the file (while it is still locked, so that no other instance
  // can have taken it over) and closes it.
  void Release();

 private:
  std::string path_;
  UniqueFd fd_;
};

}  // namespace kelpd::platform
