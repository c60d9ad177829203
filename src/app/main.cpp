// kelpd: the mail delivery agent.
#include "app/DeliveryAgentApp.h"
#include "core/CrashReporter.h"
#include "platform/Signals.h"

int main(int argc, char** argv) {
  // Before anything else, so that any failure from here on leaves its line.
  kelpd::core::InstallCrashReporter();
  kelpd::platform::IgnoreBrokenPipe();
  CDeliveryAgentApp app;
  return app.Main(argc, argv);
}
