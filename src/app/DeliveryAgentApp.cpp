#include "app/DeliveryAgentApp.h"

#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include "app/LifecycleRules.h"
#include "app/LogTargets.h"
#include "app/Version.h"
#include "base/Environment.h"
#include "base/Paths.h"
#include "base/Text.h"
#include "config/Configuration.h"
#include "config/Settings.h"
#include "config/StorableFile.h"
#include "core/ChangeNotification.h"
#include "local/DirectoryData.h"
#include "local/LocalAgent.h"
#include "local/MailHelpers.h"
#include "log/ConsoleLogTarget.h"
#include "log/Log.h"
#include "log/Syslog.h"
#include "net/AddressOrder.h"
#include "platform/Files.h"
#include "platform/Inotify.h"
#include "platform/LocalTime.h"
#include "platform/StopSignal.h"
#include "remote/RemoteAgent.h"
#include "remote/SMTPDeliveryThread.h"

using namespace kelpd::app;

namespace {

using kelpd::base::kConfigDirVariable;

// A stopping worker gets this long to end on its own, then kStopPolls polls
// of kStopPollMs each before it is given up.
constexpr int kStopWaitMs = 1000;
constexpr int kStopPolls = 120;
constexpr int kStopPollMs = 500;
constexpr int kPassSleepMs = 1000;

// The signal that the main thread's waits in the run loop watch (sleeps,
// the wait for a new-mail script); raised when the service stops.
kelpd::platform::StopSignal& RunLoopStop() {
  static kelpd::platform::StopSignal* signal = new kelpd::platform::StopSignal();
  return *signal;
}

bool IsDirectory(const std::string& path) {
  kelpd::platform::FileStatus status;
  return kelpd::platform::StatFile(path, status).ok() && status.is_directory;
}

using kelpd::config::Settings;

std::shared_ptr<const Settings> CurrentSettings() {
  return kelpd::config::ServiceSettings().Current();
}

// Loads the configuration file and publishes the settings of what the
// configuration object then holds; false when the file could not be loaded.
bool LoadConfiguration(const std::string& name) {
  const bool loaded = Config().LoadFromEnvDir(name, kConfigDirVariable);
  kelpd::config::ServiceSettings().Publish(kelpd::config::LoadSettings(Config()));
  return loaded;
}

}  // namespace

CDeliveryAgentApp::CDeliveryAgentApp() : CService(kDisplayName, kShortName) {
  SetAcceptedControls(kAcceptStop | kAcceptPauseContinue | kAcceptShutdown);
}

