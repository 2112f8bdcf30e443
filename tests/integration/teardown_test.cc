// Instance deletion and fleet teardown against the sandbox, with signature
// checking on. Each test deploys into a VPC of its own with the program's
// building blocks (groups, key pair, Elastic IPs) and plain EC2 calls
// (instances, second interfaces), tears it down, and then reads what EC2
// still holds and what was sent (the journal). Waits pause through a clock
// that only counts, so no test sleeps.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fakes/fake_clock.h"
#include "integration/ops_sandbox.h"
#include "probefleet/resources/eip.h"
#include "probefleet/resources/fleet_lookup.h"
#include "probefleet/resources/interfaces.h"
#include "probefleet/resources/keypairs.h"
#include "probefleet/resources/network.h"
#include "probefleet/teardown/teardown.h"
#include "support/files.h"
#include "testlib/app_exit_status.h"

namespace probefleet {
namespace {

namespace fs = std::filesystem;
using ops_sandbox::json;
using ops_sandbox::LogCapture;
using testing_support::Sandbox;

// What a test deployed: the ids of everything a teardown must remove.
struct Deployment {
  std::string vpc_id;
  std::vector<std::string> gw_subnets;              // one per entry
  std::vector<std::vector<std::string>> instances;  // per entry
  std::string instance_sg, private_sg, key_pair, leftover_interface;
  std::map<std::string, std::string> allocation_of;  // instance id -> allocation id
  std::map<std::string, std::string> instance_of;    // second attachment id -> instance id
  std::string config_path;
};

class TeardownTest : public ops_sandbox::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    testlib::AppExitStatus::resetForTesting();
    clock_ = fakes::FakeClock::onWallClock();
    ec2_ = std::make_unique<aws::Ec2Client>(ops_sandbox::clientConfig("ec2", clock_));
    env_.vars[kAddressEchoUrlVariable] = Sandbox::shared().awsEnv().at(kAddressEchoUrlVariable);
  }
  void TearDown() override {
    testlib::AppExitStatus::resetForTesting();
    SandboxTest::TearDown();
  }

  /// A VPC with one launch and one private subnet per element of
  /// `instances_per_entry`, that many test instances in each launch subnet
  /// (each with the instance group and a second interface in the private
  /// group), both groups, the key pair and a leftover test interface. With
  /// `eip` every instance gets an Elastic IP; otherwise the launch subnet's
  /// public address. The test configuration lists the entries.
  Deployment deploy(const std::vector<int>& instances_per_entry, bool eip) {
    Deployment d;
    d.vpc_id = ec2_->createVpc({"10.77.0.0/16", {}}).vpc_id;
    Args args;
    args.backup_folder = dir_.string();
    d.instance_sg = createSG(*ec2_, d.vpc_id, args, env_).value();
    d.private_sg = createPrivateInfSG(*ec2_, d.vpc_id, args).value();
    d.key_pair = createKeyPair(*ec2_, nullptr, d.vpc_id, args);

    json config = json::array();
    for (std::size_t i = 0; i < instances_per_entry.size(); ++i) {
      const std::string gw = subnet(d.vpc_id, 2 * i + 1);
      const std::string priv = subnet(d.vpc_id, 2 * i + 2);
      d.gw_subnets.push_back(gw);
      d.instances.emplace_back();
      for (int n = 0; n < instances_per_entry[i]; ++n) {
        const std::string id = launchWithGroup(gw, d.instance_sg, !eip);
        d.instances.back().push_back(id);
        d.instance_of[attachSecond(id, priv, d.private_sg)] = id;
        if (eip) {
          associateEIP(*ec2_, primaryInterface(id), d.vpc_id, args);
          aws::ec2::DescribeAddressesRequest request;
          request.filters = {{"instance-id", {id}}};
          d.allocation_of[id] = ec2_->describeAddresses(request).at(0).allocation_id;
        }
      }
      config.push_back({{"gw_subnet_id", gw},
                        {"private_subnet_id", priv},
                        {"gw_private_ip", "10.77." + std::to_string(2 * i + 1) + ".4"}});
    }
    aws::ec2::CreateNetworkInterfaceRequest leftover;
    leftover.subnet_id = subnet(d.vpc_id, 2 * instances_per_entry.size() + 1);
    leftover.groups = {d.private_sg};
    leftover.tag_specifications = {{"network-interface", {{"Name", kNetworkInterfaceName}}}};
    d.leftover_interface = ec2_->createNetworkInterface(leftover).network_interface_id;

    d.config_path = (dir_ / "test_config.json").string();
    std::ofstream(d.config_path) << config.dump(2);
    return d;
  }

