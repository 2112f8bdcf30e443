#include "probefleet/resources/eip.h"

#include <algorithm>
#include <exception>

#include "aws/base/interrupt.h"
#include "aws/client/error.h"
#include "probefleet/core/failure_report.h"
#include "probefleet/resources/fleet_watch.h"
#include "probefleet/core/patience.h"
#include "probefleet/core/story.h"
#include "probefleet/resources/tags.h"
#include "testlib/common.h"

namespace probefleet {

namespace {

// Whether EC2 lists the allocation when asked by filter, which a new id's
// NotFound does not affect.
bool allocationListed(const aws::Ec2Client& ec2, const std::string& allocation_id) {
  aws::ec2::DescribeAddressesRequest request;
  request.filters = {{"allocation-id", {allocation_id}}};
  return !ec2.describeAddresses(request).empty();
}

}  // namespace

std::optional<AddressQuota> addressQuota(const aws::Ec2Client& ec2, aws::Clock& clock) {
  const auto attributes =
      patiently(clock, {}, [&] { return ec2.describeAccountAttributes({"vpc-max-elastic-ips"}); });
  const auto quota = attributes.find("vpc-max-elastic-ips");
  if (quota == attributes.end() || quota->second.empty()) return std::nullopt;
  AddressQuota result;
  try {
    result.quota = std::stoi(quota->second.front());
  } catch (const std::exception&) {
    return std::nullopt;
  }
  result.in_use =
      static_cast<int>(patiently(clock, {}, [&] { return ec2.describeAddresses({}); }).size());
  return result;
}

aws::ec2::AllocateAddressRequest addressRequest(const Args& args, const std::string& vpc_id) {
  aws::ec2::AllocateAddressRequest request;
  request.domain = "vpc";
  aws::ec2::TagSpecification tags{"elastic-ip", {{"Name", kEipName}}};
  if (given(args.tag_resource)) populateTags(tags.tags, *args.tag_resource);
  // An address without its VPC is only region-wide to a sweep; that is
  // better than an allocation EC2 refuses for a 51st tag or a key twice.
  std::erase_if(tags.tags, [](const aws::ec2::Tag& tag) { return tag.key == kEipVpcTagKey; });
  constexpr std::size_t kMaxTags = 50;
  if (!vpc_id.empty() && tags.tags.size() < kMaxTags) tags.tags.push_back({kEipVpcTagKey, vpc_id});
  request.tag_specifications = {tags};
  return request;
}

void associateEIP(const aws::Ec2Client& ec2, const std::string& network_interface_id,
                  const std::string& vpc_id, const Args& args, aws::Clock& clock) {
  testlib::logger()->info("- Allocate EIP");
  if (args.dry_run) {
    testlib::logger()->info("  dry run: an EIP would be allocated and associated with " +
                            network_interface_id);
    tell(Act::kCreate, "elastic ip", "", "for " + network_interface_id);
    return;
  }
  const aws::ec2::AllocateAddressRequest request = addressRequest(args, vpc_id);

  const aws::ec2::AllocateAddressResult allocation =
      patiently(clock, {}, [&] { return ec2.allocateAddress(request); });
  if (allocation.allocation_id.empty()) {
    testlib::logger()->info("  **Error** fail to allocate EIP");
    return;
  }
  testlib::logger()->info("  allocated EIP " + allocation.public_ip + " " +
                          allocation.allocation_id);
  aws::ec2::AssociateAddressRequest associate;
  associate.allocation_id = allocation.allocation_id;
  associate.network_interface_id = network_interface_id;
  tell(Act::kCreate, "elastic ip", allocation.allocation_id, allocation.public_ip);
  patiently(clock, {kConsistencyBudget, {"InvalidAllocationID.NotFound"}},
            [&] { ec2.associateAddress(associate); });
}

std::string getEipAllocationId(const aws::Ec2Client& ec2, const std::string& instance_id,
                               const std::string& public_ip) {
  aws::ec2::DescribeAddressesRequest request;
  request.filters = {{"instance-id", {instance_id}}};
  request.public_ips = {public_ip};
  const auto addresses = ec2.describeAddresses(request);
  if (addresses.empty() || addresses.front().allocation_id.empty()) {
    throw NoElasticIpFound("no Elastic IP " + public_ip + " is associated with " + instance_id);
  }
  return addresses.front().allocation_id;
}

std::map<std::string, std::string> eipAllocationsOf(const aws::Ec2Client& ec2,
                                                    const std::vector<std::string>& instance_ids) {
  std::map<std::string, std::string> allocations;
  for (std::vector<std::string>& batch : inBatches(instance_ids, kIdsPerRequest)) {
    aws::ec2::DescribeAddressesRequest request;
    request.filters = {{"instance-id", std::move(batch)}};
    for (const aws::ec2::Address& address : ec2.describeAddresses(request)) {
      if (!address.allocation_id.empty() && !address.public_ip.empty()) {
        allocations[address.public_ip] = address.allocation_id;
      }
    }
  }
  return allocations;
}

void releaseEIP(const aws::Ec2Client& ec2, const std::string& public_ip,
                const std::string& allocation_id, const std::string& instance_id, const Args& args,
                aws::Clock& clock) {
  testlib::logger()->info("- Delete EIP " + public_ip + " " + allocation_id + " for " +
                          instance_id);
  if (args.dry_run) {
    tell(Act::kDelete, "elastic ip", allocation_id, public_ip);
    return;
  }
  aws::ec2::ReleaseAddressRequest request;
  request.allocation_id = allocation_id;
  patiently(clock, {kConsistencyBudget, {"InvalidIPAddress.InUse", "InvalidAllocationID.NotFound"}},
            [&] {
              try {
                ec2.releaseAddress(request);
              } catch (const aws::ServiceError& error) {
                if (error.code() != "InvalidAllocationID.NotFound" ||
                    allocationListed(ec2, allocation_id)) {
                  throw;
                }
              }
            });
  tell(Act::kDelete, "elastic ip", allocation_id, public_ip);
}

int releaseLeftoverEips(const aws::Ec2Client& ec2, const std::string& vpc_id, const Args& args,
                        aws::Clock& clock) {
  aws::ec2::DescribeAddressesRequest request;
  request.filters = {{"tag:Name", {kEipName}}};
  const auto addresses = patiently(clock, {}, [&] { return ec2.describeAddresses(request); });
  int failed = 0;
  for (const aws::ec2::Address& address : addresses) {
    if (!address.association_id.empty() || !address.instance_id.empty() ||
        !address.network_interface_id.empty() || address.allocation_id.empty()) {
      continue;
    }
    const auto vpc_tag = std::find_if(address.tags.begin(), address.tags.end(),
                                      [](const aws::ec2::Tag& tag) { return tag.key == kEipVpcTagKey; });
    if (vpc_tag != address.tags.end() && vpc_tag->value != vpc_id) continue;
    try {
      releaseEIP(ec2, address.public_ip, address.allocation_id, "nothing (left over)", args, clock);
    } catch (const aws::Interrupted&) {
      throw;
    } catch (const std::exception& failure) {
      testlib::logger()->error("  **Error** cannot release EIP " + address.public_ip + " " +
                               address.allocation_id + ": " + failure.what());
      reportFailure(failure);
      tell(Act::kLeave, "elastic ip", address.allocation_id, failure.what());
      ++failed;
    }
  }
  return failed;
}

}  // namespace probefleet
