#pragma once
// Elastic IPs of test instances: allocated and associated with an
// instance's primary interface when it is created, found again by instance
// and address, and released once the instance is gone. No record of an
// address is kept between the operations; EC2 is asked again each time.

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "aws/base/clock.h"
#include "aws/services/ec2.h"
#include "probefleet/core/options.h"

namespace probefleet {

inline constexpr const char* kEipName = "corvanta-test-ec2-eip";
/// The tag naming the VPC an address was allocated for. It outlives the
/// association, so the address of an instance that has ended is still
/// found by its VPC (probefleet-sweep --vpc).
inline constexpr const char* kEipVpcTagKey = "probefleet:vpc";

/// EC2 lists no Elastic IP with that address for that instance.
class NoElasticIpFound : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The region's Elastic IP quota and the addresses the account holds there.
struct AddressQuota {
  int quota = 0;   // DescribeAccountAttributes' vpc-max-elastic-ips
  int in_use = 0;  // every address DescribeAddresses lists, associated or not
  int available() const { return quota > in_use ? quota - in_use : 0; }
};

/// Reads the quota and the addresses in use (two requests, throttling and
/// passing failures waited out through `clock`). nullopt when EC2 names no
/// quota; EC2's other failures are thrown.
std::optional<AddressQuota> addressQuota(const aws::Ec2Client& ec2, aws::Clock& clock);

/// The AllocateAddress request of an Elastic IP for a test instance in
/// `vpc_id`, with its Name, the user's tags and kEipVpcTagKey = `vpc_id`
/// (ours replaces a user's pair of that key; left out when `vpc_id` is
/// empty or the resource's 50 tags are taken); the same request serves the
/// allocation and its dry run.
aws::ec2::AllocateAddressRequest addressRequest(const Args& args, const std::string& vpc_id);

/// Allocates a VPC address tagged Name = corvanta-test-ec2-eip and with the
/// VPC `vpc_id` it serves (plus the user's tags when args.tag_resource is
/// given and not empty; see addressRequest) and associates it with
/// `network_interface_id`. In a dry run it only logs and tells the address it
/// would make, and sends nothing. When the allocation answer carries
/// no allocation id it logs "  **Error** fail to allocate EIP" and associates
/// nothing. Throttled or passing failures are tried again (pausing through
/// `clock`), and the association also while the new allocation is not
/// visible yet; other EC2 failures are thrown. An address allocated before
/// a failed association stays allocated (a teardown in an Elastic-IP run
/// releases it).
void associateEIP(const aws::Ec2Client& ec2, const std::string& network_interface_id,
                  const std::string& vpc_id, const Args& args,
                  aws::Clock& clock = *aws::systemClock());

/// The allocation id of the Elastic IP `public_ip` associated with
/// `instance_id`. Throws NoElasticIpFound when EC2 lists no such address,
/// and EC2's failures (a malformed answer included) as they come.
std::string getEipAllocationId(const aws::Ec2Client& ec2, const std::string& instance_id,
                               const std::string& public_ip);

/// The Elastic IPs associated with any of `instance_ids`, in as few requests
/// as the filter allows: allocation id by public address. EC2's failures
/// are thrown.
std::map<std::string, std::string> eipAllocationsOf(const aws::Ec2Client& ec2,
                                                    const std::vector<std::string>& instance_ids);

/// Logs "- Delete EIP <address> <allocation> for <instance>" and, unless this
/// is a dry run, releases the allocation. While the address is still in use
/// (its instance still shutting down), too new to be seen, or the request
/// is throttled or fails in passing, it tries again for up to the
/// consistency budget, pausing through `clock`; NotFound for an allocation
/// EC2 no longer lists means it is gone. Other EC2 failures are thrown.
void releaseEIP(const aws::Ec2Client& ec2, const std::string& public_ip,
                const std::string& allocation_id, const std::string& instance_id, const Args& args,
                aws::Clock& clock = *aws::systemClock());

/// Releases the Elastic IPs tagged Name = corvanta-test-ec2-eip that are
/// associated with nothing: what a failed association or an interrupted
/// teardown left. An address whose kEipVpcTagKey names another VPC than
/// `vpc_id` is that VPC's (a run there may be about to associate it) and
/// stays; one without the tag (made by an older version) goes. Logs each
/// (nothing is released in a dry run). Returns the number that could not be
/// released; each such failure is logged and reported on standard error.
/// EC2's failure to list them is thrown.
int releaseLeftoverEips(const aws::Ec2Client& ec2, const std::string& vpc_id, const Args& args,
                        aws::Clock& clock);

}  // namespace probefleet
