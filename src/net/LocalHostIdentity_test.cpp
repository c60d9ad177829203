#include "net/LocalHostIdentity.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace kelpd::net {
namespace {

using platform::IpAddress;

TEST(HelloNameFor, EachLocalAddressIsLookedUpOnceForAllThreads) {
  std::atomic<int> lookups{0};
  SetHelloNameLookupForTests([&](const IpAddress& a) {
    ++lookups;
    return platform::FormatIpAddress(a) == "192.0.2.7" ? std::string("mail.example.org")
                                                       : std::string("other.example.org");
  });
  const IpAddress first = *platform::ParseIpAddress("192.0.2.7");
  const IpAddress second = *platform::ParseIpAddress("2001:db8::7");
  EXPECT_EQ(HelloNameFor(first), "mail.example.org");
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&] { EXPECT_EQ(HelloNameFor(first), "mail.example.org"); });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(lookups.load(), 1);
  EXPECT_EQ(HelloNameFor(second), "other.example.org");
  EXPECT_EQ(lookups.load(), 2);
  SetHelloNameLookupForTests(nullptr);
}

}  // namespace
}  // namespace kelpd::net
