#include "mail/Srs.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <string>

#include "mail/Encodings.h"

namespace {

using kelpd::mail::SrsDayStamp;
using kelpd::mail::SrsRewriteOnDay;

// The hash field computed independently: the suite's keyed SHA-1 with the
// zero-padded first five challenge bytes, leading non-zero bytes (at most 3),
// Base64.
std::string ExpectedHash(const std::string& text, const std::string& challenge) {
  std::string key = challenge.substr(0, 5);
  key.resize(5, '\0');
  std::string ipad(64, '\x36'), opad(64, '\x5C');
  for (size_t i = 0; i < 5; ++i) {
    ipad[i] = static_cast<char>(ipad[i] ^ key[i]);
    opad[i] = static_cast<char>(opad[i] ^ key[i]);
  }
  unsigned char d[20];
  std::string in = ipad + text;
  SHA1(reinterpret_cast<const unsigned char*>(in.data()), in.size(), d);
  in = opad + std::string(reinterpret_cast<char*>(d), 16);
  SHA1(reinterpret_cast<const unsigned char*>(in.data()), in.size(), d);
  int n = 0;
  while (n < 3 && d[n] != 0) ++n;
  return Base64EncodeBuffer(d, n, true);
}

TEST(SrsTest, DayStampIsTwoBase32CharactersOfTheDayModulo1024) {
  EXPECT_EQ(SrsDayStamp(0), "AA");
  EXPECT_EQ(SrsDayStamp(33), "BB");
  EXPECT_EQ(SrsDayStamp(33 + 1024), "BB");
  EXPECT_EQ(SrsDayStamp(1023), "77");
}

TEST(SrsTest, RewritesAPlainSender) {
  const int64_t day = 20000;  // 20000 % 1024 = 544 -> "AR"
  const std::string t = SrsDayStamp(day) + "=example.org=joe";
  EXPECT_EQ(SrsDayStamp(day), "AR");
  EXPECT_EQ(SrsRewriteOnDay("joe@example.org", "srs.example.net", "secret", day),
            "SRS0+" + ExpectedHash(t, "secret") + "=" + t + "@srs.example.net");
}

TEST(SrsTest, ASenderWithoutAtGivesAnEmptyDomainField) {
  const std::string result = SrsRewriteOnDay("postmaster", "srs.example.net", "k", 33);
  const std::string t = "BB==postmaster";
  EXPECT_EQ(result, "SRS0+" + ExpectedHash(t, "k") + "=" + t + "@srs.example.net");
}

TEST(SrsTest, OnceRewrittenSendersAreWrappedOrKept) {
  const std::string srs0 = "SRS0+HHH=TT=orig.example=joe@fwd.example";
  const std::string t = "fwd.example==+HHH=TT=orig.example=joe";
  EXPECT_EQ(SrsRewriteOnDay(srs0, "srs.example.net", "secret", 5),
            "SRS1+" + ExpectedHash(t, "secret") + "=" + t + "@srs.example.net");
  EXPECT_EQ(SrsRewriteOnDay("SRS1+abc=fwd.example==+HHH=TT=o=j@other.example", "srs.example.net",
                            "secret", 5),
            "SRS1+abc=fwd.example==+HHH=TT=o=j@srs.example.net");
  // The prefixes are compared with case.
  EXPECT_TRUE(SrsRewriteOnDay("srs1+x@y", "d", "c", 5).starts_with("SRS0+"));
}

TEST(SrsTest, SameDayAnd1024DaysApartAgreeAndLongChallengesUseFiveBytes) {
  const std::string a = SrsRewriteOnDay("joe@example.org", "d.example", "secret", 700);
  EXPECT_EQ(a, SrsRewriteOnDay("joe@example.org", "d.example", "secret", 700));
  EXPECT_EQ(a, SrsRewriteOnDay("joe@example.org", "d.example", "secret", 700 + 1024));
  EXPECT_NE(a, SrsRewriteOnDay("joe@example.org", "d.example", "secret", 701));
  EXPECT_EQ(a, SrsRewriteOnDay("joe@example.org", "d.example", "secretive and long", 700));
  EXPECT_EQ(a, SrsRewriteOnDay("joe@example.org", "d.example", "secre", 700));
  EXPECT_NE(a, SrsRewriteOnDay("joe@example.org", "d.example", "secrX", 700));
  // Today's form has the same shape.
  EXPECT_TRUE(SrsRewrite("joe@example.org", "d.example", "secret").starts_with("SRS0+"));
  EXPECT_TRUE(
      SrsRewrite("joe@example.org", "d.example", "secret").ends_with("=example.org=joe@d.example"));
}

}  // namespace
