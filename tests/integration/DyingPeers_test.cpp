// Peers that die or hang under the running service: the receiving MTA gone
// in the middle of DATA, a peer that accepts and never answers, a DNS server
// that stops answering. The mail is
// retried and delivered once the peer is back, no delivery thread is lost,
// and the stop sequence completes within its limits even while a session
// hangs.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fakes/ScriptedDnsServer.h"
#include "fakes/ScriptedSmtpServer.h"
#include "support/LoopbackPort.h"
#include "support/ServiceTree.h"
#include "support/SettledFigures.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using kelpd::testing::DnsAnswer;
using kelpd::testing::DnsQueryInfo;
using kelpd::testing::DnsReplyAction;
using kelpd::testing::ReadFile;
using kelpd::testing::ReplyLines;
using kelpd::testing::ScriptedConnection;
using kelpd::testing::ScriptedDnsServer;
using kelpd::testing::ScriptedSmtpServer;
using kelpd::testing::ServiceTree;
using kelpd::testing::ServiceTreeOptions;
using kelpd::testing::SettledFigures;
using kelpd::testing::StartedFigures;
using kelpd::testing::TempDir;
using kelpd::testing::WaitFor;

std::string RemoteMail(int i) {
  return "X-Envelope-From: sender@local.kelpd.test\r\nX-Envelope-To: r" + std::to_string(i) +
         "@remote.kelpd.test\r\nSubject: peer-mail-" + std::to_string(i) +
         "\r\n\r\npeer body\r\ntrailer-end\r\n";
}

// A well-behaved session that accepts the mail.
void Accept(ScriptedConnection& c) {
  c.Send("220 peer.kelpd.test ESMTP\r\n");
  for (int step = 0; step < 20; ++step) {
    std::string line = c.ReadLine(10000);
    if (line.empty()) return;
    std::string verb = line.substr(0, 4);  // the client writes its verbs in capitals
    if (verb == "EHLO") {
      c.Send(ReplyLines({"250-peer.kelpd.test", "250 8BITMIME"}));
    } else if (verb == "DATA") {
      c.Send("354 go ahead\r\n");
      c.ReadUntil("\r\n.\r\n", 10000);
      c.Send("250 2.0.0 accepted\r\n");
    } else if (verb == "QUIT") {
      c.Send("221 bye\r\n");
      return;
    } else {
      c.Send("250 ok\r\n");
    }
  }
}

ServiceTreeOptions Options(int port, std::vector<std::string> extra = {}) {
  ServiceTreeOptions options;
  options.binary = KELPD_BINARY;
  options.users = {"sender"};
  options.smarthosts = "*:\t127.0.0.1:" + std::to_string(port) + "\n";
  options.settings = {"AutoTransport:\t1", "AutoTransport.Threads:\t1", "AutoTransRetry:\t0",
                      "UseTLS:\t0",        "FQDN:\tkelpd.kelpd.test",   "TimeOut:\t60"};
  options.settings.insert(options.settings.end(), extra.begin(), extra.end());
  return options;
}

