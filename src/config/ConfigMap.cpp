#include "config/ConfigMap.h"

#include <new>

#include "base/Text.h"

std::string CConfigMap::GetString(const std::string& key, const std::string& def) const {
  std::lock_guard<std::recursive_mutex> lock(section_);
  std::string value;
  if (IsEmpty() || !Lookup(key, value)) return def;
  return value;
}

int CConfigMap::GetInt(const std::string& key, int def) const {
  std::lock_guard<std::recursive_mutex> lock(section_);
  std::string value;
  if (IsEmpty() || !Lookup(key, value)) return def;
  return kelpd::text::ParseIntPrefix(value);
}

void CConfigMap::GetList(const std::string& key, CStringListEx& list,
                         const std::string& def) const {
  list.Split(GetString(key, def), ",");
}

void CConfigMap::SetString(const std::string& key, const std::string& value) {
  std::lock_guard<std::recursive_mutex> lock(section_);
  try {
    if (value.empty())
      RemoveKey(key);
    else
      SetAt(key, value);
  } catch (const std::bad_alloc&) {
  }
  modified_ = true;
}

void CConfigMap::SetInt(const std::string& key, unsigned int number) {
  SetString(key, std::to_string(number));
}
