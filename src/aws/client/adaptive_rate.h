#pragma once
// Client-side pacing of the SDKs' "adaptive" retry mode, as botocore does it
// (retries/adaptive.py, bucket.py, throttling.py): a token bucket whose fill
// rate follows a CUBIC curve, cut back on every throttling answer and grown
// again on successes, capped by the rate the client was measured sending at.
// Until the first throttling answer the bucket is not consulted at all.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

namespace aws {

/// Real time for the limiter. It is kept apart from aws::Clock on purpose:
/// tests and the program may scale Clock::sleep, while rates are requests per
/// real second. Empty members mean the real ones.
struct SteadyTime {
  /// Seconds on a monotonic scale.
  std::function<double()> now{};
  /// Pauses the calling thread; may throw (an interrupted wait).
  std::function<void(double seconds)> sleep{};

  /// std::chrono::steady_clock and std::this_thread::sleep_for.
  static SteadyTime real();
  /// `time` (empty members: the real ones) in a run at `scale` times AWS's
  /// pace (0 < scale <= 1; see ScaledClock): a second passes `1 / scale`
  /// times as fast and a pause lasts `scale` times as long. The limiter then
  /// keeps AWS's rates and its own floors against a world scaled alike (the
  /// sandbox's realistic profile), rather than floors meant for AWS's pace.
  static SteadyTime scaled(SteadyTime time, double scale);
};

/// botocore's TokenBucket: capacity refills at the fill rate up to a maximum
/// capacity of max(1, rate); the fill rate never drops below the minimum.
/// Thread-safe.
class TokenBucket {
 public:
  static constexpr double kMinRate = 0.5;

  TokenBucket(double max_rate, SteadyTime time, double min_rate = kMinRate);
  TokenBucket(const TokenBucket&) = delete;
  TokenBucket& operator=(const TokenBucket&) = delete;

  /// The fill rate in tokens a second.
  double maxRate() const;
  /// Credits what the old rate earned so far, then sets the fill rate to
  /// max(rate, minimum) and the capacity limit to max(rate, 1).
  void setMaxRate(double rate);
  double maxCapacity() const;
  double availableCapacity() const;

  /// Takes `amount` tokens, waiting until they have accumulated. Callers
  /// are served in arrival order; only the first in line sleeps (through
  /// SteadyTime::sleep, with no lock held), the others wait for their turn.
  /// When the sleep throws, the caller leaves the line without taking
  /// anything, the next one is served, and the exception propagates.
  void acquire(double amount = 1.0);

 private:
  struct Waiter {
    std::condition_variable turn;
  };
  void refill();  // with mutex_ held

  SteadyTime time_;
  const double min_rate_;
  mutable std::mutex mutex_;
  double fill_rate_ = 0;
  double max_capacity_ = 0;
  double current_capacity_ = 0;
  std::optional<double> last_timestamp_;
  std::deque<Waiter*> line_;
};

/// botocore's CubicCalculator (CUBIC congestion control applied to a send
/// rate). Not thread-safe: ClientRateLimiter serialises its use.
class CubicCalculator {
 public:
  static constexpr double kScaleConstant = 0.4;
  static constexpr double kBeta = 0.7;

  struct Params {
    double w_max;      // the rate at the last throttle
    double k;          // seconds after it until the curve is back at w_max
    double last_fail;  // when the last throttle arrived
  };

  CubicCalculator(double starting_max_rate, double start_time);

  /// The rate the curve allows at `timestamp`.
  double successReceived(double timestamp) const;
  /// Restarts the curve at `current_rate` and returns the reduced rate.
  double errorReceived(double current_rate, double timestamp);
  Params params() const { return params_; }

 private:
  double zeroPoint() const;
  Params params_;
};

/// botocore's RateClocker: the answers received per second, smoothed over
/// half-second buckets. Thread-safe.
class RateClocker {
 public:
  static constexpr double kSmoothing = 0.8;
  static constexpr double kTimeBucketRange = 0.5;

  explicit RateClocker(std::function<double()> now);

  /// Counts `amount` answers now; returns the measured rate.
  double record(double amount = 1.0);
  double measuredRate() const;

 private:
  std::function<double()> now_;
  mutable std::mutex mutex_;
  double measured_rate_ = 0;
  double last_bucket_;
  double count_ = 0;
};

/// botocore's ClientRateLimiter: one per client, shared by all its threads.
class ClientRateLimiter {
 public:
  static constexpr double kMaxRateAdjustScale = 2.0;

  /// What the limiter currently believes, for logs and tests.
  struct State {
    double measured_rate;
    double fill_rate;
    double max_capacity;
    double available_capacity;
    CubicCalculator::Params cubic;
    bool enabled;
  };

  /// `time` members left empty are the real ones.
  explicit ClientRateLimiter(SteadyTime time = {});
  ClientRateLimiter(const ClientRateLimiter&) = delete;
  ClientRateLimiter& operator=(const ClientRateLimiter&) = delete;

  /// Before every attempt: once a throttling answer has been seen, waits for
  /// a token (see TokenBucket::acquire, including what a throwing sleep does).
  void onSendingRequest();
  /// After every attempt, whatever came back (a transport failure counts as
  /// not throttled): adjusts the send rate.
  void onReceivingResponse(bool throttled);
  /// The answer last reported as not throttled turned out to carry a
  /// throttling error (S3 puts some errors inside 200 answers, which botocore
  /// classifies before its limiter sees them): applies the throttle without
  /// counting a second answer.
  void onLateThrottlingError();
  State state() const;

 private:
  void adjust(bool throttled, double measured_rate, double timestamp);

  SteadyTime time_;
  CubicCalculator cubic_;
  RateClocker clocker_;
  TokenBucket bucket_;
  std::atomic<bool> enabled_{false};
  mutable std::mutex mutex_;  // cubic_ and the enabling throttle
};

}  // namespace aws
