// CStorableList: a CThreadSafeList tied to a file of one entry per line with
// '#' comments. Comment and blank lines before an entry are kept with it, the
// block after the last entry too, and Save writes them all back.
//
// Thread-safe in the same way as CStorableMap: loads and saves hold the
// list's section for their whole work with the contents; a load that fails
// keeps the previous contents.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "config/StorableFile.h"
#include "config/ThreadSafeList.h"

class CStorableList : public CThreadSafeList {
 public:
  CStorableList() = default;

  virtual bool IsLoaded() const;
  virtual bool IsModified() const;
  void SetModified(bool modified);
  virtual bool HasChanged();
  virtual bool Load();
  virtual bool Load(const std::string& path);
  // Loads from data as if it were the file's contents (see CStorableMap).
  bool LoadText(std::string_view data);
  bool LoadFromEnvDir(const std::string& name, const char* env_var);
  virtual bool Save(bool backup = false, const std::string& backup_base = std::string());

  // The text Save writes, without touching the file.
  bool SaveText(std::string& data) const;

  std::string GetPath() const;
  bool GetKeepComments() const;
  void SetKeepComments(bool keep);

 protected:
  virtual bool AcceptEntry(std::string& line);
  virtual bool BeforeLoad();
  virtual void AfterLoad();
  virtual bool BeforeRead();
  virtual bool AfterRead();

 private:
  bool Parse(const std::vector<std::string_view>& lines);

  // All guarded by section_.
  bool loaded_ = false;
  bool modified_ = false;
  bool keep_comments_ = true;
  std::string path_;
  kelpd::config::FileStamp stamp_;
  // The comment and blank lines before each entry; "#" holds the block after
  // the last entry.
  std::map<std::string, std::string> comments_;
};
