// kelpd-submit: queues one mail from standard input for the delivery agent.
#include <cstdio>
#include <string>
#include <vector>

#include "companions/Submit.h"
#include "log/ConsoleLogTarget.h"
#include "log/Log.h"

namespace {

bool ReadStandardInput(std::string& message, std::string& error) {
  char buf[65536];
  for (;;) {
    const size_t n = std::fread(buf, 1, sizeof buf, stdin);
    if (n > 0) {
      if (message.size() + n > kelpd::companions::kMaxSubmitBytes) {
        error = "the message is larger than " + std::to_string(kelpd::companions::kMaxSubmitBytes) +
                " bytes";
        return false;
      }
      message.append(buf, n);
    }
    if (n < sizeof buf) break;
  }
  if (std::ferror(stdin)) {
    error = "could not read the message from standard input";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // Failures inside the mail model are logged; here they go to standard error.
  SetTarget(MainLog(), std::make_unique<CConsoleLogTarget>());
  std::vector<std::string> args(argv + 1, argv + argc);
  kelpd::companions::ProgramOutput output;
  const int code = kelpd::companions::RunSubmit(args, ReadStandardInput, output);
  std::fwrite(output.out.data(), 1, output.out.size(), stdout);
  std::fwrite(output.err.data(), 1, output.err.size(), stderr);
  return code;
}
