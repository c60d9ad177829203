// The real kelpd delivering over IPv6: to an MX host that dnsmasq knows only
// by an AAAA record, to a smarthost written as an IPv6 literal, and to a host
// with addresses of both families in the order "AddressFamily" gives. The
// receivers need port 25 on ::1 and on 127.0.0.2, so the test runs in a child
// process of this binary with a network namespace of its own (only its
// loopback interface) and a mount namespace in which a resolv.conf naming the
// test's dnsmasq lies over /etc/resolv.conf.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fakes/ScriptedSmtpServer.h"
#include "support/DnsmasqServer.h"
#include "support/ServiceTree.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

namespace {

using kelpd::testing::DnsmasqServer;
using kelpd::testing::ScriptedConnection;
using kelpd::testing::ScriptedSmtpServer;
using kelpd::testing::ServiceTree;
using kelpd::testing::ServiceTreeOptions;
using kelpd::testing::SmtpScript;
using kelpd::testing::TempDir;
using kelpd::testing::WaitFor;
using namespace std::chrono_literals;

TEST(IPv6Delivery, InANetworkNamespaceOfItsOwn) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for network and mount namespaces";
  TempDir dir;
  const std::string out = dir.Join("child.out");
  const std::string command =
      "KELPD_IPV6_CHILD=1 unshare -n -m sh -c 'ip link set lo up && exec "
      "/proc/" +
      std::to_string(::getpid()) +
      "/exe --gtest_also_run_disabled_tests "
      "--gtest_filter=IPv6Delivery.DISABLED_InChild*' > " +
      out + " 2>&1";
  const int status = std::system(command.c_str());
  std::ifstream in(out);
  std::stringstream text;
  text << in.rdbuf();
  if (text.str().find("[==========]") == std::string::npos)
    GTEST_SKIP() << "no network namespace with a loopback interface could be made: " << text.str();
  if (text.str().find("[  SKIPPED ] 1 test") != std::string::npos) GTEST_SKIP() << text.str();
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text.str();
  EXPECT_NE(text.str().find("[  PASSED  ] 1 test"), std::string::npos) << text.str();
}

const char kZone[] =
    "mx-host=v6only.kelpd.test,mx6.kelpd.test,10\n"
    "host-record=mx6.kelpd.test,::1\n"
    "mx-host=dual.kelpd.test,mxdual.kelpd.test,10\n"
    "host-record=mxdual.kelpd.test,127.0.0.2,::1\n";

std::string MailTo(const std::string& recipient) {
  return "X-Envelope-From: sender@local.kelpd.test\r\nX-Envelope-To: " + recipient +
         "\r\nSubject: ipv6\r\n\r\nbody\r\n";
}

// Every recipient a receiver was given, one RCPT line each.
std::string Recipients(const ScriptedSmtpServer& server) {
  std::string all;
  for (int i = 0; i < server.Connections(); ++i) {
    const std::string received = server.Received(i);
    const size_t at = received.find("RCPT To:<");
    if (at != std::string::npos) all += received.substr(at, received.find('\n', at) - at + 1);
  }
  return all;
}

