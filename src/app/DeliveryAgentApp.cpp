#include "app/DeliveryAgentApp.h"

#include <cstdio>
#include <memory>

#include "app/Version.h"
#include "log/ConsoleLogTarget.h"
#include "log/Log.h"

using namespace kelpd::app;

CDeliveryAgentApp::CDeliveryAgentApp() : CService(kDisplayName, kShortName) {
  SetAcceptedControls(kAcceptStop | kAcceptPauseContinue | kAcceptShutdown);
}

void CDeliveryAgentApp::Usage() {
  std::printf("%s %d.%02d.%04d.%d\n------------------------------\n\n", DisplayName().c_str(),
              kVersionMajor, kVersionMinor, kVersionBuild, kVersionRevision);
  std::printf("Usage: %s -install|-uninstall|-debug [<shortname> <displayname> <params>] \n\n",
              "kelpd");
  std::printf("  -install [<shortname> <displayname> <params>]:\n");
  std::printf("      Installs the service with its default name and settings, if no further\n");
  std::printf("      parameters are given. If you want to install an additional copie of the\n");
  std::printf("      service, use the following parameters:\n");
  std::printf("      <shortname>:\n");
  std::printf("          short service name (e.g. \"%s2\")\n", kShortName);
  std::printf("      <displayname>:\n");
  std::printf("          displayer service name (e.g. \"%s #2\")\n", DisplayName().c_str());
  std::printf("      <params>:\n");
  std::printf("          additional service starting parameters (e.g. \"-c relayd2.cfg\" for an\n");
  std::printf("          alternate configuration-file)\n\n");
  std::printf("  -uninstall [<shortname>]:\n");
  std::printf("      Uninstalls the service with its default name, if no further parameters\n");
  std::printf("      are given. If you want to uninstall an additional copie of the service,\n");
  std::printf("      use the following parameter:\n");
  std::printf("      <shortname>:\n");
  std::printf("          short service name (e.g. \"%s2\")\n\n", kShortName);
  std::printf("  -debug:\n");
  std::printf("      run as console application for debugging purposes\n\n");
}

bool CDeliveryAgentApp::OnInit() {
  // The process-id file comes with the rest of the start-up sequence.
  ReportStatus(kStartPending, 1000);
  if (IsDebug()) {
    SetTarget(MainLog(), std::make_unique<CConsoleLogTarget>());
    SetTarget(TrafficLog(), std::make_unique<CConsoleLogTarget>());
  } else {
    // XXX: install the syslog targets here once log/Syslog.h is merged: CSyslog("Kelpd", "mail",
    // "127.0.0.1", 514) on MainLog() and CSyslog("Kelpd", "local2", "127.0.0.1", 514) on
    // TrafficLog().
  }
  // Socket library start-up has nothing to do on this system.
  Info(MainLog(), "Zelvane Mail Delivery Agent %d.%02d.%04d.%d launching...", kVersionMajor,
       kVersionMinor, kVersionBuild, kVersionRevision);
  return true;
}

void CDeliveryAgentApp::OnStop() {
  Info(MainLog(), "Zelvane Mail Delivery Agent %d.%02d.%04d.%d shutting down...", kVersionMajor,
       kVersionMinor, kVersionBuild, kVersionRevision);
  ReportStatus(kStopPending, 2000);
  Info(MainLog(), "Zelvane Mail Delivery Agent shut down");
}
