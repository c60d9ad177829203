#include "app/LogTargets.h"

#include "log/Syslog.h"

namespace kelpd::app {

namespace {

std::unique_ptr<CSyslog> Target(const kelpd::config::Settings::Logging& log, const std::string& tag,
                                const std::string& host, const std::string& facility, int port) {
  if (host.empty()) return CSyslog::ForLocalSocket(tag, facility, log.socket);
  return std::make_unique<CSyslog>(tag, facility, host, port);
}

}  // namespace

std::unique_ptr<CSyslog> MainLogTarget(const kelpd::config::Settings::Logging& log,
                                       const std::string& tag) {
  return Target(log, tag, log.host, log.facility, log.port);
}

std::unique_ptr<CSyslog> TrafficLogTarget(const kelpd::config::Settings::Logging& log,
                                          const std::string& tag) {
  return Target(log, tag, log.traffic_host, log.traffic_facility, log.traffic_port);
}

}  // namespace kelpd::app
