// MD5 and SHA-1 (from libcrypto) and the two keyed digests built on them:
// HmacMD5, the HMAC of RFC 2104, and HmacSHA1, the suite's own variant that
// other programs verify hashes with (see HmacSHA1 below). Thread-safe: every
// call keeps its own state.
#pragma once

#include <cstddef>
#include <memory>

struct evp_md_ctx_st;

namespace kelpd::mail {

// One running hash of libcrypto. Final writes the digest and clears the state;
// the context can then be initialised again.
class DigestContext {
 public:
  DigestContext();
  ~DigestContext();
  DigestContext(const DigestContext&) = delete;
  DigestContext& operator=(const DigestContext&) = delete;
  evp_md_ctx_st* get() const { return ctx_; }

 private:
  evp_md_ctx_st* ctx_;
};

}  // namespace kelpd::mail

using MD5Context = kelpd::mail::DigestContext;
using SHA1Context = kelpd::mail::DigestContext;

void MD5Init(MD5Context& context);
void MD5Update(MD5Context& context, const void* data, size_t length);
void MD5Final(unsigned char digest[16], MD5Context& context);

void SHA1Init(SHA1Context& context);
void SHA1Update(SHA1Context& context, const void* data, size_t length);
void SHA1Final(unsigned char digest[20], SHA1Context& context);

// RFC 2104 HMAC-MD5 (block 64 bytes; keys longer than 64 bytes are replaced by
// their MD5 digest). Writes 16 bytes.
void HmacMD5(const void* text, size_t textLength, const void* key, size_t keyLength,
             unsigned char digest[16]);

// The suite's keyed SHA-1, deliberately not RFC 2104 HMAC-SHA1: a key longer
// than 64 bytes is replaced by the first 16 bytes of its SHA-1 digest, and the
// outer hash takes only the first 16 bytes of the inner digest:
//   SHA1((K ^ opad) || SHA1((K ^ ipad) || text)[0..16)). Writes 20 bytes.
// CRAM-SHA1 and the rewritten sender addresses depend on exactly this form.
void HmacSHA1(const void* text, size_t textLength, const void* key, size_t keyLength,
              unsigned char digest[20]);
