#pragma once
// What the credentials layer and the session share to open a client: the
// configuration of a service client, and the requests the SDKs send without
// a signature (the bearer of a web identity, SSO access or refresh token
// needs no AWS credentials, and has none yet while it is getting some).

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "aws/client/client.h"
#include "aws/http/world.h"

namespace aws {

/// The outside world and the settings a client is opened with; a session
/// opens all of its clients with one.
struct ClientWorld : World {
  ClientWorld() = default;
  explicit ClientWorld(World world) : World(std::move(world)) {}

  /// The profile whose endpoint and retry settings apply (nullopt: the
  /// default one). A session sets its own.
  std::optional<std::string> profile;
  /// Used where neither the environment nor the profile sets the retry mode
  /// or the max attempts.
  RetryDefaults retry_defaults{};
  /// Real time for the adaptive mode's rate limiters (see ClientConfig).
  SteadyTime steady_time{};
  /// Told of every retry of every client opened with it (may be empty).
  RetryObserver on_retry{};
  /// Told of every attempt of every client opened with it (may be empty).
  AttemptObserver on_attempt{};

  /// World::process(), the SDK's retry defaults, steady time.
  static ClientWorld process();
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
