#include "probefleet/deploy.h"

#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include "aws/base/interrupt.h"
#include "probefleet/eip.h"
#include "probefleet/failure_report.h"
#include "probefleet/fleet_lookup.h"
#include "probefleet/fleet_watch.h"
#include "probefleet/identity.h"
#include "probefleet/instance_create.h"
#include "probefleet/keypairs.h"
#include "probefleet/network.h"
#include "probefleet/patience.h"
#include "probefleet/story.h"
#include "probefleet/test_config.h"
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
};

// One entry's worker. Its outcome is written only by its own thread and
// read by the main thread after the join.
struct Worker {
  TestConfig* entry = nullptr;
  std::string gw_subnet_id;
  bool deployed = false;
  std::thread thread;
};

std::string text(const TestConfig& entry, const char* key) {
  const auto found = entry.find(key);
  return found != entry.end() && found->is_string() ? found->get<std::string>() : std::string();
}

RunWide prepare(const aws::Ec2Client& ec2, const aws::S3Client* s3, const aws::IamClient& iam,
                const std::string& first_gw_subnet_id, const Args& args,
                const aws::Environment& env) {
  RunWide run;
  const std::string vpc_id = getVpcId(ec2, first_gw_subnet_id);
  run.sg_id = createSG(ec2, vpc_id, args, env);
  run.sg_id_private_inf = createPrivateInfSG(ec2, vpc_id, args);
  run.key_name = given(args.key_name) ? *args.key_name : createKeyPair(ec2, s3, vpc_id, args);
  if (args.ec2_role == "default") {
    const std::optional<std::string> policy_arn = createS3Policy(iam, args);
    createEc2Role(iam, policy_arn, args);
    createInstanceProfile(iam, args);
    run.instance_profile = kInstanceProfileName;
  }
  return run;
}

// The task of one worker thread. Nothing escapes it: an exception leaving a
// thread's function would end the whole process.
void runWorker(Worker& worker, const aws::Ec2Client& ec2, const aws::IamClient& iam,
               const std::string& ami, const Args& args, const RunWide& run, aws::Clock& clock,
               const FleetShare& share) {
  auto log = testlib::logger();
  TestConfig& entry = *worker.entry;
  try {
    worker.deployed =
        createEc2(ec2, iam, ami, worker.gw_subnet_id, text(entry, "private_subnet_id"),
                  text(entry, "gw_private_ip"), args, entry, run.sg_id, run.sg_id_private_inf,
                  run.instance_profile, run.key_name, clock, share);
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
  } catch (...) {
    log->error("  **Error** worker of " + worker.gw_subnet_id + " ended by an unknown failure");
  }
  RunStory::get().entryEnded(worker.gw_subnet_id, false, entry);
  testlib::AppExitStatus::markFailed();
}

// The Availability Zone of every subnet the entries name, in one look.
std::map<std::string, std::string> subnetZones(const aws::Ec2Client& ec2,
                                               const TestConfig& document, aws::Clock& clock) {
  std::vector<std::string> ids;
  for (const TestConfig& entry : document) {
    ids.push_back(text(entry, "gw_subnet_id"));
    ids.push_back(text(entry, "private_subnet_id"));
  }
  std::erase(ids, std::string());
  std::map<std::string, std::string> zones;
  for (const auto& [id, subnet] : patiently(clock, {}, [&] { return getSubnets(ec2, ids); })) {
    zones[id] = subnet.availability_zone;
  }
  return zones;
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
  auto log = testlib::logger();
  TestConfig document = readTestConfig(args.test_config, ConfigUse::kDeploy);
  RunWide run;
  std::map<std::string, std::string> zones;
  std::map<std::string, Ec2Lookup> found;
  std::vector<Worker> workers;
  try {
    RunStory::get().phase("preparing");
    zones = subnetZones(ec2_client, document, clock);
    run =
        prepare(ec2_client, s3_client, iam_client, text(document.at(0), "gw_subnet_id"), args, env);

    // The array is not resized from here on, so the entry pointers hold.
    std::vector<std::string> subnets;
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
      subnets.push_back(workers.back().gw_subnet_id);
    }
    RunStory::get().entries(listed, skipped);
    std::erase_if(workers, [&](const Worker& worker) { return !zonesMatch(worker, zones); });
    subnets.clear();
    for (const Worker& worker : workers) subnets.push_back(worker.gw_subnet_id);
    RunStory::get().phase("launching");
    // What stands in every subnet, in one look for the whole fleet.
    found = patiently(clock, {}, [&] { return getEc2s(ec2_client, subnets); });
  } catch (const aws::Interrupted&) {
    // Nothing was launched yet: the output is the input as it stands.
    writeOutput(args, document);
    throw;
  }

  if (args.eip && !addressesFit(ec2_client, workers, found, args, clock)) {
    writeOutput(args, document);
    return;
  }

  FleetWatch watch(ec2_client, clock);
  std::vector<FleetShare> shares(workers.size());
  for (std::size_t i = 0; i < workers.size(); ++i) {
    shares[i].watch = &watch;
    shares[i].found = found.at(workers[i].gw_subnet_id);
  }
  for (std::size_t i = 0; i < workers.size(); ++i) {
    Worker& worker = workers[i];
    try {
      worker.thread = std::thread(runWorker, std::ref(worker), std::cref(ec2_client),
                                  std::cref(iam_client), std::cref(ami), std::cref(args),
                                  std::cref(run), std::ref(clock), std::cref(shares[i]));
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
