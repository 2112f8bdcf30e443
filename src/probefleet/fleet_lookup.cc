#include "probefleet/fleet_lookup.h"

#include <exception>

#include "probefleet/failure_report.h"
#include "testlib/app_exit_status.h"
#include "testlib/common.h"

namespace probefleet {

namespace {

const aws::ec2::Filter kNameFilter{"tag:Name", {kInstanceName}};

SubnetInstance describeFromSubnet(const aws::ec2::Instance& instance,
                                  const std::string& subnet_id) {
  SubnetInstance found{instance.instance_id, std::nullopt, std::nullopt};
  std::vector<std::string> public_ips;
  for (const aws::ec2::NetworkInterface& interface : instance.network_interfaces) {
    if (interface.subnet_id == subnet_id) {
      if (interface.association && !interface.association->public_ip.empty()) {
        public_ips.push_back(interface.association->public_ip);
      }
    } else if (!found.private_interface) {
      found.private_interface = interface;
    }
  }
  if (public_ips.size() == 1) found.public_ip = public_ips.front();
  return found;
}

}  // namespace

Ec2Lookup getEc2(const aws::Ec2Client& ec2, const std::string& subnet_id) {
  aws::ec2::DescribeInstancesRequest request;
  request.filters = {
      kNameFilter, {"subnet-id", {subnet_id}}, {"instance-state-name", kLiveInstanceStates}};
  const auto answer = ec2.describeInstances(request);

  // Instances are counted rather than reservations: one reservation may hold
  // several instances.
  Ec2Lookup lookup;
  for (const aws::ec2::Reservation& reservation : answer.reservations) {
    for (const aws::ec2::Instance& instance : reservation.instances) {
      lookup.instances.push_back(describeFromSubnet(instance, subnet_id));
    }
  }

  if (lookup.crowded()) {
    testlib::logger()->info(std::string("  **Alert** More than one ec2 with tag Name:") +
                            kInstanceName + " found in " + subnet_id);
  } else if (lookup.instances.empty()) {
    testlib::logger()->info(std::string("  No ec2 with tag Name:") + kInstanceName + " found in " +
                            subnet_id);
  } else {
    const SubnetInstance& only = lookup.instances.front();
    lookup.instance_id = only.instance_id;
    lookup.public_ip = only.public_ip;
    lookup.private_interface = only.private_interface;
  }
  return lookup;
}

VpcInstances getAllEc2InVpc(const aws::Ec2Client& ec2, const std::string& vpc_id) {
  aws::ec2::DescribeInstancesRequest request;
  request.filters = {kNameFilter,
                     {"vpc-id", {vpc_id}},
                     {"instance-state-name", {"running", "stopped", "stopping"}}};
  VpcInstances result;
  try {
    const auto answer = ec2.describeInstances(request);
    for (const aws::ec2::Reservation& reservation : answer.reservations) {
      for (const aws::ec2::Instance& instance : reservation.instances) {
        result.instance_ids.push_back(instance.instance_id);
      }
    }
  } catch (const std::exception& failure) {
    // Nothing is known about the VPC: it is taken to still hold instances so
    // that nothing they may use is deleted on a guess.
    testlib::logger()->error(std::string("  **Error** cannot list ec2 with tag Name:") +
                             kInstanceName + " in " + vpc_id + ": " + failure.what());
    reportFailure(failure);
    testlib::AppExitStatus::markFailed();
    result.lookup_failed = true;
    return result;
  }
  if (!result.instance_ids.empty()) {
    testlib::logger()->info(std::string("  **Alert** More than one ec2 with tag Name:") +
                            kInstanceName + " found in " + vpc_id);
  }
  return result;
}

}  // namespace probefleet
