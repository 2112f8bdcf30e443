#pragma once
// Retries in the SDKs' "standard" mode: a retry policy (how many attempts)
// and a backoff policy (truncated exponential with full jitter); which
// failures are retryable is decided in isRetryable() alone. "adaptive" is
// the same plus the client's rate limiter (adaptive_rate.h).

#include <chrono>
#include <functional>
#include <optional>
#include <random>
#include <string>

#include "aws/base/environment.h"
#include "aws/client/error.h"

namespace aws {

/// What a program wants when neither the environment nor the profile says.
struct RetryDefaults {
  std::string mode = "standard";
  /// nullopt: the mode's SDK default (legacy 5, the others 3).
  std::optional<int> max_attempts{};
};

struct RetryPolicy {
  std::string mode = "standard";  // "standard", "legacy" or "adaptive"
  int max_attempts = 3;           // first try included
  std::chrono::milliseconds base_delay{1000};
  std::chrono::milliseconds max_backoff{20000};

  /// AWS_MAX_ATTEMPTS / AWS_RETRY_MODE, then the profile's max_attempts /
  /// retry_mode, then `defaults`; each of the two settings on its own.
  /// Throws ConfigError on an invalid user value, std::invalid_argument on
  /// invalid `defaults`.
  static RetryPolicy fromEnvironment(const Environment& env,
                                     const std::optional<std::string>& profile,
                                     const RetryDefaults& defaults = {});
  /// Delay before retry number `attempt` (1 = the first retry): a random
  /// share of min(base * 2^(attempt-1), max_backoff).
  std::chrono::milliseconds backoff(int attempt, std::mt19937_64& rng) const;
};

/// One failed attempt of a request that the client is about to try again.
struct RetryNotice {
  std::string service;  // "ec2", "iam", ...
  /// The action ("DescribeImages"); for S3, the method and path.
  std::string action;
  std::string host;    // where the request went
  std::string reason;  // the service's code and message, or why no answer came
  int attempt = 0;     // the attempt that failed, from 1
  int max_attempts = 0;
  /// Time since the request's first attempt, the pause to come included.
  std::chrono::milliseconds waited{0};
  /// True on the request's first notice once `waited` passes
  /// kRetryAnnounceAfter: where a console says, once, what it waits on.
  bool first_long_wait = false;
};

/// Told of every retry, on the retrying thread; must not throw.
using RetryObserver = std::function<void(const RetryNotice&)>;

/// One attempt of a request, once its answer (or the lack of one) is in.
struct AttemptNotice {
  std::string service;  // "ec2", "iam", ...
  std::string action;   // as in RetryNotice
  int attempt = 1;      // from 1: above 1 the attempt was a retry
  int status = 0;       // the HTTP status; 0 when no answer came
  bool throttled = false;
  /// The backoff before the next attempt; zero when none follows.
  std::chrono::milliseconds pause{0};
};

/// Told of every attempt, on the sending thread; must not throw.
using AttemptObserver = std::function<void(const AttemptNotice&)>;

/// How long a request retries before its wait is worth showing to a person.
inline constexpr std::chrono::milliseconds kRetryAnnounceAfter{3000};

/// Throttling codes the SDKs retry ("Throttling", "RequestLimitExceeded", ...).
bool isThrottlingCode(const std::string& code);
/// Whether a client in retry `mode` tries `error` again, as botocore decides:
/// in "standard" and "adaptive" mode the throttling codes, the transient codes
/// (RequestTimeout, ...), 500, 502, 503 and 504, and STS's
/// IDPCommunicationError; in "legacy" mode the table of botocore's
/// _retry.json (429, 5xx but 501, throttling codes sent with 400, and each
/// service's own codes). Every other answer is final, such as EC2's answer
/// to an allowed dry run (412 "DryRunOperation").
///
/// One departure from botocore, in every mode: EC2's
/// "InsufficientInstanceCapacity" (HTTP 500) is final. A zone's capacity
/// seldom returns within the seconds a retry waits, and the caller does
/// better to try another instance type or zone at once.
bool isRetryable(const ServiceError& error, const std::string& mode = "standard");

}  // namespace aws
