// The process environment: every variable the programs read goes through
// here, and the configuration directory is worked out in this one place.
// Thread-safe as long as nothing changes the environment while it is read
// (the programs never do after start-up).
#pragma once

#include <string>

namespace kelpd::base {

// The variable that names the configuration directory. The service needs it
// (its unit sets it); the other programs fall back to kDefaultConfigDir.
inline constexpr char kConfigDirVariable[] = "MAILCONFIGDIR";
// Where the configuration files live unless MAILCONFIGDIR names a directory.
inline constexpr char kDefaultConfigDir[] = "/etc/zelvane";

// The value of the environment variable name; false when it is not set or
// is empty.
bool EnvValue(const char* name, std::string& value);

// The value of name, empty ones included; false only when it is not set.
bool EnvSet(const char* name, std::string& value);

// The value of name, or fallback when it is not set or is empty.
std::string EnvValueOr(const char* name, const std::string& fallback);

// The configuration directory: MAILCONFIGDIR when it is set and not empty,
// kDefaultConfigDir otherwise.
std::string ConfigDirectory();

}  // namespace kelpd::base
