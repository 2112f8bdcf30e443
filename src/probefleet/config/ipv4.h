#pragma once
// IPv4 addresses and networks, for picking an interface's address inside the
// private subnet a test configuration entry names.

#include <cstdint>
#include <optional>
#include <string>

namespace probefleet {

/// An IPv4 address in host byte order, or nullopt when `text` is not one.
std::optional<std::uint32_t> parseIpv4(const std::string& text);

/// An IPv4 network: the address and its mask, host byte order.
struct Ipv4Network {
  std::uint32_t address = 0;
  std::uint32_t mask = 0;
  bool contains(std::uint32_t ip) const { return (ip & mask) == address; }
};

/// "a.b.c.d/len", "a.b.c.d/m.m.m.m" or a bare address (a /32). Strict: a
/// network with host bits set is refused, since it names no network. Throws
/// std::invalid_argument naming `text` as private_subnet_cidr.
Ipv4Network parseIpv4Network(const std::string& text);

}  // namespace probefleet
