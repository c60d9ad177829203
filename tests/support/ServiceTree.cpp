#include "support/ServiceTree.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/WaitFor.h"

namespace fs = std::filesystem;

namespace kelpd::testing {

namespace {

const char* const kDirectoryKeys[] = {"QueueDir", "SpoolDir", "ErrorDir", "OutgoingDir",
                                      "FilterDir"};

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

long StatusField(const std::string& status, const std::string& name) {
  size_t at = status.find("\n" + name + ":");
  if (at == std::string::npos) return -1;
  return std::strtol(status.c_str() + at + name.size() + 2, nullptr, 10);
}

// The first child of pid, for a wrapper that has started kelpd.
pid_t FirstChild(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  long child = -1;
  if (in >> child) return static_cast<pid_t>(child);
  return -1;
}

}  // namespace

ProcessFigures ReadProcessFigures(pid_t pid) {
  ProcessFigures figures;
  if (pid <= 0) return figures;
  std::string status = "\n" + ReadFile("/proc/" + std::to_string(pid) + "/status");
  figures.peak_rss_kb = StatusField(status, "VmHWM");
  figures.rss_kb = StatusField(status, "VmRSS");
  figures.threads = static_cast<int>(StatusField(status, "Threads"));
  std::error_code ec;
  int count = 0;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec))
    ++count;
  if (!ec) figures.descriptors = count;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::string comm = ReadFile(it->path().string() + "/comm");
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    figures.thread_names += it->path().filename().string() + ":" + comm + " ";
  }
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::error_code link_ec;
    figures.descriptor_targets += it->path().filename().string() + "->" +
                                  fs::read_symlink(it->path(), link_ec).string() + " ";
  }
  return figures;
}

