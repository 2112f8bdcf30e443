#pragma once
// Finding the test instances earlier runs left behind. A test instance is
// known only by its tag Name = "corvanta-test-ec2"; nothing else about it is
// remembered between runs. Both lookups are read-only, keep no state and may
// run on any thread with the run's shared EC2 client.

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "aws/services/ec2.h"

namespace probefleet {

inline constexpr const char* kInstanceName = "corvanta-test-ec2";

/// The states in which a test instance still stands in its subnet. A
/// terminated (or shutting-down) instance stays listed by EC2 for about an
/// hour; it is gone as far as a deployment or a teardown is concerned.
inline const std::vector<std::string> kLiveInstanceStates = {"pending", "running", "stopping",
                                                             "stopped"};
/// The states in which a test instance may still use what the VPC shares
/// (its groups, its interfaces, the key pair): every state but terminated.
/// One shutting down still holds its interfaces and groups.
inline const std::vector<std::string> kAliveInstanceStates = {"pending", "running", "shutting-down",
                                                              "stopping", "stopped"};
/// Subnets per lookup request (a filter takes at most 200 values).
inline constexpr std::size_t kSubnetsPerRequest = 100;

/// `ids` in batches of at most `size` (> 0) each, in order: one request's
/// worth of filter values per batch.
std::vector<std::vector<std::string>> inBatches(const std::vector<std::string>& ids,
                                                std::size_t size);

/// One test instance as seen from its launch subnet.
struct SubnetInstance {
  std::string instance_id;
  /// PublicIp of the association of the instance's interface in the subnet;
  /// absent when no interface there has a public address, or when several
  /// have one (no single answer).
  std::optional<std::string> public_ip;
  /// The first of the instance's interfaces that lies in another subnet
  /// (its secondary interface), as DescribeInstances returns it; absent when
  /// every interface lies in the subnet.
  std::optional<aws::ec2::NetworkInterface> private_interface;
};

/// What getEc2 found in a subnet.
///
/// The first three members are the subnet's single test instance: all three
/// absent when the subnet holds no live test instance, or more than one.
/// `instances` lists every live test instance found, in the order EC2 listed
/// them; when it holds more than one (crowded()), the subnet must not be
/// taken as empty: a deployment launches nothing there and marks its entry
/// failed, and a teardown deletes each of them.
struct Ec2Lookup {
  std::optional<std::string> instance_id;
  std::optional<std::string> public_ip;
  std::optional<aws::ec2::NetworkInterface> private_interface;
  std::vector<SubnetInstance> instances;

  /// True when more than one live test instance stands in the subnet.
  bool crowded() const { return instances.size() > 1; }
};

/// The live test instances of `subnet_id` (pending, running, stopping or
/// stopped; see Ec2Lookup). Logs "  **Alert** More than one ec2 with tag
/// Name:corvanta-test-ec2 found in <subnet>" when there are several, and
/// "  No ec2 with tag Name:corvanta-test-ec2 found in <subnet>" when there is
/// none. EC2 failures (aws::ServiceError, aws::TransportError) are thrown to
/// the caller.
Ec2Lookup getEc2(const aws::Ec2Client& ec2, const std::string& subnet_id);

/// getEc2 for many subnets at once, in one request per kSubnetsPerRequest
/// subnets (all pages read): the lookup of each distinct subnet, logged as
/// getEc2 logs it, in subnet order. EC2 failures are thrown.
std::map<std::string, Ec2Lookup> getEc2s(const aws::Ec2Client& ec2,
                                         const std::vector<std::string>& subnet_ids);

/// The subnets of `subnet_ids` that EC2 lists, by id, in one request per
/// kSubnetsPerRequest distinct ids (all pages read). An id EC2 does not know
/// is simply absent. EC2 failures are thrown.
std::map<std::string, aws::ec2::Subnet> getSubnets(const aws::Ec2Client& ec2,
                                                   const std::vector<std::string>& subnet_ids);

/// What getAllEc2InVpc found in a VPC.
struct VpcInstances {
  /// Test instances in any state but terminated (kAliveInstanceStates), in
  /// the order EC2 listed them.
  std::vector<std::string> instance_ids;
  /// Those of instance_ids that are shutting down.
  std::vector<std::string> shutting_down;
  /// The lookup failed: nothing is known about the VPC.
  bool lookup_failed = false;

  /// True when the VPC must be taken to still hold test instances, so that
  /// nothing the instances may use is deleted: some were found, or the
  /// lookup failed.
  bool anyLeft() const { return lookup_failed || !instance_ids.empty(); }
};

/// The test instances still alive in `vpc_id`. Logs "  **Alert** More than
/// one ec2 with tag Name:corvanta-test-ec2 found in <vpc>" whenever one or
/// more are found. Throttling and passing failures are waited out. Never
/// throws: when EC2 cannot be asked all the same, it logs the
/// error, reports the failure on standard error, marks the run failed
/// (testlib::AppExitStatus) and returns a result with lookup_failed set.
VpcInstances getAllEc2InVpc(const aws::Ec2Client& ec2, const std::string& vpc_id);

/// Whether an instance of ours (not yet terminated) stands in the region of
/// `ec2`. Throttling and passing failures are waited out; others thrown.
bool anyInstanceOfOurs(const aws::Ec2Client& ec2);

/// The configuration of an EC2 client for `region`, with the credentials
/// and settings of the client it stands beside.
using RegionalEc2 = std::function<aws::ClientConfig(const std::string& region)>;

/// What a look for instances of ours over the account's regions found.
struct AccountInstances {
  std::string region;   // the first region where one stands; "" when none
  std::string unknown;  // why the look could not be finished; "" when it was
  /// True when an instance of ours may be left: one was found, or the look
  /// could not tell.
  bool anyLeft() const { return !region.empty() || !unknown.empty(); }
};

/// Looks for an instance of ours in the regions EC2 lists as enabled for
/// the account (DescribeRegions): the region of `ec2` through it (unless
/// `own_region` is false), every other through a client of `open(region)`,
/// sixteen regions at once; it stops after the batch where one is found. A region that answers AuthFailure is one
/// the account has not enabled, where no instance can stand. The account's
/// IAM role, policy and profile serve every such instance. Never throws but
/// aws::Interrupted: a failure ends the look with `unknown` set.
AccountInstances instancesOfOursAnywhere(const aws::Ec2Client& ec2, const RegionalEc2& open,
                                         bool own_region = true);

}  // namespace probefleet
