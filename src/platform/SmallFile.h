// Whole reads of small text files (configuration such as resolv.conf).
// Thread-safe: no shared state.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace kelpd::platform {

// The first max_bytes bytes of the file at path (opened close-on-exec), or
// nothing when it cannot be opened or read.
std::optional<std::string> ReadSmallFile(const std::string& path, size_t max_bytes);

}  // namespace kelpd::platform
