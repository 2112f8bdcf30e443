#pragma once
// The IAM actions the program sends: managed policies, roles and instance
// profiles.

#include <optional>
#include <string>
#include <vector>

#include "aws/client/client.h"

namespace aws {

struct IamTag {
  std::string key{};
  std::string value{};
};

struct IamPolicy {
  std::string policy_name{};
  std::string policy_id{};
  std::string arn{};
  std::string path{};
  long long attachment_count = 0;
  std::string default_version_id{};  // "v1", ...
  std::string create_date{};         // ISO 8601
  std::vector<IamTag> tags{};        // GetPolicy answers them; listings do not
};

struct IamPolicyVersion {
  std::string version_id{};
  /// The document as JSON text (IAM answers it URL-encoded; decoded here).
  /// Only GetPolicyVersion answers it; listings leave it empty.
  std::string document{};
  bool is_default_version = false;
  std::string create_date{};
};

/// A managed policy attached to a role.
struct IamAttachedPolicy {
  std::string policy_name{};
  std::string policy_arn{};
};

struct IamRole {
  std::string role_name{};
  std::string role_id{};
  std::string arn{};
  std::string path{};
  /// The trust policy as JSON text (IAM answers it URL-encoded; decoded here).
  std::string assume_role_policy_document{};
  std::string create_date{};  // ISO 8601
  std::vector<IamTag> tags{};
};

struct IamInstanceProfile {
  std::string instance_profile_name{};
  std::string instance_profile_id{};
  std::string arn{};
  std::string path{};
  std::vector<IamRole> roles{};
  std::string create_date{};  // ISO 8601
  std::vector<IamTag> tags{};
};

/// What an action without a result answers.
struct IamResponse {
  std::string request_id{};
};

struct CreatePolicyRequest {
  std::string policy_name{};
  std::string policy_document{};
  std::string description{};  // "" = none
  std::vector<IamTag> tags{};
};

struct ListPoliciesRequest {
  std::string scope{};  // "All", "AWS", "Local"; "" = the service's default
  std::optional<bool> only_attached{};
  std::string policy_usage_filter{};  // "PermissionsPolicy", "PermissionsBoundary"; "" = none
  std::string marker{};               // "" on the first page
};

struct ListPoliciesResult {
  std::vector<IamPolicy> policies{};
  bool is_truncated = false;
  std::string marker{};  // where the next page starts when is_truncated
};

struct ListPolicyVersionsResult {
  std::vector<IamPolicyVersion> versions{};
  bool is_truncated = false;
  std::string marker{};
};

struct ListAttachedRolePoliciesResult {
  std::vector<IamAttachedPolicy> attached_policies{};
  bool is_truncated = false;
  std::string marker{};
};

struct CreateRoleRequest {
  std::string role_name{};
  std::string assume_role_policy_document{};
  std::string description{};  // "" = none
  std::vector<IamTag> tags{};
};

struct CreateInstanceProfileRequest {
  std::string instance_profile_name{};
  std::vector<IamTag> tags{};
};

struct ListInstanceProfilesForRoleResult {
  std::vector<IamInstanceProfile> instance_profiles{};
  bool is_truncated = false;
  std::string marker{};
};

/// Every method throws ServiceError when IAM refuses (e.g.
/// "EntityAlreadyExists", "NoSuchEntity", "DeleteConflict"), TransportError
/// when IAM cannot be reached, and std::runtime_error on an answer that is
/// not XML.
class IamClient {
 public:
  explicit IamClient(ClientConfig config);
  const ClientConfig& config() const { return client_.config(); }

  IamPolicy createPolicy(const CreatePolicyRequest& request) const;
  /// One page of policies.
  ListPoliciesResult listPolicies(const ListPoliciesRequest& request) const;
  IamResponse deletePolicy(const std::string& policy_arn) const;
  IamPolicy getPolicy(const std::string& policy_arn) const;
  IamPolicyVersion getPolicyVersion(const std::string& policy_arn,
                                    const std::string& version_id) const;
  IamPolicyVersion createPolicyVersion(const std::string& policy_arn, const std::string& document,
                                       bool set_as_default) const;
  /// One page of the policy's versions ("" marker = first).
  ListPolicyVersionsResult listPolicyVersions(const std::string& policy_arn,
                                              const std::string& marker = "") const;
  IamResponse deletePolicyVersion(const std::string& policy_arn,
                                  const std::string& version_id) const;

  IamRole createRole(const CreateRoleRequest& request) const;
  IamRole getRole(const std::string& role_name) const;
  IamResponse deleteRole(const std::string& role_name) const;
  IamResponse attachRolePolicy(const std::string& role_name, const std::string& policy_arn) const;
  IamResponse detachRolePolicy(const std::string& role_name, const std::string& policy_arn) const;
  /// One page of the managed policies attached to the role ("" marker = first).
  ListAttachedRolePoliciesResult listAttachedRolePolicies(const std::string& role_name,
                                                          const std::string& marker = "") const;

  IamInstanceProfile createInstanceProfile(const CreateInstanceProfileRequest& request) const;
  IamInstanceProfile getInstanceProfile(const std::string& instance_profile_name) const;
  IamResponse deleteInstanceProfile(const std::string& instance_profile_name) const;
  IamResponse addRoleToInstanceProfile(const std::string& instance_profile_name,
                                       const std::string& role_name) const;
  IamResponse removeRoleFromInstanceProfile(const std::string& instance_profile_name,
                                            const std::string& role_name) const;
  /// One page of the instance profiles that hold the role ("" marker = first).
  ListInstanceProfilesForRoleResult listInstanceProfilesForRole(
      const std::string& role_name, const std::string& marker = "") const;

 private:
  ServiceClient client_;
};

}  // namespace aws
