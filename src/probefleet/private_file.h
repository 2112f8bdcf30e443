#pragma once
// Private-key files on disk: readable by their owner only from the first byte.

#include <string>

namespace probefleet {

/// Writes `content` to `path`, replacing what was there. A new file is created
/// with mode 0600; an existing one (which open(2) leaves with its old mode) is
/// narrowed to 0600 before anything is written into it. A file left
/// half-written is removed. Throws std::system_error naming the path (never
/// the content) when the file cannot be opened, restricted, written or closed.
void writeOwnerOnlyFile(const std::string& path, const std::string& content);

}  // namespace probefleet
