#pragma once
// The instance role that test instances run under: the managed policy that
// lets them list, read and write S3 objects, the role EC2 may assume with
// that policy attached, and the instance profile that holds the role. The
// names are fixed, so every run in an account shares one set; what exists is
// reused. None of these operations looks at the dry-run flag: a dry run
// makes, reuses and removes them exactly as a normal run does.

#include <optional>
#include <string>

#include "aws/iam.h"
#include "probefleet/options.h"

namespace probefleet {

inline constexpr const char* kPolicyName = "corvanta-test-ec2-policy";
inline constexpr const char* kPolicyDescription = "corvanta test ec2 policy";
inline constexpr const char* kRoleName = "corvanta-test-ec2-role";
inline constexpr const char* kRoleDescription = "corvanta test ec2 role";
inline constexpr const char* kInstanceProfileName = "corvanta-test-ec2-instance-profile";
/// The EC2 service principal, as AWS publishes it.
inline constexpr const char* kEc2ServicePrincipal = "ec2.amazonaws.com";

/// The policy document: S3 listing, reading and writing on every bucket, as
/// one line of JSON with ", " and ": " separators.
std::string s3PolicyDocument();
/// The trust policy document that lets EC2 assume the role, in the same form.
std::string ec2TrustPolicyDocument();

/// Creates the policy "corvanta-test-ec2-policy" (tagged Name =
/// corvanta-test-ec2) and returns its ARN. When it exists already, returns
/// "arn:aws:iam::<args.account>:policy/corvanta-test-ec2-policy" without
/// asking IAM; when no account number was given, the ARN is looked up among
/// the account's own policies instead (std::runtime_error when none has the
/// name). Any other IAM refusal is thrown as aws::ServiceError; a failure
/// that is not IAM's answer (no connection, ...) is logged as "  **Error** ",
/// reported on standard error and thrown.
std::string createS3Policy(const aws::IamClient& iam_client, const Args& args);

/// Creates the role "corvanta-test-ec2-role" with the EC2 trust policy and
/// attaches `policy_arn` to it; returns AttachRolePolicy's answer. When the
/// role exists already it logs "  **Alert** <IAM's error>" and returns
/// nullopt without attaching anything: an existing role is taken to be
/// complete. Other refusals of CreateRole are passed over and the policy is
/// attached all the same. Failures of AttachRolePolicy, and failures of
/// CreateRole that are not IAM's answer, are thrown.
std::optional<aws::IamResponse> createEc2Role(const aws::IamClient& iam_client,
                                              const std::string& policy_arn);

/// Creates the instance profile "corvanta-test-ec2-instance-profile" (tagged
/// Name = corvanta-test-ec2) and adds the role to it. When it exists already
/// it logs "  **Alert** <IAM's error>" and returns without adding the role.
/// Other refusals of CreateInstanceProfile are passed over. Failures of
/// AddRoleToInstanceProfile, and failures of CreateInstanceProfile that are
/// not IAM's answer, are thrown.
void createInstanceProfile(const aws::IamClient& iam_client);

/// Removes the role from the instance profile, deletes the profile, then
/// (only when exactly one attached policy of the account has the policy's
/// name) detaches and deletes the policy and deletes the role. Failures of
/// the first two steps are logged as "  **Error** ", reported on standard
/// error and passed over; the first failure of the later steps is thrown
/// and ends the call.
void deleteInstanceProfile(const aws::IamClient& iam_client);

}  // namespace probefleet
