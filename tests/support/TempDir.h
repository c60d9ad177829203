// A temporary directory for one test, removed with everything in it.
#pragma once

#include <string>

namespace kelpd::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path()/name
  std::string Join(const std::string& name) const;
  // Writes a file (creating parent directories), returns its path.
  std::string WriteFile(const std::string& name, const std::string& contents) const;
  std::string MakeDir(const std::string& name) const;

 private:
  std::string path_;
};

// Reads a whole file; empty when it can't be read.
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

}  // namespace kelpd::testing
