// The texts that turn error numbers into words: socket error numbers (10000 and
// up, as CSocketException carries them) and the cause numbers of file errors.
// Thread-safe: pure functions, each result built for its call.
#pragma once

#include <string>

#include "platform/Errors.h"

namespace kelpd::net {

// The text for a socket error number; "unknown error: " and the number in
// decimal for a number without a text.
std::string SocketErrorText(int code);

// The text of a file error's cause (0..14); "unknown error: 0x%08X" for any
// other cause, and "CFileException is NULL pointer" when error is nullptr.
std::string FileErrorText(const kelpd::platform::FileResult* error);

}  // namespace kelpd::net
