#include "mail/Address.h"

#include <gtest/gtest.h>

#include <clocale>

namespace {

TEST(NormalizeAddressTest, ReducesHeaderValuesToBareAddresses) {
  EXPECT_EQ(NormalizeAddress("\"Joe Q. Public\" <Joe.Public@Example.COM>"),
            "Joe.Public@example.com");
  EXPECT_EQ(NormalizeAddress("<Joe@EXAMPLE.com>"), "Joe@example.com");
  EXPECT_EQ(NormalizeAddress("Joe@Example.com (Joe Public)"), "Joe@example.com");
  EXPECT_EQ(NormalizeAddress("  'Joe'@Host.Example  "), "Joe@host.example");
  EXPECT_EQ(NormalizeAddress("MixedCase"), "MixedCase");
  EXPECT_EQ(NormalizeAddress("<>"), "");
  EXPECT_EQ(NormalizeAddress(""), "");
  // Several bracketed addresses: the last "<" stands behind the first ">".
  EXPECT_EQ(NormalizeAddress("A <a@x.example>, B <b@y.example>"), "");
  // Bytes above 0x7F are neither trimmed nor case-converted.
  EXPECT_EQ(NormalizeAddress("<\xC4@\xC4X.example>"), "\xC4@\xC4x.example");
}

TEST(AddressPartsTest, SplitAtTheFirstAt) {
  const char* address = "user@host@other";
  EXPECT_STREQ(GetDomainPart(address), "host@other");
  EXPECT_EQ(GetDomainPart(address), address + 5);
  EXPECT_EQ(GetLocalPart(address), "user");
  EXPECT_EQ(GetDomainPart("plain"), nullptr);
  EXPECT_EQ(GetDomainPart(""), nullptr);
  EXPECT_EQ(GetDomainPart(nullptr), nullptr);
  EXPECT_EQ(GetLocalPart("plain"), "plain");
  EXPECT_EQ(GetLocalPart(static_cast<const char*>(nullptr)), "");
  EXPECT_EQ(GetLocalPart("@host"), "");
}

TEST(IsValidAddressTest, AcceptsDotAtomsAndDomainLiterals) {
  for (const char* good : {"postmaster", "abc123", "a.b@c.d", "x+tag@sub.example.org",
                           "user@[127.0.0.1]", "!#$%&'*+-/=?^_`{|}~@x", "a@b[c]d"}) {
    EXPECT_TRUE(IsValidAddress(good)) << good;
  }
}

TEST(IsValidAddressTest, RejectsBrokenForms) {
  for (const char* bad : {"", "a.", "a@b.", "a@b..c", "a..b@c", ".a@b", "@b", "a@", "a@b@c", "a@.b",
                          "[a]@b", "a b@c", "\"a\"@b", "a@b c", "\xE9@b", "a@\xC4"}) {
    EXPECT_FALSE(IsValidAddress(bad)) << bad;
  }
  EXPECT_FALSE(IsValidAddress(static_cast<const char*>(nullptr)));
}

TEST(IsValidAddressTest, DoesNotDependOnTheProcessLocale) {
  // A Latin-1 locale would call 0xE9 a letter; the check must not.
  const char* old = std::setlocale(LC_ALL, nullptr);
  std::string saved = old ? old : "C";
  std::setlocale(LC_ALL, "C.UTF-8");
  EXPECT_FALSE(IsValidAddress("caf\xE9@example.org"));
  EXPECT_EQ(NormalizeAddress("<a@\xC9X>"), "a@\xC9x");
  std::setlocale(LC_ALL, saved.c_str());
}

}  // namespace
