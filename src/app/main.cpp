// kelpd: the mail delivery agent.
#include "app/ConfigCheck.h"
#include "app/DeliveryAgentApp.h"
#include "base/Text.h"
#include "core/CrashReporter.h"
#include "platform/Signals.h"

int main(int argc, char** argv) {
  // Before anything else, so that any failure from here on leaves its line.
  kelpd::core::InstallCrashReporter();
  kelpd::platform::IgnoreBrokenPipe();
  // The configuration check runs without the service: no worker, no log target.
  if (argc > 1 && kelpd::text::EqualsNoCase(argv[1], "-check"))
    return kelpd::app::RunConfigCheck(argc, argv);
  CDeliveryAgentApp app;
  return app.Main(argc, argv);
}
