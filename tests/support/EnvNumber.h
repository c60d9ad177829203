// Sizes of the system tests taken from the environment, so that the bench
// scripts can run the same tests at full size.
#pragma once

#include <cstdlib>

namespace kelpd::testing {

// The number in the environment variable name, or def when it is unset or empty.
inline long EnvNumber(const char* name, long def) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::strtol(v, nullptr, 10) : def;
}

}  // namespace kelpd::testing
