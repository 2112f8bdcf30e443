#include "probefleet/resources/fleet_lookup.h"

#include <algorithm>
#include <exception>
#include <future>
#include <set>

#include "aws/base/interrupt.h"
#include "aws/client/error.h"
#include "probefleet/core/failure_report.h"
#include "probefleet/core/patience.h"
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

// Which of the subnets asked about the instance was found in: its own
// subnet, else the first of them an interface of its lies in.
std::string launchSubnetOf(const aws::ec2::Instance& instance,
                           const std::vector<std::string>& subnet_ids) {
  if (subnet_ids.size() == 1) return subnet_ids.front();
  const auto asked = [&](const std::string& id) {
    return std::binary_search(subnet_ids.begin(), subnet_ids.end(), id);
  };
  if (asked(instance.subnet_id)) return instance.subnet_id;
  for (const aws::ec2::NetworkInterface& interface : instance.network_interfaces) {
    if (asked(interface.subnet_id)) return interface.subnet_id;
  }
  return "";
}

}  // namespace

std::map<std::string, Ec2Lookup> getEc2s(const aws::Ec2Client& ec2,
                                         const std::vector<std::string>& subnet_ids) {
  std::map<std::string, Ec2Lookup> lookups;
  for (const std::string& subnet_id : subnet_ids) lookups[subnet_id];
  std::vector<std::string> distinct;
  for (const auto& [subnet_id, lookup] : lookups) distinct.push_back(subnet_id);

  for (std::vector<std::string>& batch : inBatches(distinct, kSubnetsPerRequest)) {
    aws::ec2::DescribeInstancesRequest request;
    request.filters = {
        kNameFilter, {"subnet-id", std::move(batch)}, {"instance-state-name", kLiveInstanceStates}};
    do {
      const auto page = ec2.describeInstances(request);
      // Instances are counted rather than reservations: one reservation may
      // hold several instances.
      for (const aws::ec2::Reservation& reservation : page.reservations) {
        for (const aws::ec2::Instance& instance : reservation.instances) {
          const std::string subnet_id = launchSubnetOf(instance, distinct);
          if (subnet_id.empty()) continue;
          lookups[subnet_id].instances.push_back(describeFromSubnet(instance, subnet_id));
        }
      }
      request.next_token = page.next_token;
    } while (!request.next_token.empty());
  }

  for (const std::string& subnet_id : distinct) {
    Ec2Lookup& lookup = lookups[subnet_id];
    if (lookup.crowded()) {
      testlib::logger()->info(std::string("  **Alert** More than one ec2 with tag Name:") +
                              kInstanceName + " found in " + subnet_id);
    } else if (lookup.instances.empty()) {
      testlib::logger()->info(std::string("  No ec2 with tag Name:") + kInstanceName +
                              " found in " + subnet_id);
    } else {
      const SubnetInstance& only = lookup.instances.front();
      lookup.instance_id = only.instance_id;
      lookup.public_ip = only.public_ip;
      lookup.private_interface = only.private_interface;
    }
  }
  return lookups;
}

std::vector<std::vector<std::string>> inBatches(const std::vector<std::string>& ids,
                                                std::size_t size) {
  std::vector<std::vector<std::string>> batches;
  for (std::size_t at = 0; at < ids.size(); at += size) {
    const auto end = ids.begin() + static_cast<std::ptrdiff_t>(std::min(ids.size(), at + size));
    batches.emplace_back(ids.begin() + static_cast<std::ptrdiff_t>(at), end);
  }
  return batches;
}

Ec2Lookup getEc2(const aws::Ec2Client& ec2, const std::string& subnet_id) {
  return getEc2s(ec2, {subnet_id}).at(subnet_id);
}

std::map<std::string, aws::ec2::Subnet> getSubnets(const aws::Ec2Client& ec2,
                                                   const std::vector<std::string>& subnet_ids) {
  const std::set<std::string> distinct_set(subnet_ids.begin(), subnet_ids.end());
  const std::vector<std::string> distinct(distinct_set.begin(), distinct_set.end());
  std::map<std::string, aws::ec2::Subnet> subnets;
  for (std::vector<std::string>& batch : inBatches(distinct, kSubnetsPerRequest)) {
    // A filter rather than SubnetIds: one unknown id would fail the request.
    aws::ec2::DescribeSubnetsRequest request;
    request.filters = {{"subnet-id", std::move(batch)}};
    do {
      const auto page = ec2.describeSubnets(request);
      for (const aws::ec2::Subnet& subnet : page.subnets) subnets[subnet.subnet_id] = subnet;
      request.next_token = page.next_token;
    } while (!request.next_token.empty());
  }
  return subnets;
}

VpcInstances getAllEc2InVpc(const aws::Ec2Client& ec2, const std::string& vpc_id) {
  aws::ec2::DescribeInstancesRequest request;
  request.filters = {
      kNameFilter, {"vpc-id", {vpc_id}}, {"instance-state-name", kAliveInstanceStates}};
  VpcInstances result;
  try {
    const auto answer = patiently(ec2.clock(), {}, [&] { return ec2.describeInstances(request); });
    for (const aws::ec2::Reservation& reservation : answer.reservations) {
      for (const aws::ec2::Instance& instance : reservation.instances) {
        result.instance_ids.push_back(instance.instance_id);
        if (instance.state_name == "shutting-down") {
          result.shutting_down.push_back(instance.instance_id);
        }
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

bool anyInstanceOfOurs(const aws::Ec2Client& ec2) {
  aws::ec2::DescribeInstancesRequest request;
  request.filters = {kNameFilter, {"instance-state-name", kAliveInstanceStates}};
  request.max_results = 5;
  const auto page = patiently(ec2.clock(), {}, [&] { return ec2.describeInstances(request); });
  for (const auto& reservation : page.reservations) {
    if (!reservation.instances.empty()) return true;
  }
  return !page.next_token.empty();
}

AccountInstances instancesOfOursAnywhere(const aws::Ec2Client& ec2, const RegionalEc2& open,
                                         bool own_region) {
  const std::string& home = ec2.config().region;
  AccountInstances found;
  try {
    if (own_region && anyInstanceOfOurs(ec2)) {
      found.region = home;
      return found;
    }
    const auto regions = patiently(ec2.clock(), {}, [&] { return ec2.describeRegions(); });
    std::vector<aws::ClientConfig> others;
    for (const std::string& region : regions) {
      if (region != home) others.push_back(open(region));
    }
    // The regions are asked a batch at a time, all of a batch at once: a
    // revert waits for one answer per batch, not one per region.
    constexpr std::size_t kRegionsAtOnce = 16;
    for (std::size_t first = 0; first < others.size(); first += kRegionsAtOnce) {
      std::vector<std::future<bool>> answers;
      for (std::size_t i = first; i < std::min(others.size(), first + kRegionsAtOnce); ++i) {
        answers.push_back(std::async(std::launch::async, [config = others[i]] {
          try {
            return anyInstanceOfOurs(aws::Ec2Client(config));
          } catch (const aws::ServiceError& error) {
            // What AWS answers in a region the account has not enabled.
            if (error.code() == "AuthFailure") return false;
            throw;
          }
        }));
      }
      for (std::size_t i = 0; i < answers.size(); ++i) {
        if (answers[i].get() && found.region.empty()) found.region = others[first + i].region;
      }
      if (!found.region.empty()) return found;
    }
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const std::exception& failure) {
    found.unknown = failure.what();
  }
  return found;
}

}  // namespace probefleet
