#pragma once
// Deleting the test instance of one launch subnet together with what was
// attached to it for the test: its second network interface and, in
// Elastic-IP runs, its Elastic IP. Works from what EC2 shows now (the
// instances tagged Name = corvanta-test-ec2 in the subnet) and deletes only
// what it finds.

#include <chrono>
#include <string>

#include "aws/services/ec2.h"
#include "probefleet/resources/fleet_watch.h"
#include "probefleet/core/options.h"

namespace probefleet {

/// How long a termination is waited for: the instance_terminated waiter's
/// 40 polls of 15 seconds.
inline constexpr std::chrono::milliseconds kTerminatePatience{600000};

/// What deleteEc2 works with.
struct DeleteEc2Params {
  const aws::Ec2Client& ec2;
  const Args& args;
  /// The launch subnet whose test instances go.
  std::string subnet_id;
  /// The fleet's shared watch and lookups; empty: this call's own.
  FleetShare fleet = {};
};

/// Deletes every live test instance of `subnet_id` (normally one; each of
/// them when an earlier run left several): first its second interface is
/// detached and deleted, then, with args.eip, the allocation of its public
/// address is looked up while it still holds it, then it is terminated and
/// waited for (in the rounds of `fleet.watch`, or of a watch of its own,
/// until EC2 lists it as terminated or no more, for kTerminatePatience),
/// and only then is its Elastic IP released. Pauses go through the client's
/// clock. `fleet.found` and `fleet.allocations`, when given, stand for this
/// call's own lookups of the subnet and of the Elastic IPs. A subnet
/// without a test instance only runs the interface steps with absent ids.
/// In a dry run nothing is changed; the steps log what they would do.
///
/// Throttling and passing failures are waited out while time remains. Throws
/// what the lookup and the termination throw after that
/// (aws::ServiceError, aws::TransportError), aws::WaiterError naming the
/// instances not terminated in time (after the addresses of the others are
/// released), EC2's failures of the Elastic IP lookup (a malformed answer
/// included) and release, and aws::Interrupted (nothing is terminated once
/// the process is interrupted). What was deleted before a failure stays
/// deleted. A public address that no Elastic IP holds is not a failure: it
/// is logged and nothing is released for it.
void deleteEc2(const DeleteEc2Params& params);

}  // namespace probefleet
