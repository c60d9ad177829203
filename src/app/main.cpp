// kelpd: the mail delivery agent.
#include "log/ConsoleLogTarget.h"
#include "log/Log.h"

int main(int argc, char** argv) {
  (void)argc;
  (void)argv;
  SetTarget(MainLog(), std::make_unique<CConsoleLogTarget>());
  Info(MainLog(), "Zelvane Mail Delivery Agent %d.%02d.%04d.%d launching...", 4, 0, 4759, 1);
  return 0;
}
