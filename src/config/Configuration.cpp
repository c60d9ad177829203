#include "config/Configuration.h"

#include "config/Settings.h"

CConfigMap& Config() {
  // Never destroyed: a thread that is still running while the process exits
  // must not find it gone.
  static CConfigMap* config = new CConfigMap();
  return *config;
}

void ResetConfigForTests() {
  Config().Reset();
  kelpd::config::ServiceSettings().Publish(kelpd::config::Settings{});
}
