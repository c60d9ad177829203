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

bool MatchPattern(std::string_view pattern, std::string_view text, bool ignore_case) {
  auto same = [ignore_case](char a, char b) {
    return a == b || (ignore_case && ToLower(a) == ToLower(b));
  };
  size_t p = 0, t = 0;
  size_t star = std::string_view::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && (pattern[p] == '?' || same(pattern[p], text[t]))) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool MatchWildcard(std::string_view pattern, std::string_view name) {
  return pattern == "*.*" || MatchPattern(pattern, name, true);
}

}  // namespace kelpd::text
