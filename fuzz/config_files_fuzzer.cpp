// Loads arbitrary bytes as each kind of list and configuration file: a map of
// "key: value" lines (with and without kept comments, and with '=' as the
// separator), the configuration object with its typed reads, and a list of
// one entry per line. Every file that loads is saved and loaded again, and
// the second load must hold exactly the entries of the first: a save that
// loses or changes an entry would corrupt the administrator's lists.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "config/ConfigMap.h"
#include "config/StorableList.h"
#include "config/StorableMap.h"
#include "config/StringListEx.h"

namespace {

// The scratch directory, removed when the fuzzer ends.
struct ScratchDir {
  std::filesystem::path dir;
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

const std::string& ScratchPath() {
  static ScratchDir scratch;
  static const std::string path = [] {
    // In memory where there is such a file system: saves sync their files.
    std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                     ? std::filesystem::path("/dev/shm")
                                     : std::filesystem::temp_directory_path();
    auto dir = base / ("kelpd-config-fuzz-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    scratch.dir = dir;
    return (dir / "list").string();
  }();
  return path;
}

void WriteScratch(const uint8_t* data, size_t size) {
  std::ofstream out(ScratchPath(), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) std::abort();
}

std::map<std::string, std::string> Entries(CStorableMap& map) {
  std::map<std::string, std::string> entries;
  std::lock_guard<std::recursive_mutex> lock(map.Section());
  for (const auto& [key, value] : map.Items()) entries[key] = value;
  return entries;
}

std::vector<std::string> Entries(CStorableList& list) {
  std::vector<std::string> entries;
  auto pos = list.GetHeadPosition();
  while (pos) entries.push_back(list.GetNext(pos));
  return entries;
}

void CheckMap(const uint8_t* data, size_t size, char separator, bool keep_comments) {
  WriteScratch(data, size);
  CStorableMap map;
  map.SetSeparator(separator);
  map.SetKeepComments(keep_comments);
  if (!map.Load(ScratchPath())) return;
  const auto first = Entries(map);
  for (const auto& [key, value] : first) {
    if (key.empty() || value.empty()) std::abort();
    if (key.find(separator) != std::string::npos) std::abort();
  }
  if (!map.Save()) std::abort();
  CStorableMap again;
  again.SetSeparator(separator);
  again.SetKeepComments(keep_comments);
  if (!again.Load(ScratchPath())) std::abort();
  if (Entries(again) != first) std::abort();
}

void CheckConfig(const uint8_t* data, size_t size) {
  WriteScratch(data, size);
  CConfigMap config;
  if (!config.Load(ScratchPath())) return;
  for (const auto& [key, value] : Entries(config)) {
    if (config.GetString(key, "absent") != value) std::abort();
    (void)config.GetInt(key, -1);
    CStringListEx parts;
    config.GetList(key, parts);
  }
  (void)config.GetInt("AutoTransport.Threads", 4);
}

void CheckList(const uint8_t* data, size_t size, bool keep_comments) {
  WriteScratch(data, size);
  CStorableList list;
  list.SetKeepComments(keep_comments);
  if (!list.Load(ScratchPath())) return;
  const auto first = Entries(list);
  for (const std::string& entry : first) {
    if (entry.empty() || entry.find('\n') != std::string::npos) std::abort();
  }
  if (!list.Save()) std::abort();
  CStorableList again;
  again.SetKeepComments(keep_comments);
  if (!again.Load(ScratchPath())) std::abort();
  if (Entries(again) != first) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckMap(data, size, ':', true);
  CheckMap(data, size, ':', false);
  CheckMap(data, size, '=', true);
  CheckConfig(data, size);
  CheckList(data, size, true);
  CheckList(data, size, false);
  return 0;
}
