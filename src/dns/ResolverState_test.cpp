#include "dns/ResolverState.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "fakes/ResolverTestEnv.h"
#include "platform/HostLookup.h"

namespace kelpd::dns {
namespace {

using kelpd::testing::ResolverTestEnv;
using ::testing::ElementsAre;

uint32_t Ip(const char* text) { return *platform::ParseIPv4(text); }

TEST(ResInit, FixedValuesAndNothingConfigured) {
  ResolverTestEnv env;
  ResolverState& st = env.Init();
  EXPECT_EQ(st.retransmit_seconds, 5);
  EXPECT_EQ(st.retry_count, 4);
  EXPECT_EQ(st.options, 0x2C1u);
  EXPECT_EQ(st.server_count, 0);
  EXPECT_EQ(st.servers[0].port, 53);
  EXPECT_EQ(st.default_domain, "");
  EXPECT_THAT(st.search_list, ElementsAre(""));
  EXPECT_FALSE(st.query_socket.valid());
  EXPECT_EQ(res_cleanup(), 0);
  EXPECT_EQ(CurrentResolverState(), nullptr);
  EXPECT_EQ(res_cleanup(), -1);
}

TEST(ResInit, PlatformServersAndDomainFromSystemFile) {
  ResolverTestEnv env;
  env.SystemConf(
      "# comment\nnameserver 192.0.2.1\nnameserver ::1\nnameserver 192.0.2.2\n"
      "search first.example second.example\nnameserver 192.0.2.3\nnameserver 192.0.2.4\n"
      "domain mail.corp.example.org\n");
  ResolverState& st = env.Init();
  ASSERT_EQ(st.server_count, 3);
  EXPECT_EQ(st.servers[0].address, Ip("192.0.2.1"));
  EXPECT_EQ(st.servers[1].address, Ip("192.0.2.2"));
  EXPECT_EQ(st.servers[2].address, Ip("192.0.2.3"));
  EXPECT_EQ(st.servers[2].port, 53);
  EXPECT_THAT(st.search_list,
              ElementsAre("mail.corp.example.org", "corp.example.org", "example.org"));
  // The first name of a search line when that line is the last.
  EXPECT_EQ(ParsePlatformResolvConf("domain a.example\nsearch b.example c.example\n").domain,
            "b.example");
}

TEST(ResInit, ConfigDirServersReplacePlatformServers) {
  ResolverTestEnv env;
  env.SystemConf("nameserver 192.0.2.1\nnameserver 192.0.2.2\n");
  env.MailConf("nameserver 192.0.2.53\n");
  ResolverState& st = env.Init();
  ASSERT_EQ(st.server_count, 1);
  EXPECT_EQ(st.servers[0].address, Ip("192.0.2.53"));
  EXPECT_EQ(st.servers[0].port, 53);
}

TEST(ResInit, FourServersKeepThreeAndInvalidOnesTakeNoPosition) {
  ResolverTestEnv env;
  env.MailConf(
      "nameserver not-an-address\nnameserver 192.0.2.1\nnameserver 192.0.2.2\n"
      "nameserver 192.0.2.3\nnameserver 192.0.2.4\n");
  ResolverState& st = env.Init();
  ASSERT_EQ(st.server_count, 3);
  EXPECT_EQ(st.servers[0].address, Ip("192.0.2.1"));
  EXPECT_EQ(st.servers[2].address, Ip("192.0.2.3"));
}

TEST(ResInit, KeywordPrefixCountsAndLeadingBlanksDoNot) {
  ResolverTestEnv env;
  env.MailConf(
      "nameserver192.0.2.7\n  nameserver 192.0.2.8\n\tdomain ignored.example\n"
      "domain\n"  // no value: ignored
      "domainz.example\n"
      "lookup file bind\n");
  ResolverState& st = env.Init();
  ASSERT_EQ(st.server_count, 1);
  EXPECT_EQ(st.servers[0].address, Ip("192.0.2.7"));
  // "domain" directly followed by the value's own letters.
  EXPECT_EQ(st.default_domain, "z.example");
}

TEST(ResInit, LocalDomainWinsOverDomainAndSearchLines) {
  ResolverTestEnv env;
  env.LocalDomain("corp.example.org");
  env.MailConf("domain other.example\nsearch a.example b.example\n");
  ResolverState& st = env.Init();
  EXPECT_EQ(st.default_domain, "corp.example.org");
  EXPECT_THAT(st.search_list, ElementsAre("corp.example.org", "example.org"));
}

TEST(ResInit, LastDomainLineDecides) {
  ResolverTestEnv env;
  env.MailConf("domain x.example\nsearch a.example b.example\n");
  ResolverState& st = env.Init();
  EXPECT_EQ(st.default_domain, "a.example");
  EXPECT_THAT(st.search_list, ElementsAre("a.example", "b.example"));

  env.MailConf("domain x.example\nsearch a.example b.example\ndomain y.example\n");
  ResolverState& again = env.Init();
  EXPECT_EQ(again.default_domain, "y.example");
  EXPECT_THAT(again.search_list, ElementsAre("y.example"));
}

TEST(ResInit, SearchLineKeepsSixNames) {
  ResolverTestEnv env;
  env.MailConf("search a b c d e f g h\n");
  ResolverState& st = env.Init();
  EXPECT_THAT(st.search_list, ElementsAre("a", "b", "c", "d", "e", "f"));
}

TEST(ResInit, HostNameGivesDomainWhenNothingElseDoes) {
  ResolverTestEnv env;
  env.HostName("mx1.mail.example.org");
  ResolverState& st = env.Init();
  EXPECT_EQ(st.default_domain, "mail.example.org");
  EXPECT_THAT(st.search_list, ElementsAre("mail.example.org", "example.org"));
}

TEST(ResInit, DerivedListHasAtMostThreeNames) {
  ResolverState st;
  st.default_domain = "a.b.c.d.example";
  DeriveSearchList(st);
  EXPECT_THAT(st.search_list, ElementsAre("a.b.c.d.example", "b.c.d.example", "c.d.example"));
  st.default_domain = "example.org";
  DeriveSearchList(st);
  EXPECT_THAT(st.search_list, ElementsAre("example.org"));
}

TEST(ResInit, LongLinesContinueAsNewLines) {
  ResolverTestEnv env;
  // 511 characters make one line for the reader; the rest is a line of its own.
  std::string filler = "# " + std::string(509, 'x');
  env.MailConf(filler + "nameserver 192.0.2.9\n");
  ResolverState& st = env.Init();
  ASSERT_EQ(st.server_count, 1);
  EXPECT_EQ(st.servers[0].address, Ip("192.0.2.9"));
}

TEST(ResInit, EachThreadHasItsOwnState) {
  ResolverTestEnv env;
  env.MailConf("nameserver 192.0.2.1\n");
  ResolverState* mine = &env.Init();
  ResolverState* other = nullptr;
  std::thread t([&] {
    EXPECT_EQ(CurrentResolverState(), nullptr);
    res_init();
    other = CurrentResolverState();
    EXPECT_EQ(other->server_count, 1);
    res_cleanup();
  });
  t.join();
  EXPECT_NE(mine, other);
  EXPECT_EQ(CurrentResolverState(), mine);
}

}  // namespace
}  // namespace kelpd::dns
