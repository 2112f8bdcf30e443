#pragma once
// Credentials from the container agent (ECS, EKS Pod Identity).

#include <optional>

#include "aws/auth/credential_source.h"
#include "aws/http/world.h"

namespace aws {

/// Credentials from the URL of AWS_CONTAINER_CREDENTIALS_RELATIVE_URI (on
/// 169.254.170.2) or AWS_CONTAINER_CREDENTIALS_FULL_URI, with the
/// Authorization header of AWS_CONTAINER_AUTHORIZATION_TOKEN_FILE (read
/// again for every fetch) or AWS_CONTAINER_AUTHORIZATION_TOKEN. Plain http
/// only to a loopback address or the agent's own addresses. Three attempts,
/// a second apart (on world's clock). nullopt when neither variable is set.
/// Throws ConfigError on an invalid or refused URL, an unreadable or
/// malformed token, or when no attempt got credentials. `world`'s env,
/// transport and clock must be set; the refresh keeps them.
std::optional<ResolvedCredentials> containerCredentials(const World& world);

}  // namespace aws
