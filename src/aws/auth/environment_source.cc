#include "aws/auth/environment_source.h"

#include "aws/base/config_error.h"

namespace aws {

std::optional<ResolvedCredentials> environmentCredentials(const Environment& env) {
  auto access = env.nonEmpty("AWS_ACCESS_KEY_ID");
  if (!access) return std::nullopt;
  auto secret = env.nonEmpty("AWS_SECRET_ACCESS_KEY");
  if (!secret) {
    throw ConfigError(
        "partial credentials in environment variables: AWS_ACCESS_KEY_ID is set but "
        "AWS_SECRET_ACCESS_KEY is not");
  }
  Credentials credentials{*access, *secret, "", std::nullopt};
  // botocore's order: the legacy name first.
  if (auto token = env.nonEmpty("AWS_SECURITY_TOKEN")) {
    credentials.session_token = *token;
  } else if (auto session = env.nonEmpty("AWS_SESSION_TOKEN")) {
    credentials.session_token = *session;
  }
  return ResolvedCredentials{credentials, nullptr, "environment variables"};
}

}  // namespace aws
