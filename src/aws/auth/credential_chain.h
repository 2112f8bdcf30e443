#pragma once
// The SDKs' default credential chain, and the services it is handed so that
// it needs none of their clients.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "aws/auth/credentials.h"
#include "aws/auth/process_source.h"
#include "aws/http/world.h"

namespace aws {

/// Exchanges source credentials for a role's temporary credentials (STS
/// AssumeRole). Supplied by the session layer so that this layer needs no STS.
/// Arguments: source credentials, role ARN, role session name, region ("" for
/// the default), external id ("" for none).
using AssumeRoleFn =
    std::function<Credentials(const Credentials&, const std::string&, const std::string&,
                              const std::string&, const std::string&)>;

/// Exchanges a web identity token for a role's temporary credentials (STS
/// AssumeRoleWithWebIdentity, unsigned). Supplied by the session layer.
/// Arguments: role ARN, role session name, the token, region ("" for the
/// default).
using AssumeRoleWithWebIdentityFn = std::function<Credentials(
    const std::string&, const std::string&, const std::string&, const std::string&)>;

struct SsoProfile;  // sso_profile.h

/// Exchanges a profile's SSO settings for the role's credentials (the token
/// cache, its renewal, the portal). Supplied by the session layer, as STS is.
/// The second argument is the chain's profile, whose endpoint and retry
/// settings the SSO requests follow.
using SsoCredentialsFn =
    std::function<Credentials(const SsoProfile& sso, const std::string& chain_profile)>;

/// What the chain reads and sends through (the transport serves container
/// credentials and instance metadata, and must be set), and the services it
/// is handed so that it needs none of their clients.
struct ChainContext : World {
  AssumeRoleFn assume_role;
  AssumeRoleWithWebIdentityFn assume_role_with_web_identity;
  SsoCredentialsFn sso_credentials;
  ProcessRunner run_process;  // default: runCredentialProcess
};

/// The SDKs' default chain. `profile`: an explicit profile name (from
/// --profile); nullopt means AWS_DEFAULT_PROFILE, AWS_PROFILE, then "default".
/// Order, as botocore: environment variables (skipped for an explicit
/// profile), the profile (role_arn with source_profile or credential_source;
/// web identity from AWS_WEB_IDENTITY_TOKEN_FILE, AWS_ROLE_ARN and
/// AWS_ROLE_SESSION_NAME (not for an explicit profile) or the profile's
/// web_identity_token_file, role_arn, role_session_name; SSO (sso_session or
/// the legacy sso_start_url, see sso_profile.h); static keys of the
/// credentials file, credential_process, static keys of the config file),
/// container credentials, instance metadata. The web identity token file is
/// read again for every refresh. Nothing is fetched until the first
/// credentials() call; temporary credentials are refreshed shortly before
/// they expire. A named profile (explicit or from the environment) that does
/// not exist throws ConfigError here, naming the files read. Throws
/// std::invalid_argument when ctx has no transport.
std::shared_ptr<CredentialsProvider> defaultCredentialsChain(
    const ChainContext& ctx, const std::optional<std::string>& profile = std::nullopt);

}  // namespace aws
