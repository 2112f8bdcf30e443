#include "probefleet/core/sessions.h"

#include <stdexcept>

#include "aws/config/config.h"
#include "aws/auth/credentials.h"
#include "aws/auth/instance_metadata.h"
#include "aws/services/sts.h"
#include "testlib/common.h"
#include "testlib/exit_request.h"

namespace probefleet {

namespace {

constexpr const char* kMetadataError =
    "  **Error** failed to deduce workflow account number from meta data";

[[noreturn]] void metadataUnavailable(const std::string& reason) {
  auto log = testlib::logger();
  log->info(kMetadataError);
  const std::string hint =
      "  **Error** the workflow account number and region could not be learnt from the instance "
      "metadata service (" +
      reason + "); give them on the command line: --workflow_account_role <role>,<number>,<region>";
  log->info(hint);
  throw testlib::ExitRequest(1, reason);
}

}  // namespace

aws::Session start_aws_session(const std::string& assume_role,
                               const std::optional<std::string>& profile,
                               const aws::ClientWorld& deps,
                               const std::optional<std::string>& region) {
  const aws::Session source = aws::Session::fromProfile(profile, deps);
  // The source session's own region first, then the run's: the global
  // endpoint serves neither opt-in regions nor other partitions.
  const aws::StsClient sts(
      source.clientConfig("sts", source.defaultRegion() ? std::nullopt : region));
  aws::AssumeRoleRequest request;
  request.role_arn = assume_role;
  request.role_session_name = kRoleSessionName;
  const aws::AssumeRoleResult result = sts.assumeRole(request);

  std::string reason;
  try {
    aws::Credentials credentials;
    credentials.access_key_id = result.credentials.access_key_id;
    credentials.secret_access_key = result.credentials.secret_access_key;
    credentials.session_token = result.credentials.session_token;
    if (credentials.empty() || credentials.session_token.empty()) {
      reason = "STS answered without the role's access key, secret key or session token";
    } else {
      return aws::Session::fromCredentials(credentials, deps);
    }
  } catch (const std::exception& e) {
    reason = e.what();
  }
  auto log = testlib::logger();
  log->error(std::string("  **Error** ") + kSessionFailure);
  log->error("  " + assume_role + ": " + reason);
  throw testlib::ExitRequest(1, kSessionFailure);
}

void checkEndpoints(const std::vector<PlannedClient>& clients,
                    const std::optional<std::string>& profile, const aws::ClientWorld& deps) {
  const aws::Environment& env = *deps.env;
  for (const PlannedClient& client : clients) {
    // An assumed role's session reads the default profile, as Session does.
    const std::optional<std::string> settings = client.assumed ? std::nullopt : profile;
    const std::optional<std::string> session_region = aws::resolveRegion(env, settings);
    std::optional<std::string> region = client.region;
    if (!region || region->empty() || (client.session_region_first && session_region)) {
      region = session_region;
    }
    aws::resolveEndpoint(env, settings, client.service, region.value_or(""));
  }
}

nlohmann::json get_aws_metadata(const aws::ClientWorld& deps) {
  std::optional<aws::HttpResponse> response;
  try {
    response = aws::fetchInstanceMetadata(deps, kIdentityDocumentPath);
  } catch (const std::exception& e) {
    metadataUnavailable(e.what());
  }
  if (!response)
    metadataUnavailable(
        "the instance metadata service is disabled (AWS_EC2_METADATA_DISABLED) or refused the "
        "token request");
  if (response->status != 200) {
    metadataUnavailable("HTTP status " + std::to_string(response->status) + " for /" +
                        kIdentityDocumentPath);
  }
  nlohmann::json document =
      nlohmann::json::parse(response->body, nullptr, /*allow_exceptions=*/false);
  if (!document.is_object()) metadataUnavailable("the identity document is not a JSON object");
  return document;
}

WorkflowAccountRole parseWorkflowAccountRole(const std::string& text) {
  const std::vector<std::string> pieces = splitAll(text, ',');
  WorkflowAccountRole role;
  role.role_name = pieces[0];
  if (pieces.size() > 2) {
    role.number = pieces[1];
    role.region = pieces[2];
  }
  return role;
}

std::string workflowRoleArn(const std::string& number, const std::string& role_name,
                            const std::string& partition) {
  return "arn:" + partition + ":iam::" + number + ":role/" + role_name;
}

std::vector<std::string> splitAll(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (std::size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1) {
    pieces.push_back(text.substr(start, at - start));
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

}  // namespace probefleet
