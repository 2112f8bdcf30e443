#include "probefleet/resources/identity.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <vector>

#include <nlohmann/json.hpp>

#include "aws/base/interrupt.h"
#include "aws/base/strings.h"
#include "aws/config/config.h"
#include "probefleet/core/failure_report.h"
#include "probefleet/core/patience.h"
#include "probefleet/core/story.h"
#include "probefleet/resources/tags.h"
#include "testlib/app_exit_status.h"
#include "testlib/common.h"

namespace probefleet {

namespace {

constexpr const char* kNameTagValue = "corvanta-test-ec2";

// The partition the IAM client works in: its region's, or (no region known)
// that of the region it signs for, which IAM fixes per partition.
std::string partitionOf(const aws::IamClient& iam) {
  const aws::ClientConfig& config = iam.config();
  return aws::partitionOf(!config.region.empty() ? config.region : config.signing_region);
}

// IAM's refusal of `action` on `resource`, kept as IAM gave it (code, status,
// request id, message) with the action and resource named before its words.
[[noreturn]] void refused(const std::string& action, const std::string& resource,
                          const aws::ServiceError& error) {
  throw aws::ServiceError(error.service(), error.code(),
                          action + " " + resource + " refused: " + error.message(),
                          error.httpStatus(), error.requestId());
}

// call(), with a refusal of IAM named after `action` and `resource`.
template <typename Call>
auto asking(const std::string& action, const std::string& resource, Call&& call)
    -> decltype(call()) {
  try {
    return call();
  } catch (const aws::ServiceError& error) {
    refused(action, resource, error);
  }
}

// Local policies of the account named `name`, over every page of the listing.
std::vector<aws::IamPolicy> localPoliciesNamed(const aws::IamClient& iam, const std::string& name) {
  aws::ListPoliciesRequest request;
  request.scope = "Local";
  std::vector<aws::IamPolicy> found;
  for (;;) {
    const aws::ListPoliciesResult page =
        asking("ListPolicies", "Scope=Local", [&] { return iam.listPolicies(request); });
    for (const aws::IamPolicy& policy : page.policies) {
      if (policy.policy_name == name) found.push_back(policy);
    }
    if (!page.is_truncated || page.marker.empty()) return found;
    request.marker = page.marker;
  }
}

// The ARN of the existing policy. Built from the account number when one was
// given; without it the ARN would be malformed, so it is looked up instead.
std::string existingPolicyArn(const aws::IamClient& iam, const Args& args,
                              const std::string& partition) {
  if (given(args.account)) return s3PolicyArn(partition, *args.account);
  const auto found = localPoliciesNamed(iam, kPolicyName);
  if (found.empty()) {
    throw std::runtime_error(std::string("IAM reports policy ") + kPolicyName +
                             " as existing but does not list it");
  }
  return found.front().arn;
}

std::vector<aws::IamPolicyVersion> policyVersions(const aws::IamClient& iam,
                                                  const std::string& arn) {
  std::vector<aws::IamPolicyVersion> versions;
  std::string marker;
  for (;;) {
    const auto page =
        asking("ListPolicyVersions", arn, [&] { return iam.listPolicyVersions(arn, marker); });
    versions.insert(versions.end(), page.versions.begin(), page.versions.end());
    if (!page.is_truncated || page.marker.empty()) return versions;
    marker = page.marker;
  }
}

// IAM numbers versions "v1", "v2", ... in the order they were made.
long versionNumber(const aws::IamPolicyVersion& version) {
  const std::string& id = version.version_id;
  return id.size() > 1 ? std::strtol(id.c_str() + 1, nullptr, 10) : 0;
}

// Room for one more version: the oldest non-default one goes when IAM holds
// as many as it keeps.
void makeRoomForAVersion(const aws::IamClient& iam, const std::string& arn) {
  std::vector<aws::IamPolicyVersion> versions = policyVersions(iam, arn);
  std::erase_if(versions, [](const auto& version) { return version.is_default_version; });
  if (versions.size() + 1 < kMaxPolicyVersions) return;
  const auto oldest = std::min_element(
      versions.begin(), versions.end(),
      [](const auto& a, const auto& b) { return versionNumber(a) < versionNumber(b); });
  testlib::logger()->info("  Delete version " + oldest->version_id + " of policy " + arn);
  asking("DeletePolicyVersion", arn + " " + oldest->version_id,
         [&] { return iam.deletePolicyVersion(arn, oldest->version_id); });
}

bool sameDocument(const std::string& a, const std::string& b) {
  const auto left = nlohmann::json::parse(a, nullptr, false);
  return !left.is_discarded() && left == nlohmann::json::parse(b, nullptr, false);
}

// Makes the existing policy allow `bucket` as well as what it allows now,
// through a new default version; a policy that allows it is left as it is.
// True when a version was added.
bool allowBucket(const aws::IamClient& iam, const std::string& arn, const std::string& partition,
                 const std::string& bucket) {
  const aws::IamPolicy policy = asking("GetPolicy", arn, [&] { return iam.getPolicy(arn); });
  const aws::IamPolicyVersion current =
      asking("GetPolicyVersion", arn + " " + policy.default_version_id,
             [&] { return iam.getPolicyVersion(arn, policy.default_version_id); });
  std::vector<std::string> buckets = bucketsOf(current.document);
  if (std::find(buckets.begin(), buckets.end(), bucket) == buckets.end()) {
    buckets.push_back(bucket);
  }
  // A document of another shape (every bucket, as earlier versions of the
  // program wrote it) is narrowed to the buckets it names.
  const std::string wanted = s3PolicyDocument(partition, buckets);
  if (sameDocument(current.document, wanted)) {
    testlib::logger()->info("  bucket " + bucket + " is allowed already");
    return false;
  }
  makeRoomForAVersion(iam, arn);
  testlib::logger()->info("- Allow bucket " + bucket + " in policy " + arn);
  asking("CreatePolicyVersion", arn, [&] { return iam.createPolicyVersion(arn, wanted, true); });
  return true;
}

bool holdsPolicy(const aws::IamClient& iam, const std::string& policy_arn) {
  std::string marker;
  for (;;) {
    const auto page = asking("ListAttachedRolePolicies", kRoleName,
                             [&] { return iam.listAttachedRolePolicies(kRoleName, marker); });
    for (const auto& attached : page.attached_policies) {
      if (attached.policy_arn == policy_arn) return true;
    }
    if (!page.is_truncated || page.marker.empty()) return false;
    marker = page.marker;
  }
}

// A dry run only looks: whether one of the three exists now, asked
// read-only; nullopt (logged) when IAM could not tell.
template <typename Lookup>
std::optional<bool> existsNow(const std::string& what, Lookup&& lookup) {
  try {
    return lookup();
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const aws::ServiceError& error) {
    if (error.code() == "NoSuchEntity") return false;
    testlib::logger()->warn("  **Alert** cannot tell whether " + what + " exists: " + error.what());
  } catch (const std::exception& failure) {
    testlib::logger()->warn("  **Alert** cannot tell whether " + what +
                            " exists: " + failure.what());
  }
  return std::nullopt;
}

// What a dry run would do with one of the three: reuse what exists, make
// the rest.
void planned(const std::string& kind, const std::string& name, std::optional<bool> exists) {
  const bool reuse = exists.value_or(false);
  testlib::logger()->info("  dry run: " + kind + " " + name + " would be " +
                          (reuse    ? "reused"
                           : exists ? "created"
                                    : "created if absent") +
                          "; IAM is not changed");
  tell(reuse ? Act::kReuse : Act::kCreate, kind, name, exists ? "" : "if absent");
}

void addRole(const aws::IamClient& iam) {
  testlib::logger()->info("- Add role to instance profile");
  asking("AddRoleToInstanceProfile", kInstanceProfileName,
         [&] { return iam.addRoleToInstanceProfile(kInstanceProfileName, kRoleName); });
}

// What a dry run's revert would remove of the three, found read-only.
void planRemoval(const aws::IamClient& iam) {
  const auto plan = [](const std::string& kind, const std::string& name,
                       std::optional<bool> exists) {
    if (exists == false) return;
    testlib::logger()->info("  dry run: " + kind + " " + name + " would be deleted" +
                            (exists ? "" : " if present") + "; IAM is not changed");
    tell(Act::kDelete, kind, name, exists ? "" : "if present");
  };
  plan("instance profile", kInstanceProfileName,
       existsNow(std::string("instance profile ") + kInstanceProfileName, [&] {
         iam.getInstanceProfile(kInstanceProfileName);
         return true;
       }));
  std::vector<aws::IamPolicy> policies;
  const auto policy_exists = existsNow(std::string("policy ") + kPolicyName, [&] {
    policies = localPoliciesNamed(iam, kPolicyName);
    return !policies.empty();
  });
  if (policies.empty()) plan("iam policy", kPolicyName, policy_exists);
  for (const aws::IamPolicy& policy : policies) plan("iam policy", policy.arn, true);
  plan("iam role", kRoleName, existsNow(std::string("role ") + kRoleName, [&] {
         iam.getRole(kRoleName);
         return true;
       }));
}

}  // namespace

std::string s3PolicyDocument(const std::string& partition,
                             const std::vector<std::string>& buckets) {
  const auto resources = [&](const char* suffix) {
    std::string list;
    for (const std::string& bucket : buckets) {
      if (!list.empty()) list += ", ";
      list += nlohmann::json("arn:" + partition + ":s3:::" + bucket + suffix).dump();
    }
    return list;
  };
  std::string statements;
  for (const auto& [action, suffix] :
       {std::pair{"s3:ListBucket", ""}, std::pair{"s3:GetObject", "/*"},
        std::pair{"s3:PutObject", "/*"}}) {
    if (!statements.empty()) statements += ", ";
    statements += std::string(R"({"Effect": "Allow", "Action": [")") + action +
                  R"("], "Resource": [)" + resources(suffix) + "]}";
  }
  return R"({"Version": "2012-10-17", "Statement": [)" + statements + "]}";
}

