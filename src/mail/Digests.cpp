#include "mail/Digests.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace kelpd::mail {

DigestContext::DigestContext() : ctx_(EVP_MD_CTX_new()) {
  if (ctx_ == nullptr) throw std::bad_alloc();
}

DigestContext::~DigestContext() { EVP_MD_CTX_free(ctx_); }

}  // namespace kelpd::mail

namespace {

constexpr size_t kBlock = 64;

// libcrypto's digests fail only when the library itself is broken (no MD5 or
// SHA-1 provider); a wrong digest would be worse than stopping.
void Check(int ok) {
  if (ok != 1) std::abort();
}

void Init(kelpd::mail::DigestContext& c, const EVP_MD* md) {
  Check(EVP_DigestInit_ex(c.get(), md, nullptr));
}

void Update(kelpd::mail::DigestContext& c, const void* data, size_t length) {
  if (length > 0) Check(EVP_DigestUpdate(c.get(), data, length));
}

void Final(kelpd::mail::DigestContext& c, unsigned char* digest) {
  unsigned int len = 0;
  Check(EVP_DigestFinal_ex(c.get(), digest, &len));
  EVP_MD_CTX_reset(c.get());
}

// The keyed digest of RFC 2104 with two knobs: how many bytes of the long
// key's digest form the key, and how many bytes of the inner digest go into
// the outer hash.
void KeyedDigest(const EVP_MD* md, size_t long_key_bytes, size_t inner_bytes, const void* text,
                 size_t text_len, const void* key, size_t key_len, unsigned char* out) {
  unsigned char key_digest[EVP_MAX_MD_SIZE];
  kelpd::mail::DigestContext ctx;
  if (key_len > kBlock) {
    Init(ctx, md);
    Update(ctx, key, key_len);
    Final(ctx, key_digest);
    key = key_digest;
    key_len = long_key_bytes;
  }
  unsigned char ipad[kBlock] = {};
  unsigned char opad[kBlock] = {};
  if (key_len > 0) {
    std::memcpy(ipad, key, key_len);
    std::memcpy(opad, key, key_len);
  }
  for (size_t i = 0; i < kBlock; ++i) {
    ipad[i] ^= 0x36;
    opad[i] ^= 0x5C;
  }
  unsigned char inner[EVP_MAX_MD_SIZE];
  Init(ctx, md);
  Update(ctx, ipad, kBlock);
  Update(ctx, text, text_len);
  Final(ctx, inner);
  Init(ctx, md);
  Update(ctx, opad, kBlock);
  Update(ctx, inner, inner_bytes);
  Final(ctx, out);
  OPENSSL_cleanse(ipad, sizeof ipad);
  OPENSSL_cleanse(opad, sizeof opad);
  OPENSSL_cleanse(key_digest, sizeof key_digest);
}

}  // namespace

void MD5Init(MD5Context& context) { Init(context, EVP_md5()); }
void MD5Update(MD5Context& context, const void* data, size_t length) {
  Update(context, data, length);
}
void MD5Final(unsigned char digest[16], MD5Context& context) { Final(context, digest); }

void SHA1Init(SHA1Context& context) { Init(context, EVP_sha1()); }
void SHA1Update(SHA1Context& context, const void* data, size_t length) {
  Update(context, data, length);
}
void SHA1Final(unsigned char digest[20], SHA1Context& context) { Final(context, digest); }

void HmacMD5(const void* text, size_t textLength, const void* key, size_t keyLength,
             unsigned char digest[16]) {
  KeyedDigest(EVP_md5(), 16, 16, text, textLength, key, keyLength, digest);
}

void HmacSHA1(const void* text, size_t textLength, const void* key, size_t keyLength,
              unsigned char digest[20]) {
  KeyedDigest(EVP_sha1(), 16, 16, text, textLength, key, keyLength, digest);
}
