#pragma once
// Watching many instances with few requests. Every worker of a deployment or
// a teardown waits for its instance at some point: for its status checks,
// its public address, its second interface's address, a detachment, its
// termination. Asking EC2 once per worker and per poll would make the number
// of polls grow with the fleet and spend the account's request tokens, so
// the workers share rounds instead: one describe of every instance that
// anyone waits on, once per period, whose answer serves them all.
//
// A round is run by whichever waiting worker finds none running (no extra
// thread); it pauses one period through the clock first, so the first polls
// of many workers fall into one request rather than into one instant. A
// round that fails (throttled after the client's retries, no answer, a
// malformed answer) is a round without news: waiters wait for the next one
// while their time lasts.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "aws/base/clock.h"
#include "aws/services/ec2.h"
#include "probefleet/resources/fleet_lookup.h"

namespace probefleet {

/// Pause before each round of DescribeInstances (states, addresses,
/// attachments) and of DescribeInstanceStatus (status checks).
inline constexpr std::chrono::milliseconds kInstanceRoundPeriod{2000};
inline constexpr std::chrono::milliseconds kStatusRoundPeriod{5000};
/// Status rounds once the run has seen how long its instances' checks take:
/// the short pause while an instance is due within one status period, the
/// long one while none is (see FleetWatch::statusPause).
inline constexpr std::chrono::milliseconds kStatusRoundShort{2000};
inline constexpr std::chrono::milliseconds kStatusRoundLong{10000};
/// Ids per request: DescribeInstanceStatus takes at most 100 explicit ids,
/// and a filter at most 200 values.
inline constexpr std::size_t kIdsPerRequest = 100;

/// How long an instance still starting is waited for (the status wait's own
/// ten minutes).
inline constexpr std::chrono::milliseconds kStartPatience{600000};

/// Answered rounds enough for any wait that is bounded by time instead.
inline constexpr int kWatchPolls = 1000000;

/// What one round said about one id.
template <typename Value>
struct Sighting {
  /// False when the round failed: nothing is known from it.
  bool answered = false;
  /// The id's record; nullopt when EC2 did not list it.
  std::optional<Value> value;
  /// Why the round failed, when it did.
  std::string failure;
  /// The pause the round took before its request.
  std::chrono::milliseconds pause{0};
};

/// Rounds of one kind of describe, shared by every thread that waits on an id.
template <typename Value>
class Rounds {
 public:
  /// Describes the given ids; the map holds those EC2 listed. May throw.
  using Poll = std::function<std::map<std::string, Value>(const std::vector<std::string>&)>;
  /// The pause before a round, given the ids it will ask for; empty: the
  /// period.
  using Pace = std::function<std::chrono::milliseconds(const std::vector<std::string>&)>;

  Rounds(aws::Clock& clock, std::chrono::milliseconds period, Poll poll, Pace pace = {})
      : clock_(&clock), period_(period), poll_(std::move(poll)), pace_(std::move(pace)) {}

  std::chrono::milliseconds period() const { return period_; }

  /// Blocks until a round that began after this call has ended and returns
  /// what it saw of `id`. Only aws::Interrupted is thrown.
  Sighting<Value> next(const std::string& id);

  /// Requests sent so far.
  std::uint64_t requests() const;

 private:
  void lead(std::unique_lock<std::mutex>& lock);

