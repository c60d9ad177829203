#include "dns/MxLookup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "dns/DnsWire.h"
#include "dns/ResolverState.h"
#include "dns/StubResolver.h"
#include "fakes/ResolverTestEnv.h"
#include "fakes/ScriptedDnsServer.h"

namespace kelpd::dns {
namespace {

using kelpd::testing::DnsAnswer;
using kelpd::testing::DnsQueryInfo;
using kelpd::testing::DnsReplyAction;
using kelpd::testing::ResolverTestEnv;
using kelpd::testing::ScriptedDnsServer;
using ::testing::ElementsAre;
using Replies = std::vector<DnsReplyAction>;

struct Fixture {
  explicit Fixture(kelpd::testing::DnsScript script)
      : server(std::move(script)), env(server.port(), 10) {
    env.MailConf("nameserver 127.0.0.1\ndomain corp.example\n");
    st = &env.Init();
  }
  std::vector<std::string> Mx(const char* host, int* code) {
    char* hosts[kMaxMxEntries + 1] = {};
    int n = getmxrr(host, hosts, false, code);
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.push_back(hosts[i]);
    if (n < 0) out.push_back("-1");
    return out;
  }
  ScriptedDnsServer server;
  ResolverTestEnv env;
  ResolverState* st;
};

TEST(Getmxrr, EqualPreferencesFollowTheirWeights) {
  Fixture f([](const DnsQueryInfo& q) -> Replies {
    return {DnsAnswer(q)
                .Mx(q.name, 20, "c.example.org")
                .Mx(q.name, 10, "a.example.org")
                .Mx(q.name, 10, "b.example.org")
                .Reply()};
  });
  int code = 0;
  auto hosts = f.Mx("example.org.", &code);
  ASSERT_EQ(hosts.size(), 3u);
  bool a_first = MxWeight("a.example.org") <= MxWeight("b.example.org");
  EXPECT_EQ(hosts[0], a_first ? "a.example.org." : "b.example.org.");
  EXPECT_EQ(hosts[1], a_first ? "b.example.org." : "a.example.org.");
  EXPECT_EQ(hosts[2], "c.example.org.");
  // The same order on every lookup of the process.
  EXPECT_EQ(f.Mx("example.org.", &code), hosts);
}

TEST(Getmxrr, AtMostNineteenHosts) {
  Fixture f([](const DnsQueryInfo& q) -> Replies {
    // Compressed records, so that 25 of them fit into 512 bytes: owner and
    // the exchange's domain point to the question name.
    std::vector<uint8_t> records;
    for (int i = 0; i < 25; ++i) {
      records.insert(records.end(), {0xc0, 12, 0, 15, 0, 1, 0, 0, 0, 60, 0, 7, 0,
                                     static_cast<uint8_t>(i), 2, static_cast<uint8_t>('a' + i / 10),
                                     static_cast<uint8_t>('0' + i % 10), 0xc0, 12});
    }
    auto bytes = DnsAnswer(q).Raw(records, 25).Bytes();
    EXPECT_LE(bytes.size(), 512u);
    return {DnsReplyAction{bytes}};
  });
  int code = 0;
  auto hosts = f.Mx("example.org.", &code);
  ASSERT_EQ(hosts.size(), 19u);
  EXPECT_EQ(hosts[0], "a0.example.org.");
  EXPECT_EQ(hosts[18], "b8.example.org.");
}

TEST(Getmxrr, FailuresGiveTheirResultCodes) {
  std::atomic<int> rcode{3};  // read on the server thread
  Fixture f([&](const DnsQueryInfo& q) -> Replies { return {DnsAnswer(q).Rcode(rcode).Reply()}; });
  int code = 0;
  EXPECT_THAT(f.Mx("nowhere.example.", &code), ElementsAre("-1"));
  EXPECT_EQ(code, EX_NOHOST);
  rcode = 2;
  EXPECT_THAT(f.Mx("nowhere.example.", &code), ElementsAre("-1"));
  EXPECT_EQ(code, EX_TEMPFAIL);
  // A refusal falls back to the host itself, without canonicalisation.
  rcode = 5;
  size_t before = f.server.Queries().size();
  EXPECT_THAT(f.Mx("nowhere.example.", &code), ElementsAre("nowhere.example."));
  EXPECT_EQ(f.server.Queries().size(), before + 1);

  CStubResolver stub;  // a fresh state for this thread
  CStringListEx hosts;
  rcode = 3;
  EXPECT_EQ(stub.GetMXHosts("nowhere.example.", hosts), 68);
  EXPECT_TRUE(hosts.IsEmpty());
}

TEST(Getmxrr, NoServerGivesTemporaryFailure) {
  ResolverTestEnv env;
  CStubResolver stub;
  CStringListEx hosts;
  EXPECT_EQ(stub.GetMXHosts("example.org.", hosts), 75);
}

TEST(Getmxrr, BracketedLiteralSkipsTheLookup) {
  Fixture f([](const DnsQueryInfo& q) -> Replies { return {DnsAnswer(q).Rcode(3).Reply()}; });
  int code = 0;
  EXPECT_THAT(f.Mx("[192.0.2.1]", &code), ElementsAre("[192.0.2.1]"));
  EXPECT_TRUE(f.server.Queries().empty());
}

TEST(Getmxrr, BracketedNameIsCanonicalised) {
  Fixture f([](const DnsQueryInfo& q) -> Replies {
    if (q.name == "mail.example.org") return {DnsAnswer(q).A(q.name, "192.0.2.1").Reply()};
    return {DnsAnswer(q).Rcode(3).Reply()};
  });
  int code = 0;
  EXPECT_THAT(f.Mx("[mail.example.org]", &code), ElementsAre("mail.example.org."));
}

TEST(Getmxrr, LongFallbackNamesStayInsideTheBuffer) {
  Fixture f([](const DnsQueryInfo&) -> Replies { return {}; });
  int code = 0;
  std::string huge = "[" + std::string(20000, 'a') + "]";
  auto hosts = f.Mx(huge.c_str(), &code);
  ASSERT_EQ(hosts.size(), 1u);
  EXPECT_EQ(hosts[0].size(), static_cast<size_t>(kMXHostBufSize - 2));
}

// Answers for a domain with no MX records whose name is an alias chain.
Replies CnameChain(const DnsQueryInfo& q, int links) {
  const std::string base = "alias0.example.org";
  if (q.type == kTypeMx && q.name == base) return {DnsAnswer(q).Reply()};  // no MX
  for (int i = 0; i < links; ++i) {
    if (q.name == "alias" + std::to_string(i) + ".example.org")
      return {DnsAnswer(q).Cname(q.name, "alias" + std::to_string(i + 1) + ".example.org").Reply()};
  }
  if (q.name == "alias" + std::to_string(links) + ".example.org")
    return {DnsAnswer(q).A(q.name, "192.0.2.1").Reply()};
  return {DnsAnswer(q).Rcode(3).Reply()};
}

TEST(CanonicalizeHost, FollowsElevenCnameLinks) {
  Fixture f([](const DnsQueryInfo& q) { return CnameChain(q, 11); });
  int code = 0;
  EXPECT_THAT(f.Mx("alias0.example.org.", &code), ElementsAre("alias11.example.org."));
}

TEST(CanonicalizeHost, TwelveLinksEndWithTheLoopMessage) {
  Fixture f([](const DnsQueryInfo& q) { return CnameChain(q, 12); });
  int code = 0;
  ::testing::internal::CaptureStderr();
  auto hosts = f.Mx("alias0.example.org.", &code);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(hosts, ElementsAre("alias0.example.org."));
  EXPECT_NE(err.find("***notify: DNS failure: CNAME loop for alias11.example.org\n"),
            std::string::npos)
      << err;
}

TEST(CanonicalizeHost, UsesTheSearchListAndTheFirstMatch) {
  Fixture f([](const DnsQueryInfo& q) -> Replies {
    if (q.name == "www.corp.example") return {DnsAnswer(q).A(q.name, "192.0.2.1").Reply()};
    return {DnsAnswer(q).Rcode(3).Reply()};
  });
  char host[256] = "www";
  ASSERT_TRUE(canonicalize_host(host, sizeof host, false));
  EXPECT_STREQ(host, "www.corp.example");
  char none[256] = "nothing.anywhere";
  EXPECT_FALSE(canonicalize_host(none, sizeof none, false));
  EXPECT_STREQ(none, "nothing.anywhere");
}

TEST(CanonicalizeHost, AnyThenAThenAaaaThenMx) {
  Fixture f([](const DnsQueryInfo& q) -> Replies {
    if (q.type == kTypeMx) return {DnsAnswer(q).Mx(q.name, 10, "mx.example.org").Reply()};
    return {DnsAnswer(q).Reply()};  // exists, no records of the type
  });
  char host[256] = "mail.example.org.";
  ASSERT_TRUE(canonicalize_host(host, sizeof host, true));
  EXPECT_STREQ(host, "mail.example.org");
  std::vector<int> types;
  for (const auto& q : f.server.Queries()) types.push_back(q.type);
  EXPECT_THAT(types, ElementsAre(kTypeAny, kTypeA, kTypeAaaa, kTypeMx));
}

// A host with only an IPv6 address is found by its AAAA record; an AAAA
// record whose data is not 16 bytes long is no address.
TEST(CanonicalizeHost, AaaaRecordOfSixteenBytesIsAnAddress) {
  Fixture f([](const DnsQueryInfo& q) -> Replies {
    DnsAnswer answer(q);
    std::vector<uint8_t> v6(16, 0);
    v6[0] = 0x20, v6[1] = 0x01, v6[15] = 1;
    if (q.name == "short.example.org") v6.pop_back();
    if (q.type == kTypeAaaa) answer.Record(q.name, kTypeAaaa, v6);
    return {answer.Reply()};
  });
  char six[256] = "six.example.org.";
  EXPECT_TRUE(canonicalize_host(six, sizeof six, false));
  char cut[256] = "short.example.org.";
  EXPECT_FALSE(canonicalize_host(cut, sizeof cut, false));
}

// Answers built by hand for the walker.
std::vector<uint8_t> MxMessage(const std::vector<uint8_t>& records, int ancount) {
  std::vector<uint8_t> m = {0, 1, 0x81, 0x80, 0, 1, 0, static_cast<uint8_t>(ancount), 0, 0, 0, 0};
  std::vector<uint8_t> q = DnsAnswer::EncodeName("example.org");
  m.insert(m.end(), q.begin(), q.end());
  m.insert(m.end(), {0, 15, 0, 1});
  m.insert(m.end(), records.begin(), records.end());
  return m;
}

TEST(WalkMxAnswer, HostileRecordsEndTheWalkSafely) {
  char buf[kMXHostBufSize];
  MxEntry entries[kMaxMxEntries];
  // One good record (pointer to the question name), then one whose exchange
  // name points to itself, then one cut short.
  std::vector<uint8_t> rec = {0xc0, 12, 0, 15, 0, 1, 0, 0, 0, 60, 0, 5, 0, 10, 1, 'x', 0};
  rec.insert(rec.end(), {0xc0, 12, 0, 15, 0, 1, 0, 0, 0, 60, 0, 4, 0, 20, 0xc0, 0});
  auto m = MxMessage(rec, 3);
  size_t loop_at = m.size() - 2;
  m[m.size() - 1] = static_cast<uint8_t>(loop_at);  // pointer to itself
  m.insert(m.end(), {0xc0, 12, 0, 15, 0, 1});
  int n = WalkMxAnswer(m.data(), static_cast<int>(m.size()), buf, sizeof buf, entries);
  ASSERT_EQ(n, 1);
  EXPECT_STREQ(entries[0].name, "x.");
  // A question that runs past the end.
  auto q = MxMessage({}, 0);
  q.resize(20);
  EXPECT_EQ(WalkMxAnswer(q.data(), static_cast<int>(q.size()), buf, sizeof buf, entries), -1);
  // Record data announced longer than the message.
  auto longer = MxMessage({0xc0, 12, 0, 15, 0, 1, 0, 0, 0, 60, 1, 0, 0, 10, 0}, 1);
  EXPECT_EQ(WalkMxAnswer(longer.data(), static_cast<int>(longer.size()), buf, sizeof buf, entries),
            0);
}

TEST(WalkMxAnswer, NamesThatOutgrowTheBufferEndTheWalk) {
  // 19 names of 4 labels of 60 control bytes: each expands to about 970
  // characters, together far more than the host buffer.
  std::vector<uint8_t> records;
  for (int i = 0; i < 19; ++i) {
    std::vector<uint8_t> rd = {0, 10};
    for (int l = 0; l < 4; ++l) {
      rd.push_back(60);
      rd.insert(rd.end(), 60, static_cast<uint8_t>(1 + i));
    }
    rd.push_back(0);
    records.insert(records.end(),
                   {0xc0, 12, 0, 15, 0, 1, 0, 0, 0, 60, static_cast<uint8_t>(rd.size() >> 8),
                    static_cast<uint8_t>(rd.size())});
    records.insert(records.end(), rd.begin(), rd.end());
  }
  auto m = MxMessage(records, 19);
  char buf[kMXHostBufSize];
  MxEntry entries[kMaxMxEntries];
  int n = WalkMxAnswer(m.data(), static_cast<int>(m.size()), buf, sizeof buf, entries);
  EXPECT_GT(n, 5);
  EXPECT_LT(n, 19);
  for (int i = 0; i < n; ++i) {
    EXPECT_LT(entries[i].name + std::strlen(entries[i].name), buf + sizeof buf);
    for (const char* p = entries[i].name; *p; ++p) EXPECT_GE(static_cast<unsigned char>(*p), 0x21);
  }
}

}  // namespace
}  // namespace kelpd::dns
