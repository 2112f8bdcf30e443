#include "aws/clock.h"

#include <thread>

namespace aws {

std::chrono::system_clock::time_point SystemClock::now() const {
  return std::chrono::system_clock::now();
}

void SystemClock::sleep(std::chrono::milliseconds duration) {
  if (duration.count() > 0) std::this_thread::sleep_for(duration);
}

std::shared_ptr<Clock> systemClock() {
  static const std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
  return clock;
}

}  // namespace aws
