#pragma once
// Deploying a whole test configuration: the resources every test instance
// of the run shares are prepared once on the calling thread, then one worker
// thread per entry brings its entry to the deployed state, and after all of
// them have ended the output test configuration is written.

#include <string>

#include "aws/base/clock.h"
#include "aws/base/environment.h"
#include "aws/services/ec2.h"
#include "aws/services/iam.h"
#include "aws/services/s3.h"
#include "probefleet/core/launch_plan.h"
#include "probefleet/core/options.h"

namespace probefleet {

/// Deploys the entries of args.test_config. On the calling thread: the VPC
/// of the first entry's gw_subnet_id, its two security groups (the address
/// lookup of the instance group reads `env`), the key pair (unless
/// args.key_name names one; `s3_client` takes its private key when
/// args.s3_bucket is given) and, with args.ec2_role "default", the policy,
/// role and instance profile. Then one thread per entry runs createEc2 (an
/// entry whose private_subnet_id is empty is logged as skipped and gets
/// none), pausing through `clock` and the clients' clocks, and all are
/// joined. Last, the whole configuration, with the addresses the workers
/// recorded, is written to args.output_test_config (atomically), or, when
/// that option is absent, the write is skipped with an info line.
///
/// A worker that ends by a failure ends alone: the failure is logged and
/// reported on standard error, and the run is marked failed
/// (testlib::AppExitStatus). Outside a dry run, an entry left without
/// ec2_ip or ec2_2nd_private_ip marks the run failed as well. Failures of
/// the preparation (an unusable test configuration, testlib::ExitRequest
/// from the VPC, group or key steps, IAM failures) and of the output write
/// (TestConfigError) are thrown, the first before any worker exists.
void deployEc2s(const aws::Ec2Client& ec2_client, const aws::S3Client* s3_client,
                const aws::IamClient& iam_client, const std::string& ami, const Args& args,
                aws::Clock& clock = *aws::systemClock(),
                const aws::Environment& env = *aws::processEnvironment());

/// The same, with what the preflight learnt (`plan`): each entry that
/// launches uses the first type of the plan its zone offers (and falls over
/// once to the next, see createEc2), from that type's image. Before anything
/// is made, and after the fleet's lookup (so that what stands takes
/// nothing): an entry whose zone offers none of the types, or whose new
/// instance or second interface does not fit in its subnets' free addresses
/// (configuration order), is refused and the others go on; then the new
/// instances' vCPUs are held against the quota, and each kind of create is
/// sent once as a dry run (create_dry_runs.h). A problem there refuses the
/// whole deployment, logged, with nothing made. The subnets come from the
/// plan, and are only asked for when it has none.
void deployEc2s(const aws::Ec2Client& ec2_client, const aws::S3Client* s3_client,
                const aws::IamClient& iam_client, const LaunchPlan& plan, const Args& args,
                aws::Clock& clock = *aws::systemClock(),
                const aws::Environment& env = *aws::processEnvironment());

}  // namespace probefleet
