#include "base/Paths.h"

#include "base/Text.h"

std::string MakePath(const std::string& dir, const std::string& name) {
  if (!name.empty() && name[0] == '/') return name;
  std::string path = dir;
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  return path;
}

std::string ToForwardSlashes(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

namespace kelpd::text {

bool MatchWildcard(std::string_view pattern, std::string_view name) {
  if (pattern == "*.*") return true;
  // Greedy match that backtracks only to the last '*': linear in practice and
  // never worse than pattern length times name length.
  size_t p = 0, n = 0;
  size_t star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' || text::ToLower(pattern[p]) == text::ToLower(name[n]))) {
      ++p;
      ++n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace kelpd::text
