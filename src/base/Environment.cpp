#include "base/Environment.h"

#include <cstdlib>

namespace kelpd::base {

bool EnvValue(const char* name, std::string& value) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return false;
  value = v;
  return true;
}

bool EnvSet(const char* name, std::string& value) {
  const char* v = std::getenv(name);
  if (v == nullptr) return false;
  value = v;
  return true;
}

std::string EnvValueOr(const char* name, const std::string& fallback) {
  std::string value;
  return EnvValue(name, value) ? value : fallback;
}

std::string ConfigDirectory() { return EnvValueOr(kConfigDirVariable, kDefaultConfigDir); }

}  // namespace kelpd::base