  std::string subnet(const std::string& vpc_id, std::size_t third_octet) {
    return ec2_
        ->createSubnet({vpc_id, "10.77." + std::to_string(third_octet) + ".0/24", "us-east-1a", {}})
        .subnet_id;
  }

  std::string launchWithGroup(const std::string& subnet_id, const std::string& group,
                              bool public_ip) {
    aws::ec2::RunInstancesRequest request;
    request.image_id = imageId();
    request.instance_type = "t3.micro";
    request.min_count = request.max_count = 1;
    request.tag_specifications = {{"instance", {{"Name", kInstanceName}}}};
    aws::ec2::InstanceNetworkInterfaceSpecification nic;
    nic.device_index = 0;
    nic.subnet_id = subnet_id;
    nic.associate_public_ip_address = public_ip;
    nic.groups = {group};
    request.network_interfaces = {nic};
    return ec2_->runInstances(request).instances.at(0).instance_id;
  }

  // Returns the attachment id.
  std::string attachSecond(const std::string& instance_id, const std::string& subnet_id,
                           const std::string& group) {
    aws::ec2::CreateNetworkInterfaceRequest request;
    request.subnet_id = subnet_id;
    request.groups = {group};
    request.tag_specifications = {{"network-interface", {{"Name", kNetworkInterfaceName}}}};
    const auto nic = ec2_->createNetworkInterface(request);
    return ec2_->attachNetworkInterface({1, instance_id, nic.network_interface_id});
  }

  std::string primaryInterface(const std::string& instance_id) {
    for (const auto& nic : describe(instance_id).network_interfaces) {
      if (nic.attachment && nic.attachment->device_index == 0) return nic.network_interface_id;
    }
    throw std::runtime_error("no primary interface on " + instance_id);
  }

  Args teardownArgs(const Deployment& d, bool eip, bool dry_run = false) const {
    Args args;
    args.test_config = d.config_path;
    args.backup_folder = dir_.string();
    args.eip = eip;
    args.dry_run = dry_run;
    return args;
  }

  // ---- what EC2 holds, read without the program's own lookups ----

  std::vector<std::string> liveInstances(const std::string& vpc_id) {
    aws::ec2::DescribeInstancesRequest request;
    request.filters = {{"vpc-id", {vpc_id}},
                       {"tag:Name", {kInstanceName}},
                       {"instance-state-name", kLiveInstanceStates}};
    std::vector<std::string> ids;
    for (const auto& reservation : ec2_->describeInstances(request).reservations)
      for (const auto& instance : reservation.instances) ids.push_back(instance.instance_id);
    return ids;
  }
  int groupCount(const std::string& vpc_id) {
    aws::ec2::DescribeSecurityGroupsRequest request;
    request.filters = {{"vpc-id", {vpc_id}}, {"group-name", {kInstanceSgName, kPrivateInfSgName}}};
    return static_cast<int>(ec2_->describeSecurityGroups(request).security_groups.size());
  }
  int testInterfaceCount(const std::string& vpc_id) {
    aws::ec2::DescribeNetworkInterfacesRequest request;
    request.filters = {{"vpc-id", {vpc_id}}, {"tag:Name", {kNetworkInterfaceName}}};
    return static_cast<int>(ec2_->describeNetworkInterfaces(request).network_interfaces.size());
  }
  bool keyPairExists(const std::string& name) {
    aws::ec2::DescribeKeyPairsRequest request;
    request.filters = {{"key-name", {name}}};
    return !ec2_->describeKeyPairs(request).empty();
  }
  int addressCount(const Deployment& d) {
    int count = 0;
    for (const auto& [instance, allocation] : d.allocation_of) {
      aws::ec2::DescribeAddressesRequest request;
      request.filters = {{"allocation-id", {allocation}}};
      count += static_cast<int>(ec2_->describeAddresses(request).size());
    }
    return count;
  }

