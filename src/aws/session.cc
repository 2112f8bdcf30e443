#include "aws/session.h"

#include "aws/config.h"
#include "aws/retry.h"
#include "aws/sts.h"

namespace aws {

namespace {

// botocore's default connect and read time limits.
constexpr long kDefaultTimeoutMs = 60'000;

std::shared_ptr<HttpTransport> sharedCurlTransport(const Environment& env) {
  static const std::shared_ptr<HttpTransport> transport = makeCurlTransport(env);
  return transport;
}

std::optional<std::string> nonEmpty(const std::optional<std::string>& value) {
  if (value && value->empty()) return std::nullopt;
  return value;
}

// Exchanges source credentials for a role's through STS, in the requested
// region, else the profile's region, else STS's global endpoint.
AssumeRoleFn stsAssumeRole(SessionDeps deps, std::optional<std::string> profile) {
  return [deps = std::move(deps), profile = std::move(profile)](
             const Credentials& source, const std::string& role_arn,
             const std::string& session_name, const std::string& region,
             const std::string& external_id) {
    std::string sts_region = region;
    if (sts_region.empty()) sts_region = resolveRegion(*deps.env, profile).value_or("");
    ResolvedEndpoint resolved = resolveEndpoint(*deps.env, profile, "sts", sts_region);
    ClientConfig config;
    config.service = "sts";
    config.signing_name = "sts";
    config.region = sts_region;
    config.signing_region = resolved.signing_region;
    config.endpoint = resolved.endpoint;
    config.endpoint_overridden = resolved.overridden;
    config.credentials =
        std::make_shared<StaticCredentialsProvider>(source, "source credentials of " + role_arn);
    config.transport = deps.transport;
    config.clock = deps.clock;
    config.retry = RetryPolicy::fromEnvironment(*deps.env, profile, deps.retry_defaults);
    config.steady_time = deps.steady_time;
    config.timeouts = Timeouts{kDefaultTimeoutMs, kDefaultTimeoutMs};
    AssumeRoleRequest request;
    request.role_arn = role_arn;
    request.role_session_name = session_name;
    request.external_id = external_id;
    return StsClient(std::move(config)).assumeRole(request).credentials;
  };
}

}  // namespace

SessionDeps SessionDeps::process() {
  SessionDeps deps;
  deps.env = processEnvironment();
  deps.transport = sharedCurlTransport(*deps.env);
  deps.clock = systemClock();
  deps.retry_defaults = RetryDefaults{};
  deps.steady_time = SteadyTime::real();
  return deps;
}

Session Session::fromProfile(const std::optional<std::string>& profile, SessionDeps deps) {
  Session session;
  session.deps_ = deps;
  session.profile_ = profile;
  ChainContext context;
  context.env = deps.env;
  context.transport = deps.transport;
  context.clock = deps.clock;
  context.assume_role = stsAssumeRole(deps, profile);
  context.run_process = runCredentialProcess;
  session.credentials_ = defaultCredentialsChain(context, profile);
  session.region_ = nonEmpty(resolveRegion(*deps.env, profile));
  return session;
}

Session Session::fromCredentials(const Credentials& credentials, SessionDeps deps) {
  Session session;
  session.deps_ = std::move(deps);
  session.credentials_ = std::make_shared<StaticCredentialsProvider>(credentials);
  session.region_ = nonEmpty(resolveRegion(*session.deps_.env, std::nullopt));
  return session;
}

ClientConfig Session::clientConfig(const std::string& service,
                                   const std::optional<std::string>& region) const {
  const std::string client_region =
      nonEmpty(region).has_value() ? *region : region_.value_or(std::string());
  ResolvedEndpoint resolved = resolveEndpoint(*deps_.env, profile_, service, client_region);
  ClientConfig config;
  config.service = service;
  config.signing_name = service;
  config.region = client_region;
  config.signing_region = resolved.signing_region;
  config.endpoint = resolved.endpoint;
  config.endpoint_overridden = resolved.overridden;
  config.credentials = credentials_;
  config.transport = deps_.transport;
  config.clock = deps_.clock;
  config.retry = RetryPolicy::fromEnvironment(*deps_.env, profile_, deps_.retry_defaults);
  config.steady_time = deps_.steady_time;
  config.timeouts = Timeouts{kDefaultTimeoutMs, kDefaultTimeoutMs};
  return config;
}

}  // namespace aws
