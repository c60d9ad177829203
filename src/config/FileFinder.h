// CFileFinder: the entries of one directory whose names match a wildcard
// pattern, such as MakePath(queue_dir, "*.eml"). The directory is the pattern
// up to its last '/' (the working directory when there is none); names match
// as MatchWildcard says; "." and ".." are never returned.
//
// Not thread-safe: one finder belongs to one thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Files.h"

// Attribute bits of an entry.
constexpr uint32_t kFileAttributeReadOnly = 0x01;
constexpr uint32_t kFileAttributeDirectory = 0x10;
constexpr uint32_t kFileAttributeArchive = 0x20;  // every plain file carries it

class CFileFinder {
 public:
  explicit CFileFinder(const std::string& pattern);
  CFileFinder(const CFileFinder&) = delete;
  CFileFinder& operator=(const CFileFinder&) = delete;

  // Moves to the next matching entry; the first call starts the search.
  // False at the end, or when the directory cannot be read.
  bool FindNext();

  // The current entry (after FindNext returned true).
  const std::string& GetFileName() const { return name_; }
  std::string GetFilePath() const;  // the directory joined with the name
  uint32_t GetAttributes() const { return attributes_; }
  bool IsDirectory() const { return (attributes_ & kFileAttributeDirectory) != 0; }
  uint64_t GetFileSize() const { return size_; }
  // errno of a directory that could not be opened; 0 otherwise.
  int GetError() const { return error_; }

 private:
  std::string dir_;
  std::string wildcard_;
  kelpd::platform::DirectoryReader reader_;
  bool started_ = false;
  bool open_ = false;
  int error_ = 0;
  std::string name_;
  uint32_t attributes_ = 0;
  uint64_t size_ = 0;
};
