// Both MX resolvers against a real DNS server (dnsmasq) on a loopback
// address. The system resolver reads /etc/resolv.conf, so the comparison runs
// in a child process of this binary with its own mount namespace, in which a
// resolv.conf naming the test server is bind-mounted over /etc/resolv.conf.
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dns/DnsApiResolver.h"
#include "dns/Resolver.h"
#include "dns/StubResolver.h"
#include "support/DnsmasqServer.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

namespace {

using kelpd::testing::DnsmasqServer;
using kelpd::testing::TempDir;
using ::testing::ElementsAre;
using namespace std::chrono_literals;

const char kZone[] =
    "mx-host=multi.test.example,mx1.test.example,10\n"
    "mx-host=multi.test.example,mx2.test.example,20\n"
    "mx-host=multi.test.example,mx3.test.example,30\n"
    "mx-host=multi.test.example,loop.test.example,5\n"
    "mx-host=multi.test.example,gone.test.example,15\n"
    "host-record=mx1.test.example,127.0.0.11\n"
    "host-record=mx2.test.example,127.0.0.12\n"
    "host-record=mx3.test.example,127.0.0.13\n"
    "host-record=loop.test.example,127.0.0.1\n"
    "host-record=plain.test.example,127.0.0.20\n"
    "cname=alias.test.example,plain.test.example\n"
    "cname=mxalias.test.example,multi.test.example\n"
    "txt-record=plain.test.example,\"v=test1\"\n"
    "mx-host=six.test.example,mx6.test.example,10\n"
    "host-record=mx6.test.example,2001:db8::25\n"
    "host-record=sixplain.test.example,2001:db8::26\n";

std::vector<std::string> Hosts(const CStringListEx& list) {
  std::vector<std::string> out;
  for (const std::string& h : list) {
    std::string s = h;
    if (!s.empty() && s.back() == '.') s.pop_back();
    out.push_back(s);
  }
  return out;
}

TEST(DnsResolvers, BothResolversAgainstARealServer) {
  TempDir dir;
  DnsmasqServer server(dir, kZone);
  if (!server.ready()) GTEST_SKIP() << "dnsmasq could not be started on a loopback address";
  std::string system_conf = dir.WriteFile(
      "system-resolv.conf", "nameserver " + server.address() + "\noptions timeout:2 attempts:2\n");
  dir.WriteFile("config/resolv.conf", "nameserver " + server.address() + "\n");
  std::string out = dir.Join("child.out");
  std::string command = "MAILCONFIGDIR='" + dir.Join("config") +
                        "' KELPD_DNS_CHILD=1 unshare -m sh -c 'mount --bind " + system_conf +
                        " /etc/resolv.conf && exec /proc/" + std::to_string(::getpid()) +
                        "/exe --gtest_also_run_disabled_tests "
                        "--gtest_filter=DnsResolvers.DISABLED_InChild*' > " +
                        out + " 2>&1";
  int status = std::system(command.c_str());
  std::ifstream in(out);
  std::stringstream text;
  text << in.rdbuf();
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text.str();
  EXPECT_NE(text.str().find("[  PASSED  ] 1 test"), std::string::npos) << text.str();
  if (std::getenv("KELPD_SHOW_CHILD")) std::fputs(text.str().c_str(), stderr);
}

// Runs only in the child started above.
TEST(DnsResolvers, DISABLED_InChildBothResolversAnswerAlike) {
  ASSERT_NE(std::getenv("KELPD_DNS_CHILD"), nullptr);
  CDnsApiResolver system;
  ASSERT_TRUE(system.Init());

  // Mail hosts on loopback addresses other than 127.0.0.1 are this machine
  // unless the set-up allows them, as this one must.
  {
    CStringListEx a, b;
    system.GetMXHosts("multi.test.example.", a);
    CStubResolver stub;
    EXPECT_EQ(stub.GetMXHosts("multi.test.example.", b), 0);
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_TRUE(b.IsEmpty());
  }
  system.AllowLoopbackHosts(true);

  // MX hosts by preference; the one on 127.0.0.1 and the one that does not
  // resolve are left out by both. An alias of the domain gives the same
  // hosts: its CNAME record leads the MX answer.
  for (const char* domain : {"multi.test.example.", "mxalias.test.example."}) {
    SCOPED_TRACE(domain);
    CStringListEx a, b;
    EXPECT_EQ(system.GetMXHosts(domain, a), 0);
    CStubResolver stub;
    stub.AllowLoopbackHosts(true);
    EXPECT_EQ(stub.GetMXHosts(domain, b), 0);
    EXPECT_THAT(Hosts(a), ElementsAre("mx1.test.example", "mx2.test.example", "mx3.test.example"));
    EXPECT_EQ(Hosts(a), Hosts(b));
  }
  // A domain without MX records: the domain itself.
  {
    CStringListEx a, b;
    EXPECT_EQ(system.GetMXHosts("plain.test.example.", a), 0);
    CStubResolver stub;
    stub.AllowLoopbackHosts(true);
    EXPECT_EQ(stub.GetMXHosts("plain.test.example.", b), 0);
    EXPECT_THAT(Hosts(a), ElementsAre("plain.test.example"));
    EXPECT_EQ(Hosts(a), Hosts(b));
  }
  // Hosts with only an IPv6 address are kept, as MX hosts and as the domain
  // itself.
  for (const char* domain : {"six.test.example.", "sixplain.test.example."}) {
    SCOPED_TRACE(domain);
    CStringListEx a, b;
    EXPECT_EQ(system.GetMXHosts(domain, a), 0);
    CStubResolver stub;
    EXPECT_EQ(stub.GetMXHosts(domain, b), 0);
    EXPECT_EQ(Hosts(a).size(), 1u);
    EXPECT_EQ(Hosts(a), Hosts(b));
  }
  EXPECT_EQ(kelpd::dns::MailHostAddresses("mx6.test.example."),
            std::vector{*kelpd::platform::ParseIpAddress("2001:db8::25")});
  // An alias without MX: the system resolver gives the alias target; the
  // built-in one keeps the name it was given, which resolves to the same host.
  {
    CStringListEx a, b;
    EXPECT_EQ(system.GetMXHosts("alias.test.example.", a), 0);
    CStubResolver stub;
    stub.AllowLoopbackHosts(true);
    EXPECT_EQ(stub.GetMXHosts("alias.test.example.", b), 0);
    EXPECT_THAT(Hosts(a), ElementsAre("plain.test.example"));
    EXPECT_THAT(Hosts(b), ElementsAre("alias.test.example"));
  }
  // A domain that does not exist.
  {
    CStringListEx a, b;
    EXPECT_EQ(system.GetMXHosts("nx.test.example.", a), 9003);
    CStubResolver stub;
    EXPECT_EQ(stub.GetMXHosts("nx.test.example.", b), 68);
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_TRUE(b.IsEmpty());
  }
  // Text records.
  {
    CStringListEx a, b;
    EXPECT_EQ(system.GetTXTRecords("plain.test.example.", a), 0);
    CStubResolver stub;
    EXPECT_EQ(stub.GetTXTRecords("plain.test.example.", b), 0);
    EXPECT_THAT(Hosts(a), ElementsAre("v=test1"));
    EXPECT_EQ(Hosts(a), Hosts(b));
  }
  // The factory picks the system resolver.
  std::unique_ptr<CResolver> made = CreateResolver();
  ASSERT_NE(made, nullptr);
  EXPECT_NE(dynamic_cast<CDnsApiResolver*>(made.get()), nullptr);
}

}  // namespace
