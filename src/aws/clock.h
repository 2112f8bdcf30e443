#pragma once
// The clock seam: every pause, poll and backoff goes through it so that tests
// can run time faster (or not at all).

#include <chrono>
#include <memory>

namespace aws {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::chrono::system_clock::time_point now() const = 0;
  virtual void sleep(std::chrono::milliseconds duration) = 0;
};

/// Wall clock and real sleeps.
class SystemClock : public Clock {
 public:
  std::chrono::system_clock::time_point now() const override;
  void sleep(std::chrono::milliseconds duration) override;
};

/// A shared process-wide SystemClock.
std::shared_ptr<Clock> systemClock();

}  // namespace aws
