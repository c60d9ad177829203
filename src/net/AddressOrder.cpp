#include "net/AddressOrder.h"

#include "base/Text.h"

namespace kelpd::net {

namespace {

struct OrderName {
  AddressOrder order;
  const char* name;
};
constexpr OrderName kNames[] = {{AddressOrder::kIPv4First, "ipv4-first"},
                                {AddressOrder::kIPv4Only, "ipv4"},
                                {AddressOrder::kIPv6Only, "ipv6"},
                                {AddressOrder::kIPv6First, "ipv6-first"}};

}  // namespace

std::optional<AddressOrder> ParseAddressOrder(const std::string& text) {
  const std::string word = kelpd::text::Trim(text);
  for (const OrderName& n : kNames)
    if (kelpd::text::EqualsNoCase(word, n.name)) return n.order;
  return std::nullopt;
}

const char* AddressOrderName(AddressOrder order) {
  for (const OrderName& n : kNames)
    if (n.order == order) return n.name;
  return "ipv4-first";
}

std::vector<platform::IpAddress> AddressesToTry(const std::vector<platform::IpAddress>& addresses,
                                                AddressOrder order,
                                                std::optional<int> local_family) {
  const platform::IpAddress* first_v4 = nullptr;
  const platform::IpAddress* first_v6 = nullptr;
  for (const platform::IpAddress& a : addresses) {
    const platform::IpAddress*& slot = a.IsV6() ? first_v6 : first_v4;
    if (slot == nullptr) slot = &a;
  }
  if (order == AddressOrder::kIPv6Only) first_v4 = nullptr;
  if (order == AddressOrder::kIPv4Only) first_v6 = nullptr;
  if (local_family && *local_family != platform::kAddressFamilyIPv4) first_v4 = nullptr;
  if (local_family && *local_family != platform::kAddressFamilyIPv6) first_v6 = nullptr;
  std::vector<platform::IpAddress> out;
  const bool v6_first = order == AddressOrder::kIPv6First;
  for (const platform::IpAddress* a :
       {v6_first ? first_v6 : first_v4, v6_first ? first_v4 : first_v6})
    if (a != nullptr) out.push_back(*a);
  return out;
}

}  // namespace kelpd::net
