#include "probefleet/deploy/deploy.h"

#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include "aws/base/interrupt.h"
#include "probefleet/config/test_config.h"
#include "probefleet/core/failure_report.h"
#include "probefleet/core/patience.h"
#include "probefleet/core/story.h"
#include "probefleet/deploy/instance_create.h"
#include "probefleet/guard/account_checks.h"
#include "probefleet/guard/create_dry_runs.h"
#include "probefleet/resources/eip.h"
#include "probefleet/resources/fleet_lookup.h"
#include "probefleet/resources/fleet_watch.h"
#include "probefleet/resources/identity.h"
#include "probefleet/resources/interfaces.h"
#include "probefleet/resources/keypairs.h"
#include "probefleet/resources/network.h"
#include "testlib/app_exit_status.h"
#include "testlib/common.h"
#include "testlib/exit_request.h"

namespace probefleet {

namespace {

// What every worker of the run is handed unchanged.
struct RunWide {
  std::optional<std::string> sg_id;
  std::optional<std::string> sg_id_private_inf;
  std::optional<std::string> key_name;
  std::optional<std::string> instance_profile;
  /// The profile was made or given its role now: EC2 may not take it yet.
  bool new_profile = false;
};

// One entry's worker. Its outcome is written only by its own thread and
// read by the main thread after the join.
struct Worker {
  TestConfig* entry = nullptr;
  std::string gw_subnet_id;
  bool deployed = false;
  std::thread thread;
  /// The types its launch may use, in order; empty when it launches nothing.
  std::vector<std::string> types = {};
};

std::string text(const TestConfig& entry, const char* key) {
  const auto found = entry.find(key);
  return found != entry.end() && found->is_string() ? found->get<std::string>() : std::string();
}

RunWide prepare(const aws::Ec2Client& ec2, const aws::S3Client* s3, const aws::IamClient& iam,
                const std::string& vpc_id, const Args& args, const aws::Environment& env) {
  RunWide run;
  run.sg_id = createSG(ec2, vpc_id, args, env);
  run.sg_id_private_inf = createPrivateInfSG(ec2, vpc_id, args);
  run.key_name = given(args.key_name) ? *args.key_name : createKeyPair(ec2, s3, vpc_id, args);
  if (args.ec2_role == "default") {
    const std::optional<std::string> policy_arn = createS3Policy(iam, args);
    createEc2Role(iam, policy_arn, args);
    run.new_profile = createInstanceProfile(iam, args);
    run.instance_profile = kInstanceProfileName;
  }
  return run;
}

// The task of one worker thread. Nothing escapes it: an exception leaving a
// thread's function would end the whole process.
void runWorker(Worker& worker, const aws::Ec2Client& ec2, const aws::IamClient& iam,
               const LaunchPlan& plan, const Args& args, const RunWide& run, aws::Clock& clock,
               const FleetShare& share, LaunchGate* gate) {
  auto log = testlib::logger();
  TestConfig& entry = *worker.entry;
  try {
    const CreateEc2Params params{
        .ec2_client = ec2,
        .iam_client = iam,
        .args = args,
        .ami = plan.types.empty() ? std::string() : plan.imageFor(plan.types.front()),
        .gw_subnet_id = worker.gw_subnet_id,
        .private_subnet_id = text(entry, "private_subnet_id"),
        .sg_id = run.sg_id,
        .sg_id_private_inf = run.sg_id_private_inf,
        .instance_profile = run.instance_profile,
        .key_name = run.key_name,
        .instance_types = worker.types,
        .plan = &plan,
        .clock = clock,
        .fleet = share,
        .launch_gate = gate};
    worker.deployed = createEc2(params, entry);
    RunStory::get().entryEnded(worker.gw_subnet_id, worker.deployed, entry);
    return;
  } catch (const aws::Interrupted& stop) {
    log->error("  **Error** worker of " + worker.gw_subnet_id + " stopped: " + stop.what());
  } catch (const testlib::ExitRequest& stop) {
    // Already reported by the operation that stopped.
    log->error("  **Error** worker of " + worker.gw_subnet_id + " ended: " + stop.what());
  } catch (const std::exception& failure) {
    log->error("  **Error** worker of " + worker.gw_subnet_id +
               " ended by a failure: " + failure.what());
    reportFailure(failure);
    RunStory::get().entryError(worker.gw_subnet_id, failure.what());
  } catch (...) {
    log->error("  **Error** worker of " + worker.gw_subnet_id + " ended by an unknown failure");
  }
  RunStory::get().entryEnded(worker.gw_subnet_id, false, entry);
  testlib::AppExitStatus::markFailed();
}

// Every subnet the entries name, in one look.
std::map<std::string, aws::ec2::Subnet> subnetZones(const aws::Ec2Client& ec2,
                                                    const TestConfig& document, aws::Clock& clock) {
  std::vector<std::string> ids;
  for (const TestConfig& entry : document) {
    ids.push_back(text(entry, "gw_subnet_id"));
    ids.push_back(text(entry, "private_subnet_id"));
  }
  std::erase(ids, std::string());
  return patiently(clock, {}, [&] { return getSubnets(ec2, ids); });
}

// AWS attaches an interface only to an instance in the interface's own zone:
// an entry whose two subnets lie in different zones is failed before anything
// is made for it. A subnet EC2 did not list is left to the steps that use it.
bool zonesMatch(const Worker& worker, const std::map<std::string, std::string>& zones) {
  const std::string private_subnet = text(*worker.entry, "private_subnet_id");
  const auto launch = zones.find(worker.gw_subnet_id);
  const auto second = zones.find(private_subnet);
  if (launch == zones.end() || second == zones.end() || launch->second == second->second) {
    return true;
  }
  testlib::logger()->error("  **Error** Skip " + worker.gw_subnet_id + " -- its private subnet " +
                           private_subnet + " is in " + second->second + ", the launch subnet in " +
                           launch->second +
                           ": an instance's interfaces must share its Availability Zone");
  RunStory::get().entryEnded(worker.gw_subnet_id, false, *worker.entry);
  testlib::AppExitStatus::markFailed();
  return false;
}

// Whether the region's Elastic IP quota leaves room for an address per entry
// that has none yet. Checked before any launch: past the quota, every launch
// beyond it would end in AddressLimitExceeded with its instance standing.
bool addressesFit(const aws::Ec2Client& ec2, const std::vector<Worker>& workers,
                  const std::map<std::string, Ec2Lookup>& found, const Args& args,
                  aws::Clock& clock) {
  auto log = testlib::logger();
  int needed = 0;
  for (const Worker& worker : workers) {
    const Ec2Lookup& lookup = found.at(worker.gw_subnet_id);
    needed += !lookup.crowded() && (!lookup.instance_id || !lookup.public_ip);
  }
  if (needed == 0) return true;
  const auto quota = addressQuota(ec2, clock);
  if (!quota) return true;  // EC2 named no quota: the allocations will tell
  const std::string counts = std::to_string(needed) + " new Elastic IPs needed, " +
                             std::to_string(quota->in_use) + " of the region's " +
                             std::to_string(quota->quota) + " in use";
  log->info("  " + counts);
  if (needed <= quota->available()) {
    if (args.dry_run) tell(Act::kCreate, "elastic ips", std::to_string(needed), counts);
    return true;
  }
  log->error("  **Error** nothing launched: " + counts +
             "; release unused addresses or ask for a higher quota (Service Quotas, "
             "\"EC2-VPC Elastic IPs\")");
  tell(Act::kLeave, "elastic ips", std::to_string(needed), "quota: " + counts);
  for (const Worker& worker : workers) {
    RunStory::get().entryEnded(worker.gw_subnet_id, false, *worker.entry);
  }
  testlib::AppExitStatus::markFailed();
  return false;
}

// An entry that cannot succeed fails before anything is made for it, and the
// run is marked failed; the other entries go on.
void refuse(const Worker& worker, const std::string& why) {
  testlib::logger()->error("  **Error** Skip " + worker.gw_subnet_id + " -- " + why);
  RunStory::get().entryRefused(worker.gw_subnet_id, why);
  testlib::AppExitStatus::markFailed();
}

// The types each entry that launches may use: those of the plan its zone
// offers, in order. An entry whose zone offers none is refused.
void assignTypes(std::vector<Worker>& workers, const std::map<std::string, Ec2Lookup>& found,
                 const LaunchPlan& plan) {
  std::erase_if(workers, [&](Worker& worker) {
    const std::string zone = plan.zoneOf(worker.gw_subnet_id);
    if (found.at(worker.gw_subnet_id).instance_id) return false;
    worker.types = plan.typesFor(zone);
    if (!worker.types.empty()) {
      RunStory::get().entryPlaced(worker.gw_subnet_id, zone, worker.types.front());
      return false;
    }
    std::string wanted;
    for (const std::string& type : plan.types) wanted += (wanted.empty() ? "" : ", ") + type;
    refuse(worker, "its zone " + (zone.empty() ? std::string("?") : zone) +
                       " offers none of the instance types " + wanted);
    return true;
  });
}

// In configuration order, the entries whose new instance and second interface
// fit in the free addresses of their subnets go on; the others are refused.
void fitAddresses(std::vector<Worker>& workers, const std::map<std::string, Ec2Lookup>& found,
                  const LaunchPlan& plan) {
  std::vector<AddressNeed> needs;
  for (const Worker& worker : workers) {
    const Ec2Lookup& lookup = found.at(worker.gw_subnet_id);
    needs.push_back({lookup.instance_id ? "" : worker.gw_subnet_id,
                     lookup.private_interface ? "" : text(*worker.entry, "private_subnet_id")});
  }
  const std::vector<std::string> verdicts = addressVerdicts(needs, plan.subnets);
  std::size_t i = 0;
  std::erase_if(workers, [&](const Worker& worker) {
    const std::string& verdict = verdicts[i++];
    if (verdict.empty()) return false;
    refuse(worker, verdict + "; nothing was launched for it");
    return true;
  });
}

// The creates the deployment will make, each once, as dry runs: the launch of
// each first-choice type, the groups, the key pair, the second interface and
// the Elastic IP, as far as any entry needs them.
std::vector<DryRunCreate> plannedCreates(const aws::Ec2Client& ec2,
                                         const std::vector<Worker>& workers,
                                         const std::map<std::string, Ec2Lookup>& found,
                                         const LaunchPlan& plan, const Args& args,
                                         const std::string& vpc_id, aws::Clock& clock) {
  std::vector<DryRunCreate> creates;
  std::vector<std::string> types;
  bool launches = false, interfaces = false, addresses = false;
  std::optional<std::string> profile;
  if (given(args.ec2_role) && *args.ec2_role != "default") profile = plan.role_profile;
  const std::optional<std::string> key =
      given(args.key_name) ? std::optional<std::string>(*args.key_name) : std::nullopt;
  for (const Worker& worker : workers) {
    const Ec2Lookup& lookup = found.at(worker.gw_subnet_id);
    if (!lookup.private_interface && !interfaces) {
      interfaces = true;
      auto request = interfaceRequest(text(*worker.entry, "private_subnet_id"), std::nullopt, args);
      request.dry_run = true;
      creates.push_back({"CreateNetworkInterface", "in " + request.subnet_id,
                         [&ec2, request] { ec2.createNetworkInterface(request); }});
    }
    addresses = addresses || (!lookup.crowded() && (!lookup.instance_id || !lookup.public_ip));
    if (worker.types.empty() ||
        std::find(types.begin(), types.end(), worker.types.front()) != types.end()) {
      continue;
    }
    launches = true;
    const std::string& type = worker.types.front();
    types.push_back(type);
    // Groups not made yet are left out: EC2 then checks the VPC's default one.
    auto request = launchRequest(plan.imageFor(type), type, worker.gw_subnet_id, args, std::nullopt,
                                 profile, key, testScriptFor(args, *worker.entry), clock);
    request.dry_run = true;
    creates.push_back({"RunInstances", type + " in " + worker.gw_subnet_id,
                       [&ec2, request] { ec2.runInstances(request); }});
  }
  if (launches) {
    auto group = securityGroupRequest(vpc_id, kInstanceSgName, args);
    group.dry_run = true;
    creates.push_back({"CreateSecurityGroup", std::string(kInstanceSgName) + " in " + vpc_id,
                       [&ec2, group] { ec2.createSecurityGroup(group); }});
    if (!key) {
      auto pair = keyPairRequest(kKeyPairPrefix + vpc_id, args);
      pair.dry_run = true;
      creates.push_back(
          {"CreateKeyPair", pair.key_name, [&ec2, pair] { ec2.createKeyPair(pair); }});
    }
  }
  if (args.eip && addresses) {
    auto address = addressRequest(args, vpc_id);
    address.dry_run = true;
    creates.push_back(
        {"AllocateAddress", "an Elastic IP", [&ec2, address] { ec2.allocateAddress(address); }});
  }
  return creates;
}

// Whether the account lets the fleet be made: its new instances fit in the
// vCPU quota, and the policies allow every kind of create (dry runs). Every
// finding is told; false when one is a problem, and then nothing is made.
bool accountAllows(const aws::Ec2Client& ec2, const std::vector<Worker>& workers,
                   const std::map<std::string, Ec2Lookup>& found, const LaunchPlan& plan,
                   const Args& args, const std::string& vpc_id, aws::Clock& clock) {
  Findings findings;
  if (plan.vcpu_quota && plan.vcpus_running) {
    int adding = 0;
    for (const Worker& worker : workers) {
      if (worker.types.empty() || !isStandardFamily(worker.types.front())) continue;
      const auto facts = plan.facts.find(worker.types.front());
      if (facts != plan.facts.end() && facts->second.vcpus) adding += *facts->second.vcpus;
    }
    const std::string numbers = std::to_string(adding) + " new vCPUs for the fleet, " +
                                std::to_string(*plan.vcpus_running) +
                                " running in the region, quota " + std::to_string(*plan.vcpu_quota);
    if (adding > 0 && *plan.vcpus_running + adding > *plan.vcpu_quota) {
      findings.push_back({Finding::Level::kProblem, "vCPU quota",
                          numbers + " (On-Demand Standard instances, Service Quotas " +
                              kStandardVcpuQuotaCode +
                              "): ask for a higher quota, or deploy fewer entries"});
    } else if (adding > 0) {
      findings.push_back({Finding::Level::kOk, "vCPU quota", numbers});
    }
  }
  const std::vector<DryRunCreate> creates =
      plannedCreates(ec2, workers, found, plan, args, vpc_id, clock);
  const Findings tried = dryRunCreates(creates);
  findings.insert(findings.end(), tried.begin(), tried.end());
  bool allowed = true;
  for (const Finding& finding : findings) {
    tellFinding(finding);
    allowed = allowed && finding.level != Finding::Level::kProblem;
  }
  if (!allowed) {
    testlib::logger()->error(
        "  **Error** the account would refuse this deployment; nothing was changed");
    for (const Worker& worker : workers) {
      RunStory::get().entryRefused(worker.gw_subnet_id, "the account would refuse the deployment");
    }
    testlib::AppExitStatus::markFailed();
  }
  return allowed;
}

void writeOutput(const Args& args, const TestConfig& document) {
  if (!given(args.output_test_config)) {
    testlib::logger()->info("  no output_test_config given: the test config is not written");
    return;
  }
  writeTestConfig(*args.output_test_config, document);
}

}  // namespace

void deployEc2s(const aws::Ec2Client& ec2_client, const aws::S3Client* s3_client,
                const aws::IamClient& iam_client, const std::string& ami, const Args& args,
                aws::Clock& clock, const aws::Environment& env) {
  deployEc2s(ec2_client, s3_client, iam_client,
             singleImagePlan(instanceTypeList(args.instance_type).front(), ami), args, clock, env);
}

void deployEc2s(const aws::Ec2Client& ec2_client, const aws::S3Client* s3_client,
                const aws::IamClient& iam_client, const LaunchPlan& given_plan, const Args& args,
                aws::Clock& clock, const aws::Environment& env) {
  auto log = testlib::logger();
  TestConfig document = readTestConfig(args.test_config, ConfigUse::kDeploy);
  LaunchPlan plan = given_plan;
  RunWide run;
  std::map<std::string, Ec2Lookup> found;
  std::vector<Worker> workers;
  try {
    RunStory::get().phase("preparing");
    // The preflight listed the subnets already; a plan without them asks.
    if (plan.subnets.empty()) plan.subnets = subnetZones(ec2_client, document, clock);
    std::map<std::string, std::string> zones;
    for (const auto& [id, subnet] : plan.subnets) zones[id] = subnet.availability_zone;

    // The array is not resized from here on, so the entry pointers hold.
    std::vector<std::string> listed;
    std::vector<bool> skipped;
    for (TestConfig& entry : document) {
      listed.push_back(text(entry, "gw_subnet_id"));
      skipped.push_back(text(entry, "private_subnet_id").empty());
      if (skipped.back()) {
        log->error("  **Error** Skip " + text(entry, "nat_gw_id") +
                   " -- private_subnet_id not defined");
        continue;
      }
      workers.push_back(Worker{&entry, text(entry, "gw_subnet_id"), false, {}});
    }
    RunStory::get().entries(listed, skipped);
    std::erase_if(workers, [&](const Worker& worker) { return !zonesMatch(worker, zones); });
    std::vector<std::string> subnets;
    for (const Worker& worker : workers) subnets.push_back(worker.gw_subnet_id);
    // What stands in every subnet, in one look for the whole fleet.
    found = patiently(clock, {}, [&] { return getEc2s(ec2_client, subnets); });
  } catch (const aws::Interrupted&) {
    // Nothing was launched yet: the output is the input as it stands.
    writeOutput(args, document);
    throw;
  }

  // What EC2 would refuse is found before anything is made.
  assignTypes(workers, found, plan);
  fitAddresses(workers, found, plan);
  if (args.eip && !addressesFit(ec2_client, workers, found, args, clock)) {
    writeOutput(args, document);
    return;
  }
  if (workers.empty()) {
    log->error("  **Error** no entry can be deployed; nothing was made");
    testlib::AppExitStatus::markFailed();
    writeOutput(args, document);
    return;
  }
  std::string vpc_id;
  if (const auto subnet = plan.subnets.find(workers.front().gw_subnet_id);
      subnet != plan.subnets.end()) {
    vpc_id = subnet->second.vpc_id;
  }
  try {
    if (vpc_id.empty()) vpc_id = getVpcId(ec2_client, workers.front().gw_subnet_id);
    if (!accountAllows(ec2_client, workers, found, plan, args, vpc_id, clock)) {
      writeOutput(args, document);
      return;
    }
    run = prepare(ec2_client, s3_client, iam_client, vpc_id, args, env);
  } catch (const aws::Interrupted&) {
    writeOutput(args, document);
    throw;
  }
  RunStory::get().phase("launching");

  FleetWatch watch(ec2_client, clock);
  // A new profile is tried by one launch before the fleet's burst is spent.
  LaunchGate gate;
  LaunchGate* const new_profile_gate = run.new_profile ? &gate : nullptr;
  std::vector<FleetShare> shares(workers.size());
  for (std::size_t i = 0; i < workers.size(); ++i) {
    shares[i].watch = &watch;
    shares[i].found = found.at(workers[i].gw_subnet_id);
  }
  for (std::size_t i = 0; i < workers.size(); ++i) {
    Worker& worker = workers[i];
    try {
      worker.thread =
          std::thread(runWorker, std::ref(worker), std::cref(ec2_client), std::cref(iam_client),
                      std::cref(plan), std::cref(args), std::cref(run), std::ref(clock),
                      std::cref(shares[i]), new_profile_gate);
    } catch (const std::exception& failure) {
      log->error("  **Error** cannot start the worker of " + worker.gw_subnet_id + ": " +
                 failure.what());
      reportFailure(failure);
      testlib::AppExitStatus::markFailed();
    }
  }
  for (Worker& worker : workers) {
    if (worker.thread.joinable()) worker.thread.join();
  }
  RunStory::get().phase("writing the output");

  for (const Worker& worker : workers) {
    if (!args.dry_run && !worker.deployed) {
      log->error("  **Error** " + std::string(kInstanceName) + " in " + worker.gw_subnet_id +
                 " is not deployed: its ec2_ip or ec2_2nd_private_ip was not recorded");
      testlib::AppExitStatus::markFailed();
    }
  }
  writeOutput(args, document);
}

}  // namespace probefleet
