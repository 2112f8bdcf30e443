// Fleet deployment against the sandbox with signature checking on: what is
// launched (the journal), what each entry records, the output file in
// Python's layout, reuse on a rerun, the dry run, the launch retry, and the
// entries that cannot be deployed. Pauses go through a clock that only
// records them, so nothing here sleeps for real.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fakes/fake_clock.h"
#include "integration/ops_sandbox.h"
#include "probefleet/deploy/deploy.h"
#include "probefleet/resources/fleet_lookup.h"
#include "probefleet/resources/identity.h"
#include "probefleet/deploy/instance_create.h"
#include "probefleet/resources/network.h"
#include "probefleet/config/test_config.h"
#include "support/build_paths.h"
#include "support/files.h"
#include "testlib/app_exit_status.h"
#include "testlib/globals.h"

namespace probefleet {
namespace {

namespace fs = std::filesystem;
using ops_sandbox::json;
using ops_sandbox::LogCapture;
using ops_sandbox::readFile;
using std::chrono::milliseconds;

class DeployTest : public ops_sandbox::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    ++serial_;  // names what this test makes apart from earlier tests'
    clock_ = std::make_shared<fakes::FakeClock>();
    ec2_ = std::make_unique<aws::Ec2Client>(ops_sandbox::clientConfig("ec2", clock_));
    iam_ = std::make_unique<aws::IamClient>(ops_sandbox::clientConfig("iam", clock_));
    env_.vars[kAddressEchoUrlVariable] = ops_sandbox::Sandbox::shared().endpoint() + "/echo";
    args_.test_config = (work_ / "test_config.json").string();
    args_.output_test_config = (work_ / "out" / "test_config.json").string();
    fs::create_directories(work_ / "out");
    args_.backup_folder = (work_ / "backup").string();
    testlib::AppExitStatus::resetForTesting();
    terminateTestInstances(world_.at("vpc_id").get<std::string>());
    restartJournal();
  }
  void TearDown() override {
    terminateTestInstances(world_.at("vpc_id").get<std::string>());
    testlib::Globals::dry_run = false;
    testlib::AppExitStatus::resetForTesting();
    SandboxTest::TearDown();
  }
  // Leaves no live test instance in the VPC, so that each test starts
  // from subnets that hold none and leaves none to the other tests.
  void terminateTestInstances(const std::string& vpc_id) {
    aws::ec2::DescribeInstancesRequest request;
    request.filters = {{"tag:Name", {kInstanceName}},
                       {"vpc-id", {vpc_id}},
                       {"instance-state-name", kLiveInstanceStates}};
    std::vector<std::string> ids;
    for (const auto& reservation : ec2_->describeInstances(request).reservations)
      for (const auto& instance : reservation.instances) ids.push_back(instance.instance_id);
    if (!ids.empty()) ec2_->terminateInstances(ids);
  }

  void writeInput(const TestConfig& document) { writeTestConfig(args_.test_config, document); }
  TestConfig output() const { return readTestConfig(*args_.output_test_config); }

  void deploy() { deployEc2s(*ec2_, nullptr, *iam_, imageId(), args_, *clock_, env_); }

  // The output file as Python's json module lays out what it parsed from it.
  std::string pythonLayout() const {
    std::string out;
    const int status =
        testing_support::runProcess({testing_support::pythonPath(), "-c",
                                     "import json,sys; d=json.load(open(sys.argv[1])); "
                                     "sys.stdout.write(json.dumps(d, indent=2) + '\\n')",
                                     *args_.output_test_config},
                                    {}, &out, nullptr);
    EXPECT_EQ(status, 0);
    return out;
  }

  // The RunInstances requests of this test by launch subnet, their
  // parameters without the client token.
  std::map<std::string, json> launchesBySubnet() const {
    std::map<std::string, json> out;
    for (json entry : journal("RunInstances")) {
      if (entry.value("status", 0) != 200) continue;
      json params = entry.at("params");
      params.erase("ClientToken");
      out[params.value("NetworkInterface.1.SubnetId", "")] = params;
    }
    return out;
  }

