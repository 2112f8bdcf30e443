#pragma once
// Files replaced whole: a reader (or a crash) sees the old content or the
// new, never a part. The new content goes to a temporary file beside the
// target, is flushed to disk, renamed over the target, and the folder synced.

#include <string>
#include <string_view>

#include "aws/base/unique_fd.h"

namespace aws {

struct AtomicWriteOptions {
  /// Owner-only (0600), for files that hold secrets or tokens. Otherwise the
  /// umask decides, as for an ordinary create, and a file replaced keeps its
  /// permission bits.
  bool owner_only = false;
  /// Creates the target's missing folders (0700 when owner_only, else 0777
  /// less the umask).
  bool make_folders = false;
};

/// A temporary file beside `target`, for writers that stream into it;
/// removed unless committed.
class AtomicFile {
 public:
  /// Creates the temporary file. Throws std::system_error naming it.
  explicit AtomicFile(std::string target, AtomicWriteOptions options = {});
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();

  int fd() const { return fd_.get(); }
  /// The temporary file's path.
  const std::string& path() const { return path_; }
  const std::string& target() const { return target_; }
  /// Flushes, closes and renames the file over the target, then syncs the
  /// folder. Throws std::system_error naming the step; the temporary file
  /// is removed then.
  void commit();

 private:
  std::string target_;
  std::string path_;
  UniqueFd fd_;
  bool committed_ = false;
};

/// Writes `text` to `path` atomically (see above). A symlink is followed to
/// its target, a dangling one too (as open(2) would create it). A device or
/// pipe (/dev/stdout among them), and a file in a folder that takes no new
/// entries, is written through in place: not atomic, but the only way to
/// reach it. Throws std::system_error naming the step and the file.
void writeFileAtomically(const std::string& path, std::string_view text,
                         const AtomicWriteOptions& options = {});

/// Removes the temporary file of every AtomicFile of the process not yet
/// committed or destroyed: for a process about to end on a signal, whose
/// destructors will not run. Thread-safe.
void removePendingAtomicFiles();

/// Writes all of `text` to `fd`, resuming after signals. Returns 0, or the
/// errno of the write that failed.
int writeAll(int fd, std::string_view text);

}  // namespace aws
