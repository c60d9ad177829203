// The program's name and version as the service shows them.
#pragma once

namespace kelpd::app {
constexpr const char kDisplayName[] = "Zelvane Mail Delivery Agent";
constexpr const char kShortName[] = "Kelpd";
constexpr int kVersionMajor = 4;
constexpr int kVersionMinor = 0;
constexpr int kVersionBuild = 4759;
constexpr int kVersionRevision = 1;
}  // namespace kelpd::app
