#pragma once
// The instance role that test instances run under: the managed policy that
// lets them list, read and write the objects of the run's bucket, the role
// EC2 may assume with that policy attached, and the instance profile that
// holds the role. The names are fixed, so every run in an account shares one
// set; what exists is reused and completed. In a dry run they only look
// (read-only requests) and log what they would make, reuse or remove:
// other fleets of the account may run under the role.
//
// IAM's refusals (AccessDenied above all) are final: they end the step as
// aws::ServiceError with AWS's code, and a message that names the action and
// the resource before AWS's own words.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "aws/services/iam.h"
#include "probefleet/core/options.h"

namespace probefleet {

inline constexpr const char* kPolicyName = "corvanta-test-ec2-policy";
inline constexpr const char* kPolicyDescription = "corvanta test ec2 policy";
inline constexpr const char* kRoleName = "corvanta-test-ec2-role";
inline constexpr const char* kRoleDescription = "corvanta test ec2 role";
inline constexpr const char* kInstanceProfileName = "corvanta-test-ec2-instance-profile";
/// The EC2 service principal. AWS documents this one name for every
/// partition, China's included ("ec2.amazonaws.com.cn" is the old form).
inline constexpr const char* kEc2ServicePrincipal = "ec2.amazonaws.com";
/// IAM keeps at most this many versions of a managed policy.
inline constexpr std::size_t kMaxPolicyVersions = 5;
/// How long teardown waits out DeleteConflict while IAM catches up with a
/// removal it has just accepted.
inline constexpr std::chrono::milliseconds kIamSettleBudget{60000};

/// The policy document: s3:ListBucket on "arn:<partition>:s3:::<bucket>",
/// s3:GetObject and s3:PutObject on "arn:<partition>:s3:::<bucket>/*", for
/// each of `buckets` in order; one line of JSON with ", " and ": "
/// separators. `buckets` must not be empty (IAM refuses a statement without
/// a resource).
std::string s3PolicyDocument(const std::string& partition, const std::vector<std::string>& buckets);

/// The buckets that a policy document names in its S3 resources
/// ("arn:<any partition>:s3:::B" and "arn:...:s3:::B/*"), each once, in the
/// order they first appear. A wildcard bucket ("*") is not a bucket; a
/// document that is not JSON names none.
std::vector<std::string> bucketsOf(const std::string& document);

/// The trust policy document that lets EC2 assume the role, in the same form.
std::string ec2TrustPolicyDocument();

/// "arn:<partition>:iam::<account>:policy/corvanta-test-ec2-policy".
std::string s3PolicyArn(const std::string& partition, const std::string& account);

/// The tags of the role, policy and profile, sent in their create requests:
/// Name = corvanta-test-ec2, then the user's --tag_resource pairs.
std::vector<aws::IamTag> iamTags(const Args& args);

/// Makes sure the policy "corvanta-test-ec2-policy" allows the run's bucket
/// (--s3_bucket) and returns its ARN, in the partition of the IAM client's
/// region. A new policy allows that bucket only. When it exists already, its
/// ARN is built from args.account (looked up among the account's own
/// policies when no account was given; std::runtime_error when none has the
/// name), and a bucket it does not allow yet is added through a new default
/// version, after deleting the oldest non-default version when IAM holds
/// kMaxPolicyVersions; a policy that allows the bucket is left unchanged.
/// Without a bucket the instances write nothing to S3: no policy is made or
/// changed, and nullopt is returned. A bucket name with other characters
/// than letters, digits, ".", "-" and "_" (a wildcard would widen the policy)
/// is refused with std::invalid_argument before any request. Refusals other
/// than EntityAlreadyExists
/// are thrown as aws::ServiceError; a failure of CreatePolicy that is not
/// IAM's answer (no connection, ...) is logged as "  **Error** ", reported on
/// standard error and thrown. In a dry run it only lists the account's
/// policies and tells whether it would create or reuse one; it returns the
/// ARN found, else nullopt.
std::optional<std::string> createS3Policy(const aws::IamClient& iam_client, const Args& args);

/// Creates the role "corvanta-test-ec2-role" (EC2 trust policy, iamTags) and
/// attaches `policy_arn` to it; returns AttachRolePolicy's answer. When the
/// role exists already it logs "  **Alert** <IAM's error>" and attaches the
/// policy only when the role does not hold it yet. Nothing is attached
/// without a `policy_arn` (nullopt is returned, as when nothing needed
/// attaching). Refusals other than EntityAlreadyExists, and failures that are
/// not IAM's answer, are thrown. In a dry run it only asks for the role
/// and tells whether it would create or reuse it.
std::optional<aws::IamResponse> createEc2Role(const aws::IamClient& iam_client,
                                              const std::optional<std::string>& policy_arn,
                                              const Args& args = {});

/// Creates the instance profile "corvanta-test-ec2-instance-profile"
/// (iamTags) and adds the role to it. When it exists already it logs
/// "  **Alert** <IAM's error>" and adds the role only when the profile does
/// not hold it yet. Refusals other than EntityAlreadyExists, and failures
/// that are not IAM's answer, are thrown. In a dry run it only asks for the
/// profile and tells whether it would create or reuse it. True when the
/// profile was made or given the role now: EC2 then refuses launches with it
/// until IAM has propagated it (some seconds); false when it stood as it is,
/// and in a dry run.
bool createInstanceProfile(const aws::IamClient& iam_client, const Args& args = {});

/// Removes all three, each step whatever became of the others: the role from
/// the profile, the profile, then every local policy of the account named
/// "corvanta-test-ec2-policy" (attached or not: it is detached from the
/// role, its non-default versions deleted, then itself), then the role. What
/// is already gone (NoSuchEntity) is passed over with an "  **Alert** " line;
/// DeleteConflict, throttling and passing faults are waited out for up to
/// kIamSettleBudget through the client's clock. Every other failure is
/// logged as "  **Error** ", reported on standard error, told as left, and
/// marks the run failed. Returns what was left, one line each (empty when
/// all is gone);
/// throws only aws::Interrupted. With `dry_run` nothing is removed: what
/// exists is told as what would be deleted, and nothing is returned.
std::vector<std::string> deleteInstanceProfile(const aws::IamClient& iam_client,
                                               bool dry_run = false);

}  // namespace probefleet