std::vector<std::string> bucketsOf(const std::string& document) {
  std::vector<std::string> buckets;
  const auto note = [&](const nlohmann::json& resource) {
    if (!resource.is_string()) return;
    const std::string arn = resource.get<std::string>();
    const auto colons = arn.find(":s3:::");
    if (arn.rfind("arn:", 0) != 0 || colons == std::string::npos) return;
    std::string bucket = arn.substr(colons + 6);
    bucket = bucket.substr(0, bucket.find('/'));
    if (bucket.empty() || bucket.find('*') != std::string::npos) return;
    if (std::find(buckets.begin(), buckets.end(), bucket) == buckets.end()) {
      buckets.push_back(bucket);
    }
  };
  const auto parsed = nlohmann::json::parse(document, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) return buckets;
  auto statements = parsed.value("Statement", nlohmann::json::array());
  if (statements.is_object()) statements = nlohmann::json::array({statements});
  if (!statements.is_array()) return buckets;
  for (const auto& statement : statements) {
    if (!statement.is_object() || !statement.contains("Resource")) continue;
    const auto& resource = statement.at("Resource");
    if (resource.is_array()) {
      for (const auto& each : resource) note(each);
    } else {
      note(resource);
    }
  }
  return buckets;
}

std::string ec2TrustPolicyDocument() {
  return std::string(
             R"({"Version": "2012-10-17", "Statement": [{"Effect": "Allow", "Principal": {"Service": ")") +
         kEc2ServicePrincipal + R"("}, "Action": "sts:AssumeRole"}]})";
}

