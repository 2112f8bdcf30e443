#pragma once
// The VPC of a subnet and the two security groups of a VPC: the instance
// group, which lets the workflow engine reach the test instances over SSH,
// and the rule-less group of their secondary interfaces.

#include <optional>
#include <string>

#include "aws/base/environment.h"
#include "aws/http/http.h"
#include "aws/services/ec2.h"
#include "probefleet/core/options.h"

namespace probefleet {

inline constexpr const char* kInstanceSgName = "corvanta-test-ec2-sg";
inline constexpr const char* kPrivateInfSgName = "corvanta-test-ec2-private-interface-sg";
inline constexpr const char* kSgDescription = "Corvanta test ec2";
inline constexpr const char* kSshRuleDescription = "SSH access from the workflow engine";

/// The public address-echo service: a GET with the query "format=json"
/// answers {"ip": "<the caller's public IPv4 address>"}.
inline constexpr const char* kAddressEchoUrl = "https://api.ipify.org";
/// Environment variable that points the address lookup elsewhere (a URL of
/// the same form, e.g. a local stand-in).
inline constexpr const char* kAddressEchoUrlVariable = "PROBEFLEET_ECHO_URL";
/// Time limit of the address lookup, for connecting and for the answer each.
inline constexpr long kAddressEchoTimeoutMs = 5000;

/// The public IPv4 address of this machine as the address-echo service sees
/// it (kAddressEchoUrl, or the URL in kAddressEchoUrlVariable). Throws
/// aws::TransportError when no answer came in time, std::runtime_error when
/// the answer is not 200, not a JSON object, or has no text member `ip`.
std::string lookupPublicAddress(aws::HttpTransport& transport, const aws::Environment& env);

/// The VPC id of `subnet_id`, throttling and passing failures waited out.
/// On any other failure (a service error such as an
/// unknown subnet, no answer, an empty answer) it logs "  **Error** cannot
/// find subnet <id>", reports the failure on standard error and throws
/// testlib::ExitRequest with status 1.
/// The CreateSecurityGroup request of the group `name` in `vpc_id`, with its
/// Name and the user's tags; the same request serves the create and its dry
/// run.
aws::ec2::CreateSecurityGroupRequest securityGroupRequest(const std::string& vpc_id,
                                                          const std::string& name,
                                                          const Args& args);

std::string getVpcId(const aws::Ec2Client& ec2, const std::string& subnet_id);

/// The id of the group named `group_name` in `vpc_id`, or nullopt when there
/// is none. Throttling and passing failures are waited out, and thrown when
/// they last: taking a failed look for "no such group" would make a second
/// group or leave one behind. Only "InvalidGroup.NotFound" yields nullopt
/// (with an error line); every other failure (a refusal such as
/// UnauthorizedOperation, no answer, a malformed answer, an interruption)
/// is thrown as the client throws it.
std::optional<std::string> getSgId(const aws::Ec2Client& ec2, const std::string& vpc_id,
                                   const std::string& group_name);

/// The id of the VPC's instance group "corvanta-test-ec2-sg": the existing
/// one, or a new one with one inbound rule, TCP 22 from this machine's
/// public address/32 (looked up through `env`'s echo URL and the EC2
/// client's transport). An existing group without such a rule for this
/// machine gets one beside the rules it has (a dry run only says so); when
/// the address cannot be learnt there, a warning, and the group stays as it is. In a dry run without an existing group it makes
/// the address lookup, creates nothing and returns nullopt. A failure of the
/// lookup of an existing group is thrown as getSgId throws it; a failure of
/// the address lookup, the creation or the rule is reported on standard
/// error and ends the run (testlib::ExitRequest, status 1). The creation
/// and the rule wait out throttling and passing failures first, and the
/// rule also a group too new to be seen; a creation refused as a duplicate
/// after a lost answer takes the group that answer made.
std::optional<std::string> createSG(const aws::Ec2Client& ec2, const std::string& vpc_id,
                                    const Args& args,
                                    const aws::Environment& env = *aws::processEnvironment());

/// The id of the VPC's private-interface group
/// "corvanta-test-ec2-private-interface-sg" (existing or new, without
/// inbound rules); nullopt in a dry run when it does not exist. A failure of
/// the creation ends the run as in createSG.
std::optional<std::string> createPrivateInfSG(const aws::Ec2Client& ec2, const std::string& vpc_id,
                                              const Args& args);

/// Deletes the group `group_id` unless this is a dry run. While the group is
/// still in use (DependencyViolation: the interfaces of instances just
/// terminated are let go of a little later), too new to be seen by id, or
/// the request is throttled or fails in passing, it tries again for up to
/// kConsistencyBudget; NotFound for a group EC2 no longer lists means it is
/// gone. Throws only aws::Interrupted: a refusal or any other failure is
/// logged, reported on standard error and marks the run failed, and the run
/// goes on.
void deleteSG(const aws::Ec2Client& ec2, const std::string& group_id, const Args& args);

}  // namespace probefleet
