#include "core/Service.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "base/Environment.h"
#include "base/Paths.h"
#include "base/Text.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/ServiceFiles.h"
#include "platform/Signals.h"
#include "platform/SystemdNotify.h"

namespace {

constexpr char kSource[] = "Common\\Service";

constexpr char kDefaultUnitDir[] = "/etc/systemd/system";
// A stop of the service may take about a minute per worker.
constexpr int kSystemctlStopLimitMs = 10 * 60 * 1000;
constexpr int kSystemctlLimitMs = 60 * 1000;

constexpr int kErrnoNoTty = 25;    // ENOTTY: standard input is a terminal
constexpr int kErrnoExists = 17;   // EEXIST
constexpr int kErrnoInvalid = 22;  // EINVAL

std::atomic<CService*> g_instance{nullptr};

std::string UnitDir() { return kelpd::base::EnvValueOr("KELPD_UNIT_DIR", kDefaultUnitDir); }

bool HasControlCharacter(const std::string& s) {
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// '%' starts a specifier and '$' a variable in unit files; both are doubled
// so that the text reaches the program unchanged.
std::string EscapeUnitText(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '%' || c == '$') out += c;
    out += c;
  }
  return out;
}

// A C-style quoted word of a unit file.
std::string QuoteUnitWord(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '%' || c == '$') out += c;
    out += c;
  }
  return out + "\"";
}

std::string EnvironmentLine(const std::string& config_dir) {
  std::string assignment = "MAILCONFIGDIR=" + config_dir;
  bool plain = true;
  for (char c : config_dir) {
    if (c == ' ' || c == '"' || c == '\\' || c == '\'') plain = false;
  }
  return "Environment=" + (plain ? EscapeUnitText(assignment) : QuoteUnitWord(assignment)) + "\n";
}

std::string SystemctlPath() {
  int error;
  if (kelpd::platform::PathExists("/usr/bin/systemctl", &error)) return "/usr/bin/systemctl";
  return "/bin/systemctl";
}

// Runs systemctl with args; its exit code, or -1 with *error set when it
// could not be started or did not end in time.
int RunSystemctl(std::vector<std::string> args, int limit_ms, int* error) {
  args.insert(args.begin(), SystemctlPath());
  kelpd::platform::SpawnOptions options;
  options.argv = std::move(args);
  kelpd::platform::ChildProcess child;
  if (!child.Start(options, error)) return -1;
  if (child.Wait(limit_ms) != kelpd::platform::ChildProcess::WaitResult::kExited) {
    child.Kill();
    *error = 110;  // ETIMEDOUT
    return -1;
  }
  return child.exit_code();
}

}  // namespace

CService::CService(std::string display_name, std::string short_name,
                   std::vector<std::string> dependencies)
    : display_name_(std::move(display_name)),
      short_name_(std::move(short_name)),
      dependencies_(std::move(dependencies)) {
  g_instance.store(this);
}

CService::~CService() {
  CService* self = this;
  g_instance.compare_exchange_strong(self, nullptr);
}

CService* CService::Instance() { return g_instance.load(); }