  aws::Clock* clock_;
  std::chrono::milliseconds period_;
  Poll poll_;
  Pace pace_;
  mutable std::mutex mutex_;
  std::condition_variable ended_;
  std::map<std::string, int> wanted_;  // id -> waiters
  std::map<std::string, Value> seen_;
  std::string failure_;                 // of the last round
  std::chrono::milliseconds pause_{0};  // of the last round
  std::uint64_t started_ = 0;
  std::uint64_t ended_count_ = 0;
  std::uint64_t requests_ = 0;
  bool leading_ = false;
};

/// When a wait gives up.
struct WaitLimits {
  /// Answered rounds at most (throttled or failed rounds do not count).
  int polls = 1;
  /// Rounds of any kind at most, as time: rounds x period.
  std::chrono::milliseconds time{0};
};

/// An instance stopped or terminated while the run waited for it to start;
/// the message names the instance, its state and EC2's state reason.
class InstanceEndedError : public std::runtime_error {
 public:
  InstanceEndedError(const std::string& instance_id, const std::string& state,
                     const std::string& reason);
};

/// The instances a run waits on, watched in shared rounds.
class FleetWatch {
 public:
  FleetWatch(const aws::Ec2Client& ec2, aws::Clock& clock);

  using InstanceCheck = std::function<bool(const std::optional<aws::ec2::Instance>&)>;

  /// Waits through rounds of DescribeInstances until `done` holds for the
  /// instance as EC2 lists it (nullopt: not listed) or a limit is reached.
  /// Returns the last sighting; `answered` is false only when no round
  /// answered at all. Throws aws::Interrupted.
  Sighting<aws::ec2::Instance> waitInstance(const std::string& instance_id,
                                            const InstanceCheck& done, WaitLimits limits);

  /// Waits until EC2 lists the instance as terminated, or no more, for at
  /// most `patience`. False when it still stands (or no round answered).
  bool waitTerminated(const std::string& instance_id, std::chrono::milliseconds patience);

  /// Waits, in the rounds of the status checks below, until the instance is
  /// running, for at most kStartPatience. Throws InstanceEndedError when it
  /// stops or terminates instead (with EC2's state reason), aws::WaiterError
  /// when the time is up, aws::Interrupted. True when the round that showed
  /// it running showed its status checks passed too.
  bool waitRunning(const std::string& instance_id);

  /// Waits until DescribeInstanceStatus reports the instance's status checks
  /// "ok", as the instance_status_ok waiter does (40 polls of 15 s: ten
  /// minutes), in rounds of kStatusRoundPeriod. Throws aws::WaiterError when
  /// the time is up, aws::Interrupted.
  /// An instance that stops or terminates while it is waited for (a launch
  /// that died: no capacity, an unusable EBS key, ...) throws
  /// InstanceEndedError at the round that shows it, with EC2's state reason.
  /// The rounds pause for what they are about (statusPause).
  void waitStatusOk(const std::string& instance_id);

  /// The pause before a status round asking for `ids`. kStatusRoundPeriod
  /// until an instance of this watch has passed its checks; from then on the
  /// time it took from running to passing is what the others are expected
  /// to take too: kStatusRoundShort while one of them is due within a
  /// status period (or a little overdue), otherwise up to kStatusRoundLong,
  /// ending a short pause before the first is due. An instance not yet
  /// running, or one long overdue, keeps the pause at kStatusRoundPeriod at
  /// most.
  std::chrono::milliseconds statusPause(const std::vector<std::string>& ids);

  Rounds<aws::ec2::Instance>& instances() { return instances_; }

 private:
  /// EC2's reason for the instance's last state change, from one round of
  /// DescribeInstances; "" when none is had.
  std::string stateReason(const std::string& instance_id);
  /// Throws InstanceEndedError when a status round shows the instance
  /// stopping or gone.
  void requireStarting(const std::string& instance_id, const aws::ec2::InstanceStatus& status);

  /// Notes the checks of an instance seen passing.
  void checksPassed(const std::string& instance_id);
  /// Whether a status round's record of the instance ends the wait; may say
  /// in `last` what it showed instead.
  using StatusCheck = std::function<bool(const aws::ec2::InstanceStatus&, std::string& last)>;
  /// Status rounds of the instance until `done` holds for one that lists it
  /// (a stopping or ended instance throws InstanceEndedError first), for at
  /// most `patience`; then aws::WaiterError `waiter`: "not <what> within N
  /// seconds; last: ...".
  void watchStatus(const std::string& instance_id, std::chrono::milliseconds patience,
                   const std::string& waiter, const std::string& what, const StatusCheck& done);

