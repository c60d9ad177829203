#include "platform/UniqueFd.h"

#include <unistd.h>

namespace kelpd::platform {

bool UniqueFd::Reset(int fd) {
  bool ok = true;
  if (fd_ >= 0) ok = ::close(fd_) == 0;
  fd_ = fd;
  return ok;
}

}  // namespace kelpd::platform
