#include "log/Syslog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log/CrashSink.h"
#include "platform/HostLookup.h"
#include "platform/Socket.h"
#include "platform/StopSignal.h"
#include "platform/ThreadId.h"
#include "platform/UniqueFd.h"
#include "support/LocalSyslogReceiver.h"
#include "support/TempDir.h"

namespace platform = kelpd::platform;

namespace {

// A syslog receiver on 127.0.0.1 at a port of the system's choice.
class UdpReceiver {
 public:
  UdpReceiver() {
    int fd = -1;
    EXPECT_EQ(platform::OpenSocket(platform::kAddressFamilyIPv4, platform::kSocketDatagram, 0, &fd),
              0);
    fd_.Reset(fd);
    EXPECT_EQ(platform::BindSocket(fd, {*platform::ParseIPv4("127.0.0.1"), 0}), 0);
    platform::SocketAddressV4 local;
    EXPECT_EQ(platform::LocalAddress(fd, &local), 0);
    port_ = local.port;
  }
  int port() const { return port_; }

  // The next datagram, or nothing within timeout_ms.
  std::optional<std::string> Receive(int timeout_ms = 5000) {
    if (platform::WaitFd(fd_.get(), platform::kWaitReadable, timeout_ms) !=
        platform::WaitResult::kReady)
      return std::nullopt;
    char buf[4096];
    size_t n = 0;
    if (platform::ReceiveSome(fd_.get(), buf, sizeof buf, 0, &n) != 0) return std::nullopt;
    return std::string(buf, n);
  }

 private:
  platform::UniqueFd fd_;
  int port_ = 0;
};

std::string ThreadTag() {
  char buf[16];
  std::snprintf(buf, sizeof buf, "[%04X]", platform::CurrentThreadId());
  return buf;
}

TEST(CSyslog, DatagramCarriesPriorityThreadTagAndText) {
  UdpReceiver receiver;
  CSyslog target("Kelpd", "mail", "127.0.0.1", receiver.port());
  target.Write(3, "could not load configuration");
  EXPECT_EQ(receiver.Receive(), "<19> " + ThreadTag() + " Kelpd: could not load configuration");

  // The numeric form: cron (9 * 8) at the debug level.
  CSyslog numeric("Kelpd", 72, "127.0.0.1", receiver.port());
  numeric.Write(7, "trace");
  EXPECT_EQ(receiver.Receive(), "<79> " + ThreadTag() + " Kelpd: trace");
}

TEST(CSyslog, OutsideTextIsNeverAFormat) {
  UdpReceiver receiver;
  CSyslog target("Kelpd", "mail", "127.0.0.1", receiver.port());
  target.Write(6, "100% %s %n done\r\n");
  EXPECT_EQ(receiver.Receive(), "<22> " + ThreadTag() + " Kelpd: 100% %s %n done\r\n");
}

TEST(CSyslog, FacilityNamesIgnoreCase) {
  UdpReceiver receiver;
  CSyslog target("Kelpd", "LOCAL4", "127.0.0.1", receiver.port());
  EXPECT_EQ(target.facility(), 160);
  target.Write(6, "x");
  EXPECT_EQ(receiver.Receive(), "<166> " + ThreadTag() + " Kelpd: x");

  EXPECT_EQ(CSyslog::LookupFacility("kern"), 0);
  EXPECT_EQ(CSyslog::LookupFacility("Daemon"), 24);
  EXPECT_EQ(CSyslog::LookupFacility("syslog"), 40);
  EXPECT_EQ(CSyslog::LookupFacility("AuthPriv"), 80);
  EXPECT_EQ(CSyslog::LookupFacility("local0"), 128);
  EXPECT_EQ(CSyslog::LookupFacility("local7"), 184);
  EXPECT_EQ(CSyslog::LookupFacility("local8"), std::nullopt);
  EXPECT_EQ(CSyslog::LookupFacility("mail "), std::nullopt);
  EXPECT_EQ(CSyslog::LookupFacility(""), std::nullopt);
}

TEST(CSyslog, UnknownFacilityNameGivesMail) {
  UdpReceiver receiver;
  CSyslog target("Kelpd", "lokal3", "127.0.0.1", receiver.port());
  EXPECT_EQ(target.facility(), 16);
  target.Write(4, "w");
  EXPECT_EQ(receiver.Receive(), "<20> " + ThreadTag() + " Kelpd: w");
}

TEST(CSyslog, LongMessageIsCutToExactly512Bytes) {
  UdpReceiver receiver;
  CSyslog target("Kelpd", "mail", "127.0.0.1", receiver.port());
  std::string text;
  for (int i = 0; text.size() < 2000; ++i) text += std::to_string(i) + ",";
  target.Write(6, text.c_str());
  std::string full = "<22> " + ThreadTag() + " Kelpd: " + text;
  std::optional<std::string> got = receiver.Receive();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->size(), 512u);
  EXPECT_EQ(*got, full.substr(0, 512));

