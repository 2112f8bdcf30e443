#pragma once
// What a run checks before its first change, with read-only requests only:
// the credentials, the subnets and their VPC, and for a deployment also the
// bucket, the instance types each zone offers and their images, a named
// instance role, the EBS default key, the vCPU quota and the account settings
// that make launches useless. Every problem is found and reported at once, so
// that a run that cannot succeed stops before it leaves a half-made
// deployment; what only may go wrong is a warning.

#include <string>
#include <vector>

#include "aws/services/ec2.h"
#include "aws/services/iam.h"
#include "aws/services/kms.h"
#include "aws/services/s3.h"
#include "aws/services/service_quotas.h"
#include "aws/services/sts.h"
#include "probefleet/guard/account_checks.h"
#include "probefleet/core/launch_plan.h"
#include "probefleet/core/options.h"
#include "probefleet/config/test_config.h"

namespace probefleet {

/// The clients the checks use; `s3` may be null (no bucket, or a revert),
/// `kms` and `quotas` too (their checks are then left out).
struct PreflightClients {
  const aws::StsClient& sts;
  const aws::Ec2Client& ec2;
  const aws::IamClient& iam;
  const aws::S3Client* s3 = nullptr;
  const aws::KmsClient* kms = nullptr;
  const aws::ServiceQuotasClient* quotas = nullptr;
};

/// What the checks found.
struct PreflightReport {
  std::string account;    // GetCallerIdentity's account; "" when not had
  std::string partition;  // of the caller's ARN ("aws", "aws-us-gov", ...)
  std::string vpc_id;     // the one VPC of the subnets; "" when not one
  std::string image_id;   // the image of the first usable type; "" otherwise
  /// What a deployment launches: types, images, offerings, subnets, quota.
  LaunchPlan plan;
  /// What may go wrong without stopping the run.
  std::vector<std::string> warnings;
  /// Every problem, each naming what it concerns (bucket, subnet, VPC,
  /// image, role, credentials). Empty when the run may go on.
  std::vector<std::string> problems;
  bool ok() const { return problems.empty(); }
};

/// Runs the checks that apply: for every run the credentials (one
/// GetCallerIdentity) and the subnets of `document` (one DescribeSubnets per
/// 100, which must all exist and lie in one VPC); for a deployment also, all
/// at once: the bucket (HeadBucket, with --s3_bucket; only a 404 is a
/// problem), the instance types of --instance_type with their images (one
/// per architecture) and the zones that offer them, with --ec2_role NAME
/// that the role exists and has an instance profile, the EBS default key,
/// the vCPU quota, Allowed AMIs, VPC Block Public Access and, with a run
/// tag, the launch subnets' routes to S3 (see account_checks.h). When the
/// credentials fail nothing else is asked: every other check would fail
/// alike. Each finding is told to the run story and the log in a fixed
/// order. Only aws::Interrupted is thrown.
PreflightReport preflight(const PreflightClients& clients, const Args& args,
                          const TestConfig& document);

}  // namespace probefleet
