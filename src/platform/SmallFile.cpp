#include "platform/SmallFile.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/UniqueFd.h"

namespace kelpd::platform {

std::optional<std::string> ReadSmallFile(const std::string& path, size_t max_bytes) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) return std::nullopt;
  std::string out;
  char buf[4096];
  while (out.size() < max_bytes) {
    size_t want = max_bytes - out.size();
    if (want > sizeof buf) want = sizeof buf;
    ssize_t n = ::read(fd.get(), buf, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

}  // namespace kelpd::platform
