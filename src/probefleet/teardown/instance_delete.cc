#include "probefleet/teardown/instance_delete.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <vector>

#include "aws/base/interrupt.h"
#include "aws/client/error.h"
#include "aws/http/http.h"
#include "aws/services/ec2_waiters.h"
#include "probefleet/resources/eip.h"
#include "probefleet/resources/fleet_lookup.h"
#include "probefleet/resources/interfaces.h"
#include "probefleet/core/patience.h"
#include "probefleet/core/story.h"
#include "testlib/common.h"

namespace probefleet {

namespace {

// An instance on its way out, with the Elastic IP to release once it is gone.
struct Doomed {
  std::string instance_id;
  std::optional<std::string> public_ip;
  std::optional<std::string> allocation_id;
};

// Detaches and deletes the second interface; with no interface both calls
// only note that there is nothing to do.
void deleteSecondInterface(const aws::Ec2Client& ec2, FleetWatch& watch,
                           const std::optional<aws::ec2::NetworkInterface>& interface,
                           const std::string& instance_id, const std::string& subnet_id,
                           const Args& args) {
  std::optional<std::string> attachment_id;
  std::optional<std::string> interface_id;
  if (interface) {
    interface_id = interface->network_interface_id;
    if (interface->attachment && !interface->attachment->attachment_id.empty()) {
      attachment_id = interface->attachment->attachment_id;
    }
  }
  deleteAttachment(ec2, watch, attachment_id, instance_id, subnet_id, args, ec2.clock());
  deleteNetworkInterface(ec2, interface_id, args, ec2.clock());
}

// The allocation of the Elastic IP that holds `public_ip`, asked while the
// instance still holds the address (or taken from the fleet's one lookup).
// An address no Elastic IP holds (the subnet's own public address, left
// when an association failed) has nothing to release, and must not keep
// the instance from being terminated; any other failure, a malformed answer
// included, is passed on: taking it for "none" would leak the address.
std::optional<std::string> allocationToRelease(const aws::Ec2Client& ec2,
                                               const std::string& instance_id,
                                               const std::string& public_ip,
                                               const FleetShare& fleet) {
  const auto nothingToRelease = [&]() -> std::optional<std::string> {
    testlib::logger()->info("  **Alert** no Elastic IP holds " + public_ip + " of " + instance_id +
                            ": nothing to release");
    return std::nullopt;
  };
  if (fleet.allocations) {
    const auto found = fleet.allocations->find(public_ip);
    if (found == fleet.allocations->end()) return nothingToRelease();
    return found->second;
  }
  try {
    return patiently(ec2.clock(), {},
                     [&] { return getEipAllocationId(ec2, instance_id, public_ip); });
  } catch (const aws::ServiceError& failure) {
    // EC2's answer when the address asked for is not an Elastic IP at all.
    if (failure.code() == "InvalidAddress.NotFound") return nothingToRelease();
    throw;
  } catch (const NoElasticIpFound&) {
    return nothingToRelease();
  }
}

// Terminates the instances and waits for each; returns those still standing
// when the patience ran out. A dry run only tells what it would delete.
std::vector<std::string> terminateAll(const DeleteEc2Params& params, FleetWatch& watch,
                                      const std::vector<Doomed>& doomed) {
  const aws::Ec2Client& ec2 = params.ec2;
  const std::string& subnet_id = params.subnet_id;
  auto log = testlib::logger();
  log->info(std::string("- Delete ") + kInstanceName + " in " + subnet_id);
  std::vector<std::string> instance_ids;
  for (const Doomed& instance : doomed) {
    log->info("  terminate " + instance.instance_id + " in " + subnet_id);
    instance_ids.push_back(instance.instance_id);
  }
  std::vector<std::string> standing;
  if (params.args.dry_run) {
    for (const std::string& instance_id : instance_ids) {
      tell(Act::kDelete, "instance", instance_id, "in " + subnet_id);
    }
    return standing;
  }
  aws::Interruption::check();
  // Found by a describe, so it exists: NotFound by id only means "not yet".
  patiently(ec2.clock(), {kConsistencyBudget, {"InvalidInstanceID.NotFound"}},
            [&] { (void)ec2.terminateInstances(instance_ids); });
  for (const std::string& instance_id : instance_ids) {
    if (watch.waitTerminated(instance_id, kTerminatePatience)) {
      tell(Act::kDelete, "instance", instance_id, "in " + subnet_id);
    } else {
      standing.push_back(instance_id);
      tell(Act::kLeave, "instance", instance_id, "in " + subnet_id + ", still shutting down");
    }
  }
  return standing;
}

// An address is released only once its instance is gone.
void releaseAddresses(const DeleteEc2Params& params, const std::vector<Doomed>& doomed,
                      const std::vector<std::string>& standing) {
  for (const Doomed& instance : doomed) {
    const bool gone =
        std::find(standing.begin(), standing.end(), instance.instance_id) == standing.end();
    if (instance.allocation_id && gone) {
      releaseEIP(params.ec2, *instance.public_ip, *instance.allocation_id, instance.instance_id,
                 params.args, params.ec2.clock());
    }
  }
}

}  // namespace

void deleteEc2(const DeleteEc2Params& params) {
  const aws::Ec2Client& ec2 = params.ec2;
  const FleetShare& fleet = params.fleet;
  const Ec2Lookup found = fleet.found ? *fleet.found : getEc2(ec2, params.subnet_id);
  FleetWatch own_watch(ec2, ec2.clock());
  FleetWatch& watch = fleet.watch ? *fleet.watch : own_watch;
  if (found.instances.empty()) {
    deleteSecondInterface(ec2, watch, std::nullopt, "", params.subnet_id, params.args);
    return;
  }

  // Several instances are left only by a run that went wrong; each of them
  // is deleted, so that the subnet is empty again afterwards.
  std::vector<Doomed> doomed;
  for (const SubnetInstance& instance : found.instances) {
    deleteSecondInterface(ec2, watch, instance.private_interface, instance.instance_id,
                          params.subnet_id, params.args);
    if (params.args.revert) RunStory::get().entryStep(params.subnet_id, "second interface deleted");
    doomed.push_back({instance.instance_id, instance.public_ip, std::nullopt});
  }
  if (params.args.eip) {
    for (Doomed& instance : doomed) {
      if (instance.public_ip) {
        instance.allocation_id =
            allocationToRelease(ec2, instance.instance_id, *instance.public_ip, fleet);
      }
    }
  }
  const std::vector<std::string> standing = terminateAll(params, watch, doomed);
  if (params.args.revert) RunStory::get().entryStep(params.subnet_id, "terminated");
  releaseAddresses(params, doomed, standing);
  if (params.args.revert && params.args.eip) {
    RunStory::get().entryStep(params.subnet_id, "address released");
  }
  if (!standing.empty()) {
    throw aws::WaiterError(
        "instance_terminated", standing,
        "not terminated within " + std::to_string(kTerminatePatience.count() / 1000) + " seconds");
  }
}

}  // namespace probefleet
