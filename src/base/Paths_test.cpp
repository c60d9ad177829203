#include "base/Paths.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

using kelpd::text::MatchWildcard;

TEST(MakePath, JoinsWithOneSlash) {
  EXPECT_EQ(MakePath("/etc/zelvane", "kelpd.cfg"), "/etc/zelvane/kelpd.cfg");
  EXPECT_EQ(MakePath("/etc/zelvane/", "kelpd.cfg"), "/etc/zelvane/kelpd.cfg");
  EXPECT_EQ(MakePath("", "kelpd.cfg"), "kelpd.cfg");
  EXPECT_EQ(MakePath("/etc", "/var/x"), "/var/x");  // absolute names stay
  EXPECT_EQ(MakePath("/etc", ""), "/etc/");
  EXPECT_EQ(ToForwardSlashes("a\\b\\\\c/d"), "a/b//c/d");
}

TEST(MatchWildcard, CaseInsensitiveWithStarAndQuestionMark) {
  EXPECT_TRUE(MatchWildcard("*.eml", "0001.eml"));
  EXPECT_TRUE(MatchWildcard("*.eml", "MAIL.EML"));
  EXPECT_TRUE(MatchWildcard("*.eml", ".eml"));
  EXPECT_FALSE(MatchWildcard("*.eml", "0001.emlx"));
  EXPECT_FALSE(MatchWildcard("*.eml", "0001.eml.tmp"));
  EXPECT_TRUE(MatchWildcard("*.*", "README"));
  EXPECT_TRUE(MatchWildcard("*.*", "a.b.c"));
  EXPECT_FALSE(MatchWildcard("*.x*", "README"));
  EXPECT_TRUE(MatchWildcard("a?c", "AbC"));
  EXPECT_FALSE(MatchWildcard("a?c", "ac"));
  EXPECT_TRUE(MatchWildcard("*a*b*", "xxaxxbxx"));
  EXPECT_FALSE(MatchWildcard("*a*b*c", "aabbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbd"));
  EXPECT_TRUE(MatchWildcard("", ""));
  EXPECT_FALSE(MatchWildcard("", "a"));
}
}  // namespace
