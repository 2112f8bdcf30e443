#pragma once
// Elastic IPs of test instances: allocated and associated with an
// instance's primary interface when it is created, found again by instance
// and address, and released once the instance is gone. No record of an
// address is kept between the operations; EC2 is asked again each time.

#include <string>

#include "aws/ec2.h"
#include "probefleet/options.h"

namespace probefleet {

inline constexpr const char* kEipName = "corvanta-test-ec2-eip";

/// Allocates a VPC address tagged Name = corvanta-test-ec2-eip (plus the
/// user's tags when args.tag_resource is given and not empty) and associates
/// it with `network_interface_id`. Does not look at the dry-run flag (the
/// caller decides whether to come here). When the allocation answer carries
/// no allocation id it logs "  **Error** fail to allocate EIP" and associates
/// nothing. EC2 failures are thrown; an address allocated before a failed
/// association stays allocated.
void associateEIP(const aws::Ec2Client& ec2, const std::string& network_interface_id,
                  const Args& args);

/// The allocation id of the Elastic IP `public_ip` associated with
/// `instance_id`. Throws std::runtime_error when EC2 lists no such address,
/// and EC2's failures as they come.
std::string getEipAllocationId(const aws::Ec2Client& ec2, const std::string& instance_id,
                               const std::string& public_ip);

/// Logs "- Delete EIP <address> <allocation> for <instance>" and, unless this
/// is a dry run, releases the allocation. EC2 failures are thrown.
void releaseEIP(const aws::Ec2Client& ec2, const std::string& public_ip,
                const std::string& allocation_id, const std::string& instance_id, const Args& args);

}  // namespace probefleet
