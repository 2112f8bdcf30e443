#pragma once
// What every service client shares: where to send, how to sign, how to
// retry. A typed client (ec2.h, iam.h, ...) builds an HttpRequest for an
// action, hands it to ServiceClient::invoke and parses the answer.

#include <functional>
#include <memory>
#include <random>
#include <string>

#include "aws/clock.h"
#include "aws/credentials.h"
#include "aws/error.h"
#include "aws/http.h"
#include "aws/retry.h"

namespace aws {

struct ClientConfig {
  std::string service;       // "ec2", "iam", "sts", "ssm", "s3"
  std::string signing_name;  // usually equal to service
  std::string region;        // the client's region ("" when none was known)
  std::string signing_region;
  Endpoint endpoint;
  bool endpoint_overridden = false;
  std::shared_ptr<CredentialsProvider> credentials;
  std::shared_ptr<HttpTransport> transport;
  std::shared_ptr<Clock> clock;
  RetryPolicy retry;
  Timeouts timeouts;
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
    bool s3 = false;                 // S3 signing rules
    std::string payload_hash;        // see SigningParams::payload_hash
    ResponseStream* stream = nullptr;
    /// Overrides the signing region for one call (S3 region redirects).
    std::string signing_region;
  };

  /// Signs and sends `request` (endpoint filled in when empty), retrying
  /// retryable failures with backoff through the clock. Returns the 2xx
  /// answer. Throws ServiceError (via `parse_error`) or TransportError after
  /// the last attempt, ConfigError when credentials cannot be had.
  HttpResponse invoke(HttpRequest request, const ErrorParser& parse_error,
                      const Options& options) const;
  HttpResponse invoke(HttpRequest request, const ErrorParser& parse_error) const {
    return invoke(std::move(request), parse_error, Options{});
  }

 private:
  ClientConfig config_;
};

}  // namespace aws
