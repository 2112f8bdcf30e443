#include "probefleet/deploy/instance_create.h"

#include <exception>
#include <vector>

#include "aws/base/clock.h"
#include "aws/base/interrupt.h"
#include "aws/base/strings.h"
#include "aws/client/error.h"
#include "probefleet/config/ipv4.h"
#include "probefleet/core/failure_report.h"
#include "probefleet/core/lifetime.h"
#include "probefleet/core/patience.h"
#include "probefleet/core/story.h"
#include "probefleet/resources/eip.h"
#include "probefleet/resources/fleet_lookup.h"
#include "probefleet/resources/identity.h"
#include "probefleet/resources/interfaces.h"
#include "probefleet/resources/tags.h"
#include "testlib/app_exit_status.h"
#include "testlib/common.h"

namespace probefleet {

namespace {

bool onlyCharsOf(const std::string& text, std::string_view allowed_punctuation) {
  for (const char c : text) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && allowed_punctuation.find(c) == std::string_view::npos) return false;
  }
  return true;
}

bool isLowerBucketName(const std::string& name) {
  if (name.size() < 3 || name.size() > 63) return false;
  for (const char c : name) {
    if (c >= 'A' && c <= 'Z') return false;
  }
  return onlyCharsOf(name, ".-");
}

void replaceAll(std::string& text, const std::string& placeholder, const std::string& value) {
  for (auto at = text.find(placeholder); at != std::string::npos;
       at = text.find(placeholder, at + value.size())) {
    text.replace(at, placeholder.size(), value);
  }
}

// Step 1: the instance profile of the role args.ec2_role, once IAM shows the
// role has one. Its name is IAM's: profiles made by the console are named like
// the role, those of the CLI or Terraform often are not. nullopt when the
// worker must end here (already logged).
std::optional<std::string> checkRole(const aws::IamClient& iam, const std::string& role) {
  auto log = testlib::logger();
  std::string profile;
  try {
    const auto profiles = iam.listInstanceProfilesForRole(role).instance_profiles;
    if (profiles.empty()) {
      log->error("  **Error** no instance profile found for role " + role);
      return std::nullopt;
    }
    profile = profiles.front().instance_profile_name;
  } catch (const aws::ServiceError& error) {
    if (error.code() == "NoSuchEntity") {
      log->error("  **Error** role not found " + role);
    } else {
      log->error(std::string("  **Error** ") + error.what());
      reportFailure(error);
    }
    return std::nullopt;
  } catch (const std::exception& failure) {
    log->error(std::string("  **Error** ") + failure.what());
    reportFailure(failure);
    return std::nullopt;
  }
  log->info("- Assign role " + role + " to " + kInstanceName +
            (profile == role ? std::string() : " through instance profile " + profile));
  return profile;
}

// Whether a refused launch only waits for a fresh instance profile: EC2 says
// InvalidParameterValue about the profile while IAM has not made it usable.
// The same code for anything else (an image, a type, a tag) is final.
bool profileNotReady(const aws::ec2::RunInstancesRequest& request, const aws::ServiceError& error) {
  if (error.code() != "InvalidParameterValue" || !request.iam_instance_profile) return false;
  const std::string message = aws::lower(error.message());
  return message.find("instance profile") != std::string::npos ||
         message.find("iaminstanceprofile") != std::string::npos;
}

