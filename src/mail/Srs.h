// The Sender Rewriting Scheme as the local delivery agent applies it to a
// copy forwarded to a remote address: the sender is folded into the local part
// of an address in the rewriting domain, with a day stamp and a short keyed
// hash. Nothing decodes such addresses here. Thread-safe.
#pragma once

#include <cstdint>
#include <string>

// The rewritten envelope sender for sender (a bare address), srsDomain and
// challenge (the "SRS.Domain" and "SRS.Challenge" settings), using today's date.
std::string SrsRewrite(const std::string& sender, const std::string& srsDomain,
                       const std::string& challenge);

namespace kelpd::mail {

// SrsRewrite for a given number of whole days since 1 January 1970 UTC.
std::string SrsRewriteOnDay(const std::string& sender, const std::string& srsDomain,
                            const std::string& challenge, int64_t day);

// The hash field: the keyed SHA-1 of text with the first five bytes of the
// challenge (zero-padded) as key, its leading bytes up to the first zero byte
// (at most three), in Base64 with padding.
std::string SrsHash(const std::string& text, const std::string& challenge);

// Two Base32 characters of day modulo 1024, low five bits first.
std::string SrsDayStamp(int64_t day);

}  // namespace kelpd::mail
