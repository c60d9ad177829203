// CStorableMap: a CThreadSafeMap tied to a file of "key<separator>value"
// lines with '#' comments. Comment and blank lines before an entry are kept
// with it and written back by Save; entries are written in the order the file
// held them, values aligned on one tab column.
//
// Thread-safe: Load, Save and HasChanged hold the map's section for their
// whole work with the contents, so a reader on another thread sees the old or
// the new contents, never a part. A load that fails keeps the previous
// contents. The hooks run with the section held.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "config/MapEx.h"
#include "config/StorableFile.h"

class CStorableMap : public CThreadSafeMap {
 public:
  CStorableMap() = default;
  ~CStorableMap() override;

  virtual bool IsLoaded() const;
  // Whether the file's time or size differ from those of the last load, save
  // or check (a file that cannot be examined is no change).
  virtual bool HasChanged();
  // The version of the file as last loaded or saved (all 0 before).
  kelpd::config::FileStamp Stamp() const;
  // Reloads from the path. False when the file is missing, unreadable,
  // changed while it was read, or a hook refused; the contents then stay.
  virtual bool Load();
  // Loads from data as if it were the file's contents: the hooks after the
  // file is opened run, the path and the remembered file stay as they are.
  // Load reads the file and goes through here.
  bool LoadText(std::string_view data);
  // Sets the path (forgetting the remembered file time and size) and loads.
  virtual bool Load(const std::string& path);
  // Load(MakePath(value of env_var, name)); false, changing nothing, when the
  // variable is not set.
  bool LoadFromEnvDir(const std::string& name, const char* env_var);
  // Writes the contents back to the path (whole, through a temporary file).
  // With backup, first copies the present file to backup_base (or the path)
  // followed by "-%y%m%d-%H%M%S"; a failed copy does not stop the save.
  virtual bool Save(bool backup = false, const std::string& backup_base = std::string());
  // Later saves leave the sync of the file's directory to deferred (null: each
  // save syncs it); the data is synced before the rename either way.
  void DeferSyncTo(kelpd::platform::DeferredSync* deferred);

  // The text Save writes, without touching the file. False when memory
  // runs out.
  bool SaveText(std::string& data) const;

  std::string GetPath() const;
  char GetSeparator() const;
  void SetSeparator(char separator);
  bool GetKeepComments() const;
  void SetKeepComments(bool keep);
  // Back to the state after construction: empty, unloaded, no path.
  void Reset();

 protected:
  // Called for each entry read; may change key and value; false refuses it.
  virtual bool AcceptEntry(std::string& key, std::string& value);
  // Before the file is opened; false fails the load, nothing changed.
  virtual bool BeforeLoad();
  // After a successful load.
  virtual void AfterLoad();
  // With the section held and the contents emptied, before the first line;
  // false fails the load.
  virtual bool BeforeRead();
  // After the last line; false fails the load.
  virtual bool AfterRead();

 private:
  bool Parse(const std::vector<std::string_view>& lines);
  std::string Render() const;

  // All guarded by section_.
  bool loaded_ = false;
  bool keep_comments_ = true;
  char separator_ = ':';
  kelpd::config::FileStamp stamp_;
  kelpd::platform::DeferredSync* deferred_ = nullptr;
  std::string path_;
  std::vector<std::string> key_order_;
  std::map<std::string, std::string> comments_;
};
