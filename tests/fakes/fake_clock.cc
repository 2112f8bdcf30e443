#include "fakes/fake_clock.h"

#include <algorithm>
#include <numeric>

namespace fakes {

std::shared_ptr<FakeClock> FakeClock::onWallClock() {
  auto clock = std::make_shared<FakeClock>();
  clock->wall_ = true;
  return clock;
}

FakeClock::TimePoint FakeClock::now() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return wall_ ? std::chrono::system_clock::now() : now_;
}

void FakeClock::sleep(std::chrono::milliseconds duration) {
  Pause pause;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sleeps_.push_back(duration);
    now_ += duration;
    pause = pause_;
  }
  if (pause) pause(duration);
}

void FakeClock::set(TimePoint time) {
  std::lock_guard<std::mutex> lock(mutex_);
  now_ = time;
}

void FakeClock::advance(std::chrono::milliseconds duration) {
  std::lock_guard<std::mutex> lock(mutex_);
  now_ += duration;
}

void FakeClock::onSleep(Pause pause) {
  std::lock_guard<std::mutex> lock(mutex_);
  pause_ = std::move(pause);
}

std::vector<std::chrono::milliseconds> FakeClock::sleeps() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sleeps_;
}

std::size_t FakeClock::sleepCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sleeps_.size();
}

std::size_t FakeClock::count(std::chrono::milliseconds duration) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<std::size_t>(std::count(sleeps_.begin(), sleeps_.end(), duration));
}

std::chrono::milliseconds FakeClock::slept() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::accumulate(sleeps_.begin(), sleeps_.end(), std::chrono::milliseconds(0));
}

void FakeClock::clearSleeps() {
  std::lock_guard<std::mutex> lock(mutex_);
  sleeps_.clear();
}

}  // namespace fakes