// The MTA dies in the middle of DATA; the mail waits, and is delivered once
// the MTA answers again, exactly once.
TEST(DyingPeers, MtaGoneInTheMiddleOfDataIsRetried) {
  ScriptedSmtpServer peer(
      [](ScriptedConnection& c, int index) {
        if (index > 0) return Accept(c);
        c.Send("220 peer.kelpd.test ESMTP\r\n");
        for (int step = 0; step < 10; ++step) {
          std::string line = c.ReadLine(10000);
          if (line.empty()) return;
          if (line.rfind("EHLO", 0) == 0) {
            c.Send(ReplyLines({"250-peer.kelpd.test", "250 8BITMIME"}));
          } else if (line.rfind("DATA", 0) == 0) {
            c.Send("354 go ahead\r\n");
            c.ReadLine(10000);  // the first line of the message, then gone
            c.Close();
            return;
          } else {
            c.Send("250 ok\r\n");
          }
        }
      },
      2);
  ServiceTree tree(Options(peer.port()));
  std::string error;
  ASSERT_TRUE(tree.Start(&error)) << error;
  ASSERT_TRUE(tree.WaitOperational(30s)) << tree.Log();
  const auto before = StartedFigures(tree, 30s);
  ASSERT_GT(before.threads, 0) << tree.Log();
  tree.QueueMail("1.eml", RemoteMail(1));
  ASSERT_TRUE(WaitFor([&] { return peer.Connections() >= 2; }, 60s)) << tree.Log();
  ASSERT_TRUE(WaitFor([&] { return ServiceTree::EmlFiles(tree.outgoing_dir()).empty(); }, 30s))
      << tree.Log();
  peer.Join(5000);
  EXPECT_NE(peer.Received(1).find("trailer-end\r\n.\r\n"), std::string::npos);
  EXPECT_TRUE(ServiceTree::EmlFiles(tree.error_dir()).empty());
  const auto after = SettledFigures(tree, before, 30s);
  EXPECT_EQ(after.threads, before.threads)
      << "a delivery thread was lost or added: " << before.thread_names << " -> "
      << after.thread_names;
  EXPECT_EQ(after.descriptors, before.descriptors)
      << "a descriptor leaked: " << before.descriptor_targets << " -> " << after.descriptor_targets;
  EXPECT_EQ(tree.Stop(60s), 0);
}

// A peer that accepts the connection and never says a word. The stop
// request wakes the hanging session: kelpd stops within seconds, and the
// mail is kept.
TEST(DyingPeers, StopCompletesWhileASessionHangs) {
  std::atomic<bool> release{false};
  ScriptedSmtpServer peer(
      [&](ScriptedConnection& c, int) {
        for (int i = 0; i < 900 && !release; ++i) c.Silence(100);
      },
      1);
  ServiceTree tree(Options(peer.port()));
  std::string error;
  ASSERT_TRUE(tree.Start(&error)) << error;
  ASSERT_TRUE(tree.WaitOperational(30s)) << tree.Log();
  tree.QueueMail("1.eml", RemoteMail(1));
  ASSERT_TRUE(WaitFor([&] { return peer.Connections() >= 1; }, 30s)) << tree.Log();
  std::this_thread::sleep_for(1s);
  auto begin = std::chrono::steady_clock::now();
  int code = tree.Stop(90s);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  release = true;
  std::printf("stop with a hanging session took %.1f s\n", seconds);
  EXPECT_EQ(code, 0);
  EXPECT_LT(seconds, 10.0) << "the stop request did not wake the session";
  size_t kept = ServiceTree::EmlFiles(tree.error_dir()).size() +
                ServiceTree::EmlFiles(tree.outgoing_dir()).size();
  EXPECT_EQ(kept, 1u) << tree.Log();
}

// The silent peer is given up after the session time-out (60 s at the
// least), and the mail goes out once the peer answers. Long: only with
// KELPD_LONG_TESTS set (bench/crash_safety.sh sets it).
TEST(DyingPeers, SilentPeerTimesOutAndMailIsDeliveredLater) {
  if (std::getenv("KELPD_LONG_TESTS") == nullptr) GTEST_SKIP() << "set KELPD_LONG_TESTS to run";
  ScriptedSmtpServer peer(
      [](ScriptedConnection& c, int index) {
        if (index > 0) return Accept(c);
        c.Silence(120000);
      },
      2);
  ServiceTree tree(Options(peer.port()));
  std::string error;
  ASSERT_TRUE(tree.Start(&error)) << error;
  ASSERT_TRUE(tree.WaitOperational(30s)) << tree.Log();
  const auto before = StartedFigures(tree, 30s);
  ASSERT_GT(before.threads, 0) << tree.Log();
  tree.QueueMail("1.eml", RemoteMail(1));
  ASSERT_TRUE(WaitFor(
      [&] { return ServiceTree::EmlFiles(tree.outgoing_dir()).empty() && peer.Connections() >= 2; },
      150s))
      << tree.Log();
  peer.Join(5000);
  EXPECT_NE(peer.Received(1).find("trailer-end\r\n.\r\n"), std::string::npos);
  const auto after = SettledFigures(tree, before, 30s);
  EXPECT_EQ(after.threads, before.threads) << before.thread_names << " -> " << after.thread_names;
  EXPECT_EQ(after.descriptors, before.descriptors)
      << before.descriptor_targets << " -> " << after.descriptor_targets;
  EXPECT_EQ(tree.Stop(60s), 0);
}

