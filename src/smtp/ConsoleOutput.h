// The SMTP client's own console lines: its dialogue on standard output and
// its failures on standard error, shared by every delivery thread. Tests may
// capture both instead.
//
// Thread-safe: each text is written whole under one lock.
#pragma once

#include <string>

namespace kelpd::smtp {

void WriteStdout(const std::string& text);
void WriteStderr(const std::string& text);

// From now on the texts are appended to out and err instead of the streams
// (for tests); null pointers restore the streams.
void CaptureConsoleForTests(std::string* out, std::string* err);

}  // namespace kelpd::smtp