std::string s3PolicyArn(const std::string& partition, const std::string& account) {
  return "arn:" + partition + ":iam::" + account + ":policy/" + kPolicyName;
}

std::vector<aws::IamTag> iamTags(const Args& args) {
  std::vector<aws::ec2::Tag> tags{{"Name", kNameTagValue}};
  if (given(args.tag_resource)) populateTags(tags, *args.tag_resource);
  std::vector<aws::IamTag> out;
  for (const aws::ec2::Tag& tag : tags) out.push_back({tag.key, tag.value});
  return out;
}

std::optional<std::string> createS3Policy(const aws::IamClient& iam_client, const Args& args) {
  auto log = testlib::logger();
  if (!given(args.s3_bucket)) {
    // The instances' test script writes to the bucket only; without one they
    // need no S3 access, and a policy cannot allow nothing.
    log->info(std::string("- No policy ") + kPolicyName +
              ": no s3_bucket given, the instances write nothing to S3");
    return std::nullopt;
  }
  const std::string& bucket = *args.s3_bucket;
  // A wildcard or a path in the name would allow more than the one bucket.
  if (!std::all_of(bucket.begin(), bucket.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '.' || c == '-' || c == '_';
      })) {
    throw std::invalid_argument("s3_bucket " + aws::inQuotes(bucket) +
                                " is not a bucket name: the instance role's policy cannot "
                                "allow it");
  }
  const std::string partition = partitionOf(iam_client);
  log->info(std::string("- Create policy ") + kPolicyName);
  if (args.dry_run) {
    std::optional<std::string> arn;
    const auto exists = existsNow(std::string("policy ") + kPolicyName, [&] {
      const auto found = localPoliciesNamed(iam_client, kPolicyName);
      if (!found.empty()) arn = found.front().arn;
      return !found.empty();
    });
    planned("iam policy", arn.value_or(kPolicyName), exists);
    return arn;
  }
  aws::CreatePolicyRequest request;
  request.policy_name = kPolicyName;
  request.policy_document = s3PolicyDocument(partition, {bucket});
  request.description = kPolicyDescription;
  request.tags = iamTags(args);
  try {
    const std::string arn = iam_client.createPolicy(request).arn;
    tell(Act::kCreate, "iam policy", arn, kPolicyName, DryRun::kIgnored);
    return arn;
  } catch (const aws::ServiceError& error) {
    if (error.code() != "EntityAlreadyExists") refused("CreatePolicy", kPolicyName, error);
  } catch (const std::exception& failure) {
    log->error(std::string("  **Error** ") + failure.what());
    reportFailure(failure);
    throw;
  }
  const std::string arn = existingPolicyArn(iam_client, args, partition);
  const bool added = allowBucket(iam_client, arn, partition, bucket);
  tell(Act::kReuse, "iam policy", arn,
       std::string(kPolicyName) + (added ? ", bucket " + bucket + " added" : ""), DryRun::kIgnored);
  return arn;
}

