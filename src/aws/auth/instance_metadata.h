#pragma once
// The EC2 instance metadata service: any path of it, and the instance
// role's credentials.

#include <optional>
#include <string>

#include "aws/auth/credential_source.h"
#include "aws/http/http.h"
#include "aws/http/world.h"

namespace aws {

/// GETs `path` (e.g. "latest/dynamic/instance-identity/document") from the
/// instance metadata service as the SDKs do: an IMDSv2 token first (PUT
/// latest/api/token), falling back to a token-less request when the token
/// request is refused (403/404/405) or unanswered; short time limits
/// (AWS_METADATA_SERVICE_TIMEOUT, default 1 s) and attempts
/// (AWS_METADATA_SERVICE_NUM_ATTEMPTS, default 1); the service at
/// AWS_EC2_METADATA_SERVICE_ENDPOINT (default http://169.254.169.254/).
/// Returns the last answer, whatever its status; nullopt when
/// AWS_EC2_METADATA_DISABLED=true or the service rejects the token request
/// as malformed (400). Throws TransportError when no attempt got an answer,
/// ConfigError on a malformed setting, std::invalid_argument when `world`
/// has no transport. An unset environment is the process's.
std::optional<HttpResponse> fetchInstanceMetadata(const World& world, const std::string& path);

/// The instance role's credentials, with the settings above. nullopt when
/// the service is disabled, unreachable, or has no role (or only an error
/// document) for this machine. Throws ConfigError on a malformed setting;
/// the refresh throws ConfigError when the role's credentials are gone.
/// `world`'s env and transport must be set; the refresh keeps them.
std::optional<ResolvedCredentials> instanceMetadataCredentials(const World& world);

}  // namespace aws
