// Mail that no arrival announces is still delivered: files that were there
// before the start, and files whose writers filled them after creating them
// empty and keep them open (their only event came while they were empty).
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

#include "support/ServiceTree.h"
#include "support/SmtpSink.h"
#include "support/WaitFor.h"

namespace {

using kelpd::testing::ServiceTree;
using kelpd::testing::ServiceTreeOptions;
using kelpd::testing::SmtpSink;
using kelpd::testing::WaitFor;
using namespace std::chrono_literals;

std::string MailTo(const std::string& rcpt, int n) {
  return "X-Envelope-From: <sender@remote.kelpd.test>\r\nX-Envelope-To: <" + rcpt +
         ">\r\nMessage-ID: <wake" + std::to_string(n) +
         "@remote.kelpd.test>\r\nSubject: wake\r\n\r\nbody\r\n";
}

TEST(WakeOnArrival, MailWithoutAnArrivalEventIsDeliveredByTheScan) {
  if (std::string why = SmtpSink::MissingPrerequisite(); !why.empty()) GTEST_SKIP() << why;
  SmtpSink sink;
  std::string error;
  ASSERT_TRUE(sink.Start(&error)) << error;
  ServiceTreeOptions options;
  options.binary = KELPD_BINARY;
  options.users = {"alice"};
  options.smarthosts = "*:\t127.0.0.1:" + std::to_string(sink.port()) + "\n";
  options.settings = {"AutoTransport:\t1", "AutoTransport.Threads:\t2", "UseTLS:\t0"};
  ServiceTree tree(options);
  tree.QueueMail("before.eml", MailTo("alice@local.kelpd.test", 1));
  tree.PlaceMail(tree.outgoing_dir(), "before.eml", MailTo("bob@remote.kelpd.test", 2));
  ASSERT_TRUE(tree.Start(&error)) << error;
  ASSERT_TRUE(tree.WaitOperational(30s)) << tree.Log();
  ASSERT_TRUE(WaitFor([&] { return tree.MailboxFiles("alice").size() == 1; }, 30s)) << tree.Log();
  ASSERT_TRUE(sink.WaitForMessages(1, 30s)) << tree.Log();

  // Files created empty: the agents' scans pass over them. A marker mail
  // behind each shows that a scan has listed the directory since.
  std::ofstream queued(tree.queue_dir() + "/open.eml", std::ios::binary);
  std::ofstream outgoing(tree.outgoing_dir() + "/open.eml", std::ios::binary);
  tree.QueueMail("marker.eml", MailTo("alice@local.kelpd.test", 3));
  tree.PlaceMail(tree.outgoing_dir(), "marker.eml", MailTo("bob@remote.kelpd.test", 4));
  ASSERT_TRUE(WaitFor([&] { return tree.MailboxFiles("alice").size() == 2; }, 30s)) << tree.Log();
  ASSERT_TRUE(sink.WaitForMessages(2, 30s)) << tree.Log();
  // Filled without a close: no event says so, only the next full scan can.
  queued << MailTo("alice@local.kelpd.test", 5) << std::flush;
  outgoing << MailTo("carol@remote.kelpd.test", 6) << std::flush;
  ASSERT_TRUE(queued && outgoing);
  EXPECT_TRUE(WaitFor([&] { return tree.MailboxFiles("alice").size() == 3; }, 30s)) << tree.Log();
  EXPECT_TRUE(sink.WaitForMessages(3, 30s)) << tree.Log();
  EXPECT_TRUE(tree.WaitQueueEmpty(30s));
  EXPECT_TRUE(WaitFor([&] { return ServiceTree::EmlFiles(tree.outgoing_dir()).empty(); }, 30s));
  EXPECT_TRUE(ServiceTree::EmlFiles(tree.error_dir()).empty()) << tree.Log();
}

}  // namespace