  /// Every EC2 action of this test that is not a read.
  std::vector<std::string> changes() const {
    std::vector<std::string> out;
    for (const std::string& action : actions("ec2")) {
      if (action.rfind("Describe", 0) != 0) out.push_back(action);
    }
    return out;
  }

  std::shared_ptr<fakes::FakeClock> clock_;
  aws::MapEnvironment env_;
  testing_support::ScratchDir scratch_;
  fs::path dir_ = scratch_.path();
};

long seqOf(const json& entry) {
  return entry.value("seq", 0L);
}

TEST_F(TeardownTest, RemovesEveryInstanceOfEveryEntryThenTheSharedResources) {
  // Entry 1 holds two instances (left by a run that went wrong), entry 2 one;
  // all with Elastic IPs.
  const Deployment d = deploy({2, 1}, /*eip=*/true);
  ASSERT_EQ(liveInstances(d.vpc_id).size(), 3u);
  ASSERT_EQ(addressCount(d), 3);
  restartJournal();
  LogCapture log;

  terminateEc2s(*ec2_, *iam_, teardownArgs(d, /*eip=*/true));

  EXPECT_EQ(liveInstances(d.vpc_id), std::vector<std::string>{});
  EXPECT_EQ(groupCount(d.vpc_id), 0);
  EXPECT_EQ(testInterfaceCount(d.vpc_id), 0);
  EXPECT_FALSE(keyPairExists(d.key_pair));
  EXPECT_EQ(addressCount(d), 0);
  EXPECT_EQ(testlib::AppExitStatus().getStatus(), 0);
  EXPECT_EQ(log.count("info|- Delete corvanta-test-ec2 in " + d.gw_subnets[0]), 1);
  for (const std::string& id : d.instances[0])
    EXPECT_EQ(log.count("info|  terminate " + id + " in " + d.gw_subnets[0]), 1) << id;

  // Every address is released only after its instance was terminated, and
  // the second interfaces were detached before that.
  std::map<std::string, long> terminated_at;
  for (const json& call : journal("TerminateInstances")) {
    for (const auto& [key, value] : call.at("params").items())
      if (key.rfind("InstanceId.", 0) == 0) terminated_at[value.get<std::string>()] = seqOf(call);
  }
  ASSERT_EQ(terminated_at.size(), 3u);
  // (Other tests' unassociated addresses may go too: the clean-up releases
  // every tagged address that nothing holds.)
  int released = 0;
  for (const json& release : journal("ReleaseAddress")) {
    const std::string allocation = release.at("params").value("AllocationId", "");
    const auto owner = std::find_if(d.allocation_of.begin(), d.allocation_of.end(),
                                    [&](const auto& pair) { return pair.second == allocation; });
    if (owner == d.allocation_of.end()) continue;
    ++released;
    EXPECT_GT(seqOf(release), terminated_at.at(owner->first)) << allocation;
  }
  EXPECT_EQ(released, 3);
  // The workers run side by side, so the order holds per instance only.
  const auto detaches = journal("DetachNetworkInterface");
  ASSERT_EQ(detaches.size(), 3u);
  for (const json& detach : detaches) {
    const std::string attachment = detach.at("params").value("AttachmentId", "");
    ASSERT_EQ(d.instance_of.count(attachment), 1u) << attachment;
    EXPECT_LT(seqOf(detach), terminated_at.at(d.instance_of.at(attachment))) << attachment;
  }

  // The shared resources go in a fixed order, after every instance.
  const auto last = [&](const std::string& action) { return seqOf(journal(action).back()); };
  const auto groups = journal("DeleteSecurityGroup");
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].at("params").value("GroupId", ""), d.instance_sg);
  EXPECT_EQ(groups[1].at("params").value("GroupId", ""), d.private_sg);
  EXPECT_LT(last("TerminateInstances"), seqOf(groups[0]));
  EXPECT_LT(seqOf(groups[0]), last("DeleteNetworkInterface"));
  EXPECT_LT(last("DeleteNetworkInterface"), seqOf(groups[1]));
  EXPECT_LT(seqOf(groups[1]), last("DeleteKeyPair"));

  // A second teardown finds nothing and changes nothing.
  restartJournal();
  LogCapture again;
  terminateEc2s(*ec2_, *iam_, teardownArgs(d, /*eip=*/true));
  EXPECT_EQ(changes(), std::vector<std::string>{});
  EXPECT_EQ(again.count("info|  not found"), 2);
  EXPECT_EQ(testlib::AppExitStatus().getStatus(), 0);
}

