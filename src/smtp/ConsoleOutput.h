// The SMTP client's own console lines: its dialogue on standard output and
// its failures on standard error, shared by every delivery thread. Tests may
// capture both instead.
//
// Standard output is looked at once: when nothing reads it (a service's
// /dev/null, or a closed descriptor) the dialogue is not written at all, so
// that a busy delivery thread neither makes the calls nor waits for the lock.
//
// Thread-safe: each text is written whole under one lock.
#pragma once

#include <string>

namespace kelpd::smtp {

// Whether WriteStdout texts go anywhere; callers may skip building them.
bool StdoutWanted();
void WriteStdout(const std::string& text);
void WriteStderr(const std::string& text);

// From now on the texts are appended to out and err instead of the streams
// (for tests); null pointers restore the streams.
void CaptureConsoleForTests(std::string* out, std::string* err);

}  // namespace kelpd::smtp
