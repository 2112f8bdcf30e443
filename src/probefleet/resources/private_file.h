#pragma once
// Private-key files on disk: readable by their owner only from the first byte.

#include <string>

namespace probefleet {

/// Writes `content` to `path`, replacing what was there. A new file is created
/// with mode 0600; an existing one (which open(2) leaves with its old mode) is
/// narrowed to 0600 before it is truncated, so a failed narrowing leaves its
/// content as it was. A file this call created and could not finish is
/// removed; an existing file is never removed. Throws std::system_error naming
/// the path (never the content) when the file cannot be opened, restricted,
/// truncated, written or closed.
void writeOwnerOnlyFile(const std::string& path, const std::string& content);

}  // namespace probefleet
