#include "mail/ByteSource.h"

#include <cerrno>
#include <cstring>

int64_t CMemorySource::ReadAt(int64_t offset, char* buf, size_t len) {
  if (offset < 0) {
    error_ = EINVAL;
    return -1;
  }
  if (offset >= Size()) return 0;
  size_t n = bytes_.size() - static_cast<size_t>(offset);
  if (n > len) n = len;
  std::memcpy(buf, bytes_.data() + offset, n);
  return static_cast<int64_t>(n);
}

int64_t CFileSource::ReadAt(int64_t offset, char* buf, size_t len) {
  if (offset >= Size()) return 0;
  const int64_t left = Size() - offset;
  if (static_cast<uint64_t>(left) < len) len = static_cast<size_t>(left);
  int64_t n = file_.ReadAt(offset, buf, len);
  if (n < 0) error_ = errno;
  return n;
}
