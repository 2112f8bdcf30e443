#include "aws/sts.h"

#include <stdexcept>

#include "aws/query_protocol.h"

namespace aws {

namespace {

constexpr const char* kVersion = "2011-06-15";

}  // namespace

StsClient::StsClient(ClientConfig config) : client_(std::move(config)) {}

AssumeRoleResult StsClient::assumeRole(const AssumeRoleRequest& request) const {
  protocol::QueryBuilder query("AssumeRole", kVersion);
  query.add("RoleArn", request.role_arn).add("RoleSessionName", request.role_session_name);
  if (request.duration_seconds) {
    query.add("DurationSeconds", static_cast<long long>(*request.duration_seconds));
  }
  if (!request.external_id.empty()) query.add("ExternalId", request.external_id);

  protocol::QueryAnswer answer = protocol::invokeQuery(client_, query);
  pugi::xml_node credentials = answer.result.child("Credentials");
  AssumeRoleResult result;
  result.credentials.access_key_id = protocol::text(credentials, "AccessKeyId");
  result.credentials.secret_access_key = protocol::text(credentials, "SecretAccessKey");
  result.credentials.session_token = protocol::text(credentials, "SessionToken");
  if (result.credentials.empty()) {
    throw std::runtime_error("sts AssumeRole of " + request.role_arn +
                             ": the answer holds no credentials");
  }
  if (std::string expiration = protocol::text(credentials, "Expiration"); !expiration.empty()) {
    result.credentials.expiration = protocol::parseIsoTime(expiration);
  }
  pugi::xml_node user = answer.result.child("AssumedRoleUser");
  result.assumed_role_arn = protocol::text(user, "Arn");
  result.assumed_role_id = protocol::text(user, "AssumedRoleId");
  return result;
}

CallerIdentity StsClient::getCallerIdentity() const {
  protocol::QueryAnswer answer =
      protocol::invokeQuery(client_, protocol::QueryBuilder("GetCallerIdentity", kVersion));
  return CallerIdentity{protocol::text(answer.result, "Account"),
                        protocol::text(answer.result, "Arn"),
                        protocol::text(answer.result, "UserId")};
}

}  // namespace aws
