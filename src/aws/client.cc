#include "aws/client.h"

#include <thread>

#include "aws/sigv4.h"

namespace aws {

namespace {

std::mt19937_64& threadRng() {
  thread_local std::mt19937_64 rng{std::random_device{}()};
  return rng;
}

}  // namespace

ServiceClient::ServiceClient(ClientConfig config) : config_(std::move(config)) {
  if (!config_.clock) config_.clock = systemClock();
  if (config_.signing_name.empty()) config_.signing_name = config_.service;
  if (config_.signing_region.empty()) config_.signing_region = config_.region;
  if (config_.retry.mode == "adaptive") {
    limiter_ = std::make_shared<ClientRateLimiter>(config_.steady_time);
    scoped_ = std::make_shared<ScopedLimiters>();
  }
}

std::shared_ptr<ClientRateLimiter> ServiceClient::rateLimiter(const std::string& scope) const {
  if (!scoped_) return nullptr;
  if (scope.empty()) return limiter_;
  std::lock_guard<std::mutex> lock(scoped_->mutex);
  auto& limiter = scoped_->by_scope[scope];
  if (!limiter) limiter = std::make_shared<ClientRateLimiter>(config_.steady_time);
  return limiter;
}

HttpResponse ServiceClient::invoke(HttpRequest request, const ErrorParser& parse_error,
                                   const Options& options) const {
  if (request.endpoint.host.empty()) request.endpoint = config_.endpoint;
  const int attempts = std::max(1, config_.retry.max_attempts);
  const std::shared_ptr<ClientRateLimiter> scoped =
      options.rate_scope.empty() ? limiter_ : rateLimiter(options.rate_scope);
  ClientRateLimiter* limiter = scoped.get();
  auto received = [limiter](bool throttled) {
    if (limiter) limiter->onReceivingResponse(throttled);
  };
  for (int attempt = 1;; ++attempt) {
    // Before signing, so that a long wait for a token does not age the
    // signature.
    if (limiter) limiter->onSendingRequest();
    HttpRequest signed_request = request;
    SigningParams params;
    params.credentials = config_.credentials->credentials();
    params.region =
        options.signing_region.empty() ? config_.signing_region : options.signing_region;
    params.service = config_.signing_name;
    params.time = config_.clock->now();
    params.s3 = options.s3;
    params.payload_hash = options.payload_hash;
    signRequest(signed_request, params);

    BodySink sink;
    if (options.stream) {
      options.stream->restart();
      sink = [stream = options.stream](const char* data, std::size_t size) {
        return stream->write(data, size);
      };
    }
    try {
      HttpResponse response = config_.transport->send(
          signed_request, options.stream ? &sink : nullptr, config_.timeouts);
      if (response.status >= 200 && response.status < 300) {
        received(false);
        return response;
      }
      ServiceError error = parse_error(response);
      received(isThrottlingCode(error.code()));
      if (attempt >= attempts || !isRetryable(error, config_.retry.mode)) throw error;
    } catch (const TransportError&) {
      received(false);
      if (attempt >= attempts) throw;
    }
    config_.clock->sleep(config_.retry.backoff(attempt, threadRng()));
  }
}

}  // namespace aws
