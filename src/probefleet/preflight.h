#pragma once
// What a run checks before its first change, with read-only requests only:
// the credentials, the bucket, the subnets and their VPC, the image and a
// named instance role. Every problem is found and reported at once, so that
// a run that cannot succeed stops before it leaves a half-made deployment.

#include <string>
#include <vector>

#include "aws/services/ec2.h"
#include "aws/services/iam.h"
#include "aws/services/s3.h"
#include "aws/services/sts.h"
#include "probefleet/options.h"
#include "probefleet/test_config.h"

namespace probefleet {

/// The clients the checks use; `s3` may be null (no bucket, or a revert).
struct PreflightClients {
  const aws::StsClient& sts;
  const aws::Ec2Client& ec2;
  const aws::IamClient& iam;
  const aws::S3Client* s3 = nullptr;
};

/// What the checks found.
struct PreflightReport {
  std::string account;    // GetCallerIdentity's account; "" when not had
  std::string partition;  // of the caller's ARN ("aws", "aws-us-gov", ...)
  std::string vpc_id;     // the one VPC of the subnets; "" when not one
  std::string image_id;   // the image a deployment launches; "" otherwise
  /// Every problem, each naming what it concerns (bucket, subnet, VPC,
  /// image, role, credentials). Empty when the run may go on.
  std::vector<std::string> problems;
  bool ok() const { return problems.empty(); }
};

/// Runs the checks that apply: for every run the credentials (one
/// GetCallerIdentity) and the subnets of `document` (one DescribeSubnets per
/// 100, which must all exist and lie in one VPC); for a deployment also the
/// bucket (HeadBucket, with --s3_bucket), the image (the lookup the
/// deployment launches from) and, with --ec2_role NAME, that the role
/// exists and has an instance profile. When the credentials fail nothing
/// else is asked: every other check would fail alike. Each finding is told
/// to the run story. Only aws::Interrupted is thrown.
PreflightReport preflight(const PreflightClients& clients, const Args& args,
                          const TestConfig& document);

}  // namespace probefleet