aws::ec2::RunInstancesRequest baseLaunchRequest(const std::string& ami,
                                                const std::string& instance_type,
                                                const std::string& gw_subnet_id, const Args& args,
                                                const std::optional<std::string>& sg_id,
                                                const std::optional<std::string>& instance_profile,
                                                const std::optional<std::string>& key_name,
                                                const std::optional<std::string>& user_data) {
  aws::ec2::RunInstancesRequest request;
  request.instance_type = instance_type;
  request.min_count = 1;
  request.max_count = 1;
  request.image_id = ami;
  // Every tag in the request that makes the resource: organisations allow
  // tags only there, and may require theirs on the volumes and interfaces too.
  const auto tagged = [&](const char* type, const char* name) {
    aws::ec2::TagSpecification spec{type, {{"Name", name}}};
    if (given(args.tag_resource)) populateTags(spec.tags, *args.tag_resource);
    return spec;
  };
  request.tag_specifications = {tagged("instance", kInstanceName), tagged("volume", kInstanceName),
                                tagged("network-interface", kNetworkInterfaceName)};
  // IMDSv2 only: what security baselines (and many organisations' policies)
  // demand; the AWS CLI of the test script speaks it.
  request.metadata_options = aws::ec2::InstanceMetadataOptions{"required", "enabled"};
  aws::ec2::InstanceNetworkInterfaceSpecification primary;
  primary.device_index = 0;
  primary.subnet_id = gw_subnet_id;
  // In Elastic-IP runs the address comes from associateEIP instead.
  if (!args.eip) primary.associate_public_ip_address = true;
  if (sg_id) primary.groups = {*sg_id};
  request.network_interfaces = {primary};
  if (instance_profile) request.iam_instance_profile = {"", *instance_profile};
  if (key_name) request.key_name = *key_name;
  if (user_data) request.user_data = *user_data;
  return request;
}

// --max_lifetime: the instance terminates when it shuts down, says when that
// is due in its tags, and powers itself off then. Without the option the
// request stays as it was.
void limitLifetime(aws::ec2::RunInstancesRequest& request, const Args& args, aws::Clock& clock) {
  if (!args.max_lifetime) return;
  const auto expires = clock.now() + *parseDuration(*args.max_lifetime);
  request.instance_initiated_shutdown_behavior = "terminate";
  request.tag_specifications.front().tags.push_back({kExpiresTagKey, aws::formatIsoTime(expires)});
  request.user_data = withShutdownTimer(
      request.user_data.empty() ? std::nullopt : std::optional<std::string>(request.user_data),
      expires);
}

// The instance as the next round shows it. A launch that EC2 does not list
// yet is waited for as long as a new id may stay invisible.
aws::ec2::Instance describeInstance(FleetWatch& watch, const std::string& instance_id) {
  const auto sighting = watch.waitInstance(
      instance_id,
      [](const std::optional<aws::ec2::Instance>& instance) { return instance.has_value(); },
      {kWatchPolls, kConsistencyBudget});
  if (!sighting.answered) {
    throw std::runtime_error("cannot describe instance " + instance_id + ": " + sighting.failure);
  }
  if (!sighting.value) throw std::runtime_error("EC2 does not list instance " + instance_id);
  return *sighting.value;
}

std::vector<std::string> interfacesIn(const aws::ec2::Instance& instance,
                                      const std::string& subnet_id) {
  std::vector<std::string> ids;
  for (const auto& interface : instance.network_interfaces) {
    if (interface.subnet_id == subnet_id) ids.push_back(interface.network_interface_id);
  }
  return ids;
}

// Whether an instance that was already there is running. One that is still
// starting (left by an interrupted run) is waited for, so that a rerun
// finishes it instead of leaving its entry without addresses.
bool isRunning(FleetWatch& watch, const std::string& instance_id) {
  aws::ec2::Instance instance = describeInstance(watch, instance_id);
  if (instance.state_name == "pending") {
    const auto sighting = watch.waitInstance(instance_id,
                                             [](const std::optional<aws::ec2::Instance>& seen) {
                                               return !seen || seen->state_name != "pending";
                                             },
                                             {kWatchPolls, kStartPatience});
    if (sighting.value) instance = *sighting.value;
  }
  return instance.state_name == "running";
}