  std::string sgId(const std::string& vpc_id) {
    return getSgId(*ec2_, vpc_id, kInstanceSgName).value_or("");
  }

  // The second address of the instance in `gw_subnet_id`: the one of its
  // interface in `private_subnet_id`.
  std::string privateIpIn(const std::string& gw_subnet_id, const std::string& private_subnet_id) {
    const auto found = getEc2(*ec2_, gw_subnet_id);
    if (!found.instance_id) return "";
    for (const auto& nic : describe(*found.instance_id).network_interfaces)
      if (nic.subnet_id == private_subnet_id) return nic.private_ip_address;
    return "";
  }

  std::shared_ptr<fakes::FakeClock> clock_;
  aws::MapEnvironment env_;
  testing_support::ScratchDir scratch_;
  fs::path work_ = scratch_.path();
  Args args_;
  static inline int serial_ = 0;
};

TEST_F(DeployTest, DeploysTheWorldsTestConfigAndReusesItOnASecondRun) {
  const TestConfig input = world_.at("test_config");
  ASSERT_EQ(input.size(), 3u);
  writeInput(input);
  const std::string vpc = world_.at("vpc_id").get<std::string>();
  LogCapture log;

  deploy();
  EXPECT_EQ(testlib::AppExitStatus().getStatus(), 0);

  // One launch per entry, with exactly the designed fields.
  const auto launches = launchesBySubnet();
  ASSERT_EQ(launches.size(), 3u);
  for (const auto& entry : input) {
    const std::string subnet = entry.at("gw_subnet_id").get<std::string>();
    SCOPED_TRACE(subnet);
    ASSERT_EQ(launches.count(subnet), 1u);
    const json expected = {
        {"Action", "RunInstances"},
        {"Version", launches.at(subnet).value("Version", "")},
        {"InstanceType", "t3.micro"},
        {"MinCount", "1"},
        {"MaxCount", "1"},
        {"ImageId", imageId()},
        {"TagSpecification.1.ResourceType", "instance"},
        {"TagSpecification.1.Tag.1.Key", "Name"},
        {"TagSpecification.1.Tag.1.Value", "corvanta-test-ec2"},
        {"TagSpecification.2.ResourceType", "volume"},
        {"TagSpecification.2.Tag.1.Key", "Name"},
        {"TagSpecification.2.Tag.1.Value", "corvanta-test-ec2"},
        {"TagSpecification.3.ResourceType", "network-interface"},
        {"TagSpecification.3.Tag.1.Key", "Name"},
        {"TagSpecification.3.Tag.1.Value", "corvanta-test-ec2-network-interface"},
        {"MetadataOptions.HttpTokens", "required"},
        {"MetadataOptions.HttpEndpoint", "enabled"},
        {"NetworkInterface.1.DeviceIndex", "0"},
        {"NetworkInterface.1.SubnetId", subnet},
        {"NetworkInterface.1.AssociatePublicIpAddress", "true"},
        {"NetworkInterface.1.SecurityGroupId.1", sgId(vpc)},
        {"KeyName", "corvanta-test-ec2-key-pair-" + vpc}};
    EXPECT_EQ(launches.at(subnet), expected);
  }
  // Every tag goes in the create requests: nothing is tagged afterwards.
  EXPECT_TRUE(journal("CreateTags").empty());

  // Each entry gains its two addresses, after its own keys; the layout is Python's.
  const TestConfig first = output();
  ASSERT_EQ(first.size(), input.size());
  for (std::size_t i = 0; i < input.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& in = input[i];
    const auto& out = first[i];
    const std::string gw = in.at("gw_subnet_id").get<std::string>();
    const auto found = getEc2(*ec2_, gw);
    ASSERT_TRUE(found.instance_id);
    TestConfig expected = in;
    expected["ec2_ip"] = describe(*found.instance_id).public_ip_address;
    expected["ec2_2nd_private_ip"] = privateIpIn(gw, in.at("private_subnet_id").get<std::string>());
    EXPECT_FALSE(expected["ec2_ip"].get<std::string>().empty());
    EXPECT_FALSE(expected["ec2_2nd_private_ip"].get<std::string>().empty());
    EXPECT_EQ(out.dump(), expected.dump());
  }
  EXPECT_EQ(readFile(*args_.output_test_config), pythonLayout());
  // A status wait and its look at the state are one poll, at most one per
  // entry (fewer when the workers' polls fall into one round).
  EXPECT_GE(journal("DescribeInstanceStatus").size(), 1u);
  EXPECT_LE(journal("DescribeInstanceStatus").size(), input.size());

  // A rerun finds everything and makes nothing.
  restartJournal();
  deploy();
  EXPECT_EQ(testlib::AppExitStatus().getStatus(), 0);
  for (const char* action : {"RunInstances", "CreateTags", "CreateNetworkInterface",
                             "AttachNetworkInterface", "CreateSecurityGroup", "CreateKeyPair"}) {
    EXPECT_TRUE(journal(action).empty()) << action;
  }
  EXPECT_EQ(output().dump(), first.dump());
}

