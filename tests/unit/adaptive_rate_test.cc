// The adaptive mode's rate limiter: the same answers at the same times give
// the same send rates as botocore's (tests/oracles/adaptive_oracle.py), and
// the token bucket's line of waiting threads stays sound under concurrency
// and interrupted waits.

#include "aws/client/adaptive_rate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "aws/client/retry.h"
#include "support/serialization.h"

namespace {

using nlohmann::json;

// Time that moves only when someone sleeps (or the test moves it).
struct FakeTime {
  explicit FakeTime(double start) : now(start) {}
  aws::SteadyTime steady() {
    return {[this] { return current(); },
            [this](double seconds) {
              // Sleepers take a moment of real time, so that overlaps show.
              most_sleeping = std::max(most_sleeping.load(), ++sleeping);
              std::this_thread::sleep_for(std::chrono::microseconds(300));
              --sleeping;
              std::lock_guard<std::mutex> lock(mutex);
              ++sleeps;
              // Always moves, even when `seconds` is below the resolution.
              now = std::max(now + seconds, std::nextafter(now, 1e300));
              if (interrupt_after_sleep) throw std::runtime_error("interrupted");
            }};
  }
  void advanceTo(double t) {
    std::lock_guard<std::mutex> lock(mutex);
    now = std::max(now, t);
  }
  double current() {
    std::lock_guard<std::mutex> lock(mutex);
    return now;
  }
  std::mutex mutex;
  double now;
  int sleeps = 0;
  bool interrupt_after_sleep = false;
  std::atomic<int> sleeping{0}, most_sleeping{0};
};

// Events as the oracle reads them: a send (may wait for a token) or an
// answer with its error code (null: success).
struct Scenario {
  std::string name;
  double start;
  json events = json::array();

