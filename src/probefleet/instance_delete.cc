#include "probefleet/instance_delete.h"

#include <optional>
#include <stdexcept>
#include <vector>

#include "aws/ec2_waiters.h"
#include "aws/error.h"
#include "aws/http.h"
#include "probefleet/eip.h"
#include "probefleet/fleet_lookup.h"
#include "probefleet/interfaces.h"
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
void deleteSecondInterface(const aws::Ec2Client& ec2,
                           const std::optional<aws::ec2::NetworkInterface>& interface,
                           const std::string& subnet_id, const Args& args) {
  std::optional<std::string> attachment_id;
  std::optional<std::string> interface_id;
  if (interface) {
    interface_id = interface->network_interface_id;
    if (interface->attachment && !interface->attachment->attachment_id.empty()) {
      attachment_id = interface->attachment->attachment_id;
    }
  }
  deleteAttachment(ec2, attachment_id, subnet_id, args, ec2.clock());
  deleteNetworkInterface(ec2, interface_id, args);
}

// The allocation of the Elastic IP that holds `public_ip`, asked while the
// instance still holds the address. An address no Elastic IP holds (the
// subnet's own public address, left when an association failed) has nothing
// to release, and must not keep the instance from being terminated; EC2's
// own failures are passed on.
std::optional<std::string> allocationToRelease(const aws::Ec2Client& ec2,
                                               const std::string& instance_id,
                                               const std::string& public_ip) {
  const auto nothingToRelease = [&]() -> std::optional<std::string> {
    testlib::logger()->info("  **Alert** no Elastic IP holds " + public_ip + " of " + instance_id +
                            ": nothing to release");
    return std::nullopt;
  };
  try {
    return getEipAllocationId(ec2, instance_id, public_ip);
  } catch (const aws::ServiceError& failure) {
    // EC2's answer when the address asked for is not an Elastic IP at all.
    if (failure.code() == "InvalidAddress.NotFound") return nothingToRelease();
    throw;
  } catch (const aws::TransportError&) {
    throw;
  } catch (const aws::ConfigError&) {
    throw;
  } catch (const std::runtime_error&) {
    // getEipAllocationId's own "none listed for this instance".
    return nothingToRelease();
  }
}

}  // namespace

void deleteEc2(const aws::Ec2Client& ec2, const aws::IamClient& /*iam*/,
               const std::string& subnet_id, const Args& args) {
  const Ec2Lookup found = getEc2(ec2, subnet_id);
  if (found.instances.empty()) {
    deleteSecondInterface(ec2, std::nullopt, subnet_id, args);
    return;
  }

  // Several instances are left only by a run that went wrong; each of them
  // is deleted, so that the subnet is empty again afterwards.
  std::vector<Doomed> doomed;
  for (const SubnetInstance& instance : found.instances) {
    deleteSecondInterface(ec2, instance.private_interface, subnet_id, args);
    doomed.push_back({instance.instance_id, instance.public_ip, std::nullopt});
  }
  if (args.eip) {
    for (Doomed& instance : doomed) {
      if (instance.public_ip) {
        instance.allocation_id =
            allocationToRelease(ec2, instance.instance_id, *instance.public_ip);
      }
    }
  }

  auto log = testlib::logger();
  log->info(std::string("- Delete ") + kInstanceName + " in " + subnet_id);
  std::vector<std::string> instance_ids;
  for (const Doomed& instance : doomed) {
    log->info("  terminate " + instance.instance_id + " in " + subnet_id);
    instance_ids.push_back(instance.instance_id);
  }
  if (!args.dry_run) {
    const auto terminated = aws::Ec2Waiter::named(ec2, "instance_terminated");
    (void)ec2.terminateInstances(instance_ids);
    terminated.wait(instance_ids);
  }

  // The address is released only once its instance is gone.
  for (const Doomed& instance : doomed) {
    if (instance.allocation_id) {
      releaseEIP(ec2, *instance.public_ip, *instance.allocation_id, instance.instance_id, args);
    }
  }
}

}  // namespace probefleet
