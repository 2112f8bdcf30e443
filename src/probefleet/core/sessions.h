#pragma once
// The AWS sessions of a run: an assumed role's session, and the identity
// document of the EC2 instance the program runs on (for the workflow
// account's number and region).

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "aws/session/session.h"

namespace probefleet {

inline constexpr const char* kRoleSessionName = "Corvanta_Workflow";
inline constexpr const char* kSessionFailure = "The AWS new session attempt has failed";
inline constexpr const char* kIdentityDocumentPath = "latest/dynamic/instance-identity/document";

/// A session with the temporary credentials of the role `assume_role` (an
/// ARN), obtained with STS AssumeRole (RoleSessionName "Corvanta_Workflow")
/// from a session of `profile` (the default chain when nullopt; an empty name
/// is passed on as given). STS is asked in the source session's region (the
/// environment's or the profile's); when neither gives one, in `region` (the
/// run's --region, or the workflow account's region), and at STS's global
/// endpoint only when that is empty too. The new session carries only the
/// three returned values; its default region is the environment's.
/// Throws ConfigError (unknown profile, no credentials), ServiceError (STS
/// refused) or TransportError as the source session and STS raise them.
/// When the new session cannot be built from the returned credentials it
/// logs "  **Error** The AWS new session attempt has failed" and throws
/// testlib::ExitRequest(1): no client is ever opened from a failure.
aws::Session start_aws_session(const std::string& assume_role,
                               const std::optional<std::string>& profile = std::nullopt,
                               const aws::ClientWorld& deps = aws::ClientWorld::process(),
                               const std::optional<std::string>& region = std::nullopt);

/// One client a run will open: its service, its region (nullopt: its
/// session's default region) and whether it belongs to an assumed role's
/// session (whose settings are the default profile's) or to the profile's.
struct PlannedClient {
  std::string service;
  std::optional<std::string> region;
  bool assumed = false;
  /// The session's default region wins over `region` (the STS client that
  /// assumes a role: see start_aws_session).
  bool session_region_first = false;
};

/// Resolves the endpoint of every planned client as the run will open it, so
/// that an endpoint AWS does not have (a FIPS or dual-stack setting the
/// region cannot serve), an invalid endpoint URL or a missing region stops
/// the run before its first request. Throws aws::ConfigError naming the
/// service, the region and the setting.
void checkEndpoints(const std::vector<PlannedClient>& clients,
                    const std::optional<std::string>& profile, const aws::ClientWorld& deps);

/// The instance identity document, as a JSON object, read from the instance
/// metadata service (AWS_EC2_METADATA_SERVICE_ENDPOINT or 169.254.169.254)
/// with a session token (IMDSv2), falling back to a plain request, within a
/// short time limit. When it cannot be had (off EC2, disabled with
/// AWS_EC2_METADATA_DISABLED, an error status, a body that is not a JSON
/// object) it logs "  **Error** failed to deduce workflow account number from
/// meta data" and how to give the account on the command line, and throws
/// testlib::ExitRequest(1).
nlohmann::json get_aws_metadata(const aws::ClientWorld& deps = aws::ClientWorld::process());

/// --workflow_account_role split at every ",": the role name, and the account
/// number and region when at least three pieces were given (further pieces
/// are ignored). With one or two pieces number and region are nullopt: they
/// come from the identity document.
struct WorkflowAccountRole {
  std::string role_name;
  std::optional<std::string> number;
  std::optional<std::string> region;
};
WorkflowAccountRole parseWorkflowAccountRole(const std::string& text);

/// "arn:" + partition + ":iam::" + number + ":role/" + role name; the
/// partition is that of the workflow account's region (aws::partitionOf).
std::string workflowRoleArn(const std::string& number, const std::string& role_name,
                            const std::string& partition = "aws");

/// `text` split at every `separator`; "" gives one empty piece.
std::vector<std::string> splitAll(const std::string& text, char separator);

}  // namespace probefleet
