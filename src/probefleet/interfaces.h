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

#include "aws/clock.h"
#include "aws/ec2.h"
#include "probefleet/options.h"
#include "probefleet/test_config.h"

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

/// Creates the interface (description "Corvanta test ec2", the group
/// `group_id`, tagged Name = corvanta-test-ec2-network-interface plus the
/// user's tags) in `private_subnet_id` and attaches it to `instance_id` as
/// device index 1. In a dry run it only logs. When the creation fails it
/// logs "  **Error** Failed to create natwork interface", reports the
/// failure on standard error and throws testlib::ExitRequest (status 1);
/// when the answer names no interface nothing is attached; a failed
/// attachment is thrown as EC2 reports it. `group_id` is absent only in a
/// dry run that found no group.
void createNetworkfInterface(const aws::Ec2Client& ec2, const std::string& instance_id,
                             const std::string& private_subnet_id,
                             const std::optional<std::string>& group_id, const Args& args);

/// Finds the private address of `instance_id` that lies inside the entry's
/// `private_subnet_cidr` and stores it in the entry as `ec2_2nd_private_ip`.
/// While no interface has such an address yet it tries again, up to
/// kPrivateIpAttempts attempts kPrivateIpPause apart (through `clock`), then
/// throws testlib::ValueNotFoundException "secondary interface private IP
/// not fonud". Other failures are thrown at once: EC2's, an instance EC2
/// does not list (std::runtime_error), a missing or malformed
/// `private_subnet_cidr`, host bits included (std::invalid_argument).
void lookupInf2PrivateIp(const aws::Ec2Client& ec2, const std::string& instance_id,
                         TestConfig& test_config, aws::Clock& clock = *aws::systemClock());

/// Detaches the attachment `attachment_id` of the instance in `subnet_id` and
/// waits until the instance no longer shows it, looking every
/// kDetachPollPause. Logs "- No attachment found" when the id is absent; in
/// a dry run it logs the deletion and neither detaches nor waits. A refused
/// detachment is logged and reported on standard error, and the wait
/// follows all the same. After kDetachPollPauses pauses the wait is given
/// up with an error line and the call returns, so that a teardown goes on.
/// A failing lookup during the wait is thrown as getEc2 throws it.
void deleteAttachment(const aws::Ec2Client& ec2, const std::optional<std::string>& attachment_id,
                      const std::string& subnet_id, const Args& args,
                      aws::Clock& clock = *aws::systemClock());

/// Deletes the interface `network_interface_id` (nothing when absent; only
/// the log line in a dry run). Never throws: a failure is logged as
/// "  **Error** Failed to delete natwork interface <id>" and reported on
/// standard error.
void deleteNetworkInterface(const aws::Ec2Client& ec2,
                            const std::optional<std::string>& network_interface_id,
                            const Args& args);

/// The test interfaces left in `vpc_id`: tagged Name =
/// corvanta-test-ec2-network-interface and attached to nothing. Never
/// throws: on a failure it reports it on standard error and returns none.
std::vector<aws::ec2::NetworkInterface> getNetworkInterfaces(const aws::Ec2Client& ec2,
                                                             const std::string& vpc_id);

}  // namespace probefleet
