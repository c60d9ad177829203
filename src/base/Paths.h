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

// Whether text matches pattern: '*' any run of characters (also none), '?'
// exactly one, everything else compared as it is or, with ignore_case,
// without regard to case ("C" locale). Greedy with one back-track point (the
// last '*'): never worse than pattern length times text length, whatever a
// hostile pattern or text looks like.
bool MatchPattern(std::string_view pattern, std::string_view text, bool ignore_case);

// Whether text holds a wildcard character ('*' or '?').
inline bool HasWildcard(std::string_view text) {
  return text.find_first_of("*?") != std::string_view::npos;
}

// Whether name matches the wildcard pattern: '*' any run of characters (also
// none), '?' exactly one, everything else compared without regard to case
// ("C" locale). "*.*" matches every name, with or without a dot.
bool MatchWildcard(std::string_view pattern, std::string_view name);

}  // namespace kelpd::text
