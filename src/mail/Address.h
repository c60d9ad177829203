// Address syntax: reducing header values to bare addresses, splitting an
// address at its "@" and checking its syntax. Stateless and thread-safe. All
// character classes and case conversion are those of the "C" locale on
// unsigned bytes, whatever the process locale.
#pragma once

#include <string>

// Reduces a header value to a bare address: the text between the last "<"
// and the first ">" (else the first "(", else the end), trimmed, with every
// double quote, single quote, "<" and ">" dropped, and, when it holds an "@",
// everything from the "@" on lower-cased. A value holding several bracketed
// addresses gives the empty string.
std::string NormalizeAddress(const std::string& value);

// The text just behind the first "@" of address, pointing into the argument;
// null when address is null, empty or has no "@".
const char* GetDomainPart(const char* address);

// The text before the first "@"; the whole text without "@"; empty for null.
std::string GetLocalPart(const char* address);
inline std::string GetLocalPart(const std::string& address) {
  return GetLocalPart(address.c_str());
}

// The syntax check of dot-atom addresses: words of letters, digits and
// "!#$%&'*+-/=?^_`{|}~" separated by single dots, optionally followed by "@"
// and labels that may also hold "[" and "]". A bare local part is valid; null
// and empty are not.
bool IsValidAddress(const char* address);
inline bool IsValidAddress(const std::string& address) { return IsValidAddress(address.c_str()); }
