#pragma once
// The clock fake: time the test sets, pauses recorded instead of waited.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "aws/base/clock.h"

namespace fakes {

/// 2023-11-14T22:13:20Z: where manual time starts unless told otherwise.
inline const std::chrono::system_clock::time_point kFakeStart{std::chrono::seconds(1700000000)};

/// Every sleep is recorded and returns at once; in manual time it moves now()
/// on by its length. Thread-safe: the fleet's workers share one clock.
class FakeClock : public aws::Clock {
 public:
  using TimePoint = std::chrono::system_clock::time_point;
  using Pause = std::function<void(std::chrono::milliseconds)>;

  /// Manual time, starting at `start`.
  explicit FakeClock(TimePoint start = kFakeStart) : now_(start) {}
  /// now() is the wall clock (what a live endpoint checks signatures
  /// against); sleeps are still recorded and skipped.
  static std::shared_ptr<FakeClock> onWallClock();

  TimePoint now() const override;
  void sleep(std::chrono::milliseconds duration) override;

  /// Manual time only: moves now() to `time`, or on by `duration`.
  void set(TimePoint time);
  void advance(std::chrono::milliseconds duration);
  /// Runs `pause` in each sleep, outside the clock's lock (a test that
  /// wants threads to meet makes it a short real sleep).
  void onSleep(Pause pause);

  /// The sleeps asked for so far, in order.
  std::vector<std::chrono::milliseconds> sleeps() const;
  std::size_t sleepCount() const;
  /// How many sleeps lasted exactly `duration`.
  std::size_t count(std::chrono::milliseconds duration) const;
  /// The sum of all sleeps.
  std::chrono::milliseconds slept() const;
  /// Forgets the sleeps recorded so far (time stays where it is).
  void clearSleeps();

 private:
  mutable std::mutex mutex_;
  bool wall_ = false;
  TimePoint now_;
  std::vector<std::chrono::milliseconds> sleeps_;
  Pause pause_;
};

}  // namespace fakes
