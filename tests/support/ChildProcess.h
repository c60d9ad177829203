// Running a program of the project as a child process in a test: its standard
// input fed from a string, its standard output and error collected, its exit
// code returned. The child inherits the test's environment.
#pragma once

#include <string>
#include <vector>

namespace kelpd::testing {

struct ChildResult {
  int exit_code = -1;  // -1: not started, killed by a signal, or timed out
  std::string out;
  std::string err;
};

// Runs argv[0] (a path) with argv; kills it after timeout_ms.
ChildResult RunChild(const std::vector<std::string>& argv, const std::string& input,
                     int timeout_ms = 30000);

}  // namespace kelpd::testing