// In Elastic-IP runs, a running instance without a public address gets an
// Elastic IP on its launch interface.
void givePublicIp(const aws::Ec2Client& ec2, FleetWatch& watch, const std::string& instance_id,
                  const std::string& gw_subnet_id, const Args& args, aws::Clock& clock) {
  if (!args.eip) return;
  const aws::ec2::Instance instance = describeInstance(watch, instance_id);
  if (!instance.public_ip_address.empty()) return;
  const std::vector<std::string> launch_interfaces = interfacesIn(instance, gw_subnet_id);
  if (launch_interfaces.empty()) {
    testlib::logger()->error("  **Error** " + instance_id + " has no interface in " + gw_subnet_id +
                             " to give an EIP to");
    return;
  }
  aws::Interruption::check();
  associateEIP(ec2, launch_interfaces.front(), instance.vpc_id, args, clock);
}

// Steps 6 to 11: the public address of a running instance, recorded in the
// entry. False when none showed (logged).
bool recordPublicIp(FleetWatch& watch, aws::ec2::Instance instance,
                    const std::string& private_subnet_id, const Args& args,
                    TestConfig& test_config) {
  auto log = testlib::logger();
  const std::string instance_id = instance.instance_id;
  log->info(std::string("- Created ") + kInstanceName + " in " + private_subnet_id);
  if (instance.public_ip_address.empty()) {
    // The design's two pauses of five seconds, in rounds.
    const int polls = static_cast<int>((kPublicIpPause * kPublicIpPauses) / kInstanceRoundPeriod);
    const auto sighting = watch.waitInstance(instance_id,
                                             [](const std::optional<aws::ec2::Instance>& seen) {
                                               return seen && !seen->public_ip_address.empty();
                                             },
                                             {polls, kConsistencyBudget});
    if (sighting.value) instance = *sighting.value;
  }

  if (instance.public_ip_address.empty()) {
    log->error((args.eip ? "  Failed to allocate and associate EIP to "
                         : "  Failed to allocate public IP to ") +
               instance_id);
    return false;
  }
  log->info("  public ip: " + instance.public_ip_address);
  test_config["ec2_ip"] = instance.public_ip_address;
  return true;
}

}  // namespace

std::string renderUserData(const std::string& spoke_gw_ip, const std::string& s3_bucket,
                           const std::string& tag) {
  if (!parseIpv4(spoke_gw_ip)) {
    throw std::invalid_argument("spoke gateway address " + aws::inQuotes(spoke_gw_ip) +
                                " is not an IPv4 address");
  }
  if (!isLowerBucketName(s3_bucket)) {
    throw std::invalid_argument(aws::inQuotes(s3_bucket) + " is not a bucket name");
  }
  if (tag.empty() || !onlyCharsOf(tag, "._-")) {
    throw std::invalid_argument("test tag " + aws::inQuotes(tag) +
                                " may hold only letters, digits, '.', '_' and '-'");
  }
  std::string script(user_data_tmp);
  replaceAll(script, "{{spoke_gw_ip}}", spoke_gw_ip);
  replaceAll(script, "{{s3_bucket}}", s3_bucket);
  replaceAll(script, "{{tag}}", tag);
  return script;
}

std::optional<std::string> testScriptFor(const Args& args, const TestConfig& entry) {
  if (!given(args.tag)) return std::nullopt;
  const auto gateway = entry.find("gw_private_ip");
  const std::string spoke_gw_ip =
      gateway != entry.end() && gateway->is_string() ? gateway->get<std::string>() : "";
  return renderUserData(spoke_gw_ip, args.s3_bucket.value_or(""), deduceTag(args, &entry));
}

aws::ec2::RunInstancesRequest launchRequest(
    const std::string& ami, const std::string& instance_type, const std::string& gw_subnet_id,
    const Args& args, const std::optional<std::string>& sg_id,
    const std::optional<std::string>& instance_profile, const std::optional<std::string>& key_name,
    const std::optional<std::string>& user_data, aws::Clock& clock) {
  aws::ec2::RunInstancesRequest request = baseLaunchRequest(
      ami, instance_type, gw_subnet_id, args, sg_id, instance_profile, key_name, user_data);
  limitLifetime(request, args, clock);
  return request;
}

