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
}

HttpResponse ServiceClient::invoke(HttpRequest request, const ErrorParser& parse_error,
                                   const Options& options) const {
  if (request.endpoint.host.empty()) request.endpoint = config_.endpoint;
  const int attempts = std::max(1, config_.retry.max_attempts);
  for (int attempt = 1;; ++attempt) {
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
      HttpResponse response = config_.transport->send(signed_request, options.stream ? &sink : nullptr,
                                                      config_.timeouts);
      if (response.status >= 200 && response.status < 300) return response;
      ServiceError error = parse_error(response);
      if (attempt >= attempts || !isRetryable(error)) throw error;
    } catch (const TransportError&) {
      if (attempt >= attempts) throw;
    }
    config_.clock->sleep(config_.retry.backoff(attempt, threadRng()));
  }
}

}  // namespace aws
