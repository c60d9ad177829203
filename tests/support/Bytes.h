// Reference encodings for the tests, made by the crypto library rather than
// by the code under test.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelpd::testing {

// Base64 of bytes in one line, without line breaks.
std::string LibraryBase64(std::string_view bytes);
// Lower-case hex digits of n bytes.
std::string Hex(const unsigned char* bytes, size_t n);

}  // namespace kelpd::testing