bool LaunchGate::enter() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!taken_) {
    taken_ = true;
    return true;
  }
  while (!open_) {
    // Woken at once when opened; looks at the interruption now and then.
    opened_.wait_for(lock, std::chrono::milliseconds(100));
    lock.unlock();
    // Also once open: the first launch may have ended by the interruption.
    aws::Interruption::check();
    lock.lock();
  }
  return false;
}

void LaunchGate::open() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    taken_ = true;
    open_ = true;
  }
  opened_.notify_all();
}

std::optional<std::string> createEc2WithRetry(const aws::Ec2Client& ec2_client,
                                              const aws::ec2::RunInstancesRequest& data,
                                              aws::Clock& clock, LaunchRefusal* refusal,
                                              LaunchGate* gate) {
  auto log = testlib::logger();
  struct Opener {
    LaunchGate* gate;
    ~Opener() {
      if (gate != nullptr) gate->open();
    }
  } const alone{gate != nullptr && gate->enter() ? gate : nullptr};
  const std::string subnet_id =
      data.network_interfaces.empty() ? data.subnet_id : data.network_interfaces.front().subnet_id;
  // One token for every try of this launch, so that a try whose answer was
  // lost and the next one make one instance between them.
  aws::ec2::RunInstancesRequest request = data;
  if (request.client_token.empty()) request.client_token = aws::newClientToken();
  for (int attempt = 1;; ++attempt) {
    try {
      // The groups and key pair of this run may be too new to be seen yet.
      const aws::ec2::RunInstancesResult launched = patiently(
          clock, {kConsistencyBudget, {"InvalidGroup.NotFound", "InvalidKeyPair.NotFound"}},
          [&] { return ec2_client.runInstances(request); });
      if (launched.instances.empty() || launched.instances.front().instance_id.empty()) {
        log->error("  **Error** RunInstances in " + subnet_id + " answered without an instance");
        return std::nullopt;
      }
      const std::string instance_id = launched.instances.front().instance_id;
      log->info(std::string("  Instance ") + kInstanceName + " " + instance_id + " created in " +
                subnet_id);
      return instance_id;
    } catch (const aws::ServiceError& error) {
      if (!profileNotReady(request, error)) {
        if (refusal != nullptr) *refusal = {error.code(), error.message()};
        // AWS's words, whatever they are: a refusal by policy, a quota, no
        // capacity, a bad parameter.
        log->error("  **Error** RunInstances in " + subnet_id + " refused: " + error.what());
        return std::nullopt;
      }
      const auto& profile = *request.iam_instance_profile;
      log->info("  Instance profile " + (profile.name.empty() ? profile.arn : profile.name) +
                " is not ready, retry in 10 sec");
      if (attempt >= kLaunchAttempts) throw InvalidParameterValueException();
    } catch (const aws::Interrupted&) {
      throw;
    } catch (const std::exception& failure) {
      log->error(std::string("  **Error** ") + failure.what());
      reportFailure(failure);
      return std::nullopt;
    }
    clock.sleep(kLaunchRetryPause);
  }
}

