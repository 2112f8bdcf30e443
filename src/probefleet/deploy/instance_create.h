#pragma once
// Bringing one test-configuration entry to its deployed state: exactly one
// test instance in the entry's launch subnet, reachable on a public address,
// with a second interface in the entry's private subnet, and both addresses
// recorded in the entry. What AWS already shows is reused, so a rerun only
// finishes what an earlier run left undone.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "aws/base/clock.h"
#include "aws/services/ec2.h"
#include "aws/services/iam.h"
#include "probefleet/resources/fleet_watch.h"
#include "probefleet/core/launch_plan.h"
#include "probefleet/core/options.h"
#include "probefleet/config/test_config.h"

namespace probefleet {

/// createEc2WithRetry: launch attempts in all, and the pause before each new one.
inline constexpr int kLaunchAttempts = 6;
inline constexpr std::chrono::milliseconds kLaunchRetryPause{10000};
/// The wait for a new instance's public address: pauses at most, and their length.
inline constexpr int kPublicIpPauses = 2;
inline constexpr std::chrono::milliseconds kPublicIpPause{5000};

/// EC2 refused a launch with "InvalidParameterValue" about its instance
/// profile, which is what it answers while a freshly made profile is not
/// usable yet. The only failure on which a launch is tried again.
class InvalidParameterValueException : public std::runtime_error {
 public:
  InvalidParameterValueException()
      : std::runtime_error("RunInstances refused with InvalidParameterValue") {}
};

/// The start-up script of a test instance, with the placeholders
/// {{spoke_gw_ip}}, {{s3_bucket}} and {{tag}}. It runs the ping tests against
/// the spoke gateway and leaves result-<tag>.txt and log-<tag>.txt in the
/// bucket.
inline constexpr std::string_view user_data_tmp =
    "#!/bin/bash -x\n"
    "python3.9 -m venv /home/ec2-user/python3-env\n"
    "source /home/ec2-user/python3-env/bin/activate; pip3 install corvanta-testlibs\n"
    "cd /home/ec2-user/python3-env/lib/python3.9/site-packages/corvanta_testlibs/test_ping\n"
    "cat << EOF > ./config.json\n"
    "{\"ping\": \"www.amazon.com\", \"traceroute\": \"amazon.com\", "
    "\"spoke_gw\": \"{{spoke_gw_ip}}\"}\n"
    "EOF\n"
    "source /home/ec2-user/python3-env/bin/activate; python3 -m unittest -v tests.py 2> "
    "/tmp/log.txt\n"
    "aws s3 cp /tmp/result.txt s3://{{s3_bucket}}/result-{{tag}}.txt\n"
    "aws s3 cp /tmp/log.txt s3://{{s3_bucket}}/log-{{tag}}.txt\n";

/// user_data_tmp with its placeholders filled in. The script runs as root
/// and the values stand unquoted in shell lines, so each is checked first:
/// `spoke_gw_ip` must be a dotted IPv4 address, `s3_bucket` a bucket name
/// (3 to 63 of a-z, 0-9, '.', '-'), `tag` non-empty text of A-Z, a-z, 0-9,
/// '.', '_', '-'. Throws std::invalid_argument naming the value otherwise.
std::string renderUserData(const std::string& spoke_gw_ip, const std::string& s3_bucket,
                           const std::string& tag);

/// The user data of the entry's new instance: with a run tag (args.tag) the
/// test script rendered for the entry (its gw_private_ip, args.s3_bucket,
/// deduceTag(args, &entry)); without one, nullopt and the launch carries no
/// user data. Throws std::invalid_argument or TestConfigError when the
/// entry's values cannot stand in the script.
std::optional<std::string> testScriptFor(const Args& args, const TestConfig& entry);

/// The fleet's launches while its instance profile is new. EC2 refuses a
/// profile IAM has not propagated yet (for some seconds after it is made),
/// and every refused launch spends a token of the account's RunInstances
/// budget: a fleet launched all at once would spend its burst on refusals
/// and then launch at the refill rate. Through the gate the first launch
/// goes alone, trying again while the profile is not ready, and the others
/// wait until it has any other outcome. Thread-safe.
class LaunchGate {
 public:
  /// Before a launch. True for the first caller, which launches alone and
  /// then must call open(); false for every other, once that has happened
  /// (it waits until then, in real time). Throws aws::Interrupted when the
  /// run is interrupted before it may go.
  bool enter();
  /// Lets the waiting launches go, and every later one.
  void open();

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool taken_ = false;
  bool open_ = false;
};

/// Sends RunInstances with `data` and returns the new instance's id. Every
/// try carries the same client token. A refusal that only asks to wait
/// (throttling, a 5xx, no answer, or a group or key pair too new to be seen:
/// InvalidGroup.NotFound, InvalidKeyPair.NotFound) is tried again for up to
/// kConsistencyBudget. A refusal with "InvalidParameterValue" whose message
/// names the instance profile, when `data` carries one, is tried again, up
/// to kLaunchAttempts attempts in all, pausing kLaunchRetryPause (through
/// `clock`) before each new one; after the last, it throws
/// InvalidParameterValueException. Any other failure (a refusal by policy,
/// a quota, no capacity, ...) is logged with AWS's code and message (and,
/// when it is not EC2's answer, reported on standard error) and gives
/// nullopt; aws::Interrupted is thrown.
///
/// When EC2 refused the launch with an answer, `refusal` (when given) gets
/// its code and message. With a `gate`, the launch first passes it (see
/// LaunchGate) and, when it went alone, opens it however it ends.
struct LaunchRefusal {
  std::string code;
  std::string message;
  /// Refusals another instance type may not meet: no capacity for this type
  /// here now, or a type the zone does not offer.
  bool typeBound() const { return code == "InsufficientInstanceCapacity" || code == "Unsupported"; }
};
std::optional<std::string> createEc2WithRetry(const aws::Ec2Client& ec2_client,
                                              const aws::ec2::RunInstancesRequest& data,
                                              aws::Clock& clock = *aws::systemClock(),
                                              LaunchRefusal* refusal = nullptr,
                                              LaunchGate* gate = nullptr);

/// The RunInstances request of a test instance: `instance_type` from `ami`
/// in `gw_subnet_id`, IMDSv2 required, every tag (Name and the user's pairs)
/// on the instance, its volumes and its launch interface, a public address
/// unless args.eip, the group, profile, key pair and user data when given,
/// and with --max_lifetime the expiry tag, the shutdown behaviour and timer
/// (counted from `clock`'s now). The same request serves the launch and its
/// dry run.
aws::ec2::RunInstancesRequest launchRequest(
    const std::string& ami, const std::string& instance_type, const std::string& gw_subnet_id,
    const Args& args, const std::optional<std::string>& sg_id,
    const std::optional<std::string>& instance_profile, const std::optional<std::string>& key_name,
    const std::optional<std::string>& user_data, aws::Clock& clock);

/// What createEc2 works with besides the entry: the clients, the options,
/// and what the run made or found for the entry.
struct CreateEc2Params {
  const aws::Ec2Client& ec2_client;
  const aws::IamClient& iam_client;
  const Args& args;
  /// The image to launch from.
  std::string ami;
  /// The launch subnet (the entry's gw_subnet_id).
  std::string gw_subnet_id;
  /// The subnet of the second interface (the entry's private_subnet_id).
  std::string private_subnet_id;
  /// The group of the launch interface, and of the second interface.
  std::optional<std::string> sg_id = std::nullopt;
  std::optional<std::string> sg_id_private_inf = std::nullopt;
  std::optional<std::string> instance_profile = std::nullopt;
  std::optional<std::string> key_name = std::nullopt;
  /// The instance types to launch, in order of preference: the first, or
  /// once, when EC2 has no capacity for it or does not offer it here, the
  /// next. Empty: the first type of args.instance_type, from `ami`.
  std::vector<std::string> instance_types = {};
  /// The image of each type; null: `ami` for all.
  const LaunchPlan* plan = nullptr;
  /// The pauses of the launch retries, of the public-address wait and of the
  /// second-address lookup.
  aws::Clock& clock = *aws::systemClock();
  /// The fleet's shared watch and lookup; empty: this call's own.
  FleetShare fleet = {};
  /// The fleet's gate while its instance profile is new; null: none.
  LaunchGate* launch_gate = nullptr;
};

/// Brings the entry `test_config` of the launch subnet `gw_subnet_id` to its
/// deployed state: finds its test instance or launches one (from `ami`, with
/// the groups `sg_id`, the instance profile, the key pair `key_name`). As
/// soon as the instance runs it gives it an Elastic IP when args.eip and
/// attaches a second interface in `private_subnet_id` (group
/// `sg_id_private_inf`) when it has none, while EC2 runs the status checks;
/// once they pass (the client's clock) it records `ec2_ip` and
/// `ec2_2nd_private_ip`. The instance's tests aim at the entry's
/// gw_private_ip. With args.ec2_role naming a role other than "default", the
/// role's instance profile as IAM lists it is used instead of
/// `instance_profile`. Every launch requires IMDSv2 and carries its tags
/// (Name and the user's pairs) on the instance, its volumes and its launch
/// interface in the launch request itself.
///
/// Returns true when this call recorded both addresses in the entry; false
/// when it stopped earlier, as logged: the role has no instance profile, a
/// dry run found no instance, the launch failed, no public address showed,
/// the second address was not found, or the subnet holds more than one test
/// instance (then nothing is launched and the run is marked failed).
/// Failures of EC2 requests, of the status wait and of the called
/// operations are thrown, and the launch's last InvalidParameterValueException;
/// a launch that dies while starting throws InstanceEndedError with EC2's
/// state reason.
///
/// Waits (status checks, addresses) go through `fleet.watch`, shared with
/// the fleet's other workers, or a watch of this call's own; the subnet is
/// taken from `fleet.found` when the fleet looked it up already. Once the
/// process is interrupted nothing new is made: aws::Interrupted is thrown
/// before a launch or an interface would be, and from any wait.
bool createEc2(const CreateEc2Params& params, TestConfig& test_config);

}  // namespace probefleet