TEST_F(DeployTest, DryRunLaunchesNothingAndWritesTheInputBack) {
  // An extra key, a non-ASCII text and a number come back as they were.
  TestConfig input = world_.at("test_config");
  input[0]["owner"] = "Zoë";
  input[1]["weight"] = 2.5;
  writeInput(input);
  args_.dry_run = true;
  testlib::Globals::dry_run = true;
  LogCapture log;

  deploy();

  EXPECT_EQ(testlib::AppExitStatus().getStatus(), 0);
  for (const char* action : {"RunInstances", "CreateTags", "CreateNetworkInterface",
                             "CreateSecurityGroup", "CreateKeyPair", "AllocateAddress"}) {
    EXPECT_TRUE(changes(action).empty()) << action;
  }
  EXPECT_EQ(output().dump(), input.dump());
  EXPECT_EQ(readFile(*args_.output_test_config), pythonLayout());
  EXPECT_NE(readFile(*args_.output_test_config).find("\"Zo\\u00eb\""), std::string::npos);
}

TEST_F(DeployTest, LaunchIsRetriedWhileTheInstanceProfileIsNotReady) {
  const auto net = freshNetwork();
  writeInput(TestConfig::array({{{"gw_subnet_id", net.gw_subnet_id},
                                 {"private_subnet_id", net.private_subnet_id},
                                 {"gw_private_ip", "10.77.1.4"},
                                 {"nat_gw_id", "nat-1"},
                                 {"gw_name", "gw-1"},
                                 {"private_subnet_cidr", "10.77.2.0/24"}}}));
  args_.ec2_role = "default";
  args_.account = world_.at("account").get<std::string>();
  ops_sandbox::Sandbox::shared().setFaults(
      {{"rules",
        {{{"service", "ec2"},
          {"action", "RunInstances"},
          {"status", 400},
          {"code", "InvalidParameterValue"},
          {"message",
           "Value (corvanta-test-ec2-instance-profile) for parameter iamInstanceProfile.name is "
           "invalid. Invalid IAM Instance Profile name"},
          {"skip", 1},  // the preflight's dry run of the launch
          {"count", 5}}}}});
  LogCapture log;

  deploy();

  EXPECT_EQ(testlib::AppExitStatus().getStatus(), 0);
  const auto runs = changes("RunInstances");
  ASSERT_EQ(runs.size(), 6u);
  for (std::size_t i = 0; i < 5; ++i)
    EXPECT_EQ(runs[i].value("error_code", ""), "InvalidParameterValue");
  EXPECT_EQ(runs[5].value("status", 0), 200);
  EXPECT_EQ(runs[5].at("params").value("IamInstanceProfile.Name", ""),
            "corvanta-test-ec2-instance-profile");
  EXPECT_EQ(clock_->count(milliseconds(10000)), 5u);
  EXPECT_EQ(log.count("info|  Instance profile corvanta-test-ec2-instance-profile is not ready, "
                      "retry in 10 sec"),
            5);
  const TestConfig out = output();
  EXPECT_TRUE(out[0].contains("ec2_ip"));
  EXPECT_EQ(out[0].value("ec2_2nd_private_ip", "").rfind("10.77.2.", 0), 0u);
  terminateTestInstances(net.vpc_id);
}