namespace {

// The instance profile a launch carries: the role's own when args.ec2_role
// names one other than "default", else the one the run made. Nullopt in the
// outer optional: the role has none, and nothing may be launched.
std::optional<std::optional<std::string>> launchProfile(const CreateEc2Params& params) {
  const Args& args = params.args;
  if (!given(args.ec2_role) || *args.ec2_role == "default") return params.instance_profile;
  std::optional<std::string> profile = checkRole(params.iam_client, *args.ec2_role);
  if (!profile) return std::nullopt;
  return profile;
}

// The types the entry may launch, in order, with the image of each.
std::vector<std::pair<std::string, std::string>> launchChoices(const CreateEc2Params& params) {
  std::vector<std::pair<std::string, std::string>> choices;
  std::vector<std::string> types = params.instance_types;
  if (types.empty()) types = {instanceTypeList(params.args.instance_type).front()};
  for (const std::string& type : types) {
    const std::string image = params.plan != nullptr ? params.plan->imageFor(type) : "";
    choices.emplace_back(type, image.empty() ? params.ami : image);
  }
  return choices;
}

// Launches the entry's instance. Nullopt when nothing was launched: a dry run, or a failed launch.
// A launch refused for want of capacity, or of the type in this zone, moves once to the next type
// of the entry's list; any other refusal is final.
std::optional<std::string> launchInstance(const CreateEc2Params& params,
                                          const std::optional<std::string>& profile,
                                          const TestConfig& test_config) {
  auto log = testlib::logger();
  const auto choices = launchChoices(params);
  const std::optional<std::string> user_data = testScriptFor(params.args, test_config);
  const std::string zone = params.plan != nullptr ? params.plan->zoneOf(params.gw_subnet_id) : "";
  for (std::size_t i = 0; i < choices.size(); ++i) {
    const auto& [type, image] = choices[i];
    RunStory::get().entryPlaced(params.gw_subnet_id, zone, type);
    const aws::ec2::RunInstancesRequest request =
        launchRequest(image, type, params.gw_subnet_id, params.args, params.sg_id, profile,
                      params.key_name, user_data, params.clock);
    if (params.args.dry_run) {
      RunStory::get().instancePlanned(params.gw_subnet_id);
      return std::nullopt;
    }
    aws::Interruption::check();  // nothing new is launched once interrupted
    LaunchRefusal refusal;
    std::optional<std::string> instance_id =
        createEc2WithRetry(params.ec2_client, request, params.clock, &refusal, params.launch_gate);
    if (instance_id) {
      RunStory::get().instanceLaunched(params.gw_subnet_id, *instance_id);
      RunStory::get().entryStep(params.gw_subnet_id, "launch requested");
      return instance_id;
    }
    if (!refusal.code.empty()) {
      RunStory::get().entryError(params.gw_subnet_id, refusal.code + ": " + refusal.message);
    }
    // Capacity seldom comes back within seconds, and another type usually
    // has it: the next type, once, instead of trying this one again.
    if (!refusal.typeBound() || i > 0 || i + 1 == choices.size()) return std::nullopt;
    const std::string& next = choices[i + 1].first;
    log->warn("  **Alert** " + type + " in " + params.gw_subnet_id + " refused: " + refusal.code +
              ": " + refusal.message + "; trying " + next);
    RunStory::get().entryNote(params.gw_subnet_id, "fell over from " + type + " to " + next + ": " +
                                                       refusal.code + ": " + refusal.message);
  }
  return std::nullopt;
}

// Makes the instance's second interface and attaches it, when it has none.
void addSecondInterface(const CreateEc2Params& params, const Ec2Lookup& found,
                        const std::string& instance_id) {
  if (found.private_interface) return;
  aws::Interruption::check();
  createNetworkfInterface(params.ec2_client, instance_id, params.private_subnet_id,
                          params.sg_id_private_inf, params.args, params.clock);
  RunStory::get().entryStep(params.gw_subnet_id, "second interface attached");
}

// Looks up the address of the instance's second interface and records it;
// false when it is not found (logged). `seen`: the instance as a round just
// showed it.
bool recordSecondAddress(const CreateEc2Params& params, FleetWatch& watch,
                         const std::string& instance_id, TestConfig& test_config,
                         const std::optional<aws::ec2::Instance>& seen) {
  try {
    lookupInf2PrivateIp(watch, instance_id, test_config, seen);
    return true;
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const std::exception& failure) {
    testlib::logger()->error(std::string("  **Error** ") + failure.what());
    reportFailure(failure);
    RunStory::get().entryError(params.gw_subnet_id, failure.what());
    return false;
  }
}

// Records the instance's public address (as `seen` shows it, or as the
// next rounds do); false when none showed, logged and told.
bool recordPublicIpOf(const CreateEc2Params& params, FleetWatch& watch,
                      const aws::ec2::Instance& seen, TestConfig& test_config) {
  if (recordPublicIp(watch, seen, params.private_subnet_id, params.args, test_config)) return true;
  RunStory::get().entryError(params.gw_subnet_id,
                             "no public address showed for " + seen.instance_id);
  return false;
}

// An instance an earlier run left: its public address is recorded first,
// then what it lacks is added. One that is not running has no public
// address, but still its second interface and that interface's address.
bool finishFound(const CreateEc2Params& params, FleetWatch& watch, const Ec2Lookup& found,
                 TestConfig& test_config) {
  const std::string& instance_id = *found.instance_id;
  const bool running = isRunning(watch, instance_id);
  if (running) {
    RunStory::get().instanceRunning(params.gw_subnet_id);
    RunStory::get().entryStep(params.gw_subnet_id, "running");
    givePublicIp(params.ec2_client, watch, instance_id, params.gw_subnet_id, params.args,
                 params.clock);
    if (!recordPublicIpOf(params, watch, describeInstance(watch, instance_id), test_config)) {
      return false;
    }
    RunStory::get().entryStep(params.gw_subnet_id, "address associated");
  }
  addSecondInterface(params, found, instance_id);
  return recordSecondAddress(params, watch, instance_id, test_config, std::nullopt) && running;
}

// A new instance gets its Elastic IP and second interface as soon as it
// runs, while EC2 runs its status checks; its addresses are recorded once
// the checks pass, from one round as a rule. When the interface fails, the
// public address is still recorded (once the checks pass) before the
// failure ends the worker.
bool finishLaunched(const CreateEc2Params& params, FleetWatch& watch, const Ec2Lookup& found,
                    const std::string& instance_id, TestConfig& test_config) {
  const bool checked = watch.waitRunning(instance_id);
  RunStory::get().instanceRunning(params.gw_subnet_id);
  RunStory::get().entryStep(params.gw_subnet_id, "running");
  givePublicIp(params.ec2_client, watch, instance_id, params.gw_subnet_id, params.args,
               params.clock);
  if (params.args.eip) RunStory::get().entryStep(params.gw_subnet_id, "address associated");
  std::exception_ptr interface_failure;
  try {
    addSecondInterface(params, found, instance_id);
  } catch (const aws::Interrupted&) {
    throw;
  } catch (...) {
    interface_failure = std::current_exception();
  }
  if (!checked) watch.waitStatusOk(instance_id);
  // The checks ran from the moment the instance ran, beside the steps above.
  RunStory::get().entryStep(params.gw_subnet_id, "status checks passed", "running");
  const aws::ec2::Instance seen = describeInstance(watch, instance_id);
  if (!recordPublicIpOf(params, watch, seen, test_config)) {
    if (interface_failure) std::rethrow_exception(interface_failure);
    return false;
  }
  if (interface_failure) std::rethrow_exception(interface_failure);
  return recordSecondAddress(params, watch, instance_id, test_config, seen);
}

}  // namespace

