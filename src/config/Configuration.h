// The process-wide configuration object, loaded from "kelpd.cfg" at start-up
// and at each configuration restart, read by every part of the service with
// GetString and GetInt. Reachable from every thread; it lives until the
// process ends (worker threads may still read it while the process exits).
#pragma once

#include "config/ConfigMap.h"

CConfigMap& Config();

// Empties the configuration object and forgets its file (for tests).
void ResetConfigForTests();