TEST_F(TeardownTest, PublicAddressThatIsNoElasticIpDoesNotKeepTheInstance) {
  // An --eip teardown of instances holding only their subnet's public address
  // (e.g. the association failed at deployment).
  const Deployment d = deploy({1}, /*eip=*/false);
  const std::string id = d.instances[0][0];
  const std::string address = describe(id).public_ip_address;
  ASSERT_FALSE(address.empty());
  // Unassociated addresses: this VPC's is a leftover; another VPC's may be
  // one a run there has just allocated and is about to associate.
  const std::string own = ec2_->allocateAddress(addressRequest(Args{}, d.vpc_id)).allocation_id;
  const std::string other =
      ec2_->allocateAddress(addressRequest(Args{}, "vpc-0123456789abcdef0")).allocation_id;
  restartJournal();
  LogCapture log;

  terminateEc2s(*ec2_, *iam_, teardownArgs(d, /*eip=*/true));

  EXPECT_EQ(liveInstances(d.vpc_id), std::vector<std::string>{});
  const auto released = journal("ReleaseAddress");
  ASSERT_EQ(released.size(), 1u);
  EXPECT_EQ(released[0].at("params").value("AllocationId", ""), own);
  aws::ec2::ReleaseAddressRequest cleanup;
  cleanup.allocation_id = other;
  ec2_->releaseAddress(cleanup);
  EXPECT_EQ(log.count("info|  **Alert** no Elastic IP holds " + address + " of " + id +
                      ": nothing to release"),
            1);
  EXPECT_EQ(groupCount(d.vpc_id), 0);
  EXPECT_EQ(testlib::AppExitStatus().getStatus(), 0);
}

TEST_F(TeardownTest, DryRunOnlyLogsWhatItWouldDelete) {
  const Deployment d = deploy({1, 1}, /*eip=*/true);
  restartJournal();
  LogCapture log;

  terminateEc2s(*ec2_, *iam_, teardownArgs(d, /*eip=*/true, /*dry_run=*/true));

  EXPECT_EQ(changes(), std::vector<std::string>{});
  EXPECT_EQ(liveInstances(d.vpc_id).size(), 2u);
  EXPECT_EQ(groupCount(d.vpc_id), 2);
  EXPECT_EQ(testInterfaceCount(d.vpc_id), 3);
  EXPECT_TRUE(keyPairExists(d.key_pair));
  EXPECT_EQ(addressCount(d), 2);
  // The steps still walk through everything, instances left or not.
  for (std::size_t i = 0; i < d.gw_subnets.size(); ++i) {
    const std::string id = d.instances[i][0];
    EXPECT_EQ(log.count("info|  terminate " + id + " in " + d.gw_subnets[i]), 1);
    EXPECT_EQ(log.count("info|- Delete EIP " + describe(id).public_ip_address + " " +
                        d.allocation_of.at(id) + " for " + id),
              1);
  }
  EXPECT_EQ(log.count("info|  delete SG " + d.instance_sg), 1);
  EXPECT_EQ(log.count("info|  delete SG " + d.private_sg), 1);
  EXPECT_EQ(log.count("info|- Delete natwork interface " + d.leftover_interface), 1);
}

