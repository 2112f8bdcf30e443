#pragma once
// The test configuration: a JSON array with one entry per test subnet. It is
// read with its key order kept, checked once for the keys a run needs, and
// written back in the same layout as Python's
// json.dumps(document, indent=2, ensure_ascii=True) followed by one line feed.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace probefleet {

/// The document in memory: an array of entry objects whose keys keep the
/// order of the file. Setting a key that exists keeps its place; a new key
/// goes after the existing ones.
using TestConfig = nlohmann::ordered_json;

/// A test configuration that cannot be used: unreadable, not JSON, not an
/// array of entry objects, or an entry without a key the run needs. The
/// message names the file and, where it applies, the entry and the key.
class TestConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Parses JSON text into a document. Integers outside 64 bits are kept
/// digit for digit (as a binary value of subtype kBigIntegerSubtype holding
/// the digits), so that they are written back as they were read. Throws
/// TestConfigError naming `source` and the line and column of the fault when
/// the text is not JSON, and naming `source` when arrays and objects nest
/// deeper than 512 levels (more than writing them back can take).
TestConfig parseJsonText(const std::string& text, const std::string& source);

/// What a configuration is read for; each use checks only the keys it reads.
enum class ConfigUse { kDeploy, kTeardown, kResults };

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

/// Checks that `document` is a non-empty array of objects whose entries hold,
/// as JSON strings, the keys `use` reads: for kDeploy `gw_subnet_id` and
/// `private_subnet_id`, plus `gw_private_ip` when `private_subnet_id` is not
/// empty (with `private_subnet_cidr`, which must name an IPv4 network) or
/// `nat_gw_id` when it is; for kTeardown `gw_subnet_id` and
/// `private_subnet_id`; for kResults `private_subnet_id` and `gw_name`. For
/// kDeploy and kTeardown no two entries with a non-empty `private_subnet_id`
/// may share a `gw_subnet_id`. Throws TestConfigError naming `source`, the
/// entry (counted from 1) and the key at the first fault, or both entries
/// that share a subnet.
void validateTestConfig(const TestConfig& document, const std::string& source,
                        ConfigUse use = ConfigUse::kDeploy);

/// Reads, parses and validates (for `use`) the test configuration in the file
/// at `path`. Throws TestConfigError (see above) when the file cannot be read
/// or used.
TestConfig readTestConfig(const std::string& path, ConfigUse use = ConfigUse::kDeploy);

/// The document in the output layout: 2-space indentation, ", " free line
/// ends, ": " between key and value, non-ASCII escaped as \uXXXX (surrogate
/// pairs beyond the Basic Multilingual Plane), floats in their shortest
/// round-trip form as Python writes them, and one line feed at the end.
/// Throws TestConfigError on a value JSON cannot hold (invalid UTF-8, a
/// non-finite float, a binary value other than a kept big integer).
std::string formatTestConfig(const TestConfig& document);

/// Writes formatTestConfig(document) to `path`. A symlink is followed to its
/// target (a dangling one creates the target). A regular or missing target
/// in a writable folder is replaced atomically: the text goes to a temporary
/// file beside it, which is flushed to disk and then renamed over it; an
/// existing file keeps its permissions, and on failure it is left as it was
/// and the temporary file is removed. A target that is not a regular file (a
/// device, a pipe such as /dev/stdout) or whose folder is not writable is
/// opened, truncated and written in place. Throws TestConfigError naming the
/// file and the system error.
void writeTestConfig(const std::string& path, const TestConfig& document);

/// Binary subtype that marks an integer kept as its decimal digits.
inline constexpr std::uint8_t kBigIntegerSubtype = 0x69;

}  // namespace probefleet
