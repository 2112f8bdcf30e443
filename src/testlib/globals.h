#pragma once
// Settings shared by the program and the library s3.

#include <atomic>

namespace testlib {

struct Globals {
  /// The dry-run flag: set once by the program from --dry_run before any
  /// other thread exists; read by the library s3 before each change.
  static inline std::atomic<bool> dry_run{false};

  Globals() = delete;
};

}  // namespace testlib