CDeliveryAgentApp::~CDeliveryAgentApp() {
  CThread::Dispose(std::move(local_agent_));
  bool threads_ended = true;
  for (auto& thread : delivery_threads_) {
    if (thread && !thread->HasEnded()) threads_ended = false;
    CThread::Dispose(std::move(thread));
  }
  // A delivery thread that is still running may still use the remote agent:
  // then the agent stays, as the thread does, until the process has gone.
  if (threads_ended && !threads_given_up_)
    CThread::Dispose(std::move(remote_agent_));
  else
    (void)remote_agent_.release();
  pid_file_.Release();
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
  // The process-id file. Without it the service runs all the same.
  std::string config_dir;
  if (kelpd::base::EnvValue(kConfigDirVariable, config_dir)) {
    int err = 0;
    pid_file_.Create(MakePath(config_dir, ShortName()) + ".pid", &err);
  }

  ReportStatus(kStartPending, 1000);
  if (IsDebug()) {
    SetTarget(MainLog(), std::make_unique<CConsoleLogTarget>());
    SetTarget(TrafficLog(), std::make_unique<CConsoleLogTarget>());
  } else {
    // Before the configuration is read: the defaults, the local socket.
    SetTarget(MainLog(), MainLogTarget(Settings::Logging{}, ShortName()));
    SetTarget(TrafficLog(), TrafficLogTarget(Settings::Logging{}, ShortName()));
  }
  // The socket library needs no start-up on this system.
  Info(MainLog(), "Zelvane Mail Delivery Agent %d.%02d.%04d.%d launching...", kVersionMajor,
       kVersionMinor, kVersionBuild, kVersionRevision);

  ReportStatus(kStartPending, 1000);
  for (int i = 1; i + 1 < argc(); ++i) {
    if (kelpd::text::EqualsNoCase(argv()[i], "-c")) {
      config_file_name_ = argv()[i + 1];
      break;
    }
  }
  Info(MainLog(), "loading configuration file %s...", config_file_name_.c_str());
  if (!LoadConfiguration(config_file_name_)) {
    Error(MainLog(), "could not load configuration");
    return false;
  }
  const std::shared_ptr<const Settings> settings = CurrentSettings();
  if (!CheckDirectories(false)) return false;

  ReportStatus(kStartPending, 1000);
  if (!IsDebug()) ConfigureLogging();

  // From here on a failure stops what was started, so that no agent is
  // left working while the process ends.
  auto fail = [this]() {
    if (local_agent_) StopLocalAgent(kStartPending);
    if (have_threads_) StopDeliveryThreads(kStartPending);
    if (remote_agent_) StopRemoteAgent(kStartPending);
    return false;
  };

  ReportStatus(kStartPending, 1000);
  Info(MainLog(), "creating user-list...");
  if (!CreateUserList(settings->dirs.spool)) {
    Error(MainLog(), "could not create user-list");
    return fail();
  }
  ReportStatus(kStartPending, 1000);
  Info(MainLog(), "loading 'domains'-file...");
  if (!Domains().LoadFromEnvDir("domains", kConfigDirVariable)) {
    Error(MainLog(), "could not load 'domains'-file");
    return fail();
  }
  ReportStatus(kStartPending, 1000);
  Info(MainLog(), "loading 'backupdomains'-file...");
  BackupDomains().LoadFromEnvDir("backupdomains", kConfigDirVariable);
  Info(MainLog(), "loading 'aliases'-file...");
  if (!Aliases().LoadFromEnvDir("aliases", kConfigDirVariable)) {
    Error(MainLog(), "could not load 'aliases'-file");
    return fail();
  }
  Info(MainLog(), "number of faulty aliases: %d", GetFaultyAliasCount());
  Info(MainLog(), "preresolving aliases...");
  PreresolveAliases();
  ReportStatus(kStartPending, 1000);
  Info(MainLog(), "loading 'filters'-file...");
  if (!Filters().LoadFromEnvDir("filters", kConfigDirVariable))
    Info(MainLog(), "could not load 'filters'-file");
  ReportStatus(kStartPending, 1000);
  Info(MainLog(), "loading optional 'smarthosts'-file...");
  SmartHosts().LoadFromEnvDir("smarthosts", kConfigDirVariable);
  ReportStatus(kStartPending, 1000);
  if (!settings->dirs.mask_file.empty()) {
    Info(MainLog(), "loading masquerading-file...");
    Masquerading().Load(settings->dirs.mask_file);
  }

  ReportStatus(kStartPending, 1000);
  if (!StartLocalAgent()) return fail();
  ReportStatus(kStartPending, 1000);
  if (settings->service.auto_transport) {
    if (!StartRemoteAgent() || !StartDeliveryThreads()) return fail();
  }
  Info(MainLog(), "Zelvane Mail Delivery Agent launched and fully operational");
  return true;
}

bool CDeliveryAgentApp::CheckDirectories(bool every) {
  const Settings::Directories& dirs = CurrentSettings()->dirs;
  const std::pair<const char*, const std::string*> needed[] = {{"QueueDir", &dirs.queue},
                                                               {"SpoolDir", &dirs.spool},
                                                               {"ErrorDir", &dirs.error},
                                                               {"OutgoingDir", &dirs.outgoing}};
  bool ok = true;
  for (const auto& [key, path] : needed) {
    if ((ok || every) && !IsDirectory(*path)) {
      Error(MainLog(), "invalid %s, \"%s\" is missing or no directory", key, path->c_str());
      ok = false;
    }
  }
  if ((ok || every) && !IsDirectory(dirs.filter))
    Warning(MainLog(), "invalid FilterDir, \"%s\" is missing or no directory", dirs.filter.c_str());
  return ok;
}

