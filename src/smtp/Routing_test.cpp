#include "smtp/Routing.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "config/ConfigMap.h"
#include "smtp/DeliveryResult.h"

namespace kelpd::smtp {
namespace {

using ::testing::ElementsAre;

HostEntry Parse(const std::string& entry) {
  HostEntry out;
  ParseHostEntry(entry, out);
  return out;
}

TEST(ParseHostEntry, HostAlone) {
  HostEntry e = Parse("relay.example.org");
  EXPECT_EQ(e.host, "relay.example.org");
  EXPECT_EQ(e.port, 25u);
  EXPECT_EQ(e.user, "");
  EXPECT_EQ(e.password, "");
}

TEST(ParseHostEntry, PortAndCredentials) {
  HostEntry e = Parse("joe:secret@relay.example.org:587");
  EXPECT_EQ(e.host, "relay.example.org");
  EXPECT_EQ(e.port, 587u);
  EXPECT_EQ(e.user, "joe");
  EXPECT_EQ(e.password, "secret");
}

TEST(ParseHostEntry, PasswordKeepsAtSignsAndColons) {
  HostEntry e = Parse("joe@example.org:p@ss:w:rd@127.0.0.1:2525");
  EXPECT_EQ(e.user, "joe@example.org");
  EXPECT_EQ(e.password, "p@ss:w:rd");
  EXPECT_EQ(e.host, "127.0.0.1");
  EXPECT_EQ(e.port, 2525u);
}

TEST(ParseHostEntry, UserWithoutPasswordAndOddPorts) {
  HostEntry e = Parse("joe@host");
  EXPECT_EQ(e.user, "joe");
  EXPECT_EQ(e.password, "");
  EXPECT_EQ(Parse("host:12ab").port, 12u);
  EXPECT_EQ(Parse("host:").port, 0u);
  EXPECT_EQ(Parse("host:99999999999999999999").port, 0u);
  EXPECT_EQ(Parse("host:-25").port, 0u);
}

TEST(ParseHostEntry, BracketedAddressLiterals) {
  HostEntry e = Parse("joe:pw@[2001:db8::1]:2525");
  EXPECT_EQ(e.host, "[2001:db8::1]");
  EXPECT_EQ(e.port, 2525u);
  EXPECT_EQ(e.password, "pw");
  EXPECT_EQ(Parse("[::1]").host, "[::1]");
  EXPECT_EQ(Parse("[::1]").port, 25u);
  EXPECT_EQ(Parse("[192.0.2.1]:26").port, 26u);
  // Nothing but a port may follow the bracket; an unclosed one is no literal.
  EXPECT_EQ(Parse("[::1]2525").port, 0u);
  EXPECT_EQ(Parse("[::1").port, 0u);
}

TEST(MatchDomainPattern, Wildcards) {
  EXPECT_TRUE(MatchDomainPattern("*", ""));
  EXPECT_TRUE(MatchDomainPattern("*", "example.org"));
  EXPECT_TRUE(MatchDomainPattern("*.example.org", "mx.example.org"));
  EXPECT_FALSE(MatchDomainPattern("*.example.org", "example.org"));
  EXPECT_TRUE(MatchDomainPattern("ex?mple.*", "example.com"));
  EXPECT_FALSE(MatchDomainPattern("ex?mple.*", "exmple.com"));
  EXPECT_TRUE(MatchDomainPattern("a*b*c", "aXXbYYbc"));
  EXPECT_FALSE(MatchDomainPattern("example.org", "Example.org"));  // case-sensitive
  EXPECT_FALSE(MatchDomainPattern("*", "ex*ample.org"));           // domain with wildcards
  EXPECT_FALSE(MatchDomainPattern("?", "a?"));
  EXPECT_FALSE(MatchDomainPattern("", "a"));
}

TEST(MatchDomainPattern, HostilePatternStaysLinearEnough) {
  std::string pattern(2000, '*');
  pattern += "b";
  EXPECT_FALSE(MatchDomainPattern(pattern, std::string(5000, 'a')));
}

std::vector<std::string> Route(const CConfigMap& map, const std::string& from,
                               const std::string& to, bool* matched = nullptr) {
  CStringListEx hosts;
  bool m = SmarthostRoute(map, from, to, hosts);
  if (matched) *matched = m;
  return std::vector<std::string>(hosts.begin(), hosts.end());
}

TEST(SmarthostRoute, KeptSortedEntriesFollowEveryChangeOfTheMap) {
  CConfigMap map;
  map.SetString("*", "first.example");
  SortedEntries sorted;
  auto route = [&](const std::string& to) {
    CStringListEx hosts;
    SmarthostRoute(sorted.Of(map), "", to, hosts);
    return std::vector<std::string>(hosts.begin(), hosts.end());
  };
  EXPECT_EQ(route("a.example.org"), std::vector<std::string>{"first.example"});
  map.SetString("*.example.org", "second.example");
  EXPECT_EQ(route("a.example.org"), std::vector<std::string>{"second.example"});
  ASSERT_TRUE(map.LoadText("*:\tthird.example\n"));
  EXPECT_EQ(route("a.example.org"), std::vector<std::string>{"third.example"});
  map.RemoveKey("*");
  EXPECT_TRUE(route("a.example.org").empty());
  // Another map is never taken for the one read before.
  CConfigMap other;
  other.SetString("*", "other.example");
  EXPECT_EQ(sorted.Of(other).size(), 1u);
  EXPECT_EQ(sorted.Of(other)[0].second, "other.example");
}

TEST(SmarthostRoute, MoreDotsWinAndStarIsTheDefault) {
  CConfigMap map;
  map.SetString("*", "default.example:25");
  map.SetString("*.example.org", "a.example, b.example:2525 , ,");
  map.SetString("*.sub.example.org", "deep.example");
  EXPECT_THAT(Route(map, "", "x.example.org"), ElementsAre("a.example", "b.example:2525"));
  EXPECT_THAT(Route(map, "", "x.sub.example.org"), ElementsAre("deep.example"));
  EXPECT_THAT(Route(map, "", "other.net"), ElementsAre("default.example:25"));
  EXPECT_THAT(Route(map, "", ""), ElementsAre("default.example:25"));
}

TEST(SmarthostRoute, SenderAndRecipientKeys) {
  CConfigMap map;
  map.SetString("<corp.example", "out.corp.example");
  map.SetString(">partner.example", "partner-relay");
  EXPECT_THAT(Route(map, "corp.example", "anywhere.net"), ElementsAre("out.corp.example"));
  EXPECT_THAT(Route(map, "home.example", "partner.example"), ElementsAre("partner-relay"));
  bool matched = true;
  EXPECT_TRUE(Route(map, "home.example", "anywhere.net", &matched).empty());
  EXPECT_FALSE(matched);
  // Both match with one dot each: the smaller key in byte order wins ('<' < '>').
  EXPECT_THAT(Route(map, "corp.example", "partner.example"), ElementsAre("out.corp.example"));
}

TEST(SmarthostRoute, TiesGoToTheSmallerKeyWhateverTheHashOrder) {
  for (int round = 0; round < 20; ++round) {
    CConfigMap map;
    for (int i = 0; i < round; ++i) map.SetString("filler" + std::to_string(i) + ".x", "f");
    map.SetString("b*.org", "second");
    map.SetString("*b.org", "first");
    EXPECT_THAT(Route(map, "", "bb.org"), ElementsAre("first"));
  }
}

TEST(DeliveryResult, RangesDecideTheClass) {
  EXPECT_EQ(ClassifyResult(0), ResultClass::kDelivered);
  EXPECT_TRUE(IsTemporary(ToInt(DeliveryResult::kSocketError)));
  EXPECT_TRUE(IsTemporary(ToInt(DeliveryResult::kTemporary)));
  EXPECT_TRUE(IsTemporary(1));
  EXPECT_TRUE(IsTemporary(10));
  EXPECT_TRUE(IsPermanent(11));
  EXPECT_TRUE(IsPermanent(ToInt(DeliveryResult::kPermanent)));
  EXPECT_TRUE(IsConfigurationFault(ToInt(DeliveryResult::kBadFile)));
  EXPECT_TRUE(IsShutDown(ToInt(DeliveryResult::kShutDown)));
  EXPECT_TRUE(IsShutDown(-1));  // taken as unsigned
}

}  // namespace
}  // namespace kelpd::smtp
