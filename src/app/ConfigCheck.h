// "kelpd -check": loads kelpd.cfg and every list as a start would, and reports
// each problem on its own line as "file:line: text" (without ":line" where no
// line of a file is to blame). It starts no worker, takes no lock, writes no
// file and sends no log line.
#pragma once

#include <string>
#include <vector>

namespace kelpd::app {

struct CheckProblem {
  std::string file;
  int line = 0;  // 0: the file as a whole, or a setting left at its default
  std::string text;
};

// Runs every check against the process-wide configuration and tables (it
// loads them). config_name is the name given with "-c", or "kelpd.cfg".
std::vector<CheckProblem> CheckConfiguration(const std::string& config_name);

// The program's entry for "kelpd -check [-c <file>]": prints the problems to
// standard output, then returns 0 when there was none and 1 otherwise.
int RunConfigCheck(int argc, char** argv);

}  // namespace kelpd::app