  // A message of exactly 512 bytes is sent whole.
  std::string prefix = "<22> " + ThreadTag() + " Kelpd: ";
  std::string exact(512 - prefix.size(), 'a');
  target.Write(6, exact.c_str());
  EXPECT_EQ(receiver.Receive(), prefix + exact);
}

TEST(CSyslog, UnreachableReceiverDropsSilently) {
  CSyslog unresolvable("Kelpd", "mail", "nonexistent.invalid", 514);
  unresolvable.Write(3, "dropped");
  kelpd::log::CrashSink sink;
  EXPECT_FALSE(unresolvable.DescribeForCrash(sink));
  EXPECT_EQ(sink.kind, kelpd::log::CrashSink::Kind::kNone);

  CSyslog bad_port("Kelpd", "mail", "127.0.0.1", 70000);
  bad_port.Write(3, "dropped");
  EXPECT_FALSE(bad_port.DescribeForCrash(sink));
}

TEST(CSyslog, CrashLineReachesTheSameReceiver) {
  UdpReceiver receiver;
  CSyslog target("Kelpd", "local2", "127.0.0.1", receiver.port());
  kelpd::log::CrashSink sink;
  ASSERT_TRUE(target.DescribeForCrash(sink));
  EXPECT_EQ(sink.kind, kelpd::log::CrashSink::Kind::kSyslog);
  EXPECT_EQ(sink.ipv4_address, *platform::ParseIPv4("127.0.0.1"));
  EXPECT_EQ(sink.port, receiver.port());
  EXPECT_EQ(sink.facility, 144);
  EXPECT_STREQ(sink.tag, "Kelpd");

  kelpd::log::PublishCrashSink(sink);
  const char line[] = "unhandled exception";
  kelpd::log::WriteCrashLine(line, sizeof line - 1);
  kelpd::log::PublishCrashSink(kelpd::log::CrashSink{});
  EXPECT_EQ(receiver.Receive(), "<147> " + ThreadTag() + " Kelpd: unhandled exception");
}

TEST(CSyslog, ConcurrentWritersSendWholeDatagrams) {
  UdpReceiver receiver;
  CSyslog target("Kelpd", "mail", "127.0.0.1", receiver.port());
  constexpr int kThreads = 4;
  constexpr int kEach = 20;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&target, t] {
      for (int i = 0; i < kEach; ++i) {
        std::string text = "writer " + std::to_string(t) + " line " + std::to_string(i);
        target.Write(6, text.c_str());
      }
    });
  }
  for (std::thread& t : threads) t.join();
  std::set<std::string> texts;
  for (int i = 0; i < kThreads * kEach; ++i) {
    std::optional<std::string> got = receiver.Receive();
    ASSERT_TRUE(got) << "datagram " << i << " missing";
    ASSERT_EQ(got->rfind("<22> [", 0), 0u) << *got;
    size_t colon = got->find("] Kelpd: ");
    ASSERT_NE(colon, std::string::npos) << *got;
    texts.insert(got->substr(colon + 9));
  }
  EXPECT_EQ(texts.size(), static_cast<size_t>(kThreads * kEach));
}

}  // namespace

TEST(CSyslog, LocalSocketTakesEveryLineOnOneSocketAndIsFoundAgainWhenItComesBack) {
  kelpd::testing::TempDir dir;
  const std::string path = dir.Join("log.sock");
  auto target = CSyslog::ForLocalSocket("Kelpd", "mail", path);
  std::string expected = "<19> " + ThreadTag() + " Kelpd: first";
  {
    kelpd::testing::LocalSyslogReceiver receiver(path);
    ASSERT_TRUE(receiver.ok());
    target->Write(3, "first");
    EXPECT_EQ(receiver.Receive(std::chrono::seconds(5)), expected);
    target->Write(6, "second");
    EXPECT_EQ(receiver.Receive(std::chrono::seconds(5)), "<22> " + ThreadTag() + " Kelpd: second");
  }
  // Gone: the lines go elsewhere. A new receiver at the same path (a journal
  // that was restarted) gets them again once the target tries the path anew.
  target->Write(6, "while away");
  kelpd::testing::LocalSyslogReceiver receiver(path);
  ASSERT_TRUE(receiver.ok());
  std::string seen;
  bool back = false;
  for (int i = 0; i < 100 && !back; ++i) {
    target->Write(6, "back");
    back = receiver.Receive(std::chrono::milliseconds(100)).has_value();
  }
  EXPECT_TRUE(back);
}
