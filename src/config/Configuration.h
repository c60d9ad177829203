// The process-wide configuration object, loaded from "kelpd.cfg" at start-up
// and at each configuration restart. The service reads it only through
// LoadSettings (config/Settings.h), which turns it into typed settings.
// Reachable from every thread; it lives until the process ends.
#pragma once

#include "config/ConfigMap.h"

CConfigMap& Config();

// Empties the configuration object and forgets its file, and publishes the
// default settings (for tests).
void ResetConfigForTests();
