#pragma once
// The status a run that reaches its normal end exits with. It starts at 0 and
// any operation on any thread can mark the run failed (a worker that ended by
// a failure, an entry left without its addresses outside a dry run); the run
// still finishes its normal steps and then exits with 1.

#include <atomic>

namespace testlib {

class AppExitStatus {
 public:
  AppExitStatus() = default;

  /// 0 while no operation marked the run failed, else 1. Every instance
  /// reports the one process-wide status.
  int getStatus() const { return failed_.load() ? 1 : 0; }

  /// Marks the run failed. Thread-safe; it cannot be undone by later calls.
  static void markFailed() { failed_.store(true); }

  /// Back to "not failed"; for tests that run several flows in one process.
  static void resetForTesting() { failed_.store(false); }

 private:
  static inline std::atomic<bool> failed_{false};
};

}  // namespace testlib
