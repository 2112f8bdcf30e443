#include "aws/services/iam.h"

#include <cstdlib>

#include "aws/client/query_protocol.h"

namespace aws {

namespace {

using protocol::QueryBuilder;
using protocol::text;

constexpr const char* kIamVersion = "2010-05-08";

void addTags(QueryBuilder& query, const std::vector<IamTag>& tags) {
  for (std::size_t i = 0; i < tags.size(); ++i) {
    const std::string prefix = "Tags.member." + std::to_string(i + 1);
    query.add(prefix + ".Key", tags[i].key).add(prefix + ".Value", tags[i].value);
  }
}

std::vector<IamTag> readTags(const pugi::xml_node& node) {
  std::vector<IamTag> tags;
  for (pugi::xml_node member : node.child("Tags").children("member")) {
    tags.push_back({text(member, "Key"), text(member, "Value")});
  }
  return tags;
}

IamPolicy readPolicy(const pugi::xml_node& node) {
  IamPolicy policy;
  policy.policy_name = text(node, "PolicyName");
  policy.policy_id = text(node, "PolicyId");
  policy.arn = text(node, "Arn");
  policy.path = text(node, "Path");
  // strtoll, not atoll: an out-of-range count saturates instead of being undefined.
  policy.attachment_count = std::strtoll(text(node, "AttachmentCount").c_str(), nullptr, 10);
  policy.default_version_id = text(node, "DefaultVersionId");
  policy.create_date = text(node, "CreateDate");
  policy.tags = readTags(node);
  return policy;
}

IamPolicyVersion readPolicyVersion(const pugi::xml_node& node) {
  IamPolicyVersion version;
  version.version_id = text(node, "VersionId");
  version.document = uriDecode(text(node, "Document"));
  version.is_default_version = text(node, "IsDefaultVersion") == "true";
  version.create_date = text(node, "CreateDate");
  return version;
}

IamRole readRole(const pugi::xml_node& node) {
  IamRole role;
  role.role_name = text(node, "RoleName");
  role.role_id = text(node, "RoleId");
  role.arn = text(node, "Arn");
  role.path = text(node, "Path");
  role.assume_role_policy_document = uriDecode(text(node, "AssumeRolePolicyDocument"));
  role.create_date = text(node, "CreateDate");
  role.tags = readTags(node);
  return role;
}

IamInstanceProfile readInstanceProfile(const pugi::xml_node& node) {
  IamInstanceProfile profile;
  profile.instance_profile_name = text(node, "InstanceProfileName");
  profile.instance_profile_id = text(node, "InstanceProfileId");
  profile.arn = text(node, "Arn");
  profile.path = text(node, "Path");
  profile.create_date = text(node, "CreateDate");
  profile.tags = readTags(node);
  for (pugi::xml_node member : node.child("Roles").children("member")) {
    profile.roles.push_back(readRole(member));
  }
  return profile;
}

bool readBool(const pugi::xml_node& node, const char* name) {
  return text(node, name) == "true";
}

}  // namespace

IamClient::IamClient(ClientConfig config) : client_(std::move(config)) {}

IamPolicy IamClient::createPolicy(const CreatePolicyRequest& request) const {
  QueryBuilder query("CreatePolicy", kIamVersion);
  query.add("PolicyName", request.policy_name).add("PolicyDocument", request.policy_document);
  if (!request.description.empty()) query.add("Description", request.description);
  addTags(query, request.tags);
  return readPolicy(protocol::invokeQuery(client_, query).result.child("Policy"));
}

ListPoliciesResult IamClient::listPolicies(const ListPoliciesRequest& request) const {
  QueryBuilder query("ListPolicies", kIamVersion);
  if (!request.scope.empty()) query.add("Scope", request.scope);
  if (request.only_attached) query.add("OnlyAttached", *request.only_attached);
  if (!request.policy_usage_filter.empty()) {
    query.add("PolicyUsageFilter", request.policy_usage_filter);
  }
  if (!request.marker.empty()) query.add("Marker", request.marker);
  protocol::QueryAnswer answer = protocol::invokeQuery(client_, query);
  ListPoliciesResult result;
  for (pugi::xml_node member : answer.result.child("Policies").children("member")) {
    result.policies.push_back(readPolicy(member));
  }
  result.is_truncated = readBool(answer.result, "IsTruncated");
  result.marker = text(answer.result, "Marker");
  return result;
}

IamResponse IamClient::deletePolicy(const std::string& policy_arn) const {
  QueryBuilder query("DeletePolicy", kIamVersion);
  query.add("PolicyArn", policy_arn);
  return {protocol::invokeQuery(client_, query).request_id};
}

IamPolicy IamClient::getPolicy(const std::string& policy_arn) const {
  QueryBuilder query("GetPolicy", kIamVersion);
  query.add("PolicyArn", policy_arn);
  return readPolicy(protocol::invokeQuery(client_, query).result.child("Policy"));
}

IamPolicyVersion IamClient::getPolicyVersion(const std::string& policy_arn,
                                             const std::string& version_id) const {
  QueryBuilder query("GetPolicyVersion", kIamVersion);
  query.add("PolicyArn", policy_arn).add("VersionId", version_id);
  return readPolicyVersion(protocol::invokeQuery(client_, query).result.child("PolicyVersion"));
}

IamPolicyVersion IamClient::createPolicyVersion(const std::string& policy_arn,
                                                const std::string& document,
                                                bool set_as_default) const {
  QueryBuilder query("CreatePolicyVersion", kIamVersion);
  query.add("PolicyArn", policy_arn).add("PolicyDocument", document);
  if (set_as_default) query.add("SetAsDefault", true);
  return readPolicyVersion(protocol::invokeQuery(client_, query).result.child("PolicyVersion"));
}

ListPolicyVersionsResult IamClient::listPolicyVersions(const std::string& policy_arn,
                                                       const std::string& marker) const {
  QueryBuilder query("ListPolicyVersions", kIamVersion);
  query.add("PolicyArn", policy_arn);
  if (!marker.empty()) query.add("Marker", marker);
  protocol::QueryAnswer answer = protocol::invokeQuery(client_, query);
  ListPolicyVersionsResult result;
  for (pugi::xml_node member : answer.result.child("Versions").children("member")) {
    result.versions.push_back(readPolicyVersion(member));
  }
  result.is_truncated = readBool(answer.result, "IsTruncated");
  result.marker = text(answer.result, "Marker");
  return result;
}

IamResponse IamClient::deletePolicyVersion(const std::string& policy_arn,
                                           const std::string& version_id) const {
  QueryBuilder query("DeletePolicyVersion", kIamVersion);
  query.add("PolicyArn", policy_arn).add("VersionId", version_id);
  return {protocol::invokeQuery(client_, query).request_id};
}

IamRole IamClient::createRole(const CreateRoleRequest& request) const {
  QueryBuilder query("CreateRole", kIamVersion);
  query.add("RoleName", request.role_name)
      .add("AssumeRolePolicyDocument", request.assume_role_policy_document);
  if (!request.description.empty()) query.add("Description", request.description);
  addTags(query, request.tags);
  return readRole(protocol::invokeQuery(client_, query).result.child("Role"));
}

IamRole IamClient::getRole(const std::string& role_name) const {
  QueryBuilder query("GetRole", kIamVersion);
  query.add("RoleName", role_name);
  return readRole(protocol::invokeQuery(client_, query).result.child("Role"));
}

IamResponse IamClient::deleteRole(const std::string& role_name) const {
  QueryBuilder query("DeleteRole", kIamVersion);
  query.add("RoleName", role_name);
  return {protocol::invokeQuery(client_, query).request_id};
}

IamResponse IamClient::attachRolePolicy(const std::string& role_name,
                                        const std::string& policy_arn) const {
  QueryBuilder query("AttachRolePolicy", kIamVersion);
  query.add("RoleName", role_name).add("PolicyArn", policy_arn);
  return {protocol::invokeQuery(client_, query).request_id};
}

IamResponse IamClient::detachRolePolicy(const std::string& role_name,
                                        const std::string& policy_arn) const {
  QueryBuilder query("DetachRolePolicy", kIamVersion);
  query.add("RoleName", role_name).add("PolicyArn", policy_arn);
  return {protocol::invokeQuery(client_, query).request_id};
}

ListAttachedRolePoliciesResult IamClient::listAttachedRolePolicies(
    const std::string& role_name, const std::string& marker) const {
  QueryBuilder query("ListAttachedRolePolicies", kIamVersion);
  query.add("RoleName", role_name);
  if (!marker.empty()) query.add("Marker", marker);
  protocol::QueryAnswer answer = protocol::invokeQuery(client_, query);
  ListAttachedRolePoliciesResult result;
  for (pugi::xml_node member : answer.result.child("AttachedPolicies").children("member")) {
    result.attached_policies.push_back({text(member, "PolicyName"), text(member, "PolicyArn")});
  }
  result.is_truncated = readBool(answer.result, "IsTruncated");
  result.marker = text(answer.result, "Marker");
  return result;
}

IamInstanceProfile IamClient::createInstanceProfile(
    const CreateInstanceProfileRequest& request) const {
  QueryBuilder query("CreateInstanceProfile", kIamVersion);
  query.add("InstanceProfileName", request.instance_profile_name);
  addTags(query, request.tags);
  return readInstanceProfile(protocol::invokeQuery(client_, query).result.child("InstanceProfile"));
}

IamInstanceProfile IamClient::getInstanceProfile(const std::string& instance_profile_name) const {
  QueryBuilder query("GetInstanceProfile", kIamVersion);
  query.add("InstanceProfileName", instance_profile_name);
  return readInstanceProfile(protocol::invokeQuery(client_, query).result.child("InstanceProfile"));
}

IamResponse IamClient::deleteInstanceProfile(const std::string& instance_profile_name) const {
  QueryBuilder query("DeleteInstanceProfile", kIamVersion);
  query.add("InstanceProfileName", instance_profile_name);
  return {protocol::invokeQuery(client_, query).request_id};
}

IamResponse IamClient::addRoleToInstanceProfile(const std::string& instance_profile_name,
                                                const std::string& role_name) const {
  QueryBuilder query("AddRoleToInstanceProfile", kIamVersion);
  query.add("InstanceProfileName", instance_profile_name).add("RoleName", role_name);
  return {protocol::invokeQuery(client_, query).request_id};
}

IamResponse IamClient::removeRoleFromInstanceProfile(const std::string& instance_profile_name,
                                                     const std::string& role_name) const {
  QueryBuilder query("RemoveRoleFromInstanceProfile", kIamVersion);
  query.add("InstanceProfileName", instance_profile_name).add("RoleName", role_name);
  return {protocol::invokeQuery(client_, query).request_id};
}

ListInstanceProfilesForRoleResult IamClient::listInstanceProfilesForRole(
    const std::string& role_name, const std::string& marker) const {
  QueryBuilder query("ListInstanceProfilesForRole", kIamVersion);
  query.add("RoleName", role_name);
  if (!marker.empty()) query.add("Marker", marker);
  protocol::QueryAnswer answer = protocol::invokeQuery(client_, query);
  ListInstanceProfilesForRoleResult result;
  for (pugi::xml_node member : answer.result.child("InstanceProfiles").children("member")) {
    result.instance_profiles.push_back(readInstanceProfile(member));
  }
  result.is_truncated = readBool(answer.result, "IsTruncated");
  result.marker = text(answer.result, "Marker");
  return result;
}

}  // namespace aws
