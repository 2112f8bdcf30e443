#include "aws/services/sts.h"

#include <stdexcept>

#include "aws/client/nested_client.h"
#include "aws/client/query_protocol.h"

namespace aws {

namespace {

constexpr const char* kStsVersion = "2011-06-15";

// <Credentials> and <AssumedRoleUser> of an AssumeRole* result.
AssumeRoleResult roleResult(const pugi::xml_node& result, const std::string& what) {
  pugi::xml_node credentials = result.child("Credentials");
  AssumeRoleResult out;
  out.credentials.access_key_id = protocol::text(credentials, "AccessKeyId");
  out.credentials.secret_access_key = protocol::text(credentials, "SecretAccessKey");
  out.credentials.session_token = protocol::text(credentials, "SessionToken");
  if (out.credentials.empty()) {
    throw std::runtime_error(what + ": the answer holds no credentials");
  }
  if (std::string expiration = protocol::text(credentials, "Expiration"); !expiration.empty()) {
    out.credentials.expiration = protocol::parseIsoTime(expiration);
  }
  pugi::xml_node user = result.child("AssumedRoleUser");
  out.assumed_role_arn = protocol::text(user, "Arn");
  out.assumed_role_id = protocol::text(user, "AssumedRoleId");
  return out;
}

}  // namespace

StsClient::StsClient(ClientConfig config) : client_(std::move(config)) {}

AssumeRoleResult StsClient::assumeRole(const AssumeRoleRequest& request) const {
  protocol::QueryBuilder query("AssumeRole", kStsVersion);
  query.add("RoleArn", request.role_arn).add("RoleSessionName", request.role_session_name);
  if (request.duration_seconds) {
    query.add("DurationSeconds", static_cast<long long>(*request.duration_seconds));
  }
  if (!request.external_id.empty()) query.add("ExternalId", request.external_id);

  protocol::QueryAnswer answer = protocol::invokeQuery(client_, query);
  return roleResult(answer.result, "sts AssumeRole of " + request.role_arn);
}

AssumeRoleResult StsClient::assumeRoleWithWebIdentity(
    const AssumeRoleWithWebIdentityRequest& request) const {
  protocol::QueryBuilder query("AssumeRoleWithWebIdentity", kStsVersion);
  query.add("RoleArn", request.role_arn)
      .add("RoleSessionName", request.role_session_name)
      .add("WebIdentityToken", request.web_identity_token);
  const std::string what = "sts AssumeRoleWithWebIdentity of " + request.role_arn;
  HttpResponse response =
      invokeUnsigned(client_.config(), query.toRequest(),
                     [](const HttpResponse& r) { return protocol::parseQueryError("sts", r); });
  pugi::xml_document document = protocol::parseXml(response, what);
  pugi::xml_node root = document.child("AssumeRoleWithWebIdentityResponse");
  if (!root) throw std::runtime_error(what + ": unexpected answer");
  return roleResult(root.child("AssumeRoleWithWebIdentityResult"), what);
}

CallerIdentity StsClient::getCallerIdentity() const {
  protocol::QueryAnswer answer =
      protocol::invokeQuery(client_, protocol::QueryBuilder("GetCallerIdentity", kStsVersion));
  return CallerIdentity{protocol::text(answer.result, "Account"),
                        protocol::text(answer.result, "Arn"),
                        protocol::text(answer.result, "UserId")};
}

}  // namespace aws
