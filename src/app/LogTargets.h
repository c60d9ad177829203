// The syslog targets of the two log channels outside debug mode. A channel
// whose host key ("LogHost", "TrafficLogHost") is set sends UDP to that host;
// without one, it writes to the local syslog socket ("LogSocket", by default
// /dev/log), which the journal and the syslog daemons read, and falls back to
// UDP 127.0.0.1:514 while that socket is missing.
#pragma once

#include <memory>
#include <string>

#include "config/Settings.h"

class CSyslog;

namespace kelpd::app {

// The targets log asks for; the defaults (as before the configuration is
// read) give the local syslog socket.
std::unique_ptr<CSyslog> MainLogTarget(const kelpd::config::Settings::Logging& log,
                                       const std::string& tag);
std::unique_ptr<CSyslog> TrafficLogTarget(const kelpd::config::Settings::Logging& log,
                                          const std::string& tag);

}  // namespace kelpd::app
