#include "support/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace kelpd::testing {

TempDir::TempDir() {
  std::string base = fs::temp_directory_path().string() + "/kelpd-test-XXXXXX";
  if (::mkdtemp(base.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = base;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string TempDir::Join(const std::string& name) const { return path_ + "/" + name; }

std::string TempDir::WriteFile(const std::string& name, const std::string& contents) const {
  std::string p = Join(name);
  fs::create_directories(fs::path(p).parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << contents;
  return p;
}

std::string TempDir::MakeDir(const std::string& name) const {
  std::string p = Join(name);
  fs::create_directories(p);
  return p;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

}  // namespace kelpd::testing