  Scenario& send(double t) {
    events.push_back({{"t", t}, {"send", true}});
    return *this;
  }
  Scenario& answer(double t, const char* code = nullptr) {
    events.push_back({{"t", t}, {"code", code ? json(code) : json(nullptr)}});
    return *this;
  }
  // A send every `every` seconds in [from, to), each answered half a period later.
  Scenario& stream(double from, double to, double every) {
    for (double t = from; t < to - 1e-9; t += every) send(t).answer(t + every / 2);
    return *this;
  }
};

json runOurs(const Scenario& scenario) {
  FakeTime time(scenario.start);
  aws::ClientRateLimiter limiter(time.steady());
  json states = json::array();
  for (const json& e : scenario.events) {
    time.advanceTo(e["t"].get<double>());
    if (e.contains("send")) {
      limiter.onSendingRequest();
    } else {
      limiter.onReceivingResponse(e["code"].is_string() &&
                                  aws::isThrottlingCode(e["code"].get<std::string>()));
    }
    const aws::ClientRateLimiter::State s = limiter.state();
    states.push_back({{"now", time.current()},
                      {"measured_rate", s.measured_rate},
                      {"fill_rate", s.fill_rate},
                      {"max_capacity", s.max_capacity},
                      {"available_capacity", s.available_capacity},
                      {"w_max", s.cubic.w_max},
                      {"k", s.cubic.k},
                      {"last_fail", s.cubic.last_fail},
                      {"enabled", s.enabled}});
  }
  return states;
}

TEST(AdaptiveRateLimiter, SendRatesMatchBotocoreOnTheSameAnswers) {
  std::vector<Scenario> scenarios;
  // Never throttled: rates are measured, but no send ever waits.
  scenarios.push_back(Scenario{"steady successes", 1000.3}.stream(1000.3, 1003.3, 0.1));
  // The first throttle turns pacing on at beta times the measured rate;
  // the sends right after it wait for tokens.
  scenarios.push_back(Scenario{"first throttle", 1000.0}
                          .stream(1000.0, 1002.0, 0.1)
                          .answer(1002.05, "RequestLimitExceeded")
                          .send(1002.1)
                          .send(1002.1)
                          .send(1002.1));
  // After a throttle the rate climbs back along the cubic over seconds,
  // sends asking for more than it allows waiting for their tokens.
  scenarios.push_back(Scenario{"cubic recovery", 500.75}
                          .stream(500.75, 502.75, 0.05)
                          .answer(502.8, "Throttling")
                          .stream(502.9, 508.0, 0.04));
  // Throttles in a row (each cuts from the lower of measured and bucket
  // rate), with non-throttling errors and other throttling codes between.
  scenarios.push_back(Scenario{"repeated throttles", 42.0}
                          .stream(42.0, 43.0, 0.05)
                          .answer(43.0, "Throttling")
                          .stream(43.1, 43.6, 0.1)
                          .answer(43.6, "SlowDown")
                          .answer(43.6, "ThrottlingException")
                          .answer(43.7, "InternalError")
                          .answer(43.7, "RequestTimeout")
                          .stream(43.8, 44.8, 0.2)
                          .answer(44.8, "EC2ThrottledException")
                          .stream(44.9, 46.0, 0.3));
  // A throttle before any rate was measured drops to the minimum rate:
  // each send then waits about two seconds for its token.
  scenarios.push_back(Scenario{"low fill rate", 2000.0}
                          .send(2000.0)
                          .answer(2000.1, "Throttling")
                          .send(2000.2)
                          .send(2000.2)
                          .send(2000.2)
                          .answer(2000.2)
                          .send(2000.3));

  json input = json::array();
  for (const Scenario& s : scenarios) input.push_back({{"start", s.start}, {"events", s.events}});
  const json expected = testing_support::runOracle("adaptive_oracle.py", input);
  ASSERT_EQ(expected.size(), scenarios.size());

  for (std::size_t i = 0; i < scenarios.size(); ++i) {
    const json ours = runOurs(scenarios[i]);
    ASSERT_EQ(ours.size(), expected[i].size()) << scenarios[i].name;
    for (std::size_t e = 0; e < ours.size(); ++e) {
      for (const auto& [field, want] : expected[i][e].items()) {
        SCOPED_TRACE(scenarios[i].name + ", event " + std::to_string(e) + ", " + field);
        if (want.is_boolean()) {
          EXPECT_EQ(ours[e][field].get<bool>(), want.get<bool>());
          continue;
        }
        // Our waits are cut into slices, so sums may differ in the last bits.
        const double a = ours[e][field].get<double>(), b = want.get<double>();
        EXPECT_LE(std::abs(a - b), 1e-9 * std::max({1.0, std::abs(a), std::abs(b)}))
            << a << " vs botocore's " << b;
      }
    }
  }
}

TEST(TokenBucket, WaitingThreadsQueueAndOnlyTheFirstInLineSleeps) {
  FakeTime time(0.0);
  aws::TokenBucket bucket(4.0, time.steady());
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&bucket] {
      for (int n = 0; n < 5; ++n) bucket.acquire();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(time.most_sleeping.load(), 1);
  EXPECT_NEAR(time.current(), 40 / 4.0, 1e-6);
  EXPECT_GE(bucket.availableCapacity(), -1e-9);
}

TEST(TokenBucket, AnInterruptedWaitTakesNothingAndHandsTheTurnOn) {
  // Shared, so that a thread stuck by a failure here outlives the test safely.
  auto time = std::make_shared<FakeTime>(0.0);
  auto bucket = std::make_shared<aws::TokenBucket>(1.0, time->steady());
  time->interrupt_after_sleep = true;
  EXPECT_THROW(bucket->acquire(), std::runtime_error);

  time->interrupt_after_sleep = false;
  time->advanceTo(1.0);
  const int sleeps_before = time->sleeps;
  // A line still holding the interrupted caller would block this forever.
  auto served = std::make_shared<std::promise<void>>();
  std::future<void> done = served->get_future();
  std::thread([time, bucket, served] {
    bucket->acquire();
    served->set_value();
  }).detach();
  ASSERT_EQ(done.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(time->sleeps, sleeps_before) << "the token earned by t=1 was not there";
  EXPECT_NEAR(bucket->availableCapacity(), 0.0, 1e-12);
}

// A time-scaled run's limiter lives in its world's seconds: the same
// answers cost it the same waits in those seconds, so `scale` times the real
// waits at AWS's pace.
TEST(SteadyTimeTest, AScaledLimiterWaitsItsScaleOfTheRealWait) {
  const auto realWait = [](double scale) {
    double now = 50, slept = 0;
    aws::ClientRateLimiter limiter(aws::SteadyTime::scaled({[&] { return now; },
                                                            [&](double seconds) {
                                                              now += seconds;
                                                              slept += seconds;
                                                            }},
                                                           scale));
    limiter.onSendingRequest();
    limiter.onReceivingResponse(true);  // the first throttle turns the bucket on
    for (int i = 0; i < 5; ++i) limiter.onSendingRequest();
    return slept;
  };
  const double at_aws_pace = realWait(1);
  ASSERT_GT(at_aws_pace, 1.0);
  for (const double scale : {0.5, 0.1, 0.05}) {
    EXPECT_NEAR(realWait(scale), at_aws_pace * scale, 1e-9 * at_aws_pace) << scale;
  }
  EXPECT_DOUBLE_EQ(realWait(1.5), at_aws_pace);  // not a scale: real time
}

}  // namespace