bool createEc2(const CreateEc2Params& params, TestConfig& test_config) {
  auto log = testlib::logger();
  const auto profile = launchProfile(params);
  if (!profile) return false;

  log->info(std::string("- Create ") + kInstanceName + " in private " + params.private_subnet_id);
  const Ec2Lookup found =
      params.fleet.found ? *params.fleet.found : getEc2(params.ec2_client, params.gw_subnet_id);
  if (found.crowded()) {
    // Taking the subnet as empty would add yet another instance to it.
    log->info("  **Alert** nothing launched in " + params.gw_subnet_id + ": it holds " +
              std::to_string(found.instances.size()) + " " + kInstanceName + " instances");
    testlib::AppExitStatus::markFailed();
    return false;
  }
  FleetWatch own_watch(params.ec2_client, params.clock);
  FleetWatch& watch = params.fleet.watch ? *params.fleet.watch : own_watch;

  if (found.instance_id) {
    RunStory::get().instanceFound(params.gw_subnet_id, *found.instance_id);
    return finishFound(params, watch, found, test_config);
  }
  const std::optional<std::string> instance_id = launchInstance(params, *profile, test_config);
  if (!instance_id) return false;
  return finishLaunched(params, watch, found, *instance_id, test_config);
}

}  // namespace probefleet
