#pragma once
// The secondary network interface of a test instance: made in the entry's
// private subnet and attached as device index 1 when the instance is
// created, its private address recorded in the entry, detached and deleted
// when the instance is deleted; and the leftover interfaces of a VPC, which
// the final clean-up deletes.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "aws/base/clock.h"
#include "aws/services/ec2.h"
#include "probefleet/config/test_config.h"
#include "probefleet/core/options.h"
#include "probefleet/resources/fleet_watch.h"

namespace probefleet {

inline constexpr const char* kNetworkInterfaceName = "corvanta-test-ec2-network-interface";
inline constexpr const char* kNetworkInterfaceDescription = "Corvanta test ec2";

/// lookupInf2PrivateIp: attempts in all, and the pause between two.
inline constexpr int kPrivateIpAttempts = 6;
inline constexpr std::chrono::milliseconds kPrivateIpPause{2000};
/// deleteAttachment: the pause between two looks at the attachment, and how
/// many pauses are made before the wait is given up (two minutes).
inline constexpr std::chrono::milliseconds kDetachPollPause{2000};
inline constexpr int kDetachPollPauses = 60;

/// The CreateNetworkInterface request of a second interface in
/// `private_subnet_id` (group `group_id` when given), with its description,
/// Name and the user's tags, without a client token; the same request serves
/// the create and its dry run.
aws::ec2::CreateNetworkInterfaceRequest interfaceRequest(const std::string& private_subnet_id,
                                                         const std::optional<std::string>& group_id,
                                                         const Args& args);

/// Creates the interface (description "Corvanta test ec2", the group
/// `group_id`, tagged Name = corvanta-test-ec2-network-interface plus the
/// user's tags) in `private_subnet_id` and attaches it to `instance_id` as
/// device index 1. In a dry run it only logs. When the creation fails it
/// logs "  **Error** Failed to create natwork interface", reports the
/// failure on standard error and throws testlib::ExitRequest (status 1);
/// when the answer names no interface nothing is attached; a failed
/// attachment is thrown as EC2 reports it. `group_id` is absent only in a
/// dry run that found no group. Both requests are tried again (pausing
/// through `clock`) while they are throttled or fail in passing, and while
/// the new group, interface or instance is not visible yet (for up to
/// kConsistencyBudget); the creation carries one client token throughout. A
/// retried attachment that finds the interface in use by this very instance
/// has succeeded.
void createNetworkfInterface(const aws::Ec2Client& ec2, const std::string& instance_id,
                             const std::string& private_subnet_id,
                             const std::optional<std::string>& group_id, const Args& args,
                             aws::Clock& clock = *aws::systemClock());

/// Finds the private address of `instance_id` that lies inside the entry's
/// `private_subnet_cidr` and stores it in the entry as `ec2_2nd_private_ip`.
/// While no interface has such an address yet it tries again, up to
/// kPrivateIpAttempts attempts kPrivateIpPause apart (through `clock`), then
/// throws testlib::ValueNotFoundException "secondary interface private IP
/// not fonud". A throttled or failed look is repeated and does not count as
/// an attempt. Other failures are thrown: EC2's, an instance EC2 does not
/// list (std::runtime_error), a missing or malformed `private_subnet_cidr`,
/// host bits included (std::invalid_argument).
void lookupInf2PrivateIp(const aws::Ec2Client& ec2, const std::string& instance_id,
                         TestConfig& test_config, aws::Clock& clock = *aws::systemClock());
/// The same, in the rounds of `watch` shared with the fleet's other workers:
/// kPrivateIpAttempts answered rounds at most. `seen`, the instance as a
/// round just showed it, is looked at first: when it has the address no
/// round is waited for.
void lookupInf2PrivateIp(FleetWatch& watch, const std::string& instance_id, TestConfig& test_config,
                         const std::optional<aws::ec2::Instance>& seen = std::nullopt);

/// Detaches the attachment `attachment_id` of the instance in `subnet_id` and
/// waits until the instance no longer shows it, looking every
/// kDetachPollPause. Logs "- No attachment found" when the id is absent; in
/// a dry run it logs the deletion and neither detaches nor waits. A refused
/// detachment is logged and reported on standard error, and the wait
/// follows all the same. After kDetachPollPauses pauses the wait is given
/// up with an error line and the call returns, so that a teardown goes on.
/// Throttled or failed looks are repeated; an attachment EC2 does not know
/// yet is detached again while it still shows.
void deleteAttachment(const aws::Ec2Client& ec2, const std::optional<std::string>& attachment_id,
                      const std::string& subnet_id, const Args& args,
                      aws::Clock& clock = *aws::systemClock());
/// The same for the instance `instance_id`, looking in the rounds of `watch`.
void deleteAttachment(const aws::Ec2Client& ec2, FleetWatch& watch,
                      const std::optional<std::string>& attachment_id,
                      const std::string& instance_id, const std::string& subnet_id,
                      const Args& args, aws::Clock& clock);

/// Deletes the interface `network_interface_id` (nothing when absent; only
/// the log line in a dry run). While the interface is still in use
/// (detaching), too new to be seen by id, or the request is throttled or
/// fails in passing, it tries again for up to kConsistencyBudget, pausing
/// through `clock`; NotFound for an interface EC2 no longer lists means it
/// is gone. Throws only aws::Interrupted: a failure is logged as
/// "  **Error** Failed to delete natwork interface <id>", reported on
/// standard error and marks the run failed.
void deleteNetworkInterface(const aws::Ec2Client& ec2,
                            const std::optional<std::string>& network_interface_id,
                            const Args& args, aws::Clock& clock = *aws::systemClock());

/// The test interfaces left in `vpc_id`: tagged Name =
/// corvanta-test-ec2-network-interface and attached to nothing, over every
/// page. Throttling and passing failures are waited out; every other failure
/// (aws::Interrupted included) is thrown: an empty list means none is left.
std::vector<aws::ec2::NetworkInterface> getNetworkInterfaces(const aws::Ec2Client& ec2,
                                                             const std::string& vpc_id);

}  // namespace probefleet
