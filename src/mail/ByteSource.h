// Where a mail is read from: a file opened under its lock, or bytes in memory
// (tests, the fuzzer). Positional reads let the reader take the whole file as
// the body when the header section holds nothing. Not thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Files.h"

class CByteSource {
 public:
  virtual ~CByteSource() = default;
  // The number of bytes the source holds; reads never go beyond it.
  virtual int64_t Size() const = 0;
  // Reads up to len bytes at offset; the count (0 at the end) or -1 with
  // error() set to the errno.
  virtual int64_t ReadAt(int64_t offset, char* buf, size_t len) = 0;
  int error() const { return error_; }

 protected:
  int error_ = 0;
};

class CMemorySource : public CByteSource {
 public:
  explicit CMemorySource(std::string_view bytes) : bytes_(bytes) {}
  int64_t Size() const override { return static_cast<int64_t>(bytes_.size()); }
  int64_t ReadAt(int64_t offset, char* buf, size_t len) override;

 private:
  std::string_view bytes_;
};

// A file opened read-only; the size is the one seen at opening.
class CFileSource : public CByteSource {
 public:
  kelpd::platform::FileResult Open(const std::string& path) { return file_.Open(path); }
  int64_t Size() const override { return file_.Size(); }
  int64_t ReadAt(int64_t offset, char* buf, size_t len) override;

 private:
  kelpd::platform::ReadOnlyFile file_;
};
