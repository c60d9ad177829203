// Both MX resolvers against a real DNS server (dnsmasq) on a loopback
// address. The system resolver reads /etc/resolv.conf, so the comparison runs
// in a child process of this binary with its own mount namespace, in which a
// resolv.conf naming the test server is bind-mounted over /etc/resolv.conf.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
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
#include "support/LoopbackPort.h"
#include "support/PeerProcess.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

namespace {

using kelpd::testing::TempDir;
using ::testing::ElementsAre;
using namespace std::chrono_literals;

// True when a TCP connection to address:53 is accepted.
bool Listening(const std::string& address) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(53);
  ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  ::close(fd);
  return ok;
}

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
    "txt-record=plain.test.example,\"v=test1\"\n";

class DnsServerProcess {
 public:
  explicit DnsServerProcess(const TempDir& dir) {
    address_ = kelpd::testing::FreeLoopbackAddress(53, 53);
    if (address_.empty()) return;
    std::string conf =
        dir.WriteFile("dnsmasq.conf", "no-resolv\nno-hosts\nport=53\nlisten-address=" + address_ +
                                          "\nbind-interfaces\nlocal=/test.example/\n" + kZone);
    std::vector<std::string> args = {"dnsmasq", "--keep-in-foreground",
                                     "--pid-file=", "--conf-file=" + conf,
                                     "--log-facility=" + dir.Join("log")};
    for (const char* path : {"/usr/sbin/dnsmasq", "/usr/bin/dnsmasq"}) {
      if (::access(path, X_OK) != 0) continue;
      args[0] = path;
      std::string error;
      ready_ = process_.Start(args, &error) &&
               kelpd::testing::WaitFor([&] { return Listening(address_); }, 5s, 50ms);
      break;
    }
  }
  bool ready() const { return ready_; }
  const std::string& address() const { return address_; }

 private:
  std::string address_;
  kelpd::testing::PeerProcess process_;
  bool ready_ = false;
};

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
  DnsServerProcess server(dir);
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