TEST_F(DeployTest, AnElasticIpRunTakesTheAddressFromTheElasticIp) {
  const auto net = freshNetwork();  // its subnets map no public address on launch
  writeInput(TestConfig::array({{{"gw_subnet_id", net.gw_subnet_id},
                                 {"private_subnet_id", net.private_subnet_id},
                                 {"gw_private_ip", "10.77.1.4"},
                                 {"private_subnet_cidr", "10.77.2.0/24"}}}));
  args_.eip = true;
  LogCapture log;

  deploy();

  EXPECT_EQ(testlib::AppExitStatus().getStatus(), 0);
  const auto launches = launchesBySubnet();
  ASSERT_EQ(launches.count(net.gw_subnet_id), 1u);
  EXPECT_FALSE(
      launches.at(net.gw_subnet_id).contains("NetworkInterface.1.AssociatePublicIpAddress"));
  ASSERT_EQ(journal("AssociateAddress").size(), 1u);
  const std::string allocation =
      journal("AssociateAddress")[0].at("params").value("AllocationId", "");
  aws::ec2::DescribeAddressesRequest request;
  request.allocation_ids = {allocation};
  const auto addresses = ec2_->describeAddresses(request);
  ASSERT_EQ(addresses.size(), 1u);
  EXPECT_EQ(output()[0].value("ec2_ip", ""), addresses[0].public_ip);
  terminateTestInstances(net.vpc_id);
  // Left behind, the address would be the next teardown's leftover to release.
  ec2_->releaseAddress({allocation, ""});
}

TEST_F(DeployTest, ANamedRoleLaunchesWithItsInstanceProfileOrEndsTheEntry) {
  // A role of the test's own with a profile of the same name, and one without.
  const std::string with_profile = "probefleet-deploy-role-" + std::to_string(serial_);
  const std::string without_profile = with_profile + "-bare";
  for (const std::string& role : {with_profile, without_profile}) {
    iam_->createRole({role, ec2TrustPolicyDocument(), "", {}});
  }
  iam_->createInstanceProfile({with_profile, {}});
  iam_->addRoleToInstanceProfile(with_profile, with_profile);

  struct Row {
    std::string role;
    bool deployed;
    std::string line;
    bool unknown_role = false;
  };
  const std::vector<Row> rows = {
      {with_profile, true, "info|- Assign role " + with_profile + " to corvanta-test-ec2"},
      {without_profile, false,
       "error|  **Error** no instance profile found for role " + without_profile},
      // IAM answers NoSuchEntity for a role it does not have; moto lists no
      // profiles instead, so that answer is injected.
      {"probefleet-no-such-role", false, "error|  **Error** role not found probefleet-no-such-role",
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.role);
    const auto net = freshNetwork();
    TestConfig entry = {{"gw_subnet_id", net.gw_subnet_id},
                        {"private_subnet_id", net.private_subnet_id},
                        {"private_subnet_cidr", "10.77.2.0/24"}};
    args_.ec2_role = row.role;
    if (row.unknown_role) fail("iam", "ListInstanceProfilesForRole", "NoSuchEntity", 1, 404);
    restartJournal();
    LogCapture log;

    const CreateEc2Params params{.ec2_client = *ec2_,
                                 .iam_client = *iam_,
                                 .args = args_,
                                 .ami = imageId(),
                                 .gw_subnet_id = net.gw_subnet_id,
                                 .private_subnet_id = net.private_subnet_id,
                                 .instance_profile = std::string(kInstanceProfileName),
                                 .clock = *clock_};
    EXPECT_EQ(createEc2(params, entry), row.deployed);
    EXPECT_EQ(log.count(row.line), 1);
    const auto runs = journal("RunInstances");
    ASSERT_EQ(runs.size(), row.deployed ? 1u : 0u);
    if (row.deployed) {
      // The role's own profile replaces the one the caller handed in.
      EXPECT_EQ(runs[0].at("params").value("IamInstanceProfile.Name", ""), with_profile);
      EXPECT_TRUE(entry.contains("ec2_2nd_private_ip"));
    }
    terminateTestInstances(net.vpc_id);
  }
}

