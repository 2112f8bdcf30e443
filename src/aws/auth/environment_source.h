#pragma once
// Credentials from the AWS_* environment variables.

#include <optional>

#include "aws/auth/credential_source.h"
#include "aws/base/environment.h"

namespace aws {

/// Credentials from AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, with the
/// session token of AWS_SECURITY_TOKEN or else AWS_SESSION_TOKEN (botocore's
/// order); empty variables count as unset. nullopt when no key id is set;
/// the credentials never expire. Throws ConfigError when the key id comes
/// without its secret.
std::optional<ResolvedCredentials> environmentCredentials(const Environment& env);

}  // namespace aws
