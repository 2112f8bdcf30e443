#pragma once
// The read-only questions a deployment asks the account before its first
// change, so that what EC2 would refuse at launch is known beforehand: which
// zones offer which of the wanted instance types and which image each needs,
// the EBS default key, the vCPU quota, and the account settings that make a
// launch useless without refusing it (Allowed AMIs, VPC Block Public Access,
// a launch subnet without a way to S3). Each answers with findings; none
// throws but aws::Interrupted.

#include <functional>
#include <string>
#include <vector>

#include "aws/services/ec2.h"
#include "aws/services/kms.h"
#include "aws/services/service_quotas.h"
#include "probefleet/core/launch_plan.h"

namespace probefleet {

/// One finding of a check.
struct Finding {
  enum class Level { kOk, kWarning, kProblem } level = Level::kOk;
  std::string subject;  // what it concerns: "instance types", "EBS default key", ...
  std::string text;     // what was found, or what is wrong, with AWS's words
};
using Findings = std::vector<Finding>;

/// Tells a finding to the log ("  " for ok, "  **Alert** " for a warning,
/// "  **Error** " for a problem, each with its subject) and to the run story.
void tellFinding(const Finding& finding);

/// The failure in a line: AWS's code and message, or what kept the answer away.
std::string failureText(const std::exception& failure);

/// Runs `step`; a failure becomes a finding of `subject` at `level`
/// ("cannot check: ..."), and false. aws::Interrupted is thrown.
bool attempt(Findings& findings, Finding::Level level, const std::string& subject,
             const std::function<void()>& step);

/// The instance types of `types` (DescribeInstanceTypes, one request): each
/// one's architecture and vCPUs; then the newest image of `image_pattern` for
/// each architecture among them (one DescribeImages per architecture), kept
/// to images the account's Allowed AMIs setting (`allowed_images_state`:
/// "enabled", "audit-mode", "disabled" or "" when not known) lets it use. A
/// type EC2 does not know, or whose architecture has no image, drops out of
/// `plan.types` with a warning; none left is a problem.
Findings planTypesAndImages(const aws::Ec2Client& ec2, const std::vector<std::string>& types,
                            const std::string& image_pattern,
                            const std::string& allowed_images_state, LaunchPlan& plan);

/// The account's Allowed AMIs state ("disabled", "audit-mode", "enabled"),
/// "" when it cannot be read (a warning).
std::string allowedImagesState(const aws::Ec2Client& ec2, Findings& findings);

/// Which of `types` each of `zones` offers (one DescribeInstanceTypeOfferings
/// with location type availability-zone, filtered by both; all pages), into
/// `plan.offered`. When the offerings cannot be read, a warning and
/// `plan.offered` stays nullopt.
Findings readOfferings(const aws::Ec2Client& ec2, const std::vector<std::string>& zones,
                       const std::vector<std::string>& types, LaunchPlan& plan);

/// The EBS default key: with encryption by default on and a customer key as
/// the default, KMS DescribeKey must find it Enabled; any other state is a
/// problem naming the key and its state. AccessDenied from KMS is a
/// warning: many roles may launch with a key they may not describe.
Findings checkEbsDefaultKey(const aws::Ec2Client& ec2, const aws::KmsClient* kms);

/// The vCPU quota of On-Demand Standard instances (Service Quotas, ec2,
/// L-1216C47A) and the vCPUs of the standard-family instances running or
/// pending in the region, into `plan`. A quota that cannot be read is a
/// warning.
Findings readVcpuQuota(const aws::Ec2Client& ec2, const aws::ServiceQuotasClient* quotas,
                       LaunchPlan& plan);

/// VPC Block Public Access: a warning naming the launch subnets of `vpc_id`
/// whose ingress it blocks (no allow-bidirectional exclusion of the VPC or
/// the subnet), since their public addresses will not be reachable.
Findings checkBlockPublicAccess(const aws::Ec2Client& ec2, const std::string& vpc_id,
                                const std::vector<std::string>& launch_subnets);

/// With a run tag the instances send their results to S3: a warning naming
/// the launch subnets whose route table (their own, or the VPC's main one)
/// has neither a default route to an internet, NAT or transit gateway nor a
/// gateway endpoint's route.
Findings checkRoutesToS3(const aws::Ec2Client& ec2, const std::string& vpc_id,
                         const std::vector<std::string>& launch_subnets);

/// The On-Demand Standard instances quota's code in Service Quotas.
inline constexpr const char* kStandardVcpuQuotaCode = "L-1216C47A";

}  // namespace probefleet
