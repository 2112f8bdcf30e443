#include "probefleet/eip.h"

#include <stdexcept>

#include "probefleet/tags.h"
#include "testlib/common.h"

namespace probefleet {

void associateEIP(const aws::Ec2Client& ec2, const std::string& network_interface_id,
                  const Args& args) {
  testlib::logger()->info("- Allocate EIP");
  aws::ec2::AllocateAddressRequest request;
  request.domain = "vpc";
  aws::ec2::TagSpecification tags{"elastic-ip", {{"Name", kEipName}}};
  if (given(args.tag_resource)) populateTags(tags.tags, *args.tag_resource);
  request.tag_specifications = {tags};

  const aws::ec2::AllocateAddressResult allocation = ec2.allocateAddress(request);
  if (allocation.allocation_id.empty()) {
    testlib::logger()->info("  **Error** fail to allocate EIP");
    return;
  }
  testlib::logger()->info("  allocated EIP " + allocation.public_ip + " " +
                          allocation.allocation_id);
  aws::ec2::AssociateAddressRequest associate;
  associate.allocation_id = allocation.allocation_id;
  associate.network_interface_id = network_interface_id;
  ec2.associateAddress(associate);
}

std::string getEipAllocationId(const aws::Ec2Client& ec2, const std::string& instance_id,
                               const std::string& public_ip) {
  aws::ec2::DescribeAddressesRequest request;
  request.filters = {{"instance-id", {instance_id}}};
  request.public_ips = {public_ip};
  const auto addresses = ec2.describeAddresses(request);
  if (addresses.empty() || addresses.front().allocation_id.empty()) {
    throw std::runtime_error("no Elastic IP " + public_ip + " is associated with " + instance_id);
  }
  return addresses.front().allocation_id;
}

void releaseEIP(const aws::Ec2Client& ec2, const std::string& public_ip,
                const std::string& allocation_id, const std::string& instance_id,
                const Args& args) {
  testlib::logger()->info("- Delete EIP " + public_ip + " " + allocation_id + " for " +
                          instance_id);
  if (args.dry_run) return;
  aws::ec2::ReleaseAddressRequest request;
  request.allocation_id = allocation_id;
  ec2.releaseAddress(request);
}

}  // namespace probefleet
