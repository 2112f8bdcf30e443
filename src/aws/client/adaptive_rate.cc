#include "aws/client/adaptive_rate.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>
#include <utility>

namespace aws {

namespace {

// botocore's waiter is woken whenever the fill rate changes; ours sleeps
// through an injected function that cannot be woken, so it looks again at
// least this often to follow a rate that went up meanwhile.
constexpr double kMaxSleepSlice = 0.1;

SteadyTime completed(SteadyTime time) {
  SteadyTime real = SteadyTime::real();
  if (!time.now) time.now = std::move(real.now);
  if (!time.sleep) time.sleep = std::move(real.sleep);
  return time;
}

}  // namespace

SteadyTime SteadyTime::real() {
  return {
      [] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
      },
      [](double seconds) {
        if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
      }};
}

SteadyTime SteadyTime::scaled(SteadyTime time, double scale) {
  if (!(scale > 0 && scale < 1)) return time;
  time = completed(std::move(time));
  return {[now = std::move(time.now), scale] { return now() / scale; },
          [sleep = std::move(time.sleep), scale](double seconds) { sleep(seconds * scale); }};
}

// ---- TokenBucket

TokenBucket::TokenBucket(double max_rate, SteadyTime time, double min_rate)
    : time_(completed(std::move(time))), min_rate_(min_rate) {
  setMaxRate(max_rate);
}

double TokenBucket::maxRate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fill_rate_;
}

void TokenBucket::setMaxRate(double rate) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Tokens earned since the last refill were earned at the old rate.
  refill();
  fill_rate_ = std::max(rate, min_rate_);
  max_capacity_ = rate >= 1 ? rate : 1;
  current_capacity_ = std::min(current_capacity_, max_capacity_);
}

double TokenBucket::maxCapacity() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return max_capacity_;
}

double TokenBucket::availableCapacity() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return current_capacity_;
}

void TokenBucket::acquire(double amount) {
  std::unique_lock<std::mutex> lock(mutex_);
  Waiter me;
  line_.push_back(&me);
  // However this call ends, it was first in line then: hand the turn on.
  struct LeaveLine {
    std::deque<Waiter*>& line;
    ~LeaveLine() {
      line.pop_front();
      if (!line.empty()) line.front()->turn.notify_one();
    }
  } leave{line_};
  me.turn.wait(lock, [&] { return line_.front() == &me; });

  refill();
  while (amount > current_capacity_) {
    const double pause = std::min((amount - current_capacity_) / fill_rate_, kMaxSleepSlice);
    lock.unlock();
    try {
      time_.sleep(pause);
    } catch (...) {
      lock.lock();  // LeaveLine needs the mutex
      throw;
    }
    lock.lock();
    refill();
  }
  current_capacity_ -= amount;
}

void TokenBucket::refill() {
  const double timestamp = time_.now();
  if (!last_timestamp_) {
    last_timestamp_ = timestamp;
    return;
  }
  const double fill_amount = (timestamp - *last_timestamp_) * fill_rate_;
  current_capacity_ = std::min(max_capacity_, current_capacity_ + fill_amount);
  last_timestamp_ = timestamp;
}

// ---- CubicCalculator

CubicCalculator::CubicCalculator(double starting_max_rate, double start_time)
    : params_{starting_max_rate, 0, start_time} {
  params_.k = zeroPoint();
}

double CubicCalculator::zeroPoint() const {
  const double scaled_value = (params_.w_max * (1 - kBeta)) / kScaleConstant;
  return std::pow(scaled_value, 1 / 3.0);
}

double CubicCalculator::successReceived(double timestamp) const {
  const double dt = timestamp - params_.last_fail;
  return kScaleConstant * std::pow(dt - params_.k, 3.0) + params_.w_max;
}

double CubicCalculator::errorReceived(double current_rate, double timestamp) {
  // The rate that drew the throttle becomes the curve's new plateau.
  params_.w_max = current_rate;
  params_.k = zeroPoint();
  params_.last_fail = timestamp;
  return current_rate * kBeta;
}

// ---- RateClocker

RateClocker::RateClocker(std::function<double()> now)
    : now_(std::move(now)), last_bucket_(std::floor(now_())) {}

double RateClocker::record(double amount) {
  std::lock_guard<std::mutex> lock(mutex_);
  const double scale = 1 / kTimeBucketRange;
  const double bucket = std::floor(now_() * scale) / scale;
  count_ += amount;
  if (bucket > last_bucket_) {
    const double current_rate = count_ / (bucket - last_bucket_);
    measured_rate_ = (current_rate * kSmoothing) + (measured_rate_ * (1 - kSmoothing));
    count_ = 0;
    last_bucket_ = bucket;
  }
  return measured_rate_;
}

double RateClocker::measuredRate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return measured_rate_;
}

// ---- ClientRateLimiter

ClientRateLimiter::ClientRateLimiter(SteadyTime time)
    : time_(completed(std::move(time))),
      cubic_(0, time_.now()),
      clocker_(time_.now),
      bucket_(1, time_) {}

void ClientRateLimiter::onSendingRequest() {
  if (enabled_.load()) bucket_.acquire();
}

void ClientRateLimiter::onReceivingResponse(bool throttled) {
  const double measured_rate = clocker_.record();
  adjust(throttled, measured_rate, time_.now());
}

void ClientRateLimiter::onLateThrottlingError() {
  adjust(true, clocker_.measuredRate(), time_.now());
}

void ClientRateLimiter::adjust(bool throttled, double measured_rate, double timestamp) {
  std::lock_guard<std::mutex> lock(mutex_);
  double new_rate = 0;
  if (!throttled) {
    new_rate = cubic_.successReceived(timestamp);
  } else {
    // Before the first throttle the bucket's rate means nothing yet.
    const double rate_to_use =
        enabled_.load() ? std::min(measured_rate, bucket_.maxRate()) : measured_rate;
    new_rate = cubic_.errorReceived(rate_to_use, timestamp);
    enabled_.store(true);
  }
  // Never more than twice what the client was actually seen sending.
  bucket_.setMaxRate(std::min(new_rate, kMaxRateAdjustScale * measured_rate));
}

ClientRateLimiter::State ClientRateLimiter::state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {clocker_.measuredRate(),     bucket_.maxRate(), bucket_.maxCapacity(),
          bucket_.availableCapacity(), cubic_.params(),   enabled_.load()};
}

}  // namespace aws
