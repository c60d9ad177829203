#include "net/AddressOrder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace kelpd::net {
namespace {

using platform::IpAddress;
using platform::kAddressFamilyIPv4;
using platform::kAddressFamilyIPv6;
using platform::ParseIpAddress;
using ::testing::ElementsAre;

IpAddress Ip(const char* text) { return *ParseIpAddress(text); }

TEST(AddressOrder, SettingWords) {
  EXPECT_EQ(ParseAddressOrder(" IPv6-First "), AddressOrder::kIPv6First);
  EXPECT_EQ(ParseAddressOrder("ipv4"), AddressOrder::kIPv4Only);
  EXPECT_EQ(ParseAddressOrder("ipv6"), AddressOrder::kIPv6Only);
  EXPECT_EQ(ParseAddressOrder("ipv4-first"), AddressOrder::kIPv4First);
  EXPECT_FALSE(ParseAddressOrder("both").has_value());
  EXPECT_FALSE(ParseAddressOrder("").has_value());
}

// The first address of each family, in the order's sequence, and only the
// family of a bound interface.
TEST(AddressOrder, FirstAddressOfEachAllowedFamily) {
  const std::vector<IpAddress> all = {Ip("2001:db8::1"), Ip("192.0.2.1"), Ip("2001:db8::2"),
                                      Ip("192.0.2.2")};
  EXPECT_THAT(AddressesToTry(all, AddressOrder::kIPv4First),
              ElementsAre(Ip("192.0.2.1"), Ip("2001:db8::1")));
  EXPECT_THAT(AddressesToTry(all, AddressOrder::kIPv6First),
              ElementsAre(Ip("2001:db8::1"), Ip("192.0.2.1")));
  EXPECT_THAT(AddressesToTry(all, AddressOrder::kIPv4Only), ElementsAre(Ip("192.0.2.1")));
  EXPECT_THAT(AddressesToTry(all, AddressOrder::kIPv6Only), ElementsAre(Ip("2001:db8::1")));
  EXPECT_THAT(AddressesToTry(all, AddressOrder::kIPv6First, kAddressFamilyIPv4),
              ElementsAre(Ip("192.0.2.1")));
  EXPECT_TRUE(
      AddressesToTry({Ip("192.0.2.1")}, AddressOrder::kIPv4First, kAddressFamilyIPv6).empty());
  EXPECT_TRUE(AddressesToTry({Ip("192.0.2.1")}, AddressOrder::kIPv6Only).empty());
}

}  // namespace
}  // namespace kelpd::net
