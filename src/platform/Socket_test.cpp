#include "platform/Socket.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/HostLookup.h"
#include "platform/StopSignal.h"
#include "platform/UniqueFd.h"

namespace kelpd::platform {
namespace {

UniqueFd OpenStream() {
  int fd = -1;
  EXPECT_EQ(OpenSocket(kAddressFamilyIPv4, kSocketStream, 0, &fd), 0);
  return UniqueFd(fd);
}

// A loopback listener whose accept queue is full, so that a further connection
// attempt gets no answer to its SYN and stays pending.
struct FullListener {
  UniqueFd listener = OpenStream();
  std::vector<UniqueFd> queued;
  SocketAddressV4 address;

  FullListener() {
    EXPECT_EQ(BindSocket(listener.get(), {*ParseIPv4("127.0.0.1"), 0}), 0);
    EXPECT_EQ(ListenSocket(listener.get(), 0), 0);
    EXPECT_EQ(LocalAddress(listener.get(), &address), 0);
    for (int i = 0; i < 2; ++i) {
      queued.push_back(OpenStream());
      (void)ConnectSocket(queued.back().get(), address, 500);
    }
  }
};

TEST(ConnectSocket, PendingConnectEndsAtItsLimit) {
  FullListener full;
  UniqueFd fd = OpenStream();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ConnectSocket(fd.get(), full.address, 300), ETIMEDOUT);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  EXPECT_LT(waited, std::chrono::seconds(5));
}

TEST(ConnectSocket, PendingConnectEndsOnStopRequest) {
  FullListener full;
  StopSignal stop;
  int result = 0;
  std::thread worker([&] {
    SetCurrentStopSignal(&stop);
    UniqueFd fd = OpenStream();
    result = ConnectSocket(fd.get(), full.address, kConnectTimeoutMs);
    SetCurrentStopSignal(nullptr);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto start = std::chrono::steady_clock::now();
  stop.Raise();
  worker.join();
  EXPECT_EQ(result, ECONNABORTED);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(IpAddress, ParsesAndFormatsBothFamilies) {
  // IPv4 in every form inet_aton reads, brackets allowed.
  EXPECT_EQ(FormatIpAddress(*ParseIpAddress("127.1")), "127.0.0.1");
  EXPECT_EQ(FormatAddressLiteral(*ParseIpAddress("[192.0.2.7]")), "192.0.2.7");
  // IPv6 in its shortest form, bracketed in log lines.
  const std::optional<IpAddress> v6 = ParseIpAddress("[2001:DB8:0:0::1]");
  ASSERT_TRUE(v6.has_value());
  EXPECT_TRUE(v6->IsV6());
  EXPECT_EQ(FormatIpAddress(*v6), "2001:db8::1");
  EXPECT_EQ(FormatAddressLiteral(*v6), "[2001:db8::1]");
  EXPECT_EQ(ParseIpAddress("[IPv6:::1]"), ParseIpAddress("::1"));
  // An IPv4 address written as IPv6 is that IPv4 address; no other is.
  EXPECT_EQ(ParseIpAddress("::ffff:127.0.0.1")->Unmapped(), *ParseIpAddress("127.0.0.1"));
  EXPECT_TRUE(ParseIpAddress("::1")->Unmapped().IsV6());
  for (const std::string text :
       {"", "[]", "[::1", "::1]", "[2001:db8::1]:25", "fe80::1%eth0", "1.2.3.4.5",
        "mail.example.org", "2001:db8::1::2", "[IPv6:192.0.2.1]"})
    EXPECT_FALSE(ParseIpAddress(text).has_value()) << text;
  EXPECT_FALSE(ParseIpAddress(std::string("::1\0x", 5)).has_value());
}

TEST(ConnectSocket, IPv6LoopbackRoundTrip) {
  int fd = -1;
  ASSERT_EQ(OpenSocket(kAddressFamilyIPv6, kSocketStream, 0, &fd), 0);
  UniqueFd listener(fd);
  SocketAddress address{*ParseIpAddress("::1"), 0};
  if (BindSocket(listener.get(), address) != 0) GTEST_SKIP() << "no IPv6 loopback address";
  ASSERT_EQ(ListenSocket(listener.get(), 1), 0);
  ASSERT_EQ(LocalAddress(listener.get(), &address), 0);
  ASSERT_EQ(OpenSocket(kAddressFamilyIPv6, kSocketStream, 0, &fd), 0);
  UniqueFd client(fd);
  EXPECT_EQ(ConnectSocket(client.get(), address, 5000), 0);
  SocketAddress peer;
  int accepted = -1;
  ASSERT_EQ(WaitFd(listener.get(), kWaitReadable, 5000), WaitResult::kReady);
  ASSERT_EQ(AcceptSocket(listener.get(), &accepted, &peer), 0);
  UniqueFd served(accepted);
  EXPECT_EQ(peer.ip, address.ip);
  SocketAddressV4 v4;
  EXPECT_EQ(LocalAddress(client.get(), &v4), EAFNOSUPPORT);
}

}  // namespace
}  // namespace kelpd::platform
