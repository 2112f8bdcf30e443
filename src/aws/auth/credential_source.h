#pragma once
// What each credential source hands the chain, and the JSON credentials
// document that container credentials, instance metadata and
// credential_process all answer with.

#include <functional>
#include <string>

#include "aws/auth/credentials.h"

namespace aws {

/// Credentials from one source, how to get them again (empty: they never
/// expire), and where they came from, for messages (never a secret).
struct ResolvedCredentials {
  Credentials credentials;
  std::function<Credentials()> refresh;
  std::string source;
};

/// The credentials in a JSON document: AccessKeyId, SecretAccessKey, the
/// session token under `token_key` ("Token" or "SessionToken") and an
/// optional ISO 8601 Expiration ("Z", fractional seconds or a "+hh:mm"
/// offset). Throws ConfigError naming `source` when the document is not
/// usable; the message never quotes the document.
Credentials parseCredentialsJson(const std::string& body, const std::string& token_key,
                                 const std::string& source);

}  // namespace aws
