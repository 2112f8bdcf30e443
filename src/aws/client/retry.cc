#include "aws/client/retry.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <stdexcept>
#include <string_view>

#include "aws/config/config.h"

namespace aws {

namespace {

constexpr std::array<std::string_view, 14> kThrottlingCodes = {
    "Throttling",
    "ThrottlingException",
    "ThrottledException",
    "RequestThrottledException",
    "TooManyRequestsException",
    "ProvisionedThroughputExceededException",
    "TransactionInProgressException",
    "RequestLimitExceeded",
    "BandwidthLimitExceeded",
    "LimitExceededException",
    "RequestThrottled",
    "SlowDown",
    "PriorRequestNotComplete",
    "EC2ThrottledException",
};

constexpr std::array<std::string_view, 3> kTransientCodes = {
    "RequestTimeout",
    "RequestTimeoutException",
    "PriorRequestNotComplete",
};

constexpr std::array<long, 4> kTransientStatuses = {500, 502, 503, 504};

// The legacy mode's table (botocore's _retry.json): statuses retried whatever
// the code, and codes retried only with the status they are listed with.
constexpr std::array<long, 6> kLegacyStatuses = {429, 500, 502, 503, 504, 509};

struct ListedCode {
  std::string_view service;  // "" for every service
  std::string_view code;
  long status;
};

constexpr std::array<ListedCode, 10> kLegacyCodes = {{
    {"", "Throttling", 400},
    {"", "ThrottlingException", 400},
    {"", "ThrottledException", 400},
    {"", "RequestThrottledException", 400},
    {"", "ProvisionedThroughputExceededException", 400},
    {"ec2", "RequestLimitExceeded", 503},
    {"ec2", "EC2ThrottledException", 503},
    {"s3", "RequestTimeout", 400},
    {"s3", "BadDigest", 400},
    {"sts", "IDPCommunicationError", 400},
}};

// An identity provider that STS could not reach is worth another try, as
// botocore retries it for STS alone in every mode.
bool isIdpCommunicationError(const ServiceError& error) {
  return error.service() == "sts" && error.code() == "IDPCommunicationError";
}

// A launch EC2 has no capacity for: see isRetryable.
bool isCapacityShortage(const ServiceError& error) {
  return error.service() == "ec2" && error.code() == "InsufficientInstanceCapacity";
}

bool isLegacyRetryable(const ServiceError& error) {
  for (const ListedCode& listed : kLegacyCodes) {
    if ((listed.service.empty() || listed.service == error.service()) &&
        listed.code == error.code() && listed.status == error.httpStatus()) {
      return true;
    }
  }
  return std::find(kLegacyStatuses.begin(), kLegacyStatuses.end(), error.httpStatus()) !=
         kLegacyStatuses.end();
}

template <typename Range, typename Value>
bool contains(const Range& range, const Value& value) {
  return std::find(range.begin(), range.end(), value) != range.end();
}

// A value from the environment, else from the profile; "" counts as unset.
std::optional<std::string> setting(const Environment& env, const ProfileFiles& files,
                                   const std::string& profile, const std::string& variable,
                                   const std::string& key, std::string* origin) {
  if (auto value = env.nonEmpty(variable)) {
    *origin = variable;
    return value;
  }
  if (auto value = files.value(profile, key); value && !value->empty()) {
    *origin = "'" + key + "' of profile " + profile;
    return value;
  }
  return std::nullopt;
}

int parseMaxAttempts(const std::string& text, const std::string& origin) {
  int value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || value < 1) {
    throw ConfigError("invalid max attempts '" + text + "' in " + origin +
                      ": expected a whole number of at least 1");
  }
  return value;
}

bool isRetryMode(const std::string& mode) {
  return mode == "legacy" || mode == "standard" || mode == "adaptive";
}

}  // namespace

RetryPolicy RetryPolicy::fromEnvironment(const Environment& env,
                                         const std::optional<std::string>& profile,
                                         const RetryDefaults& defaults) {
  if (!isRetryMode(defaults.mode)) {
    throw std::invalid_argument("invalid default retry mode '" + defaults.mode + "'");
  }
  if (defaults.max_attempts && *defaults.max_attempts < 1) {
    throw std::invalid_argument("invalid default max attempts " +
                                std::to_string(*defaults.max_attempts));
  }
  const ProfileFiles files = ProfileFiles::load(env);
  const std::string name = effectiveProfile(env, profile);
  RetryPolicy policy;
  policy.mode = defaults.mode;
  std::string origin;
  if (auto mode = setting(env, files, name, "AWS_RETRY_MODE", "retry_mode", &origin)) {
    if (!isRetryMode(*mode)) {
      throw ConfigError("invalid retry mode '" + *mode + "' in " + origin +
                        ": expected legacy, standard or adaptive");
    }
    policy.mode = *mode;
  }
  policy.max_attempts = defaults.max_attempts.value_or(policy.mode == "legacy" ? 5 : 3);
  if (auto attempts = setting(env, files, name, "AWS_MAX_ATTEMPTS", "max_attempts", &origin)) {
    policy.max_attempts = parseMaxAttempts(*attempts, origin);
  }
  return policy;
}

std::chrono::milliseconds RetryPolicy::backoff(int attempt, std::mt19937_64& rng) const {
  // base * 2^(attempt-1), truncated at max_backoff before it can overflow.
  auto cap = base_delay;
  for (int i = 1; i < attempt && cap < max_backoff; ++i) cap *= 2;
  cap = std::min(cap, max_backoff);
  std::uniform_real_distribution<double> share(0.0, 1.0);
  return std::chrono::milliseconds(static_cast<long long>(share(rng) * cap.count()));
}

bool isThrottlingCode(const std::string& code) {
  return contains(kThrottlingCodes, code);
}

bool isRetryable(const ServiceError& error, const std::string& mode) {
  if (isCapacityShortage(error)) return false;
  if (mode == "legacy") return isLegacyRetryable(error);
  return isThrottlingCode(error.code()) || contains(kTransientCodes, error.code()) ||
         contains(kTransientStatuses, error.httpStatus()) || isIdpCommunicationError(error);
}

}  // namespace aws
