// An owned file descriptor, closed on destruction. Not thread-safe.
#pragma once

#include <utility>

namespace kelpd::platform {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  int Release() { return std::exchange(fd_, -1); }
  // Closes the held descriptor (if any) and takes fd. Returns false when close failed.
  bool Reset(int fd = -1);

 private:
  int fd_ = -1;
};

}  // namespace kelpd::platform
