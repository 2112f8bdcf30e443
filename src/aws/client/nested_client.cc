#include "aws/client/nested_client.h"

#include <algorithm>
#include <random>

#include "aws/config/config.h"

namespace aws {

namespace {

// botocore's default connect and read time limits.
constexpr long kDefaultTimeoutMs = 60'000;

}  // namespace

ClientWorld ClientWorld::process() {
  ClientWorld world(World::process());
  world.steady_time = SteadyTime::real();
  return world;
}

ClientConfig clientConfigFor(const ClientWorld& world, const std::string& service,
                             const std::string& region) {
  const ResolvedEndpoint resolved = resolveEndpoint(*world.env, world.profile, service, region);
  ClientConfig config;
  config.service = service;
  config.signing_name = service;
  config.region = region;
  config.signing_region = resolved.signing_region;
  config.endpoint = resolved.endpoint;
  config.endpoint_overridden = resolved.overridden;
  config.endpoint_variant = resolved.variant;
  config.transport = world.transport;
  config.clock = world.clock;
  config.retry = RetryPolicy::fromEnvironment(*world.env, world.profile, world.retry_defaults);
  config.steady_time = world.steady_time;
  config.on_retry = world.on_retry;
  config.on_attempt = world.on_attempt;
  config.timeouts = Timeouts{kDefaultTimeoutMs, kDefaultTimeoutMs};
  return config;
}

HttpResponse invokeUnsigned(const ClientConfig& config, HttpRequest request,
                            const ErrorParser& parse_error) {
  if (request.endpoint.host.empty()) request.endpoint = config.endpoint;
  thread_local std::mt19937_64 rng{std::random_device{}()};
  const int attempts = std::max(1, config.retry.max_attempts);
  for (int attempt = 1;; ++attempt) {
    try {
      HttpResponse response = config.transport->send(request, nullptr, config.timeouts);
      if (response.status >= 200 && response.status < 300) return response;
      ServiceError error = parse_error(response);
      if (attempt >= attempts || !isRetryable(error, config.retry.mode)) throw error;
    } catch (const TransportError&) {
      if (attempt >= attempts) throw;
    }
    config.clock->sleep(config.retry.backoff(attempt, rng));
  }
}

}  // namespace aws