int CService::Run() {
  while (run_event_.IsSet()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return 0;
}

void CService::WaitUntilStopped() {
  while (!stopped_event_.Wait(100)) {
  }
}

int CService::Main(int argc, char** argv) {
  argc_ = argc;
  argv_ = argv;
  if (argc > 1) {
    std::string first = argv[1];
    if (kelpd::text::EqualsNoCase(first, "-install")) {
      if (argc >= 5) return Install(argv[2], argv[3], argv[4]);
      return Install(short_name_, display_name_, "");
    }
    if (kelpd::text::EqualsNoCase(first, "-uninstall")) {
      return Uninstall(argc >= 3 ? argv[2] : short_name_);
    }
    if (kelpd::text::EqualsNoCase(first, "-debug")) return RunDebug();
    if (first == "-?") {
      Usage();
      std::fflush(stdout);
      return 0;
    }
  }
  // As a service: only when a service manager started us. Started from a
  // terminal, there is no manager to connect to.
  if (!kelpd::platform::NotifySocketConfigured() && kelpd::platform::StdinIsTerminal()) {
    std::fprintf(stderr, "StartServiceCtrlDispatcher failed in %s:%d with error %d\n", kSource,
                 __LINE__, kErrnoNoTty);
    return 1;
  }
  return RunService();
}

bool CService::ReportStatus(int state, int wait_hint_ms) {
  if (state == 0 || status_settled_event_.IsSet() || debug_) return true;
  current_state_.store(state);
  std::string extend;
  if (wait_hint_ms > 0) {
    extend = "\nEXTEND_TIMEOUT_USEC=" + std::to_string(static_cast<long long>(wait_hint_ms) * 1000);
  }
  std::string message;
  switch (state) {
    case kStartPending:
      message = "STATUS=starting" + extend;
      break;
    case kRunning:
      message = "READY=1\nSTATUS=running";
      break;
    case kStopPending:
      message = "STOPPING=1" + extend;
      break;
    case kPausePending:
      message = "STATUS=pausing" + extend;
      break;
    case kPaused:
      message = "STATUS=paused";
      break;
    case kContinuePending:
      message = "STATUS=continuing" + extend;
      break;
    case kStopped:
      message = "STATUS=stopped";
      break;
    default:
      return false;
  }
  return kelpd::platform::SystemdNotify(message);
}

void CService::Control(int code) {
  status_settled_event_.Reset();
  switch (code) {
    case kControlStop:
    case kControlShutdown:
      stopping_.store(true);
      ReportStatus(kStopPending, 1000);
      run_event_.Reset();
      if (code == kControlStop) {
        OnStop();
      } else {
        OnShutdown();
      }
      stopped_event_.Set();
      break;
    case kControlPause:
      ReportStatus(kPausePending, 1000);
      OnPause();
      pause_event_.Set();
      ReportStatus(kPaused, 0);
      break;
    case kControlContinue:
      ReportStatus(kContinuePending, 1000);
      OnContinue();
      pause_event_.Reset();
      ReportStatus(kRunning, 0);
      break;
    case kControlInterrogate:
      ReportStatus(current_state_.load(), 0);
      break;
    default:
      // The control runs with the status settled, so its own reports go
      // nowhere; the state is reported once its work is done: after a
      // restart the manager hears "ready" only when the workers run again.
      status_settled_event_.Set();
      OnUserControl(code);
      status_settled_event_.Reset();
      ReportStatus(current_state_.load(), 0);
      break;
  }
  status_settled_event_.Set();
}

int CService::RunDebug() {
  using kelpd::platform::ControlSignal;
  debug_ = true;
  // Ctrl+C and Ctrl+\ are the stop control; SIGTERM and SIGHUP keep their
  // default course (the process ends without the stop sequence).
  kelpd::platform::BlockControlSignals({ControlSignal::kInterrupt, ControlSignal::kQuit});
  if (!OnInit()) return 1;
  run_event_.Set();
  kelpd::platform::ControlSignalThread control;
  control.Start({ControlSignal::kInterrupt, ControlSignal::kQuit}, [this](ControlSignal) {
    if (!stopping_.load()) Control(kControlStop);
  });
  int result = Run();
  WaitUntilStopped();
  control.Stop();
  return result;
}

int CService::RunService() {
  using kelpd::platform::ControlSignal;
  // Blocked before any thread starts, so that only the control thread takes
  // them. Controls that arrive during start-up wait until it is over.
  kelpd::platform::BlockControlSignals({ControlSignal::kTerminate, ControlSignal::kInterrupt,
                                        ControlSignal::kHangup, ControlSignal::kUser1,
                                        ControlSignal::kUser2});
  int exit_code = 1;  // a start-up that fails must show as a failure
  if (ReportStatus(kStartPending, 1000)) {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    status_settled_event_.Reset();
    if (OnInit()) {
      run_event_.Set();
      ReportStatus(kRunning, 0);
      status_settled_event_.Set();
      kelpd::platform::ControlSignalThread control;
      control.Start({ControlSignal::kTerminate, ControlSignal::kInterrupt, ControlSignal::kHangup,
                     ControlSignal::kUser1, ControlSignal::kUser2},
                    [this](ControlSignal s) {
                      uint32_t accepted = accepted_controls_.load();
                      switch (s) {
                        case ControlSignal::kTerminate:
                        case ControlSignal::kInterrupt:
                          // systemd sends SIGTERM for a stop and for system
                          // shutdown alike; both are a stop here.
                          if (!stopping_.load() && (accepted & kAcceptStop)) Control(kControlStop);
                          break;
                        case ControlSignal::kUser1:
                          if (!stopping_.load() && (accepted & kAcceptPauseContinue) &&
                              !pause_event_.IsSet()) {
                            Control(kControlPause);
                          }
                          break;
                        case ControlSignal::kUser2:
                          if (!stopping_.load() && (accepted & kAcceptPauseContinue) &&
                              pause_event_.IsSet()) {
                            Control(kControlContinue);
                          }
                          break;
                        case ControlSignal::kHangup:
                          if (stopping_.load()) break;
                          kelpd::platform::SystemdNotify("RELOADING=1");
                          Control(kControlRestart);
                          // Control reported the state after the restart; a
                          // paused service has finished reloading too.
                          if (current_state_.load() != kRunning)
                            kelpd::platform::SystemdNotify("READY=1");
                          break;
                        case ControlSignal::kQuit:
                          break;
                      }
                    });
      int result = Run();
      // A non-zero result of the run is the service's own error code; it
      // becomes the exit status, so that systemd sees the service failed.
      exit_code = result == 0 ? 0 : ((result & 0xFF) != 0 ? (result & 0xFF) : 1);
      WaitUntilStopped();
      control.Stop();
    }
  }
  status_settled_event_.Reset();
  ReportStatus(kStopped, 0);
  return exit_code;
}

int CService::Install(const std::string& short_name, const std::string& display_name,
                      const std::string& params) {
  const char* shown = display_name.c_str();
  std::string dir = UnitDir();
  std::string unit_name = short_name + ".service";
  std::string unit_path = MakePath(dir, unit_name);
  int error = 0;
  if (kelpd::platform::PathExists(unit_path, &error)) {
    std::fprintf(stderr, "Unable to install %s. Service is already installed. Code = %d\n",
                 display_name_.c_str(), kErrnoExists);
    return 0;
  }
  std::string program;
  if (!kelpd::platform::OwnExecutablePath(&program, &error)) {
    std::fprintf(stderr, "Unable to install %s. Could not get the module file name. Code = %d\n",
                 shown, error);
    return 0;
  }
  if (!kelpd::platform::CheckDirectory(dir, &error)) {
    std::fprintf(stderr,
                 "Unable to install %s. Could not open the service control manager. Code = %d\n",
                 shown, error);
    return 0;
  }
  const std::string config_dir = kelpd::base::ConfigDirectory();
  bool valid = !short_name.empty() && short_name.find('/') == std::string::npos &&
               !HasControlCharacter(short_name) && !HasControlCharacter(display_name) &&
               !HasControlCharacter(params) && !HasControlCharacter(program) &&
               !HasControlCharacter(config_dir);
  if (!valid) {
    std::fprintf(stderr, "Unable to install %s. Could not create the service entry. Code = %d\n",
                 shown, kErrnoInvalid);
    return 0;
  }
  std::string unit = "[Unit]\nDescription=" + EscapeUnitText(display_name) + "\n";
  if (!dependencies_.empty()) {
    std::string list;
    for (const std::string& d : dependencies_) list += (list.empty() ? "" : " ") + d + ".service";
    unit += "Requires=" + list + "\nAfter=" + list + "\n";
  }
  unit += "\n[Service]\nType=notify\nExecStart=" + QuoteUnitWord(program);
  if (!params.empty()) unit += " " + EscapeUnitText(params);
  unit += "\nExecReload=/bin/kill -HUP $MAINPID\n";
  unit += EnvironmentLine(config_dir);
  unit += "StandardOutput=null\nTimeoutStopSec=300\nKillMode=process\n";
  unit += "\n[Install]\nWantedBy=multi-user.target\n";
  if (!kelpd::platform::CreateWholeFile(dir, unit_name, unit, &error)) {
    std::fprintf(stderr, "Unable to install %s. Could not create the service entry. Code = %d\n",
                 shown, error);
    return 0;
  }
  std::printf("%s installed.\n", shown);
  std::fflush(stdout);
  if (kelpd::platform::SystemdIsRunningInit()) {
    RunSystemctl({"daemon-reload"}, kSystemctlLimitMs, &error);
    RunSystemctl({"enable", unit_name}, kSystemctlLimitMs, &error);
  }
  OnInstalled();
  return 0;
}

int CService::Uninstall(const std::string& short_name) {
  const char* shown = display_name_.c_str();
  std::string dir = UnitDir();
  std::string unit_name = short_name + ".service";
  std::string unit_path = MakePath(dir, unit_name);
  int error = 0;
  if (short_name.find('/') != std::string::npos) {
    std::fprintf(stderr,
                 "Unable to remove %s. You have no priviledges or the service is not installed. "
                 "Code = %d\n",
                 shown, kErrnoInvalid);
    return 0;
  }
  if (!kelpd::platform::CanOpenForReading(unit_path, &error)) {
    std::fprintf(stderr,
                 "Unable to remove %s. You have no priviledges or the service is not installed. "
                 "Code = %d\n",
                 shown, error);
    return 0;
  }
  bool systemd = kelpd::platform::SystemdIsRunningInit();
  if (systemd &&
      RunSystemctl({"is-active", "--quiet", unit_name}, kSystemctlLimitMs, &error) == 0) {
    std::printf("Stopping %s....\n", shown);
    std::fflush(stdout);
    int rc = RunSystemctl({"stop", unit_name}, kSystemctlStopLimitMs, &error);
    if (rc != 0) {
      // systemctl's own exit status when it ran and failed.
      std::fprintf(stderr, "Unable to remove %s. Could not stop the service. Code = %d\n", shown,
                   rc < 0 ? error : rc);
      return 0;
    }
  }
  if (!kelpd::platform::CheckDirectory(dir, &error)) {
    std::fprintf(stderr,
                 "Unable to remove %s. Could not open the service control manager. Code = %d\n",
                 shown, error);
    return 0;
  }
  if (!kelpd::platform::CanOpenForReading(unit_path, &error)) {
    std::fprintf(stderr, "Unable to remove %s. Could not open the service entry %s. Code = %d\n",
                 shown, short_name.c_str(), error);
    return 0;
  }
  if (systemd) RunSystemctl({"disable", unit_name}, kSystemctlLimitMs, &error);
  if (const auto removed = kelpd::platform::RemoveFile(unit_path); !removed.ok()) {
    std::fprintf(stderr, "Unable to remove %s. Could not delete the service. Code = %d\n", shown,
                 removed.error());
    return 0;
  }
  std::printf("%s removed.\n", shown);
  std::fflush(stdout);
  if (systemd) RunSystemctl({"daemon-reload"}, kSystemctlLimitMs, &error);
  OnUninstalled();
  return 0;
}
