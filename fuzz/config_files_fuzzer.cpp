// Loads arbitrary bytes as one kind of list or configuration file, picked by
// the first byte: a map of "key: value" lines (with and without kept
// comments, and with '=' as the separator), the configuration object with its
// typed reads, or a list of one entry per line (with and without kept
// comments). One load of one kind per input keeps the fuzzer fast; the
// mutations of the first byte cover every kind. Every text that loads is rendered as a save would
// write it and loaded again, and the second load must hold exactly the entries of the first: a save
// that loses or changes an entry would corrupt the administrator's lists. All of it runs in memory
// through the same parsing and rendering that the file loads and saves use.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "config/ConfigMap.h"
#include "config/StorableList.h"
#include "config/StorableMap.h"
#include "config/StringListEx.h"

namespace {

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

void CheckMap(std::string_view data, char separator, bool keep_comments) {
  CStorableMap map;
  map.SetSeparator(separator);
  map.SetKeepComments(keep_comments);
  if (!map.LoadText(data)) return;
  const auto first = Entries(map);
  for (const auto& [key, value] : first) {
    if (key.empty() || value.empty()) std::abort();
    if (key.find(separator) != std::string::npos) std::abort();
  }
  std::string saved;
  if (!map.SaveText(saved)) std::abort();
  CStorableMap again;
  again.SetSeparator(separator);
  again.SetKeepComments(keep_comments);
  if (!again.LoadText(saved)) std::abort();
  if (Entries(again) != first) std::abort();
}

void CheckConfig(std::string_view data) {
  CConfigMap config;
  if (!config.LoadText(data)) return;
  for (const auto& [key, value] : Entries(config)) {
    if (config.GetString(key, "absent") != value) std::abort();
    (void)config.GetInt(key, -1);
    CStringListEx parts;
    config.GetList(key, parts);
  }
  (void)config.GetInt("AutoTransport.Threads", 4);
}

void CheckList(std::string_view data, bool keep_comments) {
  CStorableList list;
  list.SetKeepComments(keep_comments);
  if (!list.LoadText(data)) return;
  const auto first = Entries(list);
  for (const std::string& entry : first) {
    if (entry.empty() || entry.find('\n') != std::string::npos) std::abort();
  }
  std::string saved;
  if (!list.SaveText(saved)) std::abort();
  CStorableList again;
  again.SetKeepComments(keep_comments);
  if (!again.LoadText(saved)) std::abort();
  if (Entries(again) != first) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 6) {
    case 0:
      CheckMap(text, ':', true);
      break;
    case 1:
      CheckMap(text, ':', false);
      break;
    case 2:
      CheckMap(text, '=', true);
      break;
    case 3:
      CheckConfig(text);
      break;
    case 4:
      CheckList(text, true);
      break;
    default:
      CheckList(text, false);
      break;
  }
  return 0;
}
