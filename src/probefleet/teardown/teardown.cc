#include "probefleet/teardown/teardown.h"

#include <exception>
#include <map>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "aws/base/interrupt.h"
#include "probefleet/resources/eip.h"
#include "probefleet/core/failure_report.h"
#include "probefleet/resources/fleet_lookup.h"
#include "probefleet/resources/fleet_watch.h"
#include "probefleet/teardown/instance_delete.h"
#include "probefleet/resources/interfaces.h"
#include "probefleet/resources/keypairs.h"
#include "probefleet/resources/network.h"
#include "probefleet/core/patience.h"
#include "probefleet/core/story.h"
#include "probefleet/config/test_config.h"
#include "testlib/app_exit_status.h"
#include "testlib/common.h"

namespace probefleet {

namespace {

// One worker's whole life: no failure may leave the thread (that would end
// the process), so each is reported and marks the run failed instead.
void deleteEc2Worker(const DeleteEc2Params& params) noexcept {
  const std::string& subnet_id = params.subnet_id;
  try {
    deleteEc2(params);
    if (params.args.revert) RunStory::get().entryRemoved(subnet_id, true);
    return;
  } catch (const aws::Interrupted& stop) {
    testlib::logger()->error("  **Error** teardown worker for " + subnet_id +
                             " stopped: " + stop.what());
  } catch (const std::exception& failure) {
    testlib::logger()->error("  **Error** teardown worker for " + subnet_id +
                             " failed: " + failure.what());
    if (params.args.revert) RunStory::get().entryError(subnet_id, failure.what());
    reportFailure(failure);
  } catch (...) {
    testlib::logger()->error("  **Error** teardown worker for " + subnet_id +
                             " failed: unknown failure");
    reportFailure(std::runtime_error("unknown failure"));
  }
  if (params.args.revert) RunStory::get().entryRemoved(subnet_id, false);
  testlib::AppExitStatus::markFailed();
}

// The allocations of the Elastic IPs the found instances hold, in one look;
// nullopt (each worker then asks on its own) when that look fails.
std::optional<std::map<std::string, std::string>> allocationsOf(
    const aws::Ec2Client& ec2, const std::map<std::string, Ec2Lookup>& found) {
  std::vector<std::string> instance_ids;
  for (const auto& [subnet_id, lookup] : found) {
    for (const SubnetInstance& instance : lookup.instances) {
      if (instance.public_ip) instance_ids.push_back(instance.instance_id);
    }
  }
  if (instance_ids.empty()) return std::map<std::string, std::string>{};
  try {
    return patiently(ec2.clock(), {}, [&] { return eipAllocationsOf(ec2, instance_ids); });
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const std::exception& failure) {
    testlib::logger()->error(std::string("  **Error** cannot list the Elastic IPs: ") +
                             failure.what());
    return std::nullopt;
  }
}

// Runs deleteEc2 for every entry that has a private subnet, all at once, and
// returns when every worker has ended. A worker that cannot be started is
// reported and the others go on.
void deleteAllInstances(const aws::Ec2Client& ec2, const TestConfig& config, const Args& args) {
  std::vector<std::string> subnets;
  for (const auto& entry : config) {
    if (!entry.at("private_subnet_id").get<std::string>().empty()) {
      subnets.push_back(entry.at("gw_subnet_id").get<std::string>());
    }
  }
  // What stands in every subnet, in one look for the whole fleet.
  const auto found = patiently(ec2.clock(), {}, [&] { return getEc2s(ec2, subnets); });
  std::optional<std::map<std::string, std::string>> allocations;
  if (args.eip) allocations = allocationsOf(ec2, found);

  if (args.revert) RunStory::get().entries(subnets, {});
  FleetWatch watch(ec2, ec2.clock());
  std::vector<DeleteEc2Params> params;
  params.reserve(subnets.size());
  for (const std::string& subnet_id : subnets) {
    params.push_back({ec2, args, subnet_id, {&watch, found.at(subnet_id), allocations}});
  }
  std::vector<std::jthread> workers;
  workers.reserve(subnets.size());
  for (std::size_t i = 0; i < subnets.size(); ++i) {
    try {
      workers.emplace_back(deleteEc2Worker, std::cref(params[i]));
    } catch (const std::exception& failure) {
      testlib::logger()->error("  **Error** cannot start the teardown worker for " + subnets[i] +
                               ": " + failure.what());
      reportFailure(failure);
      testlib::AppExitStatus::markFailed();
    }
  }
  for (std::jthread& worker : workers) worker.join();
}

// What a teardown could not look at: it may still be there.
using Unchecked = std::vector<std::string>;

// A look that failed is never taken for "nothing there": what it was for is
// noted, told as left, and the run is marked failed.
template <typename Look>
void looking(const std::string& what, const std::string& vpc_id, Unchecked& unchecked,
             Look&& look) {
  try {
    look();
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const std::exception& failure) {
    testlib::logger()->error("  **Error** cannot tell whether " + what + " is left in " + vpc_id +
                             ": " + failure.what());
    reportFailure(failure);
    tell(Act::kLeave, what, "", std::string("could not check: ") + failure.what());
    unchecked.push_back(what);
    testlib::AppExitStatus::markFailed();
  }
}

void deleteGroupNamed(const aws::Ec2Client& ec2, const std::string& vpc_id,
                      const std::string& group_name, const Args& args, Unchecked& unchecked) {
  auto log = testlib::logger();
  log->info("- Delete SG " + group_name);
  looking("security group " + group_name, vpc_id, unchecked, [&] {
    const std::optional<std::string> group_id = getSgId(ec2, vpc_id, group_name);
    if (!group_id) {
      log->info("  not found");
      return;
    }
    log->info("  delete SG " + *group_id);
    deleteSG(ec2, *group_id, args);
  });
}

// Whether the VPC may be cleared: no test instance is left in it. Instances
// still shutting down (their workers gave up waiting) are waited for, since
// they let go of the groups and interfaces once terminated.
bool vpcClear(const aws::Ec2Client& ec2, const std::string& vpc_id) {
  VpcInstances left = getAllEc2InVpc(ec2, vpc_id);
  if (!left.lookup_failed && !left.instance_ids.empty() &&
      left.shutting_down.size() == left.instance_ids.size()) {
    FleetWatch watch(ec2, ec2.clock());
    for (const std::string& instance_id : left.shutting_down) {
      (void)watch.waitTerminated(instance_id, kTerminatePatience);
    }
    left = getAllEc2InVpc(ec2, vpc_id);
  }
  return !left.anyLeft();
}

}  // namespace

void terminateEc2s(const aws::Ec2Client& ec2, const aws::IamClient& /*iam*/, const Args& args,
                   const std::string& known_vpc_id) {
  const TestConfig config = readTestConfig(args.test_config, ConfigUse::kTeardown);
  RunStory::get().phase("terminating");
  deleteAllInstances(ec2, config, args);
  auto log = testlib::logger();
  if (aws::Interruption::requested()) {
    log->error("  **Error** teardown interrupted: the VPC's shared resources are kept");
    testlib::AppExitStatus::markFailed();
    return;
  }

  const std::string vpc_id =
      !known_vpc_id.empty() ? known_vpc_id
                            : getVpcId(ec2, config.at(0).at("gw_subnet_id").get<std::string>());
  if (!args.dry_run && !vpcClear(ec2, vpc_id)) {
    log->error("  **Error** test instances remain in " + vpc_id +
               ": its security groups, interfaces and key pair are kept; revert again once "
               "they are gone");
    testlib::AppExitStatus::markFailed();
    tell(Act::kLeave, "vpc resources", vpc_id,
         "security groups, interfaces, key pair: instances remain");
    return;
  }

  RunStory::get().phase("cleaning up " + vpc_id);
  Unchecked unchecked;
  deleteGroupNamed(ec2, vpc_id, kInstanceSgName, args, unchecked);
  looking("network interfaces", vpc_id, unchecked, [&] {
    for (const aws::ec2::NetworkInterface& interface : getNetworkInterfaces(ec2, vpc_id)) {
      deleteNetworkInterface(ec2, interface.network_interface_id, args, ec2.clock());
    }
  });
  deleteGroupNamed(ec2, vpc_id, kPrivateInfSgName, args, unchecked);
  deleteKeyPair(ec2, keyPairName(vpc_id), args);
  if (!unchecked.empty()) {
    std::string list;
    for (const std::string& what : unchecked) list += (list.empty() ? "" : ", ") + what;
    log->error("  **Error** could not tell whether anything is left of " + list + " in " + vpc_id +
               ": revert again once EC2 can be asked");
  }
  if (args.eip && releaseLeftoverEips(ec2, vpc_id, args, ec2.clock()) > 0) {
    testlib::AppExitStatus::markFailed();
  }
}

}  // namespace probefleet
