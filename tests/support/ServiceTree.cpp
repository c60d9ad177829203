#include "support/ServiceTree.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

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

ServiceTree::ServiceTree(ServiceTreeOptions options) : options_(std::move(options)) {
  if (!options_.debug_mode) {
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
      syslog_thread_ = std::thread([this] { CollectSyslog(); });
    }
  }
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
}

void ServiceTree::CollectSyslog() {
  char buffer[65536];
  while (!syslog_stop_) {
    pollfd p{syslog_fd_, POLLIN, 0};
    if (::poll(&p, 1, 100) != 1) continue;
    ssize_t n = ::recv(syslog_fd_, buffer, sizeof buffer, 0);
    if (n <= 0) continue;
    std::lock_guard<std::mutex> lock(syslog_mutex_);
    syslog_.append(buffer, static_cast<size_t>(n));
    if (syslog_.back() != '\n') syslog_ += '\n';
  }
}

std::string ServiceTree::ConfigText(const std::vector<std::string>& settings) const {
  std::string text = "# written by the system test\n";
  for (const char* key : kDirectoryKeys) text += std::string(key) + ":\t" + dirs_.at(key) + "\n";
  if (syslog_port_ != 0) {
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

void ServiceTree::AddUser(const std::string& name) {
  std::string user_dir = dirs_.at("SpoolDir") + "/" + name;
  fs::create_directories(user_dir);
  std::ofstream(user_dir + "/config") << "NextUID:\t1\n";
  std::ofstream(user_dir + "/password") << "";
}

void ServiceTree::QueueMail(const std::string& name, const std::string& contents) const {
  const std::string queue = dirs_.at("QueueDir");
  const std::string temp = queue + "/.incoming-" + name + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << contents;
  }
  fs::rename(temp, queue + "/" + name);
}

bool ServiceTree::Start(std::string* error, const std::vector<std::string>& wrapper) {
  if (process_.pid() > 0) earlier_log_ += process_.Stderr();
  std::vector<std::string> argv = wrapper;
  // The companion programs (autoresp.exe) are built beside the app folder.
  std::string path = fs::path(options_.binary).parent_path().parent_path().string() + "/companions";
  const char* inherited = std::getenv("PATH");
  path += std::string(":") + (inherited != nullptr ? inherited : "/usr/bin:/bin");
  argv.insert(argv.end(), {"/usr/bin/env", "MAILCONFIGDIR=" + config_dir(),
                           "MAILLOCKDIR=" + lock_dir(), "PATH=" + path, options_.binary});
  if (!wrapper.empty()) {
    // The leak checker cannot work under a tracer such as strace; the other
    // address checks still do.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string value = std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "");
    if (value.back() != '=') value += ':';
    argv.insert(argv.end() - 1, value + "detect_leaks=0");
  }
  if (options_.debug_mode) argv.push_back("-debug");
  return process_.Start(argv, error);
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
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Log().find(needle) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
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
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (EmlFiles(dirs_.at("QueueDir")).empty()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

}  // namespace kelpd::testing
