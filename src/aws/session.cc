#include "aws/session.h"

#include "aws/config.h"
#include "aws/nested_client.h"
#include "aws/retry.h"
#include "aws/sts.h"

namespace aws {

namespace {

std::shared_ptr<HttpTransport> sharedCurlTransport(const Environment& env) {
  static const std::shared_ptr<HttpTransport> transport = makeCurlTransport(env);
  return transport;
}

std::optional<std::string> nonEmpty(const std::optional<std::string>& value) {
  if (value && value->empty()) return std::nullopt;
  return value;
}

ClientWorld clientWorld(const SessionDeps& deps, const std::optional<std::string>& profile) {
  return ClientWorld{deps.env,         deps.transport, deps.clock, profile, deps.retry_defaults,
                     deps.steady_time, deps.on_retry};
}

// An STS client in the requested region, else the profile's region, else
// STS's global endpoint.
ClientConfig stsConfig(const SessionDeps& deps, const std::optional<std::string>& profile,
                       const std::string& region) {
  std::string sts_region = region;
  if (sts_region.empty()) sts_region = resolveRegion(*deps.env, profile).value_or("");
  return clientConfigFor(clientWorld(deps, profile), "sts", sts_region);
}

// Exchanges source credentials for a role's through STS.
AssumeRoleFn stsAssumeRole(SessionDeps deps, std::optional<std::string> profile) {
  return [deps = std::move(deps), profile = std::move(profile)](
             const Credentials& source, const std::string& role_arn,
             const std::string& session_name, const std::string& region,
             const std::string& external_id) {
    ClientConfig config = stsConfig(deps, profile, region);
    config.credentials =
        std::make_shared<StaticCredentialsProvider>(source, "source credentials of " + role_arn);
    AssumeRoleRequest request;
    request.role_arn = role_arn;
    request.role_session_name = session_name;
    request.external_id = external_id;
    return StsClient(std::move(config)).assumeRole(request).credentials;
  };
}

// Exchanges a web identity token for a role's credentials through STS.
AssumeRoleWithWebIdentityFn stsAssumeRoleWithWebIdentity(SessionDeps deps,
                                                         std::optional<std::string> profile) {
  return [deps = std::move(deps), profile = std::move(profile)](
             const std::string& role_arn, const std::string& session_name, const std::string& token,
             const std::string& region) {
    AssumeRoleWithWebIdentityRequest request;
    request.role_arn = role_arn;
    request.role_session_name = session_name;
    request.web_identity_token = token;
    return StsClient(stsConfig(deps, profile, region))
        .assumeRoleWithWebIdentity(request)
        .credentials;
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
  context.assume_role_with_web_identity = stsAssumeRoleWithWebIdentity(deps, profile);
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
  ClientConfig config = clientConfigFor(clientWorld(deps_, profile_), service, client_region);
  config.credentials = credentials_;
  return config;
}

}  // namespace aws
