#pragma once
// AWS meters every action and is only eventually consistent: a step may be
// throttled or meet a passing fault after the client's own retries, and a
// step on something the run has just made may be told NotFound for a while.
// Such a step is repeated, with growing pauses, while its time lasts; it
// never ends on a failure that only asks to wait.

#include <chrono>
#include <exception>
#include <random>
#include <string>
#include <vector>

#include "aws/base/clock.h"
#include "aws/base/interrupt.h"

namespace probefleet {

/// How long a new id may stay invisible: Terraform's AWS provider waits up to
/// two minutes for the same.
inline constexpr std::chrono::milliseconds kConsistencyBudget{120000};
/// The longest pause between two tries of a step.
inline constexpr std::chrono::milliseconds kPatientPauseCap{10000};
/// The longest pause of a wait the whole fleet waits behind (a new group's
/// rules, a new key pair): looking once a second costs a few requests a run,
/// while a pause grown to several seconds is lost by every entry.
inline constexpr std::chrono::milliseconds kRunWidePauseCap{1000};

/// How long a step keeps trying, and which of AWS's answers mean "not yet".
struct Patience {
  std::chrono::milliseconds budget = kConsistencyBudget;
  /// Error codes to wait out (a fresh id's NotFound, an interface still in use).
  std::vector<std::string> not_yet;
  /// The longest pause between two tries.
  std::chrono::milliseconds pause_cap = kPatientPauseCap;
};

/// True when `failure` only asks to wait: a throttling or transient answer, a
/// 5xx, no answer at all, or a service error whose code is in `not_yet`.
bool worthWaiting(const std::exception& failure, const std::vector<std::string>& not_yet);

/// The pause before try number `attempt` + 1: a random share, between half
/// and all, of min(1 s * 2^(attempt-1), `cap`), so that the workers of a
/// fleet do not come back in step.
std::chrono::milliseconds patientPause(int attempt,
                                       std::chrono::milliseconds cap = kPatientPauseCap);

/// Runs step() until it returns. After a failure that worthWaiting(), it
/// pauses (patientPause, through `clock`) and tries again, until the pauses
/// add up to the budget; then the last failure is thrown. Other failures,
/// and aws::Interrupted, are thrown at once.
template <typename Step>
auto patiently(aws::Clock& clock, const Patience& patience, Step&& step) -> decltype(step()) {
  std::chrono::milliseconds waited{0};
  for (int attempt = 1;; ++attempt) {
    try {
      return step();
    } catch (const aws::Interrupted&) {
      throw;
    } catch (const std::exception& failure) {
      if (waited >= patience.budget || !worthWaiting(failure, patience.not_yet)) throw;
    }
    const std::chrono::milliseconds pause = patientPause(attempt, patience.pause_cap);
    clock.sleep(pause);
    waited += pause;
  }
}

}  // namespace probefleet
