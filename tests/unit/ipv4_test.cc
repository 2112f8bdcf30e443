#include "probefleet/config/ipv4.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace probefleet {
namespace {

TEST(Ipv4NetworkTest, PrefixNetmaskAndBareAddressFormsAndRefusals) {
  struct Case {
    std::string text;
    std::uint32_t address;  // when accepted
    std::uint32_t mask;
    std::string refusal;  // "" = accepted
  };
  const std::vector<Case> cases = {
      {"10.0.2.0/24", 0x0A000200u, 0xFFFFFF00u, ""},
      {"10.0.2.0/255.255.255.0", 0x0A000200u, 0xFFFFFF00u, ""},
      {"10.0.2.7", 0x0A000207u, 0xFFFFFFFFu, ""},
      {"0.0.0.0/0", 0, 0, ""},
      {"10.0.2.7/32", 0x0A000207u, 0xFFFFFFFFu, ""},
      {"10.0.2.5/24", 0, 0, "has host bits set"},
      {"10.0.2.0/33", 0, 0, "has a prefix length above 32"},
      {"10.0.2.0/255.0.255.0", 0, 0, "has an invalid netmask"},
      {"10.0.2.0/", 0, 0, "is not an IPv4 network"},
      {"10.0.2.0/024x", 0, 0, "is not an IPv4 network"},
      {"10.0.2/24", 0, 0, "is not an IPv4 network"},
      {"fd00::/8", 0, 0, "is not an IPv4 network"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    if (!c.refusal.empty()) {
      try {
        (void)parseIpv4Network(c.text);
        ADD_FAILURE() << "accepted";
      } catch (const std::invalid_argument& e) {
        EXPECT_EQ(e.what(), "private_subnet_cidr \"" + c.text + "\" " + c.refusal);
      }
      continue;
    }
    const Ipv4Network network = parseIpv4Network(c.text);
    EXPECT_EQ(network.address, c.address);
    EXPECT_EQ(network.mask, c.mask);
  }
  const Ipv4Network network = parseIpv4Network("10.0.2.0/24");
  EXPECT_TRUE(network.contains(*parseIpv4("10.0.2.255")));
  EXPECT_FALSE(network.contains(*parseIpv4("10.0.3.0")));
  EXPECT_EQ(parseIpv4("10.0.2.256"), std::nullopt);
}

}  // namespace
}  // namespace probefleet