// The zone of the MX tests: the remote domain's exchanger and its address.
constexpr char kRemoteDomain[] = "remote.kelpd.test";
constexpr char kExchanger[] = "mx.remote.kelpd.test";

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// Answers for the zone; every other name does not exist.
std::vector<DnsReplyAction> ZoneAnswer(const DnsQueryInfo& q, const std::string& exchanger_ip) {
  std::string name = q.name;
  if (!name.empty() && name.back() == '.') name.pop_back();
  DnsAnswer answer(q);
  if (SameName(name, kRemoteDomain)) {
    if (q.type == 15) answer.Mx(name, 10, kExchanger);
  } else if (SameName(name, kExchanger)) {
    if (q.type == 1) answer.A(name, exchanger_ip);
  } else {
    answer.Rcode(3);
  }
  return {answer.Reply()};
}

// kelpd in a mount namespace of its own in which /etc/resolv.conf names the
// test's DNS server, so the system resolver asks it (and only it, once a
// second per try).
std::vector<std::string> ResolverWrapper(const std::string& conf) {
  return {"unshare", "-m", "sh", "-c", "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"", conf};
}

// The DNS server stops answering: mails to an MX domain wait in the outgoing
// directory (a temporary failure, never the error directory) and are retried;
// once the server answers again they are delivered exactly once; no thread
// or descriptor is lost; and a stop while a look-up goes unanswered completes
// within seconds, keeping the mail.
TEST(DyingPeers, SilentDnsServerDelaysMailUntilItAnswers) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for ports 53 and 25 and a mount namespace";
  const std::string dns_ip = kelpd::testing::FreeLoopbackAddress(70, 53);
  const std::string mx_ip = kelpd::testing::FreeLoopbackAddress(80, 25);
  if (dns_ip.empty() || mx_ip.empty()) GTEST_SKIP() << "no free loopback address for 53/25";

  std::atomic<bool> answering{false};
  ScriptedDnsServer dns(
      [&](const DnsQueryInfo& q) {
        return answering ? ZoneAnswer(q, mx_ip) : std::vector<DnsReplyAction>{};
      },
      dns_ip, 53);
  ASSERT_TRUE(dns.ok());
  ScriptedSmtpServer mx([](ScriptedConnection& c, int) { Accept(c); }, 1, mx_ip, 25);
  auto mx_queries = [&] {
    int n = 0;
    for (const DnsQueryInfo& q : dns.Queries()) n += q.type == 15 ? 1 : 0;
    return n;
  };

  TempDir conf_dir;
  const std::string conf = conf_dir.WriteFile(
      "resolv.conf", "nameserver " + dns_ip + "\noptions timeout:1 attempts:1\n");
  // The exchanger listens on a loopback address.
  ServiceTreeOptions options = Options(0, {"AllowLoopbackMX:\t1"});
  options.smarthosts.clear();
  ServiceTree tree(options);
  std::string error;
  ASSERT_TRUE(tree.Start(&error, ResolverWrapper(conf))) << error;
  ASSERT_TRUE(tree.WaitOperational(30s)) << tree.Log();
  const auto before = StartedFigures(tree, 30s);
  ASSERT_GT(before.threads, 0) << tree.Log();

  auto mail_to = [](int i) {
    return "X-Envelope-From: sender@local.kelpd.test\r\nX-Envelope-To: r" + std::to_string(i) +
           "@" + kRemoteDomain + "\r\nSubject: dns-mail-" + std::to_string(i) +
           "\r\n\r\ndns body\r\ntrailer-end\r\n";
  };
  tree.QueueMail("1.eml", mail_to(1));
  // Unanswered look-ups on at least two delivery attempts.
  ASSERT_TRUE(WaitFor([&] { return mx_queries() >= 2; }, 90s)) << tree.Log();
  EXPECT_EQ(ServiceTree::EmlFiles(tree.outgoing_dir()).size(), 1u) << tree.Log();
  EXPECT_TRUE(ServiceTree::EmlFiles(tree.error_dir()).empty()) << tree.Log();
  EXPECT_EQ(mx.Connections(), 0);

  answering = true;
  ASSERT_TRUE(WaitFor(
      [&] { return ServiceTree::EmlFiles(tree.outgoing_dir()).empty() && mx.Connections() >= 1; },
      90s))
      << tree.Log();
  mx.Join(5000);
  EXPECT_NE(mx.Received(0).find("RCPT To:<r1@remote.kelpd.test>"), std::string::npos)
      << mx.Received(0);
  EXPECT_NE(mx.Received(0).find("trailer-end\r\n.\r\n"), std::string::npos);
  EXPECT_TRUE(ServiceTree::EmlFiles(tree.error_dir()).empty()) << tree.Log();
  const auto after = SettledFigures(tree, before, 30s);
  EXPECT_EQ(after.threads, before.threads) << before.thread_names << " -> " << after.thread_names;
  EXPECT_EQ(after.descriptors, before.descriptors)
      << before.descriptor_targets << " -> " << after.descriptor_targets;

  // Silent again; stop while the second mail's look-up waits.
  answering = false;
  const int asked = mx_queries();
  tree.QueueMail("2.eml", mail_to(2));
  ASSERT_TRUE(WaitFor([&] { return mx_queries() > asked; }, 90s)) << tree.Log();
  auto begin = std::chrono::steady_clock::now();
  const int code = tree.Stop(60s);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  std::printf("stop during an unanswered look-up took %.1f s\n", seconds);
  EXPECT_EQ(code, 0) << tree.Log();
  EXPECT_LT(seconds, 20.0);
  EXPECT_EQ(ServiceTree::EmlFiles(tree.error_dir()).size() +
                ServiceTree::EmlFiles(tree.outgoing_dir()).size(),
            1u)
      << tree.Log();
  EXPECT_EQ(mx.Connections(), 1);
}

