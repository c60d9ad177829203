// kelpd-queue: lists and handles the mail waiting in the service's directories.
#include <cstdio>
#include <string>
#include <vector>

#include "companions/QueueTool.h"
#include "log/ConsoleLogTarget.h"
#include "log/Log.h"

int main(int argc, char** argv) {
  // Failures inside the mail model are logged; here they go to standard error.
  SetTarget(MainLog(), std::make_unique<CConsoleLogTarget>());
  std::vector<std::string> args(argv + 1, argv + argc);
  kelpd::companions::ProgramOutput output;
  const int code = kelpd::companions::RunQueueTool(args, output);
  std::fwrite(output.out.data(), 1, output.out.size(), stdout);
  std::fwrite(output.err.data(), 1, output.err.size(), stderr);
  return code;
}
