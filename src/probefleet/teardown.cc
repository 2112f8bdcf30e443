#include "probefleet/teardown.h"

#include <exception>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "probefleet/failure_report.h"
#include "probefleet/fleet_lookup.h"
#include "probefleet/instance_delete.h"
#include "probefleet/interfaces.h"
#include "probefleet/keypairs.h"
#include "probefleet/network.h"
#include "probefleet/test_config.h"
#include "testlib/app_exit_status.h"
#include "testlib/common.h"

namespace probefleet {

namespace {

// One worker's whole life: no failure may leave the thread (that would end
// the process), so each is reported and marks the run failed instead.
void deleteEc2Worker(const aws::Ec2Client& ec2, const aws::IamClient& iam,
                     const std::string& subnet_id, const Args& args) noexcept {
  try {
    deleteEc2(ec2, iam, subnet_id, args);
    return;
  } catch (const std::exception& failure) {
    testlib::logger()->error("  **Error** teardown worker for " + subnet_id +
                             " failed: " + failure.what());
    reportFailure(failure);
  } catch (...) {
    testlib::logger()->error("  **Error** teardown worker for " + subnet_id +
                             " failed: unknown failure");
    reportFailure(std::runtime_error("unknown failure"));
  }
  testlib::AppExitStatus::markFailed();
}

// Runs deleteEc2 for every entry that has a private subnet, all at once, and
// returns when every worker has ended.
void deleteAllInstances(const aws::Ec2Client& ec2, const aws::IamClient& iam,
                        const TestConfig& config, const Args& args) {
  std::vector<std::string> subnets;
  for (const auto& entry : config) {
    if (!entry.at("private_subnet_id").get<std::string>().empty()) {
      subnets.push_back(entry.at("gw_subnet_id").get<std::string>());
    }
  }
  // jthreads join when they go out of scope, also when starting a later
  // worker fails and its exception leaves this function.
  std::vector<std::jthread> workers;
  workers.reserve(subnets.size());
  for (const std::string& subnet_id : subnets) {
    workers.emplace_back(deleteEc2Worker, std::cref(ec2), std::cref(iam), subnet_id,
                         std::cref(args));
  }
  for (std::jthread& worker : workers) worker.join();
}

void deleteGroupNamed(const aws::Ec2Client& ec2, const std::string& vpc_id,
                      const std::string& group_name, const Args& args) {
  auto log = testlib::logger();
  log->info("- Delete SG " + group_name);
  const std::optional<std::string> group_id = getSgId(ec2, vpc_id, group_name);
  if (!group_id) {
    log->info("  not found");
    return;
  }
  log->info("  delete SG " + *group_id);
  deleteSG(ec2, *group_id, args);
}

}  // namespace

void terminateEc2s(const aws::Ec2Client& ec2, const aws::IamClient& iam, const Args& args) {
  const TestConfig config = readTestConfig(args.test_config);
  deleteAllInstances(ec2, iam, config, args);

  const std::string vpc_id = getVpcId(ec2, config.at(0).at("gw_subnet_id").get<std::string>());
  if (getAllEc2InVpc(ec2, vpc_id).anyLeft() && !args.dry_run) {
    testlib::logger()->info("  **Alert** test instances may remain in " + vpc_id +
                            ": its security groups, interfaces and key pair are kept");
    return;
  }

  deleteGroupNamed(ec2, vpc_id, kInstanceSgName, args);
  for (const aws::ec2::NetworkInterface& interface : getNetworkInterfaces(ec2, vpc_id)) {
    deleteNetworkInterface(ec2, interface.network_interface_id, args);
  }
  deleteGroupNamed(ec2, vpc_id, kPrivateInfSgName, args);
  deleteKeyPair(ec2, keyPairName(vpc_id), args);
}

}  // namespace probefleet