void CDeliveryAgentApp::ConfigureLogging() {
  const std::shared_ptr<const Settings> settings = CurrentSettings();
  SetTarget(MainLog(), MainLogTarget(settings->log, ShortName()));
  SetTarget(TrafficLog(), TrafficLogTarget(settings->log, ShortName()));
}

void CDeliveryAgentApp::SleepWhileRunning(int ms) {
  // The main thread's stop signal ends the sleep when the service stops.
  if (RunEvent().IsSet()) kelpd::platform::SleepFor(ms);
}

int CDeliveryAgentApp::Run() {
  kelpd::platform::SetCurrentStopSignal(&RunLoopStop());
  HourlySchedule hourly(kelpd::platform::LocalTimeNow().minute);
  std::string config_dir;
  kelpd::base::EnvValue(kConfigDirVariable, config_dir);
  CChangeNotification config_monitor;
  config_monitor.Create(config_dir, false,
                        kelpd::platform::kNotifyFileName | kelpd::platform::kNotifyLastWrite);
  // The lists were loaded before the watch began: the first pass compares
  // them with their files, so an edit made in between is not missed.
  bool first_pass = true;

  while (RunEvent().IsSet()) {
    if (PauseEvent().IsSet()) {
      SleepWhileRunning(kPassSleepMs);
      continue;
    }
    const std::shared_ptr<const Settings> settings = CurrentSettings();
    if (settings->service.hourly_cleanup && !settings->service.auto_transport) {
      // The hourly mode: no list is watched, the new-mail script tidies the
      // outgoing directory once an hour.
      if (hourly.Due(kelpd::platform::LocalTimeNow().minute))
        RunArrivalScript(settings->dirs.outgoing, std::string(),
                         settings->service.scripts_parallel);
      SleepWhileRunning(kHourlyPollMs);
      continue;
    }
    bool config_changed = config_monitor.HasChanged() || first_pass;
    first_pass = false;
    bool spool_changed = !config_changed && UserListMonitorChanged();
    if (!config_changed && !spool_changed) {
      SleepWhileRunning(kPassSleepMs);
      continue;
    }
    // The user list and the domains decide which aliases are accepted, so
    // the three are reloaded together, in that order.
    if (Domains().HasChanged() || spool_changed || Aliases().HasChanged()) {
      if (!Domains().Load()) Error(MainLog(), "could not reload 'domains'-file");
      if (!BuildUserList(CurrentSettings()->dirs.spool))
        Error(MainLog(), "could not reload user-list");
      if (!Aliases().Load()) Error(MainLog(), "could not reload 'aliases'-file");
      Info(MainLog(), "preresolving aliases...");
      PreresolveAliases();
    }
    if (BackupDomains().HasChanged()) BackupDomains().Load();
    if (Filters().HasChanged() && !Filters().Load())
      Error(MainLog(), "could not reload 'filters'-file");
    if (SmartHosts().HasChanged()) SmartHosts().Load();
    if (Masquerading().HasChanged()) Masquerading().Load();
  }
  kelpd::platform::SetCurrentStopSignal(nullptr);
  return 0;
}

void CDeliveryAgentApp::OnStop() {
  RunLoopStop().Raise();
  Info(MainLog(), "Zelvane Mail Delivery Agent %d.%02d.%04d.%d shutting down...", kVersionMajor,
       kVersionMinor, kVersionBuild, kVersionRevision);
  ReportStatus(kStopPending, 2000);
  StopLocalAgent(kStopPending);
  ReportStatus(kStopPending, 2000);
  if (remote_agent_) {
    StopDeliveryThreads(kStopPending);
    ReportStatus(kStopPending, 2000);
    StopRemoteAgent(kStopPending);
  }
  Info(MainLog(), "Zelvane Mail Delivery Agent shut down");
}

