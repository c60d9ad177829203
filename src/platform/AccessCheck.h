// Whether this process may use a path as the service would: write into a
// directory, run a program. For checks that report problems before the
// service meets them.
#pragma once

#include <cstdint>
#include <string>

namespace kelpd::platform {

// A directory this process may create and remove files in.
bool IsWritableDirectory(const std::string& path);
// A regular file this process may run.
bool IsExecutableFile(const std::string& path);
// A process with this id exists (whoever owns it).
bool ProcessExists(uint32_t pid);

}  // namespace kelpd::platform
