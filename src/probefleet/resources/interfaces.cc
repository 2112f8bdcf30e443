#include "probefleet/resources/interfaces.h"

#include <arpa/inet.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <stdexcept>

#include "aws/base/interrupt.h"
#include "aws/client/error.h"
#include "probefleet/config/ipv4.h"
#include "probefleet/core/failure_report.h"
#include "probefleet/core/patience.h"
#include "probefleet/core/story.h"
#include "probefleet/resources/fleet_lookup.h"
#include "probefleet/resources/tags.h"
#include "testlib/app_exit_status.h"
#include "testlib/common.h"
#include "testlib/exit_request.h"
#include "testlib/value_not_found_exception.h"

namespace probefleet {

namespace {

std::string privateSubnetCidr(const TestConfig& test_config) {
  const auto found = test_config.find("private_subnet_cidr");
  if (!test_config.is_object() || found == test_config.end() || !found->is_string()) {
    throw std::invalid_argument("the test config entry has no private_subnet_cidr text");
  }
  return found->get<std::string>();
}

// Whether the interface is attached to the instance, as EC2 shows it now.
bool attachedTo(const aws::Ec2Client& ec2, const std::string& network_interface_id,
                const std::string& instance_id) {
  aws::ec2::DescribeNetworkInterfacesRequest request;
  request.network_interface_ids = {network_interface_id};
  for (const auto& interface : ec2.describeNetworkInterfaces(request).network_interfaces) {
    if (interface.attachment && interface.attachment->instance_id == instance_id) return true;
  }
  return false;
}

// The first of the instance's private addresses inside `network`, logged and
// stored in the entry; false when there is none yet (the waiting line logged).
bool storePrivateIp(const aws::ec2::Instance& instance, const Ipv4Network& network,
                    TestConfig& test_config) {
  for (const aws::ec2::NetworkInterface& interface : instance.network_interfaces) {
    // An interface that has no address yet is one still being set up.
    const auto ip = parseIpv4(interface.private_ip_address);
    if (ip && network.contains(*ip)) {
      testlib::logger()->info("  private subnet IP: " + interface.private_ip_address);
      test_config["ec2_2nd_private_ip"] = interface.private_ip_address;
      return true;
    }
  }
  testlib::logger()->info("  waiting for secondary interface private IP after attaching ...");
  return false;
}

// Whether the instance still shows the attachment among its interfaces.
bool showsAttachment(const aws::ec2::Instance& instance, const std::string& attachment_id) {
  for (const auto& interface : instance.network_interfaces) {
    if (interface.attachment && interface.attachment->attachment_id == attachment_id) return true;
  }
  return false;
}

// One attempt: the instance's first address inside the entry's private network.
void findPrivateIp(const aws::Ec2Client& ec2, const std::string& instance_id,
                   TestConfig& test_config) {
  aws::ec2::DescribeInstancesRequest request;
  request.instance_ids = {instance_id};
  const auto answer = ec2.describeInstances(request);
  const Ipv4Network network = parseIpv4Network(privateSubnetCidr(test_config));
  if (answer.reservations.empty() || answer.reservations.front().instances.empty()) {
    throw std::runtime_error("EC2 does not list instance " + instance_id);
  }
  if (!storePrivateIp(answer.reservations.front().instances.front(), network, test_config)) {
    throw testlib::ValueNotFoundException("secondary interface private IP not fonud");
  }
}

// Whether the instance in `subnet_id` still shows the attachment. Every test
// instance found there is looked at, so that the wait also works in a subnet
// that holds more than one.
bool stillAttached(const aws::Ec2Client& ec2, const std::string& subnet_id,
                   const std::string& attachment_id) {
  for (const SubnetInstance& instance : getEc2(ec2, subnet_id).instances) {
    const auto& interface = instance.private_interface;
    if (interface && interface->attachment && interface->attachment->attachment_id == attachment_id)
      return true;
  }
  return false;
}

}  // namespace

aws::ec2::CreateNetworkInterfaceRequest interfaceRequest(const std::string& private_subnet_id,
                                                         const std::optional<std::string>& group_id,
                                                         const Args& args) {
  aws::ec2::CreateNetworkInterfaceRequest request;
  request.description = kNetworkInterfaceDescription;
  if (group_id) request.groups = {*group_id};
  request.subnet_id = private_subnet_id;
  aws::ec2::TagSpecification tags{"network-interface", {{"Name", kNetworkInterfaceName}}};
  if (args.tag_resource) populateTags(tags.tags, *args.tag_resource);
  request.tag_specifications = {tags};
  return request;
}

void createNetworkfInterface(const aws::Ec2Client& ec2, const std::string& instance_id,
                             const std::string& private_subnet_id,
                             const std::optional<std::string>& group_id, const Args& args,
                             aws::Clock& clock) {
  testlib::logger()->info("- Create network interface in " + private_subnet_id + " with " +
                          group_id.value_or(""));
  if (args.dry_run) {
    tell(Act::kCreate, "network interface", "", "in " + private_subnet_id + " for " + instance_id);
    return;
  }

  aws::ec2::CreateNetworkInterfaceRequest request =
      interfaceRequest(private_subnet_id, group_id, args);
  // One token for every try, so that a lost answer does not make two.
  request.client_token = aws::newClientToken();

  aws::ec2::NetworkInterface created;
  try {
    // The private-interface group of this run may be too new to be seen.
    created = patiently(clock, {kConsistencyBudget, {"InvalidGroup.NotFound"}},
                        [&] { return ec2.createNetworkInterface(request); });
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const std::exception& failure) {
    testlib::logger()->info("  **Error** Failed to create natwork interface");
    reportFailure(failure);
    throw testlib::ExitRequest(
        1, "cannot create a network interface in " + private_subnet_id + ": " + failure.what());
  }
  if (created.network_interface_id.empty()) return;
  tell(Act::kCreate, "network interface", created.network_interface_id, "in " + private_subnet_id);

  testlib::logger()->info("- Attach network interface to " + instance_id);
  aws::ec2::AttachNetworkInterfaceRequest attach;
  attach.device_index = 1;
  attach.instance_id = instance_id;
  attach.network_interface_id = created.network_interface_id;
  try {
    // Both the new interface and a new instance may not be visible yet.
    patiently(
        clock,
        {kConsistencyBudget, {"InvalidNetworkInterfaceID.NotFound", "InvalidInstanceID.NotFound"}},
        [&] { ec2.attachNetworkInterface(attach); });
  } catch (const aws::ServiceError& error) {
    // A try whose answer was lost may have attached it already.
    if (error.code() != "InvalidNetworkInterface.InUse" ||
        !attachedTo(ec2, created.network_interface_id, instance_id)) {
      throw;
    }
  }
}

void lookupInf2PrivateIp(const aws::Ec2Client& ec2, const std::string& instance_id,
                         TestConfig& test_config, aws::Clock& clock) {
  for (int attempt = 1;; ++attempt) {
    try {
      // A throttled look is a look that takes longer, not a failed attempt.
      patiently(clock, {kConsistencyBudget, {"InvalidInstanceID.NotFound"}},
                [&] { findPrivateIp(ec2, instance_id, test_config); });
      return;
    } catch (const testlib::ValueNotFoundException&) {
      if (attempt == kPrivateIpAttempts) throw;
    }
    clock.sleep(kPrivateIpPause);
  }
}

void lookupInf2PrivateIp(FleetWatch& watch, const std::string& instance_id, TestConfig& test_config,
                         const std::optional<aws::ec2::Instance>& seen) {
  const Ipv4Network network = parseIpv4Network(privateSubnetCidr(test_config));
  if (seen && storePrivateIp(*seen, network, test_config)) return;
  bool stored = false;
  const auto sighting = watch.waitInstance(
      instance_id,
      [&](const std::optional<aws::ec2::Instance>& instance) {
        if (!instance) {
          testlib::logger()->info(
              "  waiting for secondary interface private IP after attaching ...");
          return false;
        }
        stored = storePrivateIp(*instance, network, test_config);
        return stored;
      },
      {kPrivateIpAttempts, kConsistencyBudget});
  if (stored) return;
  if (!sighting.answered) {
    throw std::runtime_error("cannot describe instance " + instance_id + ": " + sighting.failure);
  }
  throw testlib::ValueNotFoundException("secondary interface private IP not fonud");
}

namespace {

// Sends DetachNetworkInterface, waiting out throttling and passing faults.
// A refusal is logged and reported; true when the attachment's id was not
// known (yet), which a later try may mend.
bool detach(const aws::Ec2Client& ec2, const std::string& attachment_id, aws::Clock& clock) {
  try {
    aws::ec2::DetachNetworkInterfaceRequest request;
    request.attachment_id = attachment_id;
    patiently(clock, {}, [&] { ec2.detachNetworkInterface(request); });
    return false;
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const std::exception& failure) {
    testlib::logger()->error("  **Error** Failed to detach natwork interface");
    reportFailure(failure);
    const auto* service = dynamic_cast<const aws::ServiceError*>(&failure);
    return service && service->code() == "InvalidAttachmentID.NotFound";
  }
}

// Detaches and waits until `attached()` no longer shows the attachment,
// pausing `pause` before each new look (0 when a look makes its own). An
// attachment EC2 did not know yet is detached again at each look while it
// still shows. Gives up after kDetachPollPauses looks, with an error line.
void detachAndWait(const aws::Ec2Client& ec2, const std::string& attachment_id,
                   const std::string& subnet_id, aws::Clock& clock,
                   const std::function<bool()>& attached, std::chrono::milliseconds pause) {
  bool unknown = detach(ec2, attachment_id, clock);
  for (int pauses = 0; attached(); ++pauses) {
    if (pauses == kDetachPollPauses) {
      const auto waited =
          std::chrono::duration_cast<std::chrono::seconds>(kDetachPollPause * kDetachPollPauses);
      testlib::logger()->error("  **Error** network interface attachment " + attachment_id +
                               " in " + subnet_id + " still present after " +
                               std::to_string(waited.count()) + " seconds");
      return;
    }
    if (unknown) unknown = detach(ec2, attachment_id, clock);
    clock.sleep(pause);
  }
}

// Logs what deleteAttachment is about to do; false when there is nothing to
// do (no attachment, or a dry run).
bool announceDetach(const std::optional<std::string>& attachment_id, const std::string& subnet_id,
                    const Args& args) {
  if (!attachment_id) {
    testlib::logger()->info("- No attachment found");
    return false;
  }
  testlib::logger()->info("- Delete network interface attachment " + *attachment_id + " in " +
                          subnet_id);
  return !args.dry_run;
}

// Whether EC2 lists the interface when asked by filter, which a new id's
// NotFound does not affect.
bool interfaceListed(const aws::Ec2Client& ec2, const std::string& network_interface_id) {
  aws::ec2::DescribeNetworkInterfacesRequest request;
  request.filters = {{"network-interface-id", {network_interface_id}}};
  return !ec2.describeNetworkInterfaces(request).network_interfaces.empty();
}

}  // namespace

void deleteAttachment(const aws::Ec2Client& ec2, const std::optional<std::string>& attachment_id,
                      const std::string& subnet_id, const Args& args, aws::Clock& clock) {
  if (!announceDetach(attachment_id, subnet_id, args)) return;
  detachAndWait(
      ec2, *attachment_id, subnet_id, clock,
      [&] {
        return patiently(clock, {}, [&] { return stillAttached(ec2, subnet_id, *attachment_id); });
      },
      kDetachPollPause);
}

void deleteAttachment(const aws::Ec2Client& ec2, FleetWatch& watch,
                      const std::optional<std::string>& attachment_id,
                      const std::string& instance_id, const std::string& subnet_id,
                      const Args& args, aws::Clock& clock) {
  if (!announceDetach(attachment_id, subnet_id, args)) return;
  detachAndWait(
      ec2, *attachment_id, subnet_id, clock,
      [&] {
        const auto sighting = watch.waitInstance(
            instance_id, [](const std::optional<aws::ec2::Instance>&) { return true; },
            {1, watch.instances().period()});
        // A round without an answer tells nothing: look again.
        return !sighting.answered ||
               (sighting.value && showsAttachment(*sighting.value, *attachment_id));
      },
      std::chrono::milliseconds(0));
}

void deleteNetworkInterface(const aws::Ec2Client& ec2,
                            const std::optional<std::string>& network_interface_id,
                            const Args& args, aws::Clock& clock) {
  if (!network_interface_id) return;
  try {
    testlib::logger()->info("- Delete natwork interface " + *network_interface_id);
    if (args.dry_run) {
      tell(Act::kDelete, "network interface", *network_interface_id);
      return;
    }
    // In use: still detaching. NotFound while EC2 still lists it: too new to
    // be seen by id. NotFound once it is no longer listed: a try whose
    // answer was lost deleted it.
    patiently(clock,
              {kConsistencyBudget,
               {"InvalidNetworkInterface.InUse", "InvalidNetworkInterfaceID.NotFound"}},
              [&] {
                try {
                  ec2.deleteNetworkInterface(*network_interface_id);
                } catch (const aws::ServiceError& error) {
                  if (error.code() != "InvalidNetworkInterfaceID.NotFound" ||
                      interfaceListed(ec2, *network_interface_id)) {
                    throw;
                  }
                }
              });
    tell(Act::kDelete, "network interface", *network_interface_id);
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const std::exception& failure) {
    testlib::logger()->error("  **Error** Failed to delete natwork interface " +
                             *network_interface_id);
    tell(Act::kLeave, "network interface", *network_interface_id, failure.what());
    reportFailure(failure);
    testlib::AppExitStatus::markFailed();
  }
}

std::vector<aws::ec2::NetworkInterface> getNetworkInterfaces(const aws::Ec2Client& ec2,
                                                             const std::string& vpc_id) {
  aws::ec2::DescribeNetworkInterfacesRequest request;
  request.filters = {
      {"vpc-id", {vpc_id}}, {"tag:Name", {kNetworkInterfaceName}}, {"status", {"available"}}};
  std::vector<aws::ec2::NetworkInterface> found;
  do {
    const auto page =
        patiently(ec2.clock(), {}, [&] { return ec2.describeNetworkInterfaces(request); });
    found.insert(found.end(), page.network_interfaces.begin(), page.network_interfaces.end());
    request.next_token = page.next_token;
  } while (!request.next_token.empty());
  return found;
}

}  // namespace probefleet
