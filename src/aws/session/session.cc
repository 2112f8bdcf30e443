#include "aws/session/session.h"

#include "aws/auth/credential_chain.h"
#include "aws/client/retry.h"
#include "aws/config/config.h"
#include "aws/services/sso.h"
#include "aws/services/sts.h"

namespace aws {

namespace {

std::optional<std::string> nonEmpty(const std::optional<std::string>& value) {
  if (value && value->empty()) return std::nullopt;
  return value;
}

// An STS client in the requested region, else the profile's region, else
// STS's global endpoint.
ClientConfig stsConfig(const ClientWorld& world, const std::string& region) {
  std::string sts_region = region;
  if (sts_region.empty()) sts_region = resolveRegion(*world.env, world.profile).value_or("");
  return clientConfigFor(world, "sts", sts_region);
}

// Exchanges source credentials for a role's through STS.
AssumeRoleFn stsAssumeRole(ClientWorld world) {
  return [world = std::move(world)](const Credentials& source, const std::string& role_arn,
                                    const std::string& session_name, const std::string& region,
                                    const std::string& external_id) {
    ClientConfig config = stsConfig(world, region);
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
AssumeRoleWithWebIdentityFn stsAssumeRoleWithWebIdentity(ClientWorld world) {
  return [world = std::move(world)](const std::string& role_arn, const std::string& session_name,
                                    const std::string& token, const std::string& region) {
    AssumeRoleWithWebIdentityRequest request;
    request.role_arn = role_arn;
    request.role_session_name = session_name;
    request.web_identity_token = token;
    return StsClient(stsConfig(world, region)).assumeRoleWithWebIdentity(request).credentials;
  };
}

}  // namespace

Session Session::fromProfile(const std::optional<std::string>& profile, ClientWorld world) {
  Session session;
  world.profile = profile;
  session.world_ = world;
  ChainContext context;
  static_cast<World&>(context) = world;  // the chain reads and sends as the clients do
  context.assume_role = stsAssumeRole(world);
  context.assume_role_with_web_identity = stsAssumeRoleWithWebIdentity(world);
  context.sso_credentials = ssoCredentialsThrough(world);
  context.run_process = runCredentialProcess;
  session.credentials_ = defaultCredentialsChain(context, profile);
  session.region_ = nonEmpty(resolveRegion(*world.env, profile));
  return session;
}

Session Session::fromCredentials(const Credentials& credentials, ClientWorld world) {
  Session session;
  world.profile = std::nullopt;
  session.world_ = std::move(world);
  session.credentials_ = std::make_shared<StaticCredentialsProvider>(credentials);
  session.region_ = nonEmpty(resolveRegion(*session.world_.env, std::nullopt));
  return session;
}

ClientConfig Session::clientConfig(const std::string& service,
                                   const std::optional<std::string>& region) const {
  const std::string client_region =
      nonEmpty(region).has_value() ? *region : region_.value_or(std::string());
  ClientConfig config = clientConfigFor(world_, service, client_region);
  config.credentials = credentials_;
  return config;
}

}  // namespace aws
