#pragma once
// A profile's IAM Identity Center (SSO) settings, as the credential chain
// reads them. The sign-in itself (token cache, renewal, the portal) is the
// SSO client's (services/sso.h), which the session hands to the chain.

#include <optional>
#include <string>

#include "aws/auth/credentials.h"
#include "aws/config/config.h"

namespace aws {

/// One profile's SSO settings, the sso-session section applied.
struct SsoProfile {
  std::string profile;
  std::string session_name;  // "" for the legacy form (sso_start_url in the profile)
  std::string start_url;
  std::string region;
  std::string account_id;
  std::string role_name;
};

/// The SSO settings of `profile`; nullopt when it names neither
/// sso_account_id nor sso_role_name. Throws ConfigError when a setting is
/// missing, the sso-session does not exist, or the profile and its
/// sso-session disagree on a key.
std::optional<SsoProfile> ssoProfileOf(const ProfileFiles& files, const std::string& profile);

}  // namespace aws
