#pragma once
// What every service client shares: where to send, how to sign, how to
// retry. A typed client (ec2.h, iam.h, ...) builds an HttpRequest for an
// action, hands it to ServiceClient::invoke and parses the answer.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>

#include "aws/client/adaptive_rate.h"
#include "aws/base/clock.h"
#include "aws/config/config.h"
#include "aws/auth/credentials.h"
#include "aws/client/error.h"
#include "aws/http/http.h"
#include "aws/client/retry.h"

namespace aws {

struct ClientConfig {
  std::string service;       // "ec2", "iam", "sts", "ssm", "kms", "servicequotas", "s3"
  std::string signing_name;  // usually equal to service
  std::string region;        // the client's region ("" when none was known)
  std::string signing_region;
  Endpoint endpoint;
  bool endpoint_overridden = false;
  /// The FIPS / dual-stack variant of `endpoint`: hosts the client works out
  /// itself (S3 in a bucket's region) take the same one.
  EndpointVariant endpoint_variant{};
  std::shared_ptr<CredentialsProvider> credentials;
  std::shared_ptr<HttpTransport> transport;
  std::shared_ptr<Clock> clock;
  RetryPolicy retry;
  Timeouts timeouts;
  /// Real time for the adaptive mode's rate limiter (empty: steady_clock and
  /// real sleeps), never `clock`: its rates are per real second, or per
  /// second of a time-scaled run's world (SteadyTime::scaled).
  SteadyTime steady_time{};
  /// Told of every retry (may be empty).
  RetryObserver on_retry{};
  /// Told of every attempt, answered or not (may be empty).
  AttemptObserver on_attempt{};
};

/// Turns a non-2xx answer into the ServiceError its protocol describes.
using ErrorParser = std::function<ServiceError(const HttpResponse&)>;

/// Receives a streamed 2xx body. restart() is called before every attempt so
/// that a retried download starts from an empty target.
class ResponseStream {
 public:
  virtual ~ResponseStream() = default;
  virtual void restart() = 0;
  virtual bool write(const char* data, std::size_t size) = 0;
};

class ServiceClient {
 public:
  explicit ServiceClient(ClientConfig config);
  const ClientConfig& config() const { return config_; }

  struct Options {
    bool s3 = false;           // S3 signing rules
    std::string payload_hash;  // see SigningParams::payload_hash
    ResponseStream* stream = nullptr;
    /// Overrides the signing region for one call (S3 region redirects).
    std::string signing_region;
    /// In adaptive mode, the rate limiter of this name paces the call
    /// instead of the client's own: EC2 meters every action with a bucket of
    /// its own, so one throttled action must not slow the others down.
    std::string rate_scope;
  };

  /// Signs and sends `request` (endpoint filled in when empty), retrying
  /// retryable failures with backoff through the clock. In adaptive mode
  /// every attempt first passes the rate limiter, and every answer is
  /// reported to it. Returns the 2xx answer. Throws ServiceError (via
  /// `parse_error`) or TransportError after the last attempt, ConfigError
  /// when credentials cannot be had, and whatever the limiter's sleep throws.
  HttpResponse invoke(HttpRequest request, const ErrorParser& parse_error,
                      const Options& options) const;
  HttpResponse invoke(HttpRequest request, const ErrorParser& parse_error) const {
    return invoke(std::move(request), parse_error, Options{});
  }

  /// The adaptive mode's rate limiter, shared by this client, its copies and
  /// every thread using them; null in the other modes.
  const std::shared_ptr<ClientRateLimiter>& rateLimiter() const { return limiter_; }
  /// The limiter of a rate scope (see Options::rate_scope), made on first
  /// use and shared like the client's own; null outside adaptive mode.
  std::shared_ptr<ClientRateLimiter> rateLimiter(const std::string& scope) const;

 private:
  struct ScopedLimiters {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<ClientRateLimiter>> by_scope;
  };
  ClientConfig config_;
  std::shared_ptr<ClientRateLimiter> limiter_;
  std::shared_ptr<ScopedLimiters> scoped_;
};

}  // namespace aws
