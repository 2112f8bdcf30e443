#pragma once
// Credentials a profile of the shared files names: a role to assume (from
// source_profile or credential_source), web identity, SSO, static keys,
// credential_process.

#include <optional>
#include <string>

#include "aws/auth/credential_chain.h"
#include "aws/auth/credential_source.h"
#include "aws/config/config.h"

namespace aws {

/// The credentials `profile` of `files` names, tried in botocore's order:
/// role_arn (with source_profile or credential_source), web identity, SSO,
/// static keys of the credentials file, credential_process, static keys of
/// the config file. nullopt when it names none. `environment`: whether
/// AWS_WEB_IDENTITY_TOKEN_FILE, AWS_ROLE_ARN and AWS_ROLE_SESSION_NAME count
/// (not for an explicit profile). STS calls use this profile's region; SSO
/// follows this profile's settings. Throws ConfigError on a setting that is
/// incomplete, contradictory or loops, on a service `ctx` lacks, and when a
/// source fails. `ctx`'s env, transport and clock must be set; the refresh
/// keeps copies of them, never `files`.
std::optional<ResolvedCredentials> profileCredentials(const ChainContext& ctx,
                                                      const ProfileFiles& files,
                                                      const std::string& profile, bool environment);

}  // namespace aws
