// Turning errno into the error numbers the service reports: the socket error
// numbers its texts are keyed by (file causes: platform/FileResult.h).
// Thread-safe: pure functions.
#pragma once

#include <string>

#include "platform/FileResult.h"

namespace kelpd::platform {

// The socket error number (10000 and up) for an errno value.
int SocketErrorFromErrno(int err);

}  // namespace kelpd::platform