void CDeliveryAgentApp::OnUserControl(int code) {
  if (code != kControlRestart || !CurrentSettings()->service.allow_config_restart) return;
  Info(MainLog(), "Zelvane Mail Delivery Agent %d.%02d.%04d.%d restarting...", kVersionMajor,
       kVersionMinor, kVersionBuild, kVersionRevision);
  StopLocalAgent(0);
  if (remote_agent_) {
    StopDeliveryThreads(0);
    StopRemoteAgent(0);
  }
  Info(MainLog(), "loading configuration file %s...", config_file_name_.c_str());
  // A configuration that can't be loaded leaves the one in memory in force.
  if (!LoadConfiguration(config_file_name_)) Error(MainLog(), "could not load configuration");
  const std::shared_ptr<const Settings> settings = CurrentSettings();
  Info(MainLog(), "configuring logging...");
  if (!IsDebug()) ConfigureLogging();
  Info(MainLog(), "checking directories...");
  // Every check is made and logged; none of them stops the restart.
  CheckDirectories(true);
  Info(MainLog(), "creating user-list...");
  if (!CreateUserList(settings->dirs.spool)) Error(MainLog(), "could not create user-list");
  Info(MainLog(), "loading 'domains'-file...");
  if (!Domains().LoadFromEnvDir("domains", kConfigDirVariable))
    Info(MainLog(), "could not load 'domains'-file");
  Info(MainLog(), "loading 'backupdomains'-file...");
  BackupDomains().LoadFromEnvDir("backupdomains", kConfigDirVariable);
  Info(MainLog(), "loading 'aliases'-file...");
  if (!Aliases().LoadFromEnvDir("aliases", kConfigDirVariable))
    Info(MainLog(), "could not load 'aliases'-file");
  Info(MainLog(), "number of faulty aliases: %d", GetFaultyAliasCount());
  Info(MainLog(), "preresolving aliases...");
  PreresolveAliases();
  Info(MainLog(), "loading 'filters'-file...");
  if (!Filters().LoadFromEnvDir("filters", kConfigDirVariable))
    Info(MainLog(), "could not load 'filters'-file");
  Info(MainLog(), "loading optional 'smarthosts'-file...");
  SmartHosts().LoadFromEnvDir("smarthosts", kConfigDirVariable);
  StartLocalAgent();
  if (settings->service.auto_transport) {
    StartRemoteAgent();
    StartDeliveryThreads();
  }
  Info(MainLog(), "Zelvane Mail Delivery Agent restarted and fully operational");
}

namespace {

// Makes and starts one agent thread; `what` names it in the log lines
// ("local delivery agent", "remote agent thread").
template <class Agent>
bool StartAgent(std::unique_ptr<Agent>& agent, const char* what) {
  if (agent) {
    Error(MainLog(), "%s already instantiated", what);
    return false;
  }
  try {
    agent = std::make_unique<Agent>(kelpd::config::ServiceSettings());
  } catch (const std::exception&) {
    Error(MainLog(), "could not instantiate %s", what);
    return false;
  }
  if (!agent->Start()) {
    // CThread::Start has logged the system's error; it does not hand it on.
    Error(MainLog(), "could not start %s, error 0x%08X", what, 0u);
    return false;
  }
  Info(MainLog(), "%s (id %04X) started", what, agent->GetThreadId());
  return true;
}

}  // namespace

bool CDeliveryAgentApp::StartLocalAgent() {
  return StartAgent(local_agent_, "local delivery agent");
}

bool CDeliveryAgentApp::StartRemoteAgent() {
  return StartAgent(remote_agent_, "remote agent thread");
}

