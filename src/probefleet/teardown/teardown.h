#pragma once
// Reverting a deployment: the test instances of every entry of the test
// configuration are deleted at the same time, one worker thread per entry,
// and once all of them have ended, and only when no test instance is left
// in the VPC, the resources the whole VPC shared are removed: the instance
// security group, the leftover test interfaces, the private-interface
// security group and the VPC's key pair. IAM resources are not touched.

#include <string>

#include "aws/services/ec2.h"
#include "aws/services/iam.h"
#include "probefleet/core/options.h"

namespace probefleet {

/// Tears down the deployment of the test configuration in args.test_config.
///
/// Every entry with a non-empty private_subnet_id gets a worker thread that
/// runs deleteEc2 for its gw_subnet_id; all run at once and are joined. A
/// worker that ends by a failure reports it (log line naming the subnet,
/// then kind, message and call trace on standard error), marks the run
/// failed (testlib::AppExitStatus) and ends that worker only; the others
/// finish and the teardown goes on.
///
/// Then, in the VPC of the first entry's gw_subnet_id: when test instances
/// remain there, or they could not be listed, nothing shared is deleted
/// (outside a dry run). Otherwise the groups, leftover interfaces and key
/// pair are deleted in that order; in a dry run each step only logs. A
/// group or the interfaces that could not be looked up are never taken for
/// gone: each is logged and told as left ("could not check"), the run is
/// marked failed, and a closing error line names them.
///
/// Throws probefleet::TestConfigError when the test configuration cannot be
/// used, testlib::ExitRequest when the VPC of the first entry cannot be
/// found, aws::Interrupted, and what the lookup of the key pair throws. Waits
/// pause through the EC2 client's clock. `iam` is not used: nothing of IAM
/// is deleted per entry. `vpc_id` is the VPC the preflight found the subnets
/// in; when empty, EC2 is asked for the first entry's.
void terminateEc2s(const aws::Ec2Client& ec2, const aws::IamClient& iam, const Args& args,
                   const std::string& vpc_id = {});

}  // namespace probefleet
