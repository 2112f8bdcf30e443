#include "aws/client/client.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "aws/auth/sigv4.h"

namespace aws {

namespace {

std::mt19937_64& threadRng() {
  thread_local std::mt19937_64 rng{std::random_device{}()};
  return rng;
}

// The action a request performs, for people: the query protocols' Action,
// the JSON protocol's target, else the method and path (S3).
std::string actionOf(const HttpRequest& request) {
  const std::string prefix = "Action=";
  const auto at = request.body.rfind(prefix, 0) == 0 ? 0 : request.body.find("&" + prefix);
  if (at != std::string::npos) {
    const auto start = at + (at == 0 ? 0 : 1) + prefix.size();
    return request.body.substr(start, request.body.find('&', start) - start);
  }
  if (const std::string* target = request.header("X-Amz-Target")) {
    return target->substr(target->rfind('.') + 1);
  }
  return request.method + " " + request.path;
}

std::string reasonOf(const ServiceError& error) {
  return error.code() + (error.message().empty() ? "" : ": " + error.message());
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
  const auto started = std::chrono::steady_clock::now();
  std::chrono::milliseconds paused{0};
  bool announced = false;
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
    std::string reason;
    int status = 0;
    bool throttled = false;
    const auto told = [&](std::chrono::milliseconds pause) {
      if (config_.on_attempt) {
        config_.on_attempt({config_.service, actionOf(request), attempt, status, throttled, pause});
      }
    };
    try {
      HttpResponse response = config_.transport->send(
          signed_request, options.stream ? &sink : nullptr, config_.timeouts);
      status = response.status;
      if (response.status >= 200 && response.status < 300) {
        received(false);
        told(std::chrono::milliseconds{0});
        return response;
      }
      ServiceError error = parse_error(response);
      throttled = isThrottlingCode(error.code());
      received(throttled);
      if (attempt >= attempts || !isRetryable(error, config_.retry.mode)) {
        told(std::chrono::milliseconds{0});
        throw error;
      }
      reason = reasonOf(error);
    } catch (const TransportError& failure) {
      received(false);
      if (attempt >= attempts) {
        told(std::chrono::milliseconds{0});
        throw;
      }
      reason = failure.what();
    }
    const std::chrono::milliseconds pause = config_.retry.backoff(attempt, threadRng());
    told(pause);
    paused += pause;
    if (config_.on_retry) {
      // Real time when the pauses are real; the clock's pauses when it is
      // scaled or simulated.
      const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - started);
      RetryNotice notice{
          config_.service, actionOf(request), signed_request.endpoint.host,     reason,
          attempt,         attempts,          std::max(elapsed + pause, paused)};
      notice.first_long_wait = !announced && notice.waited >= kRetryAnnounceAfter;
      announced = announced || notice.first_long_wait;
      config_.on_retry(notice);
    }
    config_.clock->sleep(pause);
  }
}

}  // namespace aws
