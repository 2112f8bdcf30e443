#include "probefleet/config/ipv4.h"

#include <arpa/inet.h>

#include <stdexcept>

#include "aws/base/strings.h"

namespace probefleet {

std::optional<std::uint32_t> parseIpv4(const std::string& text) {
  in_addr address{};
  if (::inet_pton(AF_INET, text.c_str(), &address) != 1) return std::nullopt;
  return ntohl(address.s_addr);
}

Ipv4Network parseIpv4Network(const std::string& text) {
  const auto fail = [&text](const std::string& why) -> std::invalid_argument {
    return std::invalid_argument("private_subnet_cidr " + aws::inQuotes(text) + " " + why);
  };
  const auto slash = text.find('/');
  const auto address = parseIpv4(text.substr(0, slash));
  if (!address) throw fail("is not an IPv4 network");

  std::uint32_t mask = 0xFFFFFFFFu;
  if (slash != std::string::npos) {
    const std::string suffix = text.substr(slash + 1);
    if (!suffix.empty() && suffix.size() <= 2 &&
        suffix.find_first_not_of("0123456789") == std::string::npos) {
      const int length = std::stoi(suffix);
      if (length > 32) throw fail("has a prefix length above 32");
      mask = length == 0 ? 0 : 0xFFFFFFFFu << (32 - length);
    } else if (const auto dotted = parseIpv4(suffix)) {
      // A netmask: ones then zeros.
      if ((~*dotted & (~*dotted + 1)) != 0) throw fail("has an invalid netmask");
      mask = *dotted;
    } else {
      throw fail("is not an IPv4 network");
    }
  }
  if ((*address & ~mask) != 0) throw fail("has host bits set");
  return {*address, mask};
}

}  // namespace probefleet