TEST_F(TeardownTest, SharedResourcesStayWhileTestInstancesMayRemain) {
  struct Row {
    const char* name;
    int instances;       // in the configuration's one entry
    bool foreign;        // a test instance in a subnet the configuration does not name
    bool listing_fails;  // the final look at the VPC gets no answer
    int exit_status;
  };
  const std::vector<Row> rows = {
      {"a foreign test instance remains", 1, true, false, 1},
      {"the instances of the VPC cannot be listed", 0, false, true, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    testlib::AppExitStatus::resetForTesting();
    const Deployment d = deploy({row.instances}, /*eip=*/false);
    std::string foreign;
    if (row.foreign) foreign = launchWithGroup(subnet(d.vpc_id, 50), d.instance_sg, false);
    if (row.listing_fails) {
      // The worker's look at its empty subnet passes; the VPC-wide one fails.
      Sandbox::shared().setFaults({{"rules",
                                    {{{"service", "ec2"},
                                      {"action", "DescribeInstances"},
                                      {"skip", 1},
                                      {"count", 1},
                                      {"status", 400},
                                      {"code", "UnauthorizedOperation"},
                                      {"message", "injected"}}}}});
    }
    restartJournal();
    LogCapture log;

    terminateEc2s(*ec2_, *iam_, teardownArgs(d, /*eip=*/false));
    Sandbox::shared().clearFaults();

    EXPECT_EQ(liveInstances(d.vpc_id),
              row.foreign ? std::vector<std::string>{foreign} : std::vector<std::string>{});
    EXPECT_EQ(groupCount(d.vpc_id), 2);
    EXPECT_EQ(testInterfaceCount(d.vpc_id), 1);  // the leftover one
    EXPECT_TRUE(keyPairExists(d.key_pair));
    EXPECT_EQ(journal("DeleteSecurityGroup").size(), 0u);
    EXPECT_EQ(journal("DeleteKeyPair").size(), 0u);
    EXPECT_EQ(log.count("error|  **Error** test instances remain in " + d.vpc_id +
                        ": its security groups, interfaces and key pair are kept; revert again "
                        "once they are gone"),
              1);
    EXPECT_EQ(testlib::AppExitStatus().getStatus(), row.exit_status);
  }
}

TEST_F(TeardownTest, FailingWorkerMarksTheRunFailedWhileTheOthersFinish) {
  const Deployment d = deploy({1, 1, 1}, /*eip=*/false);
  fail("ec2", "TerminateInstances", "UnauthorizedOperation");
  restartJournal();
  LogCapture log;

  EXPECT_NO_THROW(terminateEc2s(*ec2_, *iam_, teardownArgs(d, /*eip=*/false)));

  const auto left = liveInstances(d.vpc_id);
  ASSERT_EQ(left.size(), 1u);
  std::size_t failed_entry = 0;
  while (d.instances[failed_entry][0] != left[0]) ++failed_entry;
  const std::string report = "error|  **Error** teardown worker for " + d.gw_subnets[failed_entry] +
                             " failed: ec2 UnauthorizedOperation";
  const auto lines = log.lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& line) { return line.rfind(report, 0) == 0; }),
            1);
  EXPECT_EQ(journal("TerminateInstances").size(), 3u);
  EXPECT_EQ(testlib::AppExitStatus().getStatus(), 1);
  // Its instance is still there, so nothing it may use is deleted.
  EXPECT_EQ(groupCount(d.vpc_id), 2);
  EXPECT_TRUE(keyPairExists(d.key_pair));
}

}  // namespace
}  // namespace probefleet
