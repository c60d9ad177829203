// The few file operations of installing and removing the service's unit
// file. Thread-safe. Every failure reports the errno value in *error.
#pragma once

#include <string>

namespace kelpd::platform {

// The absolute path of the running program (/proc/self/exe).
bool OwnExecutablePath(std::string* path, int* error);

// True when path names an existing directory; otherwise ENOENT, ENOTDIR, ...
bool CheckDirectory(const std::string& path, int* error);

// True when path exists (ENOENT otherwise).
bool PathExists(const std::string& path, int* error);

// True when path can be opened for reading.
bool CanOpenForReading(const std::string& path, int* error);

// Creates dir/name with content, mode 0644, appearing whole (WriteFileWhole).
// Fails with EEXIST, leaving the existing file alone, when the name is taken.
bool CreateWholeFile(const std::string& dir, const std::string& name, const std::string& content,
                     int* error);

// systemd is the running init (/run/systemd/system exists).
bool SystemdIsRunningInit();

}  // namespace kelpd::platform