bool CDeliveryAgentApp::StartDeliveryThreads() {
  if (have_threads_ || delivery_thread_count_ != 0) {
    Error(MainLog(), "remote delivery threads already instantiated");
    return false;
  }
  const std::shared_ptr<const Settings> settings = CurrentSettings();
  const int configured = settings->service.delivery_threads;
  const long descriptor_limit = kelpd::platform::DescriptorLimit();
  int count = DeliveryThreadCount(configured, descriptor_limit);
  if (count < configured)
    Warning(MainLog(),
            "AutoTransport.Threads %d is more than the descriptor limit %ld allows; starting %d "
            "remote delivery threads",
            configured, descriptor_limit, count);
  try {
    delivery_threads_.clear();
    delivery_threads_.reserve(static_cast<size_t>(count));
  } catch (const std::exception&) {
    Error(MainLog(), "could not instantiate remote delivery threads");
    return false;
  }
  have_threads_ = true;
  delivery_thread_count_ = count;
  const std::string& family = settings->remote.address_family;
  std::optional<kelpd::net::AddressOrder> order = kelpd::net::ParseAddressOrder(family);
  if (!order) {
    Warning(MainLog(),
            "AddressFamily \"%s\" is none of ipv4-first, ipv4, ipv6, ipv6-first; using ipv4-first",
            family.c_str());
    order = kelpd::net::AddressOrder::kIPv4First;
  }
  for (int i = 1; i <= count; ++i) {
    try {
      auto thread = std::make_unique<CSMTPDeliveryThread>(remote_agent_.get(),
                                                          kelpd::config::ServiceSettings());
      thread->SetAddressOrder(*order);
      delivery_threads_.push_back(std::move(thread));
    } catch (const std::exception&) {
      Error(MainLog(), "could not instantiate remote delivery thread %d", i);
      return false;
    }
  }
  for (int i = 1; i <= count; ++i) {
    CSMTPDeliveryThread& thread = *delivery_threads_[static_cast<size_t>(i - 1)];
    if (!thread.Start()) {
      Error(MainLog(), "could not start remote delivery thread %d, error 0x%08X", i, 0u);
      return false;
    }
    Info(MainLog(), "remote delivery thread %d (id %04X) started", i, thread.GetThreadId());
  }
  Info(MainLog(), "remote delivery threads started");
  return true;
}

bool CDeliveryAgentApp::StopWorker(std::unique_ptr<CThread> worker, const std::string& what,
                                   int state, bool keep_object) {
  const uint32_t id = worker->GetThreadId();
  auto ended = [&worker]() { return worker->IsStopped() || worker->HasEnded(); };
  bool given_up = false;
  if (!worker->Stop(kStopWaitMs) && !ended()) {
    Warning(MainLog(), "stopping %s (id %04X) pending", what.c_str(), id);
    for (int i = 0; i < kStopPolls && !ended(); ++i) {
      ReportStatus(state, 1000);
      kelpd::platform::SleepFor(kStopPollMs);
    }
    ReportStatus(state, 1000);
    if (!ended()) {
      Error(MainLog(), "terminating %s (id %04X)", what.c_str(), id);
      worker->Terminate(0);
      given_up = true;
    }
  }
  if (keep_object)
    (void)worker.release();
  else
    CThread::Dispose(std::move(worker));
  Info(MainLog(), "%s (id %04X) stopped", what.c_str(), id);
  return given_up;
}

bool CDeliveryAgentApp::StopLocalAgent(int state) {
  if (!local_agent_) {
    Error(MainLog(), "local delivery agent not instantiated");
    return false;
  }
  StopWorker(std::move(local_agent_), "local delivery agent", state, false);
  return true;
}

bool CDeliveryAgentApp::StopRemoteAgent(int state) {
  if (!remote_agent_) {
    Error(MainLog(), "remote delivery agent not instantiated");
    return false;
  }
  // A delivery thread that had to be given up may still use the agent, which
  // therefore stays until the process ends.
  StopWorker(std::move(remote_agent_), "remote delivery agent", state, threads_given_up_);
  return true;
}

bool CDeliveryAgentApp::StopDeliveryThreads(int state) {
  if (!have_threads_) {
    Error(MainLog(), "remote delivery threads not instantiated");
    return false;
  }
  for (int i = 1; i <= delivery_thread_count_; ++i) {
    size_t index = static_cast<size_t>(i - 1);
    if (index >= delivery_threads_.size() || !delivery_threads_[index]) {
      // Construction stopped here: no thread follows.
      Error(MainLog(), "remote delivery thread %d not instantiated", i);
      break;
    }
    if (StopWorker(std::move(delivery_threads_[index]),
                   "remote delivery thread " + std::to_string(i), state, false))
      threads_given_up_ = true;
  }
  delivery_threads_.clear();
  delivery_thread_count_ = 0;
  have_threads_ = false;
  Info(MainLog(), "remote delivery threads stopped");
  return true;
}
