// Mail-safe encodings of bytes: Base64 (RFC 2045 alphabet), a Base32 number
// encoding and the plus-and-hex "xtext" of SMTP parameters. Stateless and
// thread-safe; results are byte strings that may hold any byte value.
#pragma once

#include <cstdint>
#include <string>

// Base64 of the bytes up to the first zero byte of text (nothing for null).
// Unless noLineBreaks, an LF follows every 72 characters of output (every 18th
// full group of three bytes); none follows the final partial group.
std::string Base64EncodeString(const char* text, bool noLineBreaks);

// Base64 of exactly length bytes (nothing for a length below 1).
std::string Base64EncodeBuffer(const void* bytes, int64_t length, bool noLineBreaks);

// Decodes Base64 text, skipping "C"-locale white space anywhere. A text that
// ends inside a group ("before the second, third or fourth significant
// character") writes "Premature EOF while decoding Base64-String!\n" to
// standard error and drops the incomplete group. A byte outside the alphabet
// (including "=" in the first two places of a group) counts as the value 0,
// so the result is always defined; it is not reported.
std::string Base64Decode(const std::string& text);

// count characters of "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567", least significant
// five bits first.
std::string Base32EncodeNumber(uint64_t value, int count);

// Bytes '!'..'~' except '+' and '=' are copied; every other byte up to the
// first zero byte is written as "+" and two upper-case hex digits, as
// strict servers require of the AUTH= parameter.
std::string XtextEncode(const char* text);
inline std::string XtextEncode(const std::string& text) { return XtextEncode(text.c_str()); }
