// CConfigMap: a CStorableMap with typed reads and writes. Keys are
// case-sensitive; a read of an absent key, or of any key while the map is
// empty, gives the caller's default. Switches are integers, 0 off.
//
// Thread-safe: every operation holds the map's section.
#pragma once

#include <string>

#include "config/StorableMap.h"
#include "config/StringListEx.h"

class CConfigMap : public CStorableMap {
 public:
  std::string GetString(const std::string& key, const std::string& def = std::string()) const;
  // The value as a decimal integer: leading white space, optional sign, the
  // digits up to the first non-digit (0 without digits); numbers beyond the
  // int range give INT_MAX or INT_MIN.
  int GetInt(const std::string& key, int def = 0) const;
  // GetString(key, def) cut at ',' (Split) and appended to list.
  void GetList(const std::string& key, CStringListEx& list,
               const std::string& def = std::string()) const;
  // Stores a non-empty value, removes the key for an empty one; either way
  // the map counts as modified. Running out of memory is swallowed.
  void SetString(const std::string& key, const std::string& value);
  // SetString with the number as an unsigned decimal ("%u").
  void SetInt(const std::string& key, unsigned int number);
};
