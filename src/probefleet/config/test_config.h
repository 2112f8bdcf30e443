#pragma once
// The test configuration: a JSON array with one entry per test subnet. It is
// read with its key order kept, checked once for the keys a run needs, and
// written back in the same layout as Python's
// json.dumps(document, indent=2, ensure_ascii=True) followed by one line feed.

#include <string>

#include "probefleet/config/json_text.h"

namespace probefleet {

/// What a configuration is read for; each use checks only the keys it reads.
enum class ConfigUse { kDeploy, kTeardown, kResults };

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

}  // namespace probefleet
