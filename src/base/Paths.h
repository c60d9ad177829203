// Joining directory and file names, slash conversion and the wildcard match
// of directory scans. Thread-safe: pure functions.
#pragma once

#include <string>
#include <string_view>

// dir, a '/' unless dir is empty or already ends in one, then name. A name
// that begins with '/' is absolute and is returned unchanged.
std::string MakePath(const std::string& dir, const std::string& name);

// A copy of text with every '\' replaced by '/'.
std::string ToForwardSlashes(const std::string& text);

namespace kelpd::text {

// Whether name matches the wildcard pattern: '*' any run of characters (also
// none), '?' exactly one, everything else compared without regard to case
// ("C" locale). "*.*" matches every name, with or without a dot.
bool MatchWildcard(std::string_view pattern, std::string_view name);

}  // namespace kelpd::text
