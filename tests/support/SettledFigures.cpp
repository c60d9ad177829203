#include "support/SettledFigures.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace kelpd::testing {

namespace {

constexpr std::chrono::milliseconds kPollInterval(20);

// Whether an inotify descriptor of process pid watches the directory path.
bool WatchesDirectory(pid_t pid, const std::string& path) {
  struct stat st {};
  if (pid <= 0 || ::stat(path.c_str(), &st) != 0) return false;
  const std::string proc = "/proc/" + std::to_string(pid);
  std::error_code ec;
  for (auto it = fs::directory_iterator(proc + "/fd", ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    std::error_code link_ec;
    if (fs::read_symlink(it->path(), link_ec).string() != "anon_inode:inotify") continue;
    // One line per watch: "inotify wd:1 ino:1f2e sdev:800001 mask:...".
    std::ifstream info(proc + "/fdinfo/" + it->path().filename().string());
    std::string line;
    while (std::getline(info, line)) {
      if (line.rfind("inotify ", 0) != 0) continue;
      size_t at = line.find(" ino:");
      if (at == std::string::npos) continue;
      unsigned long long ino = std::strtoull(line.c_str() + at + 5, nullptr, 16);
      if (ino == static_cast<unsigned long long>(st.st_ino)) return true;
    }
  }
  return false;
}

}  // namespace

ProcessFigures StartedFigures(ServiceTree& tree, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  ProcessFigures failed;
  ProcessFigures previous;
  while (std::chrono::steady_clock::now() < deadline) {
    const pid_t pid = tree.KelpdPid();
    if (pid <= 0) return failed;
    if (WatchesDirectory(pid, tree.config_dir())) {
      ProcessFigures now = ReadProcessFigures(pid);
      // A file still being written (unnamed, shown as deleted) is not part
      // of the started service.
      if (now.threads > 0 && now.threads == previous.threads &&
          now.descriptors == previous.descriptors &&
          now.descriptor_targets.find(" (deleted)") == std::string::npos)
        return now;
      previous = now;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  return failed;
}

ProcessFigures SettledFigures(ServiceTree& tree, const ProcessFigures& before,
                              std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  ProcessFigures now;
  while (true) {
    now = ReadProcessFigures(tree.KelpdPid());
    if (now.threads == before.threads && now.descriptors == before.descriptors) return now;
    if (std::chrono::steady_clock::now() >= deadline) return now;
    std::this_thread::sleep_for(kPollInterval);
  }
}

}  // namespace kelpd::testing
