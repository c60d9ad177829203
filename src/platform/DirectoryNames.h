// The names in one directory, read without examining every entry, and the
// status of a single entry on request. A scan that already knows most names
// then costs one directory read instead of one status call per entry.
// Not thread-safe: a reader belongs to one thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kelpd::platform {

class DirectoryNameReader {
 public:
  DirectoryNameReader() = default;
  ~DirectoryNameReader();
  DirectoryNameReader(const DirectoryNameReader&) = delete;
  DirectoryNameReader& operator=(const DirectoryNameReader&) = delete;

  // Opens the directory (close-on-exec). False with errno in *err.
  bool Open(const std::string& dir, int* err);
  // The next name, "." and ".." left out; false at the end or on a read error.
  // The name is not copied: it stays valid until the next call.
  bool Next(std::string_view& name);
  // The size of the entry Next returned last and whether it is a directory
  // (symbolic links followed); false when it can't be examined (it may have
  // gone since).
  bool StatCurrent(uint64_t& size, bool& is_directory);

 private:
  void* dir_ = nullptr;            // DIR*
  const char* current_ = nullptr;  // in the reader's buffer
};

}  // namespace kelpd::platform
