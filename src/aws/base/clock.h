#pragma once
// The clock seam: every pause, poll and backoff goes through it so that tests
// can run time faster (or not at all).

#include <chrono>
#include <memory>
#include <string>

namespace aws {

class Environment;

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::chrono::system_clock::time_point now() const = 0;
  virtual void sleep(std::chrono::milliseconds duration) = 0;
};

/// Wall clock and real sleeps. A sleep ends early, with aws::Interrupted,
/// when the process is interrupted (aws/interrupt.h).
class SystemClock : public Clock {
 public:
  std::chrono::system_clock::time_point now() const override;
  void sleep(std::chrono::milliseconds duration) override;
};

/// A shared process-wide SystemClock.
/// `time` as AWS writes times in credentials, token caches and tags:
/// "2024-05-01T12:00:00Z" (whole seconds, UTC).
std::string formatIsoTime(std::chrono::system_clock::time_point time);

std::shared_ptr<Clock> systemClock();

/// The system clock whose pauses last `scale` times as long (now() stays the
/// wall clock, which request signing needs). For runs against a sandbox that
/// compresses AWS's time by the same factor.
class ScaledClock : public Clock {
 public:
  explicit ScaledClock(double scale) : scale_(scale) {}
  std::chrono::system_clock::time_point now() const override;
  void sleep(std::chrono::milliseconds duration) override;
  double scale() const { return scale_; }

 private:
  double scale_;
};

/// The variable that scales the program's pauses: a number above 0 and at
/// most 1 (1 or unset: AWS's own pace).
inline constexpr const char* kTimeScaleVariable = "PROBEFLEET_TIME_SCALE";

/// systemClock(), or a ScaledClock when kTimeScaleVariable holds a scale
/// below 1. Throws ConfigError for a value that is not a number in (0, 1].
std::shared_ptr<Clock> clockFromEnvironment(const Environment& env);

}  // namespace aws
