#include "app/LogTargets.h"

#include "config/ConfigMap.h"
#include "log/Syslog.h"

namespace kelpd::app {

namespace {

std::unique_ptr<CSyslog> Target(const CConfigMap& config, const std::string& tag,
                                const std::string& host, const std::string& facility, int port) {
  if (host.empty())
    return CSyslog::ForLocalSocket(tag, facility, config.GetString("LogSocket", kDefaultLogSocket));
  return std::make_unique<CSyslog>(tag, facility, host, port);
}

}  // namespace

std::unique_ptr<CSyslog> EarlyMainLogTarget(const std::string& tag) {
  return CSyslog::ForLocalSocket(tag, "mail", kDefaultLogSocket);
}

std::unique_ptr<CSyslog> EarlyTrafficLogTarget(const std::string& tag) {
  return CSyslog::ForLocalSocket(tag, "local2", kDefaultLogSocket);
}

std::unique_ptr<CSyslog> MainLogTarget(const CConfigMap& config, const std::string& tag) {
  return Target(config, tag, config.GetString("LogHost", ""),
                config.GetString("LogFacility", "mail"), config.GetInt("LogPort", 514));
}

std::unique_ptr<CSyslog> TrafficLogTarget(const CConfigMap& config, const std::string& tag) {
  const std::string host = config.GetString("LogHost", "");
  const int port = config.GetInt("LogPort", 514);
  return Target(config, tag, config.GetString("TrafficLogHost", host),
                config.GetString("TrafficLogFacility", "local2"),
                config.GetInt("TrafficLogPort", port));
}

}  // namespace kelpd::app