// A configuration restart lands while the first host's session hangs: that
// session ends, the check before the second host sees the stop, and nothing
// has been sent. The mail stays in the outgoing directory and is delivered
// after the restart (the first host now hangs up at once).
TEST(DyingPeers, ConfigurationRestartBetweenHostsKeepsTheMail) {
  std::atomic<bool> release{false};
  ScriptedSmtpServer hanging(
      [&](ScriptedConnection& c, int index) {
        if (index > 0) return c.Close();
        for (int i = 0; i < 900 && !release && !c.ClientClosed(100); ++i) {
        }
      },
      2);
  ScriptedSmtpServer good([](ScriptedConnection& c, int) { Accept(c); }, 1);
  ServiceTreeOptions options = Options(hanging.port());
  options.smarthosts = "*:\t127.0.0.1:" + std::to_string(hanging.port()) +
                       ", 127.0.0.1:" + std::to_string(good.port()) + "\n";
  ServiceTree tree(options);
  std::string error;
  ASSERT_TRUE(tree.Start(&error)) << error;
  ASSERT_TRUE(tree.WaitOperational(30s)) << tree.Log();
  tree.QueueMail("1.eml", RemoteMail(1));
  ASSERT_TRUE(WaitFor([&] { return hanging.Connections() >= 1; }, 30s)) << tree.Log();
  tree.Signal(SIGHUP);
  ASSERT_TRUE(tree.WaitForLog("stopped before a host was tried", 30s)) << tree.Log();
  ASSERT_TRUE(WaitFor(
      [&] { return ServiceTree::EmlFiles(tree.outgoing_dir()).empty() && good.Connections() >= 1; },
      60s))
      << tree.Log();
  release = true;
  good.Join(5000);
  EXPECT_NE(good.Received(0).find("trailer-end\r\n.\r\n"), std::string::npos);
  EXPECT_TRUE(ServiceTree::EmlFiles(tree.error_dir()).empty()) << tree.Log();
  EXPECT_EQ(tree.Stop(60s), 0);
}

}  // namespace
