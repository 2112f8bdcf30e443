#include "probefleet/identity.h"

#include <exception>
#include <stdexcept>
#include <vector>

#include "probefleet/failure_report.h"
#include "probefleet/story.h"
#include "testlib/common.h"

namespace probefleet {

namespace {

constexpr const char* kNameTagValue = "corvanta-test-ec2";

// Policies of the account named `name`, over every page of the listing.
std::vector<std::string> policyArnsNamed(const aws::IamClient& iam,
                                         aws::ListPoliciesRequest request,
                                         const std::string& name) {
  std::vector<std::string> arns;
  for (;;) {
    const aws::ListPoliciesResult page = iam.listPolicies(request);
    for (const aws::IamPolicy& policy : page.policies) {
      if (policy.policy_name == name) arns.push_back(policy.arn);
    }
    if (!page.is_truncated || page.marker.empty()) return arns;
    request.marker = page.marker;
  }
}

// The ARN of the existing policy. Built from the account number when one was
// given; without it the ARN would be malformed, so it is looked up instead.
std::string existingPolicyArn(const aws::IamClient& iam, const Args& args) {
  if (given(args.account)) {
    return "arn:aws:iam::" + *args.account + ":policy/" + kPolicyName;
  }
  aws::ListPoliciesRequest request;
  request.scope = "Local";
  const auto arns = policyArnsNamed(iam, request, kPolicyName);
  if (arns.empty()) {
    throw std::runtime_error(std::string("IAM reports policy ") + kPolicyName +
                             " as existing but does not list it");
  }
  return arns.front();
}

}  // namespace

std::string s3PolicyDocument() {
  std::string statements;
  for (const char* action : {"s3:ListBucket", "s3:GetObject", "s3:PutObject"}) {
    if (!statements.empty()) statements += ", ";
    statements += std::string(R"({"Effect": "Allow", "Action": [")") + action +
                  R"("], "Resource": ["arn:aws:s3:::*"]})";
  }
  return R"({"Version": "2012-10-17", "Statement": [)" + statements + "]}";
}

std::string ec2TrustPolicyDocument() {
  return std::string(
             R"({"Version": "2012-10-17", "Statement": [{"Effect": "Allow", "Principal": {"Service": ")") +
         kEc2ServicePrincipal + R"("}, "Action": "sts:AssumeRole"}]})";
}

std::string createS3Policy(const aws::IamClient& iam_client, const Args& args) {
  testlib::logger()->info(std::string("- Create policy ") + kPolicyName);
  aws::CreatePolicyRequest request;
  request.policy_name = kPolicyName;
  request.policy_document = s3PolicyDocument();
  request.description = kPolicyDescription;
  request.tags = {{"Name", kNameTagValue}};
  try {
    const std::string arn = iam_client.createPolicy(request).arn;
    tell(Act::kCreate, "iam policy", arn, kPolicyName, DryRun::kIgnored);
    return arn;
  } catch (const aws::ServiceError& error) {
    if (error.code() != "EntityAlreadyExists") throw;
  } catch (const std::exception& failure) {
    testlib::logger()->error(std::string("  **Error** ") + failure.what());
    reportFailure(failure);
    throw;
  }
  const std::string arn = existingPolicyArn(iam_client, args);
  tell(Act::kReuse, "iam policy", arn, kPolicyName, DryRun::kIgnored);
  return arn;
}

std::optional<aws::IamResponse> createEc2Role(const aws::IamClient& iam_client,
                                              const std::string& policy_arn) {
  testlib::logger()->info(std::string("- Create role ") + kRoleName);
  aws::CreateRoleRequest request;
  request.role_name = kRoleName;
  request.assume_role_policy_document = ec2TrustPolicyDocument();
  request.description = kRoleDescription;
  try {
    iam_client.createRole(request);
    tell(Act::kCreate, "iam role", kRoleName, "", DryRun::kIgnored);
  } catch (const aws::ServiceError& error) {
    if (error.code() == "EntityAlreadyExists") {
      testlib::logger()->info(std::string("  **Alert** ") + error.what());
      tell(Act::kReuse, "iam role", kRoleName, "", DryRun::kIgnored);
      return std::nullopt;
    }
    // Any other refusal is passed over: the attachment below shows whether
    // the role is usable.
  }
  testlib::logger()->info("- Attach policy to role");
  return iam_client.attachRolePolicy(kRoleName, policy_arn);
}

void createInstanceProfile(const aws::IamClient& iam_client) {
  testlib::logger()->info(std::string("- Create instance profile ") + kInstanceProfileName);
  aws::CreateInstanceProfileRequest request;
  request.instance_profile_name = kInstanceProfileName;
  request.tags = {{"Name", kNameTagValue}};
  try {
    iam_client.createInstanceProfile(request);
    tell(Act::kCreate, "instance profile", kInstanceProfileName, "", DryRun::kIgnored);
  } catch (const aws::ServiceError& error) {
    if (error.code() == "EntityAlreadyExists") {
      testlib::logger()->info(std::string("  **Alert** ") + error.what());
      tell(Act::kReuse, "instance profile", kInstanceProfileName, "", DryRun::kIgnored);
      return;
    }
  }
  testlib::logger()->info("- Add role to instance profile");
  iam_client.addRoleToInstanceProfile(kInstanceProfileName, kRoleName);
}

void deleteInstanceProfile(const aws::IamClient& iam_client) {
  const auto logAndGoOn = [](const std::exception& failure) {
    testlib::logger()->error(std::string("  **Error** ") + failure.what());
    reportFailure(failure);
  };

  testlib::logger()->info(std::string("  Remove role from instance profile ") +
                          kInstanceProfileName);
  try {
    iam_client.removeRoleFromInstanceProfile(kInstanceProfileName, kRoleName);
  } catch (const std::exception& failure) {
    logAndGoOn(failure);
  }

  testlib::logger()->info(std::string("  Delete instance profile ") + kInstanceProfileName);
  try {
    iam_client.deleteInstanceProfile(kInstanceProfileName);
    tell(Act::kDelete, "instance profile", kInstanceProfileName, "", DryRun::kIgnored);
  } catch (const std::exception& failure) {
    logAndGoOn(failure);
  }

  // Only attached policies are listed, so the policy is found while it is
  // still attached to the role. Every page is read: an account with many
  // policies would otherwise hide it on a later one.
  aws::ListPoliciesRequest request;
  request.scope = "Local";
  request.only_attached = true;
  request.policy_usage_filter = "PermissionsPolicy";
  const auto arns = policyArnsNamed(iam_client, request, kPolicyName);
  if (arns.size() != 1) return;
  const std::string& arn = arns.front();

  testlib::logger()->info(std::string("  Detach ") + kRoleName + " from " + kPolicyName + " " +
                          arn + " ");
  iam_client.detachRolePolicy(kRoleName, arn);
  testlib::logger()->info("  Delete policy " + arn);
  iam_client.deletePolicy(arn);
  tell(Act::kDelete, "iam policy", arn, kPolicyName, DryRun::kIgnored);
  testlib::logger()->info(std::string("  Delete ") + kRoleName);
  iam_client.deleteRole(kRoleName);
  tell(Act::kDelete, "iam role", kRoleName, "", DryRun::kIgnored);
}

}  // namespace probefleet
