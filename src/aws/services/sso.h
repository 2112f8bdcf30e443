#pragma once
// IAM Identity Center (SSO) sign-in as the SDKs resolve it: the access token
// `aws sso login` left in ~/.aws/sso/cache, renewed through SSO OIDC when it
// is close to expiry (sso-session profiles only), exchanged for a role's
// credentials at the portal.

#include <memory>
#include <optional>
#include <string>

#include "aws/auth/credential_chain.h"
#include "aws/auth/sso_profile.h"
#include "aws/client/nested_client.h"

namespace aws {

/// The token cache file's name for an sso-session name or, for a legacy
/// profile, its start URL: the SHA-1 hex of the text plus ".json", as
/// botocore names it.
std::string ssoTokenCacheFile(const std::string& session_or_start_url);

/// The role's credentials (expiring): the access token from the cache (under
/// world.env's HOME), then
/// the portal's GetRoleCredentials. An sso-session token that expires within
/// 15 minutes is first renewed through SSO OIDC CreateToken with the cached
/// refresh token, and the cache file rewritten (temp file and rename, owner
/// only); a failed renewal keeps the old token while it lasts. Throws
/// ConfigError, telling the user to run `aws sso login --profile NAME`, when
/// the token is missing, expired, or refused; ServiceError or TransportError
/// for other failures of the portal. No message carries a token or secret.
/// world.profile (the session's profile) decides the endpoints
/// (AWS_ENDPOINT_URL_SSO, AWS_ENDPOINT_URL_SSO_OIDC, endpoint_url, services
/// sections) and retry settings.
Credentials fetchSsoCredentials(const ClientWorld& world, const SsoProfile& sso);

/// The credential chain's SSO source (ChainContext::sso_credentials):
/// fetchSsoCredentials through `world`, with the chain's profile in place of
/// world.profile.
SsoCredentialsFn ssoCredentialsThrough(ClientWorld world);

}  // namespace aws
