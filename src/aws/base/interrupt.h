#pragma once
// The process's interruption (SIGINT, SIGTERM): once requested, every pause
// taken through the system clock ends at once with aws::Interrupted, so that
// waits and polls stop promptly and the run can wind down. A run that winds
// down (writes what it has, uploads its log) shelters that work, so its own
// retries still pause normally.

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>

namespace aws {

/// A pause cut short by an interruption.
class Interrupted : public std::runtime_error {
 public:
  /// "interrupted by " + `cause`, or by the signal's name when none is given.
  explicit Interrupted(int signal, const std::string& cause = "");
  int signal() const { return signal_; }

 private:
  int signal_;
};

class Interruption {
 public:
  /// Records the interruption (the first signal number wins) and wakes every
  /// pause. Thread-safe; not async-signal-safe: call it from a thread that
  /// waits for signals, not from a handler.
  static void request(int signal);
  /// The same interruption for a reason of the program's own (a lock it
  /// lost, say): `cause` completes "interrupted by ...". Recorded only when
  /// no interruption was requested before; a signal that comes later is
  /// still recorded as the signal.
  static void requestFor(const std::string& cause);
  /// True once an interruption was requested.
  static bool requested();
  /// The signal of the interruption; 0 when none came.
  static int signal();
  /// What interrupted: the cause given, or the signal's name; "" when none.
  static std::string cause();
  /// Throws Interrupted when an interruption was requested and no shelter is
  /// in place.
  static void check();
  /// Pauses `duration`, or less when an interruption arrives. Throws
  /// Interrupted (at the start or when woken) unless sheltered.
  static void pause(std::chrono::milliseconds duration);

  /// While one lives, pauses are no longer cut short and check() passes.
  class Shelter {
   public:
    Shelter();
    ~Shelter();
    Shelter(const Shelter&) = delete;
    Shelter& operator=(const Shelter&) = delete;
  };

  /// Back to "no interruption"; for tests.
  static void resetForTesting();
};

/// "SIGINT", "SIGTERM", or "signal N".
std::string signalName(int signal);

/// Blocks SIGINT and SIGTERM in the calling thread (threads started later
/// inherit the mask) and hands each one that arrives to `on_signal`, on a
/// thread of its own that waits for them: there `on_signal` may lock, log
/// and end the process, as a signal handler may not. Call it first thing in
/// main(). Does nothing when the signals cannot be blocked.
void watchTerminationSignals(std::function<void(int signal)> on_signal);

}  // namespace aws