std::optional<aws::IamResponse> createEc2Role(const aws::IamClient& iam_client,
                                              const std::optional<std::string>& policy_arn,
                                              const Args& args) {
  auto log = testlib::logger();
  log->info(std::string("- Create role ") + kRoleName);
  if (args.dry_run) {
    planned("iam role", kRoleName, existsNow(std::string("role ") + kRoleName, [&] {
              iam_client.getRole(kRoleName);
              return true;
            }));
    return std::nullopt;
  }
  aws::CreateRoleRequest request;
  request.role_name = kRoleName;
  request.assume_role_policy_document = ec2TrustPolicyDocument();
  request.description = kRoleDescription;
  request.tags = iamTags(args);
  bool existed = false;
  try {
    iam_client.createRole(request);
    tell(Act::kCreate, "iam role", kRoleName, "", DryRun::kIgnored);
  } catch (const aws::ServiceError& error) {
    if (error.code() != "EntityAlreadyExists") refused("CreateRole", kRoleName, error);
    log->info(std::string("  **Alert** ") + error.what());
    tell(Act::kReuse, "iam role", kRoleName, "", DryRun::kIgnored);
    existed = true;
  }
  if (!policy_arn) return std::nullopt;
  if (existed && holdsPolicy(iam_client, *policy_arn)) return std::nullopt;
  log->info("- Attach policy to role");
  return asking("AttachRolePolicy", std::string(kRoleName) + " " + *policy_arn,
                [&] { return iam_client.attachRolePolicy(kRoleName, *policy_arn); });
}

bool createInstanceProfile(const aws::IamClient& iam_client, const Args& args) {
  auto log = testlib::logger();
  log->info(std::string("- Create instance profile ") + kInstanceProfileName);
  if (args.dry_run) {
    planned("instance profile", kInstanceProfileName,
            existsNow(std::string("instance profile ") + kInstanceProfileName, [&] {
              iam_client.getInstanceProfile(kInstanceProfileName);
              return true;
            }));
    return false;
  }
  aws::CreateInstanceProfileRequest request;
  request.instance_profile_name = kInstanceProfileName;
  request.tags = iamTags(args);
  try {
    iam_client.createInstanceProfile(request);
    tell(Act::kCreate, "instance profile", kInstanceProfileName, "", DryRun::kIgnored);
  } catch (const aws::ServiceError& error) {
    if (error.code() != "EntityAlreadyExists") {
      refused("CreateInstanceProfile", kInstanceProfileName, error);
    }
    log->info(std::string("  **Alert** ") + error.what());
    tell(Act::kReuse, "instance profile", kInstanceProfileName, "", DryRun::kIgnored);
    const aws::IamInstanceProfile profile = asking("GetInstanceProfile", kInstanceProfileName, [&] {
      return iam_client.getInstanceProfile(kInstanceProfileName);
    });
    for (const aws::IamRole& role : profile.roles) {
      if (role.role_name == kRoleName) return false;
    }
  }
  addRole(iam_client);
  return true;
}

