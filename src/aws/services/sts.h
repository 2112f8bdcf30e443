#pragma once
// The STS actions the program sends: AssumeRole, AssumeRoleWithWebIdentity
// and GetCallerIdentity.

#include <optional>
#include <string>

#include "aws/client/client.h"
#include "aws/auth/credentials.h"

namespace aws {

struct AssumeRoleRequest {
  std::string role_arn{};
  std::string role_session_name{};
  std::optional<int> duration_seconds{};  // the service's default when absent
  std::string external_id{};              // "" = none
};

struct AssumeRoleResult {
  /// AccessKeyId, SecretAccessKey, SessionToken and Expiration.
  Credentials credentials{};
  std::string assumed_role_arn{};  // AssumedRoleUser/Arn
  std::string assumed_role_id{};   // AssumedRoleUser/AssumedRoleId
};

struct AssumeRoleWithWebIdentityRequest {
  std::string role_arn{};
  std::string role_session_name{};
  std::string web_identity_token{};  // a secret: never in a message
};

struct CallerIdentity {
  std::string account{};
  std::string arn{};
  std::string user_id{};
};

class StsClient {
 public:
  explicit StsClient(ClientConfig config);
  const ClientConfig& config() const { return client_.config(); }

  /// The role's temporary credentials. Throws ServiceError (e.g.
  /// "AccessDenied"), TransportError, or std::runtime_error when the answer
  /// lacks credentials.
  AssumeRoleResult assumeRole(const AssumeRoleRequest& request) const;
  /// The role's temporary credentials for a web identity token (an OIDC
  /// token of a pipeline or a Kubernetes service account). Sent unsigned, as
  /// the SDKs send it: the token is the caller's only credential, and the
  /// client's credentials are not used. Throws as assumeRole (e.g.
  /// "InvalidIdentityToken", "ExpiredTokenException").
  AssumeRoleResult assumeRoleWithWebIdentity(const AssumeRoleWithWebIdentityRequest& request) const;
  /// Who the client's credentials belong to. Throws as assumeRole.
  CallerIdentity getCallerIdentity() const;

 private:
  ServiceClient client_;
};

}  // namespace aws
