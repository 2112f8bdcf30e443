#pragma once
// What the credentials layer and the session share to open a client: the
// configuration of a service client, and the requests the SDKs send without
// a signature (the bearer of a web identity, SSO access or refresh token
// needs no AWS credentials, and has none yet while it is getting some).

#include <memory>
#include <optional>
#include <string>

#include "aws/client.h"
#include "aws/environment.h"

namespace aws {

/// The outside world and settings a client is opened with.
struct ClientWorld {
  std::shared_ptr<Environment> env;
  std::shared_ptr<HttpTransport> transport;
  std::shared_ptr<Clock> clock;
  /// The profile whose endpoint and retry settings apply (nullopt: the
  /// default one).
  std::optional<std::string> profile;
  RetryDefaults retry_defaults{};
  SteadyTime steady_time{};
  RetryObserver on_retry{};
};

/// A client of `service` in `region`: the endpoint resolveEndpoint gives,
/// the retry settings of the environment and profile, the SDKs' 60-second
/// time limits; no credentials. Throws ConfigError as resolveEndpoint and
/// RetryPolicy::fromEnvironment do.
ClientConfig clientConfigFor(const ClientWorld& world, const std::string& service,
                             const std::string& region);

/// Sends `request` (to config.endpoint when its endpoint is empty) without
/// signing it, retrying as ServiceClient::invoke does with config.retry and
/// config.clock; config.credentials is not used. Returns the 2xx answer.
/// Throws ServiceError (via `parse_error`) or TransportError after the last
/// attempt.
HttpResponse invokeUnsigned(const ClientConfig& config, HttpRequest request,
                            const ErrorParser& parse_error);

}  // namespace aws