std::vector<std::string> deleteInstanceProfile(const aws::IamClient& iam_client, bool dry_run) {
  auto log = testlib::logger();
  if (dry_run) {
    planRemoval(iam_client);
    return {};
  }
  aws::Clock& clock = iam_client.config().clock ? *iam_client.config().clock : *aws::systemClock();
  const Patience settle{kIamSettleBudget, {"DeleteConflict"}};
  struct Left {
    std::string kind, name, reason;
  };
  std::vector<Left> left;
  const auto leave = [&](Left what, const std::exception& failure) {
    log->error(std::string("  **Error** ") + failure.what());
    reportFailure(failure);
    what.reason = failure.what();
    left.push_back(std::move(what));
  };

  // One removal, logged as `line`; true when it removed `what` now (false
  // when it was gone already, or is left).
  const auto remove = [&](const Left& what, const std::string& line, auto step) {
    log->info(line);
    try {
      patiently(clock, settle, step);
      return true;
    } catch (const aws::Interrupted&) {
      throw;
    } catch (const aws::ServiceError& error) {
      if (error.code() == "NoSuchEntity") {
        log->info(std::string("  **Alert** ") + error.what());
      } else {
        leave(what, error);
      }
    } catch (const std::exception& failure) {
      leave(what, failure);
    }
    return false;
  };

  remove({"iam role in instance profile", kInstanceProfileName, ""},
         std::string("  Remove role from instance profile ") + kInstanceProfileName,
         [&] { return iam_client.removeRoleFromInstanceProfile(kInstanceProfileName, kRoleName); });
  if (remove({"instance profile", kInstanceProfileName, ""},
             std::string("  Delete instance profile ") + kInstanceProfileName,
             [&] { return iam_client.deleteInstanceProfile(kInstanceProfileName); })) {
    tell(Act::kDelete, "instance profile", kInstanceProfileName, "", DryRun::kIgnored);
  }

  // Every local policy of the name, attached or not: one left detached by an
  // earlier teardown would otherwise stay for good.
  std::vector<aws::IamPolicy> policies;
  try {
    policies = patiently(clock, {}, [&] { return localPoliciesNamed(iam_client, kPolicyName); });
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const std::exception& failure) {
    leave({"iam policy", kPolicyName, ""}, failure);
  }
  for (const aws::IamPolicy& policy : policies) {
    const std::string& arn = policy.arn;
    remove({"iam policy attachment", arn, ""},
           std::string("  Detach ") + kRoleName + " from " + kPolicyName + " " + arn + " ",
           [&] { return iam_client.detachRolePolicy(kRoleName, arn); });
    // IAM deletes a policy only once its non-default versions are gone.
    std::vector<aws::IamPolicyVersion> versions;
    remove({"iam policy versions", arn, ""}, "  List versions of policy " + arn,
           [&] { versions = policyVersions(iam_client, arn); });
    for (const aws::IamPolicyVersion& version : versions) {
      if (version.is_default_version) continue;
      remove({"iam policy version", arn + " " + version.version_id, ""},
             "  Delete version " + version.version_id + " of policy " + arn,
             [&] { return iam_client.deletePolicyVersion(arn, version.version_id); });
    }
    if (remove({"iam policy", arn, ""}, "  Delete policy " + arn,
               [&] { return iam_client.deletePolicy(arn); })) {
      tell(Act::kDelete, "iam policy", arn, kPolicyName, DryRun::kIgnored);
    }
  }

  if (remove({"iam role", kRoleName, ""}, std::string("  Delete ") + kRoleName,
             [&] { return iam_client.deleteRole(kRoleName); })) {
    tell(Act::kDelete, "iam role", kRoleName, "", DryRun::kIgnored);
  }

  std::vector<std::string> lines;
  for (const Left& what : left) {
    lines.push_back(what.kind + " " + what.name + ": " + what.reason);
    log->error("  **Error** left in IAM: " + lines.back() + "; revert again to remove it");
    tell(Act::kLeave, what.kind, what.name, what.reason, DryRun::kIgnored);
  }
  if (!left.empty()) testlib::AppExitStatus::markFailed();
  return lines;
}

}  // namespace probefleet