  aws::Clock& clock_;
  std::mutex pace_mutex_;
  std::map<std::string, std::chrono::system_clock::time_point> running_since_;
  std::optional<std::chrono::milliseconds> checks_take_;
  Rounds<aws::ec2::Instance> instances_;
  Rounds<aws::ec2::InstanceStatus> statuses_;
};

/// What a fleet hands each of its workers besides the entry: the shared
/// rounds, and what the fleet's one lookup found, so that no worker asks
/// again on its own.
struct FleetShare {
  /// The fleet's watch; nullptr: the worker watches alone.
  FleetWatch* watch = nullptr;
  /// The worker's subnet as the fleet's lookup found it; nullopt: the worker
  /// looks it up itself.
  std::optional<Ec2Lookup> found;
  /// Teardown in Elastic-IP runs: the allocation id of each public address
  /// that an Elastic IP of the found instances holds; nullopt: the worker
  /// asks EC2 itself.
  std::optional<std::map<std::string, std::string>> allocations;
};

/// The ids listed in an InvalidInstanceID.NotFound message ("The instance
/// IDs 'i-1, i-2' do not exist").
std::vector<std::string> instanceIdsIn(const std::string& message);

// ---------------------------------------------------------------------------

template <typename Value>
Sighting<Value> Rounds<Value>::next(const std::string& id) {
  std::unique_lock<std::mutex> lock(mutex_);
  ++wanted_[id];
  const std::uint64_t target = started_ + 1;
  try {
    while (ended_count_ < target) {
      if (!leading_) {
        lead(lock);
      } else {
        ended_.wait(lock);
      }
    }
  } catch (...) {
    if (--wanted_[id] == 0) wanted_.erase(id);
    throw;
  }
  if (--wanted_[id] == 0) wanted_.erase(id);
  Sighting<Value> sighting;
  sighting.answered = failure_.empty();
  sighting.failure = failure_;
  sighting.pause = pause_;
  if (const auto found = seen_.find(id); found != seen_.end()) sighting.value = found->second;
  return sighting;
}

template <typename Value>
void Rounds<Value>::lead(std::unique_lock<std::mutex>& lock) {
  leading_ = true;
  std::vector<std::string> waiting;
  if (pace_) {
    for (const auto& [id, waiters] : wanted_) waiting.push_back(id);
  }
  lock.unlock();
  const auto handOver = [&] {
    lock.lock();
    leading_ = false;
    ended_.notify_all();
  };
  std::chrono::milliseconds pause = period_;
  try {
    if (pace_) pause = pace_(waiting);
    clock_->sleep(pause);
  } catch (...) {
    handOver();
    throw;
  }
  lock.lock();
  std::vector<std::string> ids;
  ids.reserve(wanted_.size());
  for (const auto& [id, waiters] : wanted_) ids.push_back(id);
  const std::uint64_t round = ++started_;
  lock.unlock();

  std::map<std::string, Value> seen;
  std::string failure;
  std::uint64_t sent = 0;
  try {
    for (const std::vector<std::string>& chunk : inBatches(ids, kIdsPerRequest)) {
      ++sent;
      seen.merge(poll_(chunk));
    }
  } catch (const std::exception& error) {
    failure = error.what();
    if (failure.empty()) failure = "unknown failure";
  }
  // An interruption during the request ends the round as a failed one; the
  // waiters then meet it themselves in the pause before the next round.
  lock.lock();
  requests_ += sent;
  if (failure.empty()) {
    for (const std::string& id : ids) seen_.erase(id);
    seen_.merge(seen);
  }
  failure_ = failure;
  pause_ = pause;
  ended_count_ = round;
  leading_ = false;
  ended_.notify_all();
}

template <typename Value>
std::uint64_t Rounds<Value>::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

}  // namespace probefleet
