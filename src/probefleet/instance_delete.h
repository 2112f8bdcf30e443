#pragma once
// Deleting the test instance of one launch subnet together with what was
// attached to it for the test: its second network interface and, in
// Elastic-IP runs, its Elastic IP. Works from what EC2 shows now (the
// instances tagged Name = corvanta-test-ec2 in the subnet) and deletes only
// what it finds.

#include <string>

#include "aws/ec2.h"
#include "aws/iam.h"
#include "probefleet/options.h"

namespace probefleet {

/// Deletes every live test instance of `subnet_id` (normally one; each of
/// them when an earlier run left several): first its second interface is
/// detached and deleted, then, with args.eip, the allocation of its public
/// address is looked up while it still holds it, then it is terminated and
/// waited for (EC2's instance_terminated waiter, pausing through the
/// client's clock), and only then is the Elastic IP released. A subnet
/// without a test instance only runs the interface steps with absent ids.
/// In a dry run nothing is changed; the steps log what they would do.
///
/// `iam` is accepted for the caller's convenience and not used.
///
/// Throws what the lookup, the termination and the wait throw
/// (aws::ServiceError, aws::TransportError, aws::WaiterError), and EC2's
/// failures of the Elastic IP lookup and release; what was deleted before a
/// failure stays deleted. A public address that no Elastic IP holds is not
/// a failure: it is logged and nothing is released for it.
void deleteEc2(const aws::Ec2Client& ec2, const aws::IamClient& iam, const std::string& subnet_id,
               const Args& args);

}  // namespace probefleet
