#include "app/ConfigCheck.h"

#include <cstdio>
#include <map>
#include <string_view>

#include "base/Environment.h"
#include "base/Paths.h"
#include "base/Text.h"
#include "config/Configuration.h"
#include "config/FileFinder.h"
#include "config/Settings.h"
#include "config/StorableFile.h"
#include "dns/ResolverState.h"
#include "local/DirectoryData.h"
#include "local/MailHelpers.h"
#include "log/Syslog.h"
#include "net/AddressOrder.h"
#include "platform/AccessCheck.h"
#include "platform/Files.h"
#include "platform/HostLookup.h"
#include "platform/ServiceFiles.h"
#include "smtp/Routing.h"

namespace kelpd::app {

namespace {

using kelpd::base::kConfigDirVariable;

constexpr size_t kMaxCheckedFile = 16u << 20;

using kelpd::text::EqualsNoCase;
using kelpd::text::Trim;

bool ReadText(const std::string& path, std::string& text) {
  platform::FileStatus status;
  return platform::StatFile(path, status).ok() && status.is_regular &&
         platform::ReadWholeFile(path, status, kMaxCheckedFile, text).ok();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// The line (1-based) on which each key of a key/value file is given; the
// last one where a key is given twice, as the load keeps the later value.
std::map<std::string, int> KeyLines(const std::string& path, bool lower_keys) {
  std::map<std::string, int> lines;
  std::string text;
  if (!ReadText(path, text)) return lines;
  int number = 0;
  for (const std::string& raw : Lines(text)) {
    ++number;
    std::string line = Trim(raw);
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = Trim(std::string_view(line).substr(0, colon));
    if (lower_keys) key = kelpd::text::ToLowerCopy(key);
    if (!key.empty()) lines[key] = number;
  }
  return lines;
}

class Checker {
 public:
  explicit Checker(std::string config_name) : config_name_(std::move(config_name)) {}

  std::vector<CheckProblem> Run() {
    if (!kelpd::base::EnvValue(kConfigDirVariable, config_dir_) || config_dir_.empty()) {
      Add(kConfigDirVariable, 0, "the environment variable is not set");
      return problems_;
    }
    config_path_ = MakePath(config_dir_, config_name_);
    if (!Config().LoadFromEnvDir(config_name_, kConfigDirVariable)) {
      Add(config_path_, 0, "could not load configuration");
      return problems_;
    }
    settings_ = kelpd::config::LoadSettings(Config());
    config_lines_ = KeyLines(config_path_, false);
    CheckDirectories();
    CheckLogSettings();
    CheckAddressFamily();
    CheckLists();
    CheckSmartHosts();
    CheckResolver();
    CheckHelpers();
    return problems_;
  }

 private:
  void Add(const std::string& file, int line, std::string text) {
    problems_.push_back(CheckProblem{file, line, std::move(text)});
  }
  // A problem with a setting of kelpd.cfg, on the setting's line.
  void AddSetting(const std::string& key, std::string text) {
    auto it = config_lines_.find(key);
    Add(config_path_, it == config_lines_.end() ? 0 : it->second, std::move(text));
  }

  void CheckDirectories() {
    const kelpd::config::Settings::Directories& s = settings_.dirs;
    const struct {
      const char* key;
      const std::string& path;
    } dirs[] = {{"QueueDir", s.queue},
                {"SpoolDir", s.spool},
                {"ErrorDir", s.error},
                {"OutgoingDir", s.outgoing},
                {"FilterDir", s.filter}};
    for (const auto& d : dirs) {
      const std::string& path = d.path;
      platform::FileStatus status;
      if (!platform::StatFile(path, status).ok() || !status.is_directory)
        AddSetting(d.key, std::string(d.key) + " \"" + path + "\" is missing or no directory");
      else if (!platform::IsWritableDirectory(path))
        AddSetting(d.key, std::string(d.key) + " \"" + path + "\" is not writable");
    }
  }

  void CheckLogSettings() {
    // The defaults are facilities, so only a value set in the file can fail.
    const kelpd::config::Settings::Logging& log = settings_.log;
    for (auto [key, name] :
         {std::pair{"LogFacility", &log.facility}, {"TrafficLogFacility", &log.traffic_facility}})
      if (!CSyslog::LookupFacility(*name))
        AddSetting(key, std::string(key) + " \"" + *name + "\" is no syslog facility");
  }

  void CheckAddressFamily() {
    const std::string& family = settings_.remote.address_family;
    if (!kelpd::net::ParseAddressOrder(family))
      AddSetting("AddressFamily",
                 "AddressFamily \"" + family + "\" is none of ipv4-first, ipv4, ipv6, ipv6-first");
  }

  void CheckLists() {
    if (!BuildUserList(settings_.dirs.spool))
      AddSetting("SpoolDir", "the user list could not be read");
    if (!Domains().LoadFromEnvDir("domains", kConfigDirVariable))
      Add(MakePath(config_dir_, "domains"), 0, "could not load 'domains'-file");
    // The optional lists: absent is fine, present but unreadable is not.
    int err = 0;
    for (auto [name, list] :
         {std::pair{"backupdomains", &BackupDomains()}, {"filters", &Filters()}}) {
      const std::string path = MakePath(config_dir_, name);
      if (!list->LoadFromEnvDir(name, kConfigDirVariable) && platform::PathExists(path, &err))
        Add(path, 0, std::string("could not load '") + name + "'-file");
    }
    const std::string aliases = MakePath(config_dir_, "aliases");
    if (!Aliases().LoadFromEnvDir("aliases", kConfigDirVariable)) {
      Add(aliases, 0, "could not load 'aliases'-file");
    } else {
      std::map<std::string, int> lines = KeyLines(aliases, true);
      for (const FaultyAlias& f : GetFaultyAliases()) {
        auto it = lines.find(f.key);
        Add(aliases, it == lines.end() ? 0 : it->second,
            "faulty alias \"" + f.key + "\" -> \"" + f.target + "\": " + f.reason);
      }
    }
    const std::string& mask_file = settings_.dirs.mask_file;
    if (!mask_file.empty() && !Masquerading().Load(mask_file))
      AddSetting("MaskFile", "MaskFile \"" + mask_file + "\" could not be loaded");
  }

  void CheckSmartHosts() {
    const std::string path = MakePath(config_dir_, "smarthosts");
    int err = 0;
    if (!platform::PathExists(path, &err)) return;
    if (!SmartHosts().LoadFromEnvDir("smarthosts", kConfigDirVariable)) {
      Add(path, 0, "could not load 'smarthosts'-file");
      return;
    }
    std::map<std::string, int> lines = KeyLines(path, false);
    CConfigMap& map = SmartHosts();
    std::lock_guard<std::recursive_mutex> lock(map.Section());
    for (const auto& [key, value] : map.Items()) {
      auto it = lines.find(key);
      const int line = it == lines.end() ? 0 : it->second;
      size_t start = 0;
      while (start <= value.size()) {
        size_t comma = value.find(',', start);
        if (comma == std::string::npos) comma = value.size();
        std::string entry = Trim(std::string_view(value).substr(start, comma - start));
        start = comma + 1;
        if (entry.empty()) continue;
        kelpd::smtp::HostEntry host;
        kelpd::smtp::ParseHostEntry(entry, host);
        if (host.host.empty() || host.port == 0 ||
            host.host.find_first_of(" \t") != std::string::npos)
          Add(path, line,
              "smarthost entry \"" + entry + "\" of \"" + key +
                  "\" does not parse as [user:password@]host[:port]");
      }
    }
  }

  void CheckResolver() {
    const std::string path = MakePath(config_dir_, "resolv.conf");
    int servers = 0;
    int err = 0;
    if (platform::PathExists(path, &err)) {
      std::string text;
      if (!ReadText(path, text)) {
        Add(path, 0, "the resolver configuration could not be read");
        return;
      }
      int number = 0;
      for (const std::string& raw : Lines(text)) {
        ++number;
        if (raw.rfind("nameserver", 0) != 0) continue;
        const std::string address = Trim(std::string_view(raw).substr(10));
        if (platform::ParseIPv4(address))
          ++servers;
        else
          Add(path, number, "name server \"" + address + "\" is no IPv4 address");
      }
    }
    if (servers > 0 || !settings_.service.auto_transport) return;
    std::string platform_text;
    const std::string platform_conf = kelpd::dns::GetResolverTestSettings().platform_conf_path;
    if (ReadText(platform_conf, platform_text) &&
        !kelpd::dns::ParsePlatformResolvConf(platform_text).servers.empty())
      return;
    Add(path, 0, "no name server: neither this file nor " + platform_conf + " names one");
  }

  // A helper program the service would start, looked for where it looks.
  void NeedProgram(const char* name, const std::string& file, int line, const char* why) {
    for (const std::string& candidate : ProgramCandidates(name))
      if (platform::IsExecutableFile(candidate)) return;
    Add(file, line, std::string("helper program \"") + name + "\" not found (" + why + ")");
  }

  void CheckHelpers() {
    if (settings_.service.auto_transport && !settings_.bounce.disable)
      NeedProgram("autoresp.exe", config_path_, 0, "it returns given-up mail");
    // Each account's settings file may ask for the tagger or the responder.
    const std::string& spool = settings_.dirs.spool;
    CFileFinder finder(MakePath(spool, "*"));
    while (finder.FindNext()) {
      const std::string name = finder.GetFileName();
      if (!finder.IsDirectory() || name.empty() || name[0] == '.') continue;
      const std::string file = MakePath(MakePath(spool, name), "config");
      std::map<std::string, int> lines = KeyLines(file, false);
      if (lines.empty()) continue;
      CConfigMap account;
      if (!account.Load(file)) continue;
      if (account.GetInt("RunAntiSpam", 0) != 0)
        NeedProgram("junkscan.exe", file, lines["RunAntiSpam"], "RunAntiSpam is on");
      if (account.GetInt("RunReply", 0) != 0)
        NeedProgram("autoresp.exe", file, lines["RunReply"], "RunReply is on");
    }
  }

  std::string config_name_;
  std::string config_dir_;
  std::string config_path_;
  kelpd::config::Settings settings_;
  std::map<std::string, int> config_lines_;
  std::vector<CheckProblem> problems_;
};

}  // namespace

std::vector<CheckProblem> CheckConfiguration(const std::string& config_name) {
  return Checker(config_name).Run();
}

int RunConfigCheck(int argc, char** argv) {
  std::string config_name = "kelpd.cfg";
  for (int i = 2; i + 1 < argc; ++i) {
    if (EqualsNoCase(argv[i], "-c")) config_name = argv[i + 1];
  }
  std::vector<CheckProblem> problems = CheckConfiguration(config_name);
  for (const CheckProblem& p : problems) {
    if (p.line > 0)
      std::printf("%s:%d: %s\n", p.file.c_str(), p.line, p.text.c_str());
    else
      std::printf("%s: %s\n", p.file.c_str(), p.text.c_str());
  }
  if (problems.empty()) std::printf("configuration checked, no problems found\n");
  std::fflush(stdout);
  return problems.empty() ? 0 : 1;
}

}  // namespace kelpd::app
