// What an administrator sees and does: the log on the local syslog socket,
// the queue tool against a delivering kelpd, and the configuration check.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fakes/ScriptedSmtpServer.h"
#include "support/ChildProcess.h"
#include "support/LocalSyslogReceiver.h"
#include "support/ServiceTree.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using kelpd::testing::ChildResult;
using kelpd::testing::RunChild;
using kelpd::testing::ScriptedConnection;
using kelpd::testing::ScriptedSmtpServer;
using kelpd::testing::ServiceTree;
using kelpd::testing::ServiceTreeOptions;

const char kRemoteMail[] =
    "X-Envelope-From: sender@local.kelpd.test\r\nX-Envelope-To: far@remote.kelpd.test\r\n"
    "Subject: operating\r\n\r\nbody\r\n";

// A peer that takes every mail.
void Accept(ScriptedConnection& c) {
  kelpd::testing::SmtpScript script;
  script.greeting = "220 peer.kelpd.test ESMTP";
  script.ehlo = {"250-peer.kelpd.test", "250 8BITMIME"};
  kelpd::testing::ServeScript(c, script);
}

ServiceTreeOptions RemoteOptions(int port, bool debug, std::vector<std::string> extra = {}) {
  ServiceTreeOptions options;
  options.binary = KELPD_BINARY;
  options.debug_mode = debug;
  options.users = {"sender", "alice"};
  options.smarthosts = "*:\t127.0.0.1:" + std::to_string(port) + "\n";
  options.settings = {"AutoTransport:\t1", "AutoTransport.Threads:\t1", "UseTLS:\t0",
                      "FQDN:\tkelpd.kelpd.test", "TimeOut:\t60"};
  options.settings.insert(options.settings.end(), extra.begin(), extra.end());
  return options;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

void PutFile(const std::string& path, const std::string& text) {
  const std::string temp = fs::path(path).parent_path().string() + "/.put.tmp";
  std::ofstream(temp, std::ios::binary) << text;
  fs::rename(temp, path);
}

// Runs a program of the suite against the tree's configuration, with the
// companion programs on the path as the service has them.
ChildResult RunOn(ServiceTree& tree, const char* binary, std::vector<std::string> args) {
  const char* inherited = std::getenv("PATH");
  const std::string path = fs::path(KELPD_QUEUE_BINARY).parent_path().string() + ":" +
                           (inherited != nullptr ? inherited : "/usr/bin:/bin");
  std::vector<std::string> argv = {"/usr/bin/env", "MAILCONFIGDIR=" + tree.config_dir(),
                                   "MAILLOCKDIR=" + tree.lock_dir(), "PATH=" + path, binary};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunChild(argv, "");
}

ChildResult Queue(ServiceTree& tree, std::vector<std::string> args) {
  return RunOn(tree, KELPD_QUEUE_BINARY, std::move(args));
}

// Without a log host, the start-up lines and the traffic line of a delivered
// mail go to the local syslog socket, with the facilities and tag of the
// UDP datagrams.
TEST(Operating, LogLinesGoToTheLocalSyslogSocketWithoutALogHost) {
  ScriptedSmtpServer peer([](ScriptedConnection& c, int) { Accept(c); });
  ServiceTree tree(RemoteOptions(peer.port(), false));
  kelpd::testing::LocalSyslogReceiver journal(tree.root() + "/log.sock");
  ASSERT_TRUE(journal.ok());
  // The tree's own configuration names its UDP receiver; this one names none.
  std::string cfg;
  for (const auto& [key, dir] : {std::pair{"QueueDir", tree.queue_dir()},
                                 {"SpoolDir", tree.spool_dir()},
                                 {"ErrorDir", tree.error_dir()},
                                 {"OutgoingDir", tree.outgoing_dir()},
                                 {"FilterDir", tree.filter_dir()}})
    cfg += std::string(key) + ":\t" + dir + "\n";
  cfg += "LogSocket:\t" + journal.path() + "\nAutoTransport.Threads:\t1\nUseTLS:\t0\n";
  tree.WriteList("kelpd.cfg", cfg);
  PutFile(tree.outgoing_dir() + "/1.eml", kRemoteMail);

  std::string error;
  ASSERT_TRUE(tree.Start(&error)) << error;
  std::string seen;
  EXPECT_TRUE(journal.WaitFor("<22> [", 30s, &seen) && seen.find("Kelpd: ") != std::string::npos)
      << seen;
  EXPECT_TRUE(journal.WaitFor("launched and fully operational", 30s, &seen)) << seen;
  EXPECT_TRUE(journal.WaitFor("Kelpd: Traffic: ", 30s, &seen)) << seen;
  EXPECT_NE(seen.find("<150> ["), std::string::npos) << seen;  // local2, info
  EXPECT_EQ(tree.Log().find("launched"), std::string::npos);   // nothing went by UDP
  EXPECT_EQ(tree.Stop(20s), 0);
}

// A temporary failure leaves the mail deferred for an hour; flush has it
// tried at once, and the delivery shows in the figures.
TEST(Operating, ListShowsDeferredMailAndFlushRetriesItAtOnce) {
  ScriptedSmtpServer peer(
      [](ScriptedConnection& c, int i) {
        if (i == 0)
          c.Send("421 4.3.2 peer busy, come back later\r\n");
        else
          Accept(c);
      },
      2);
  ServiceTree tree(RemoteOptions(peer.port(), true, {"AutoTransRetry:\t60"}));
  PutFile(tree.outgoing_dir() + "/d1.eml", kRemoteMail);
  std::string error;
  ASSERT_TRUE(tree.Start(&error)) << error;
  ASSERT_TRUE(tree.WaitForLog("I will retry later", 60s)) << tree.Log();

  ChildResult list = Queue(tree, {"list"});
  EXPECT_EQ(list.exit_code, 0) << list.err;
  EXPECT_NE(list.out.find("d1.eml"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("deferred"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("<sender@local.kelpd.test> -> far@remote.kelpd.test"), std::string::npos)
      << list.out;
  ChildResult json = Queue(tree, {"list", "--json"});
  EXPECT_NE(json.out.find("\"name\":\"d1.eml\",\"directory\":\"outgoing\""), std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("\"state\":\"deferred\""), std::string::npos) << json.out;
  ChildResult show = Queue(tree, {"show", "d1"});
  EXPECT_EQ(show.exit_code, 0) << show.err;
  EXPECT_NE(show.out.find("Subject: operating"), std::string::npos) << show.out;
  EXPECT_NE(show.out.find("failure report:"), std::string::npos) << show.out;
  EXPECT_NE(show.out.find("peer busy"), std::string::npos) << show.out;

  ChildResult flush = Queue(tree, {"flush"});
  EXPECT_EQ(flush.exit_code, 0) << flush.err;
  EXPECT_TRUE(WaitFor([&] { return ServiceTree::EmlFiles(tree.outgoing_dir()).empty(); }, 60s))
      << tree.Log();
  EXPECT_EQ(peer.Connections(), 2);
  EXPECT_NE(peer.Received(1).find("Subject: operating"), std::string::npos);

  const std::string prom = tree.root() + "/kelpd.prom";
  std::string figures;
  EXPECT_TRUE(WaitFor(
      [&] {
        EXPECT_EQ(Queue(tree, {"stats", "--prometheus", "-o", prom}).exit_code, 0);
        figures = kelpd::testing::ReadFile(prom);
        return figures.find("kelpd_delivered_total 1\n") != std::string::npos;
      },
      10s))
      << figures;
  EXPECT_NE(figures.find("kelpd_queue_mails{directory=\"outgoing\"} 0\n"), std::string::npos);
  EXPECT_NE(figures.find("kelpd_failed_total 0\n"), std::string::npos);
}

// A mail in delivery is left alone by delete; a mail from the error
// directory is requeued and delivered; delete takes a report along.
TEST(Operating, HeldMailIsLeftAloneAndRequeuedMailIsDelivered) {
  ScriptedSmtpServer peer([](ScriptedConnection& c, int) { c.Silence(60000); });
  ServiceTree tree(RemoteOptions(peer.port(), true));
  PutFile(tree.outgoing_dir() + "/held.eml", kRemoteMail);
  std::string error;
  ASSERT_TRUE(tree.Start(&error)) << error;
  // Once the peer has the connection, the thread holds the mail.
  ASSERT_TRUE(WaitFor([&] { return peer.Connections() == 1; }, 30s)) << tree.Log();

  ChildResult list = Queue(tree, {"list"});
  EXPECT_NE(list.out.find("held"), std::string::npos) << list.out;
  ChildResult del = Queue(tree, {"delete", "held.eml"});
  EXPECT_EQ(del.exit_code, 75);
  EXPECT_NE(del.err.find("held.eml (outgoing): held by a delivery thread, left alone"),
            std::string::npos)
      << del.err;
  EXPECT_TRUE(fs::exists(tree.outgoing_dir() + "/held.eml"));

  PutFile(tree.error_dir() + "/back.eml",
          "X-Envelope-From: sender@local.kelpd.test\r\nX-Envelope-To: alice@local.kelpd.test\r\n"
          "Subject: back\r\n\r\nagain\r\n");
  PutFile(tree.error_dir() + "/gone.eml", kRemoteMail);
  PutFile(tree.error_dir() + "/gone.eml.err", "Subject: report\r\n\r\nfailed\r\n");
  PutFile(tree.error_dir() + "/keep.eml", kRemoteMail);

  ChildResult requeue = Queue(tree, {"requeue", "back", "nosuch"});
  EXPECT_EQ(requeue.exit_code, 66);
  EXPECT_NE(requeue.out.find("back.eml: moved from the error directory to the queue directory"),
            std::string::npos)
      << requeue.out;
  EXPECT_NE(requeue.err.find("nosuch.eml: not in the error or filter directory"), std::string::npos)
      << requeue.err;
  EXPECT_TRUE(WaitFor([&] { return tree.MailboxFiles("alice").size() == 1; }, 30s)) << tree.Log();

  ChildResult gone = Queue(tree, {"delete", "gone"});
  EXPECT_EQ(gone.exit_code, 0) << gone.err;
  EXPECT_NE(gone.out.find("gone.eml (error): deleted, with its failure report"), std::string::npos)
      << gone.out;
  EXPECT_FALSE(fs::exists(tree.error_dir() + "/gone.eml.err"));
  EXPECT_TRUE(fs::exists(tree.error_dir() + "/keep.eml"));
}

// The check names each problem once, with its file and line, and exits 1;
// on a sound tree it exits 0. Either way it writes nothing.
TEST(Operating, ConfigurationCheckNamesEachProblemOnce) {
  ServiceTree tree(RemoteOptions(25, true));
  auto listing = [&] {
    std::string names;
    for (const auto& e : fs::recursive_directory_iterator(tree.root()))
      names += e.path().string() + "\n";
    return names;
  };
  tree.WriteList("resolv.conf", "nameserver 127.0.0.1\n");
  std::string before = listing();
  ChildResult good = RunOn(tree, KELPD_BINARY, {"-check"});
  EXPECT_EQ(good.exit_code, 0) << good.out << good.err;
  EXPECT_EQ(listing(), before);  // no pid file, no lock file, nothing else

  tree.SetDirectory("ErrorDir", tree.root() + "/no-such-dir");
  tree.WriteList("aliases", "postmaster:\talice\nghost:\tnobody\nx@far.example:\talice\n");
  tree.WriteList("smarthosts", "*:\t127.0.0.1:25, :25\n");
  tree.WriteList("resolv.conf",
                 "search kelpd.test\nnameserver not-an-address\nnameserver 127.0.0.1\n");
  before = listing();
  ChildResult bad = RunOn(tree, KELPD_BINARY, {"-check"});
  EXPECT_EQ(bad.exit_code, 1) << bad.out;
  EXPECT_EQ(listing(), before);
  const std::string cfg = tree.config_dir() + "/kelpd.cfg";
  const std::vector<std::string> expected = {
      cfg + ":4: ErrorDir \"" + tree.root() + "/no-such-dir\" is missing or no directory",
      tree.config_dir() + "/aliases:2: faulty alias \"ghost\" -> \"nobody\"",
      tree.config_dir() + "/aliases:3: faulty alias \"x@far.example\" -> \"alice\": the domain",
      tree.config_dir() + "/smarthosts:1: smarthost entry \":25\" of \"*\" does not parse",
      tree.config_dir() + "/resolv.conf:2: name server \"not-an-address\" is no IPv4 address"};
  for (const std::string& line : expected) {
    size_t at = bad.out.find(line);
    EXPECT_NE(at, std::string::npos) << line << "\n" << bad.out;
    if (at != std::string::npos) {
      EXPECT_EQ(bad.out.find(line, at + 1), std::string::npos) << line;
    }
  }
  EXPECT_EQ(std::count(bad.out.begin(), bad.out.end(), '\n'), static_cast<long>(expected.size()))
      << bad.out;
}

}  // namespace

namespace {

// The check names an AddressFamily the delivery would not understand, and
// takes a bracketed IPv6 smarthost entry.
TEST(Operating, ConfigurationCheckNamesAnUnknownAddressFamily) {
  ServiceTree tree(RemoteOptions(25, true, {"AddressFamily:\tipv5"}));
  tree.WriteList("resolv.conf", "nameserver 127.0.0.1\n");
  tree.WriteList("smarthosts", "*:\t[::1]:2525\n");
  ChildResult bad = RunOn(tree, KELPD_BINARY, {"-check"});
  EXPECT_EQ(bad.exit_code, 1) << bad.out;
  const std::string line = "AddressFamily \"ipv5\" is none of ipv4-first, ipv4, ipv6, ipv6-first";
  EXPECT_EQ(bad.out.rfind(tree.config_dir() + "/kelpd.cfg:", 0), 0u) << bad.out;
  EXPECT_NE(bad.out.find(line), std::string::npos) << bad.out;
  EXPECT_EQ(std::count(bad.out.begin(), bad.out.end(), '\n'), 1) << bad.out;
}

}  // namespace