TEST_F(DeployTest, EntriesThatCannotBeDeployedMarkTheRunFailedAndTheRestFinishes) {
  // Four entries in one VPC: a subnet that already holds two test
  // instances, one whose private subnet does not exist (its worker ends by
  // a failure), a sound one, and one without a private subnet (skipped).
  const auto net = freshNetwork();
  const auto subnet = [&](const std::string& cidr) {
    return ec2_->createSubnet({net.vpc_id, cidr, "us-east-1a", {}}).subnet_id;
  };
  const std::string crowded = subnet("10.77.3.0/24");
  const std::string failing = subnet("10.77.4.0/24");
  launch(crowded, 2);
  restartJournal();
  const auto entry = [&](const std::string& gw, const std::string& priv, const std::string& nat) {
    return TestConfig{{"gw_subnet_id", gw},
                      {"private_subnet_id", priv},
                      {"gw_private_ip", "10.77.1.4"},
                      {"nat_gw_id", nat},
                      {"gw_name", nat},
                      {"private_subnet_cidr", "10.77.2.0/24"}};
  };
  const TestConfig input = TestConfig::array({
      entry(net.gw_subnet_id, net.private_subnet_id, "nat-sound"),
      entry(crowded, net.private_subnet_id, "nat-crowded"),
      entry(failing, "subnet-0000000000000dead", "nat-failing"),
      entry(net.gw_subnet_id, "", "nat-skipped"),
  });
  writeInput(input);
  LogCapture log;
  ::testing::internal::CaptureStderr();

  deploy();

  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(testlib::AppExitStatus().getStatus(), 1);
  const auto launches = launchesBySubnet();
  EXPECT_EQ(launches.count(crowded), 0u);
  EXPECT_EQ(launches.count(failing), 1u);
  EXPECT_EQ(getEc2(*ec2_, crowded).instances.size(), 2u);

  const TestConfig out = output();
  ASSERT_EQ(out.size(), 4u);
  EXPECT_TRUE(out[0].contains("ec2_ip"));
  EXPECT_TRUE(out[0].contains("ec2_2nd_private_ip"));
  EXPECT_EQ(out[1].dump(), input[1].dump());
  EXPECT_TRUE(out[2].contains("ec2_ip"));  // recorded before its worker ended
  EXPECT_FALSE(out[2].contains("ec2_2nd_private_ip"));
  EXPECT_EQ(out[3].dump(), input[3].dump());

  const auto lines = log.lines();
  const auto at = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) - lines.begin();
  };
  const auto skip = at("error|  **Error** Skip nat-skipped -- private_subnet_id not defined");
  ASSERT_LT(skip, static_cast<long>(lines.size()));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind("info|- Create corvanta-test-ec2 in private", 0) == 0) {
      EXPECT_GT(static_cast<long>(i), skip) << "a worker ran before every skip was logged";
    }
  }
  EXPECT_LT(
      at("info|  **Alert** More than one ec2 with tag Name:corvanta-test-ec2 found in " + crowded),
      static_cast<long>(lines.size()));
  for (const std::string& gw : {crowded, failing}) {
    EXPECT_LT(at("error|  **Error** corvanta-test-ec2 in " + gw +
                 " is not deployed: its ec2_ip or ec2_2nd_private_ip was not recorded"),
              static_cast<long>(lines.size()))
        << gw;
  }
  EXPECT_NE(err.find("InvalidSubnetID.NotFound"), std::string::npos) << err;
  terminateTestInstances(net.vpc_id);
}

}  // namespace
}  // namespace probefleet