std::vector<std::string> ListNames(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (!name.empty() && name[0] != '.') names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

ServiceTree::ServiceTree(ServiceTreeOptions options) : options_(std::move(options)) {
  if (options_.notify) {
    const std::string path = dir_.Join("notify");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    notify_fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (path.size() < sizeof addr.sun_path) path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    if (notify_fd_ >= 0 &&
        (path.size() >= sizeof addr.sun_path ||
         ::bind(notify_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)) {
      ::close(notify_fd_);
      notify_fd_ = -1;
    }
  }
  if (!options_.debug_mode || options_.notify) {
    syslog_fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (syslog_fd_ >= 0 &&
        ::bind(syslog_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(syslog_fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
      syslog_port_ = ntohs(addr.sin_port);
      int size = 4 << 20;
      ::setsockopt(syslog_fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
  }
  if (syslog_port_ != 0 || notify_fd_ >= 0)
    syslog_thread_ = std::thread([this] { CollectSyslog(); });
  dirs_ = {{"QueueDir", dir_.MakeDir("queue")},
           {"SpoolDir", dir_.MakeDir("spool")},
           {"ErrorDir", dir_.MakeDir("error")},
           {"OutgoingDir", dir_.MakeDir("outgoing")},
           {"FilterDir", dir_.MakeDir("filtered")}};
  dir_.MakeDir("config");
  dir_.MakeDir("lock");
  for (const std::string& user : options_.users) AddUser(user);
  WriteList("domains", Joined(options_.domains));
  WriteList("backupdomains", options_.backupdomains);
  WriteList("aliases", options_.aliases);
  WriteList("filters", options_.filters);
  WriteList("smarthosts", options_.smarthosts);
  WriteConfiguration(options_.settings);
}

ServiceTree::~ServiceTree() {
  process_.Stop(std::chrono::milliseconds(3000));
  syslog_stop_ = true;
  if (syslog_thread_.joinable()) syslog_thread_.join();
  if (syslog_fd_ >= 0) ::close(syslog_fd_);
  if (notify_fd_ >= 0) ::close(notify_fd_);
}

// Collects the syslog datagrams and the status notifications.
void ServiceTree::CollectSyslog() {
  char buffer[65536];
  while (!syslog_stop_) {
    pollfd p[2] = {{syslog_port_ != 0 ? syslog_fd_ : -1, POLLIN, 0}, {notify_fd_, POLLIN, 0}};
    if (::poll(p, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (p[i].revents == 0) continue;
      ssize_t n = ::recv(p[i].fd, buffer, sizeof buffer, 0);
      if (n <= 0) continue;
      std::lock_guard<std::mutex> lock(syslog_mutex_);
      std::string datagram(buffer, static_cast<size_t>(n));
      if (i == 1) {
        notify_.push_back(datagram);
        continue;
      }
      syslog_ += datagram;
      if (syslog_.back() != '\n') syslog_ += '\n';
      if (datagram.back() == '\n') datagram.pop_back();
      syslog_datagrams_.push_back(datagram);
    }
  }
}

std::vector<std::string> ServiceTree::SyslogDatagrams() {
  std::lock_guard<std::mutex> lock(syslog_mutex_);
  return syslog_datagrams_;
}

std::vector<std::string> ServiceTree::NotifyMessages() {
  std::lock_guard<std::mutex> lock(syslog_mutex_);
  return notify_;
}

std::string ServiceTree::NextNotify(std::chrono::milliseconds timeout) {
  std::string next;
  WaitFor(
      [&] {
        std::lock_guard<std::mutex> lock(syslog_mutex_);
        if (notify_taken_ >= notify_.size()) return false;
        next = notify_[notify_taken_++];
        return true;
      },
      timeout, std::chrono::milliseconds(5));
  return next;
}

std::string ServiceTree::ConfigText(const std::vector<std::string>& settings) const {
  std::string text = "# written by the system test\n";
  for (const char* key : kDirectoryKeys) text += std::string(key) + ":\t" + dirs_.at(key) + "\n";
  if (syslog_port_ != 0 && !options_.debug_mode) {
    for (const char* prefix : {"", "Traffic"}) {
      text += std::string(prefix) + "LogHost:\t127.0.0.1\n";
      text += std::string(prefix) + "LogPort:\t" + std::to_string(syslog_port_) + "\n";
    }
  }
  return text + Joined(settings);
}

void ServiceTree::WriteConfiguration(const std::vector<std::string>& settings) {
  options_.settings = settings;
  dir_.WriteFile("config/kelpd.cfg.tmp", ConfigText(settings));
  fs::rename(dir_.Join("config/kelpd.cfg.tmp"), dir_.Join("config/kelpd.cfg"));
}

void ServiceTree::SetDirectory(const std::string& key, const std::string& path) {
  dirs_[key] = path;
  WriteConfiguration(options_.settings);
}

void ServiceTree::WriteList(const std::string& name, const std::string& contents) const {
  dir_.WriteFile("config/" + name + ".tmp", contents);
  fs::rename(dir_.Join("config/" + name + ".tmp"), dir_.Join("config/" + name));
}

std::string ServiceTree::AddUser(const std::string& name, const char* settings) const {
  std::string user_dir = dirs_.at("SpoolDir") + "/" + name;
  fs::create_directories(user_dir);
  if (settings != nullptr) std::ofstream(user_dir + "/config") << settings;
  std::ofstream(user_dir + "/password") << "secret\n";
  return user_dir;
}

std::string ServiceTree::InstallProgram(const std::string& name, const std::string& script) {
  bin_dir_ = dir_.MakeDir("bin");
  const std::string path = dir_.WriteFile("bin/" + name, script);
  fs::permissions(path, fs::perms::owner_all);
  return path;
}

std::string ServiceTree::QueueMail(const std::string& name, const std::string& contents) const {
  return PlaceMail(dirs_.at("QueueDir"), name, contents);
}

std::string ServiceTree::PlaceMail(const std::string& dir, const std::string& name,
                                   const std::string& contents) const {
  const std::string temp = dir + "/.incoming-" + fs::path(name).filename().string() + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << contents;
  }
  fs::rename(temp, dir + "/" + name);
  return dir + "/" + name;
}

bool ServiceTree::Start(std::string* error, const std::vector<std::string>& wrapper) {
  earlier_log_ += process_.Stderr();
  std::vector<std::string> argv = wrapper;
  // The companion programs (autoresp.exe) are built beside the app folder.
  std::string path = fs::path(options_.binary).parent_path().parent_path().string() + "/companions";
  if (!bin_dir_.empty()) path = bin_dir_ + ":" + path;
  const char* inherited = std::getenv("PATH");
  path += std::string(":") + (inherited != nullptr ? inherited : "/usr/bin:/bin");
  argv.push_back("/usr/bin/env");
  for (const std::string& name : options_.unset_environment) argv.insert(argv.end(), {"-u", name});
  argv.insert(argv.end(), {"-u", "NOTIFY_SOCKET"});
  const auto& unset = options_.unset_environment;
  for (const std::string& entry : {"MAILCONFIGDIR=" + config_dir(), "MAILLOCKDIR=" + lock_dir()})
    if (std::find(unset.begin(), unset.end(), entry.substr(0, entry.find('='))) == unset.end())
      argv.push_back(entry);
  argv.push_back("PATH=" + path);
  if (notify_fd_ >= 0 && !options_.debug_mode)
    argv.push_back("NOTIFY_SOCKET=" + dir_.Join("notify"));
  argv.insert(argv.end(), options_.environment.begin(), options_.environment.end());
  argv.push_back(options_.binary);
  if (!wrapper.empty()) {
    // The leak checker cannot work under a tracer such as strace; the other
    // address checks still do.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string value = std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "");
    if (value.back() != '=') value += ':';
    argv.insert(argv.end() - 1, value + "detect_leaks=0");
  }
  argv.insert(argv.end(), options_.arguments.begin(), options_.arguments.end());
  if (options_.debug_mode) argv.push_back("-debug");
  return process_.Start(argv, error, options_.terminal_input);
}

bool ServiceTree::WaitOperational(std::chrono::milliseconds timeout) {
  // Only this run's line counts.
  if (options_.debug_mode) return process_.WaitForStderr("launched and fully operational", timeout);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    {
      std::lock_guard<std::mutex> lock(syslog_mutex_);
      size_t at = syslog_.find("launched and fully operational", operational_seen_);
      if (at != std::string::npos) {
        operational_seen_ = at + 1;
        return true;
      }
    }
    if (std::chrono::steady_clock::now() >= deadline || !process_.Running()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool ServiceTree::WaitForLog(const std::string& needle, std::chrono::milliseconds timeout) {
  return WaitFor([&] { return Log().find(needle) != std::string::npos; }, timeout,
                 std::chrono::milliseconds(50));
}

int ServiceTree::CountInLog(const std::string& needle) {
  const std::string log = Log();
  int n = 0;
  for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++n;
  return n;
}

pid_t ServiceTree::KelpdPid() {
  if (!process_.Running()) return -1;
  pid_t pid = process_.pid();
  // Behind a wrapper, kelpd is the wrapper's child; env replaces itself.
  for (int i = 0; i < 50; ++i) {
    std::string exe;
    std::error_code ec;
    exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).string();
    if (!ec && fs::path(exe).filename() == fs::path(options_.binary).filename()) return pid;
    pid_t child = FirstChild(pid);
    if (child > 0) {
      exe = fs::read_symlink("/proc/" + std::to_string(child) + "/exe", ec).string();
      if (!ec && fs::path(exe).filename() == fs::path(options_.binary).filename()) return child;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

bool ServiceTree::Running() { return process_.Running(); }

void ServiceTree::Signal(int sig) {
  pid_t pid = KelpdPid();
  if (pid > 0) ::kill(pid, sig);
}

void ServiceTree::Kill() {
  pid_t pid = KelpdPid();
  if (pid > 0) ::kill(pid, SIGKILL);
  // Helper programs it started belong to the same process group.
  if (process_.pid() > 0) KillProcessGroup(process_.pid(), std::chrono::seconds(10));
  process_.WaitExit(std::chrono::seconds(10));
}

int ServiceTree::Stop(std::chrono::milliseconds timeout) {
  Signal(options_.debug_mode ? SIGINT : SIGTERM);
  int code = process_.WaitExit(timeout);
  if (code == -1) Kill();
  return code;
}

std::string ServiceTree::Log() {
  std::string log = earlier_log_ + process_.Stderr();
  std::lock_guard<std::mutex> lock(syslog_mutex_);
  return syslog_ + log;
}

std::vector<std::string> ServiceTree::EmlFiles(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".eml") == 0 && it->is_regular_file(ec))
      names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> ServiceTree::MailboxFiles(const std::string& user) const {
  return EmlFiles(dirs_.at("SpoolDir") + "/" + user);
}

std::vector<std::string> ServiceTree::AllMailboxFiles() const {
  std::vector<std::string> paths;
  std::error_code ec;
  for (auto it = fs::directory_iterator(dirs_.at("SpoolDir"), ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
    if (!it->is_directory(ec)) continue;
    for (const std::string& name : EmlFiles(it->path().string()))
      paths.push_back(it->path().string() + "/" + name);
  }
  return paths;
}

bool ServiceTree::WaitQueueEmpty(std::chrono::milliseconds timeout) const {
  return WaitFor([&] { return EmlFiles(dirs_.at("QueueDir")).empty(); }, timeout,
                 std::chrono::milliseconds(100));
}

}  // namespace kelpd::testing
