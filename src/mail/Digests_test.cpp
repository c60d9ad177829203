#include "mail/Digests.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <cstring>
#include <string>

#include "support/Bytes.h"

namespace {

using kelpd::testing::Hex;

std::string Md5Hmac(const std::string& text, const std::string& key) {
  unsigned char d[16];
  HmacMD5(text.data(), text.size(), key.data(), key.size(), d);
  return Hex(d, 16);
}

std::string Sha1Variant(const std::string& text, const std::string& key) {
  unsigned char d[20];
  HmacSHA1(text.data(), text.size(), key.data(), key.size(), d);
  return Hex(d, 20);
}

// The suite's keyed SHA-1, written out independently from libcrypto's SHA1().
std::string ReferenceVariant(const std::string& text, std::string key) {
  unsigned char digest[20];
  if (key.size() > 64) {
    SHA1(reinterpret_cast<const unsigned char*>(key.data()), key.size(), digest);
    key.assign(reinterpret_cast<char*>(digest), 16);
  }
  std::string ipad(64, '\x36'), opad(64, '\x5C');
  for (size_t i = 0; i < key.size(); ++i) {
    ipad[i] = static_cast<char>(ipad[i] ^ key[i]);
    opad[i] = static_cast<char>(opad[i] ^ key[i]);
  }
  std::string inner_in = ipad + text;
  SHA1(reinterpret_cast<const unsigned char*>(inner_in.data()), inner_in.size(), digest);
  std::string outer_in = opad + std::string(reinterpret_cast<char*>(digest), 16);
  SHA1(reinterpret_cast<const unsigned char*>(outer_in.data()), outer_in.size(), digest);
  return Hex(digest, 20);
}

std::string StandardHmacSha1(const std::string& text, const std::string& key) {
  unsigned char d[20];
  unsigned int len = 0;
  HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(text.data()), text.size(), d, &len);
  return Hex(d, len);
}

TEST(HmacMD5Test, ReproducesTheRfc2202Vectors) {
  EXPECT_EQ(Md5Hmac("Hi There", std::string(16, '\x0b')), "9294727a3638bb1c13f48ef8158bfc9d");
  EXPECT_EQ(Md5Hmac("what do ya want for nothing?", "Jefe"), "750c783e6ab0b503eaa86e310a5db738");
  EXPECT_EQ(Md5Hmac(std::string(50, '\xdd'), std::string(16, '\xaa')),
            "56be34521d144c88dbb8c733f0e8b3f6");
  std::string key4;
  for (int i = 1; i <= 25; ++i) key4 += static_cast<char>(i);
  EXPECT_EQ(Md5Hmac(std::string(50, '\xcd'), key4), "697eaf0aca3a3aea3a75164746ffaa79");
  EXPECT_EQ(Md5Hmac("Test With Truncation", std::string(16, '\x0c')),
            "56461ef2342edc00f9bab995690efd4c");
  EXPECT_EQ(
      Md5Hmac("Test Using Larger Than Block-Size Key - Hash Key First", std::string(80, '\xaa')),
      "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
  EXPECT_EQ(Md5Hmac("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
                    std::string(80, '\xaa')),
            "6f630fad67cda0ee1fb1f562db3aa53e");
}

TEST(HmacSHA1Test, IsTheSuitesVariantNotRfc2104) {
  const std::string key64(64, 'k'), key65(65, 'k');
  for (const std::string& text : {std::string(), std::string("Hi There"), std::string(200, 'x')}) {
    for (const std::string& key : {std::string(), std::string("Jefe"), key64, key65}) {
      EXPECT_EQ(Sha1Variant(text, key), ReferenceVariant(text, key));
      EXPECT_NE(Sha1Variant(text, key), StandardHmacSha1(text, key));
    }
  }
  // RFC 2202 test case 2 for HMAC-SHA1 is not reproduced.
  EXPECT_NE(Sha1Variant("what do ya want for nothing?", "Jefe"),
            "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
}

TEST(HmacSHA1Test, A65ByteKeyIsReplacedBy16BytesOfItsDigestA64ByteKeyIsNot) {
  std::string key65(65, '\0');
  for (size_t i = 0; i < key65.size(); ++i) key65[i] = static_cast<char>(i * 7);
  unsigned char key_digest[20];
  SHA1(reinterpret_cast<const unsigned char*>(key65.data()), key65.size(), key_digest);
  const std::string short_key(reinterpret_cast<char*>(key_digest), 16);
  EXPECT_EQ(Sha1Variant("text", key65), Sha1Variant("text", short_key));
  EXPECT_NE(Sha1Variant("text", key65),
            Sha1Variant("text", std::string(reinterpret_cast<char*>(key_digest), 20)));

  const std::string key64 = key65.substr(0, 64);
  SHA1(reinterpret_cast<const unsigned char*>(key64.data()), 64, key_digest);
  EXPECT_NE(Sha1Variant("text", key64),
            Sha1Variant("text", std::string(reinterpret_cast<char*>(key_digest), 16)));
}

TEST(DigestContextTest, ThreeStepHashesMatchOneShotDigests) {
  MD5Context md5;
  MD5Init(md5);
  MD5Update(md5, "ab", 2);
  MD5Update(md5, "c", 1);
  unsigned char d[20];
  MD5Final(d, md5);
  EXPECT_EQ(Hex(d, 16), "900150983cd24fb0d6963f7d28e17f72");
  SHA1Context sha;
  SHA1Init(sha);
  SHA1Update(sha, "abc", 3);
  SHA1Final(d, sha);
  EXPECT_EQ(Hex(d, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
  SHA1Init(sha);  // reusable after Final
  SHA1Final(d, sha);
  EXPECT_EQ(Hex(d, 20), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

}  // namespace