// Runs only in the child started above.
TEST(IPv6Delivery, DISABLED_InChildAddressesOfBothFamilies) {
  ASSERT_NE(std::getenv("KELPD_IPV6_CHILD"), nullptr);
  TempDir dns_dir;
  DnsmasqServer dns(dns_dir, kZone);
  if (!dns.ready()) GTEST_SKIP() << "dnsmasq could not be started";
  const std::string conf =
      dns_dir.WriteFile("resolv.conf", "nameserver " + dns.address() + "\noptions attempts:2\n");
  ASSERT_EQ(std::system(("mount --bind " + conf + " /etc/resolv.conf").c_str()), 0);

  SmtpScript script;
  script.ehlo = {"250-receiver", "250 SIZE 1000000"};
  auto serve = [&](ScriptedConnection& c, int) { ServeScript(c, script); };
  ScriptedSmtpServer v6(serve, 8, "::1", 25);
  auto v4 = std::make_unique<ScriptedSmtpServer>(serve, 8, "127.0.0.2", 25);
  ScriptedSmtpServer smart(serve, 8, "::1");

  ServiceTreeOptions options;
  options.binary = KELPD_BINARY;
  options.users = {"sender"};
  options.smarthosts = "smart.kelpd.test:\t[::1]:" + std::to_string(smart.port()) + "\n";
  const std::vector<std::string> settings = {"AutoTransport:\t1",       "AutoTransport.Threads:\t1",
                                             "AutoTransRetry:\t0",      "TLS.Mode:\tnone",
                                             "FQDN:\tkelpd.kelpd.test", "AllowLoopbackMX:\t1"};
  auto with = [&](const std::string& family) {
    std::vector<std::string> s = settings;
    s.push_back("AddressFamily:\t" + family);
    return s;
  };
  options.settings = with("ipv6-first");
  ServiceTree tree(options);
  auto delivered = [&](int count) {
    return WaitFor([&] { return tree.CountInLog("successfully delivered mail") >= count; }, 90s);
  };
  std::string error;

  // IPv6 first: the AAAA-only MX host, the dual host's IPv6 address and the
  // IPv6 smarthost literal.
  ASSERT_TRUE(tree.Start(&error)) << error;
  ASSERT_TRUE(tree.WaitOperational(30s)) << tree.Log();
  tree.QueueMail("a.eml", MailTo("a@v6only.kelpd.test"));
  tree.QueueMail("b.eml", MailTo("b@dual.kelpd.test"));
  tree.QueueMail("c.eml", MailTo("c@smart.kelpd.test"));
  ASSERT_TRUE(delivered(3)) << tree.Log();
  EXPECT_EQ(v6.Connections(), 2);
  EXPECT_NE(Recipients(v6).find("<a@v6only.kelpd.test>"), std::string::npos) << tree.Log();
  EXPECT_NE(Recipients(v6).find("<b@dual.kelpd.test>"), std::string::npos) << tree.Log();
  EXPECT_EQ(Recipients(smart), "RCPT To:<c@smart.kelpd.test>\r\n");
  EXPECT_EQ(v4->Connections(), 0);
  EXPECT_EQ(tree.Stop(60s), 0);

  // IPv4 alone: the dual host's IPv4 address; the AAAA-only host is left
  // for later with its reason.
  tree.WriteConfiguration(with("ipv4"));
  ASSERT_TRUE(tree.Start(&error)) << error;
  tree.QueueMail("d.eml", MailTo("d@dual.kelpd.test"));
  tree.QueueMail("e.eml", MailTo("e@v6only.kelpd.test"));
  ASSERT_TRUE(delivered(4)) << tree.Log();
  ASSERT_TRUE(tree.WaitForLog("no address of mx6.kelpd.test", 60s)) << tree.Log();
  EXPECT_NE(tree.Log().find("is left to connect to: AddressFamily is ipv4"), std::string::npos);
  EXPECT_EQ(Recipients(*v4), "RCPT To:<d@dual.kelpd.test>\r\n");
  EXPECT_EQ(v6.Connections(), 2);
  EXPECT_EQ(tree.Stop(60s), 0);

  // An unknown word is the default, IPv4 first: with nothing on the dual
  // host's IPv4 address its IPv6 address takes the mail; the waiting mail
  // goes out too.
  v4.reset();
  tree.WriteConfiguration(with("sideways"));
  ASSERT_TRUE(tree.Start(&error)) << error;
  tree.QueueMail("f.eml", MailTo("f@dual.kelpd.test"));
  ASSERT_TRUE(delivered(6)) << tree.Log();
  EXPECT_EQ(tree.CountInLog("AddressFamily \"sideways\" is none of"), 1) << tree.Log();
  EXPECT_GE(tree.CountInLog("at 127.0.0.2 failed (the attempt to connect was rejected), trying "
                            "its next address"),
            1)
      << tree.Log();
  const std::string v6_recipients = Recipients(v6);
  EXPECT_NE(v6_recipients.find("<e@v6only.kelpd.test>"), std::string::npos) << v6_recipients;
  EXPECT_NE(v6_recipients.find("<f@dual.kelpd.test>"), std::string::npos) << v6_recipients;
  EXPECT_EQ(tree.Stop(60s), 0);
}

}  // namespace
