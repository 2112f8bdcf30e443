// The VPC and security-group operations against the sandbox, with signature
// checking on: what they send (the sandbox's journal), what EC2 then holds,
// what they log, and how they end on failures.

#include "probefleet/resources/network.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fakes/fake_clock.h"
#include "integration/ops_sandbox.h"
#include "probefleet/core/patience.h"
#include "testlib/app_exit_status.h"
#include "testlib/exit_request.h"

namespace probefleet {
namespace {

using ops_sandbox::json;
using ops_sandbox::LogCapture;
using testing_support::Sandbox;

class NetworkTest : public ops_sandbox::SandboxTest {
 protected:
  static constexpr const char* kEchoIp = "198.51.100.7";  // the sandbox's default answer

  void SetUp() override {
    SandboxTest::SetUp();
    env_.vars[kAddressEchoUrlVariable] = Sandbox::shared().awsEnv().at(kAddressEchoUrlVariable);
    resetSandboxSettings();
    restartJournal();
  }

  void TearDown() override {
    resetSandboxSettings();
    SandboxTest::TearDown();
  }

  static void resetSandboxSettings() {
    Sandbox::shared().clearFaults();
    control("POST", "echo", {{"ip", kEchoIp}, {"status", 200}, {"body", nullptr}});
  }

  static json control(const std::string& method, const std::string& path,
                      const json& body = nullptr) {
    return Sandbox::shared().control(method, path, body);
  }

  /// A VPC of its own for each test, so that tests do not see each other's groups.
  std::string freshVpc() { return ec2_->createVpc({"10.77.0.0/16", {}}).vpc_id; }

  aws::ec2::SecurityGroup group(const std::string& group_id) {
    aws::ec2::DescribeSecurityGroupsRequest request;
    request.group_ids = {group_id};
    const auto answer = ec2_->describeSecurityGroups(request);
    if (answer.security_groups.size() != 1) throw std::runtime_error("no group " + group_id);
    return answer.security_groups.front();
  }

  bool groupExists(const std::string& group_id) {
    try {
      group(group_id);
      return true;
    } catch (const aws::ServiceError& e) {
      if (e.code() == "InvalidGroup.NotFound") return false;
      throw;
    }
  }

  aws::MapEnvironment env_;
};

// The user's tags of a CreateSecurityGroup request, in the order sent.
std::vector<std::pair<std::string, std::string>> sentTags(const json& entry) {
  const json& p = entry.at("params");
  std::vector<std::pair<std::string, std::string>> tags;
  for (int i = 1; p.contains("TagSpecification.1.Tag." + std::to_string(i) + ".Key"); ++i) {
    const std::string prefix = "TagSpecification.1.Tag." + std::to_string(i);
    tags.emplace_back(p.at(prefix + ".Key"), p.at(prefix + ".Value"));
  }
  return tags;
}

TEST_F(NetworkTest, CreatesBothGroupsOnceAndReusesThemAfterwards) {
  const std::string vpc = freshVpc();
  Args args;
  args.tag_resource = "Owner,qa,Team,net";
  LogCapture log;

  const auto sg = createSG(*ec2_, vpc, args, env_);
  const auto private_sg = createPrivateInfSG(*ec2_, vpc, args);
  ASSERT_TRUE(sg && private_sg);

  const auto instance_group = group(*sg);
  EXPECT_EQ(instance_group.group_name, "corvanta-test-ec2-sg");
  EXPECT_EQ(instance_group.description, "Corvanta test ec2");
  EXPECT_EQ(instance_group.vpc_id, vpc);
  ASSERT_EQ(instance_group.ip_permissions.size(), 1u);
  const auto& rule = instance_group.ip_permissions.front();
  EXPECT_EQ(rule.ip_protocol, "tcp");
  EXPECT_EQ(rule.from_port, 22);
  EXPECT_EQ(rule.to_port, 22);
  ASSERT_EQ(rule.ip_ranges.size(), 1u);
  EXPECT_EQ(rule.ip_ranges[0].cidr_ip, std::string(kEchoIp) + "/32");
  EXPECT_EQ(rule.ip_ranges[0].description, "SSH access from the workflow engine");

  const auto private_group = group(*private_sg);
  EXPECT_EQ(private_group.group_name, "corvanta-test-ec2-private-interface-sg");
  EXPECT_EQ(private_group.description, "Corvanta test ec2");
  EXPECT_TRUE(private_group.ip_permissions.empty());

  const auto creates = journal("CreateSecurityGroup");
  ASSERT_EQ(creates.size(), 2u);
  using Tags = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(sentTags(creates[0]),
            (Tags{{"Name", "corvanta-test-ec2-sg"}, {"Owner", "qa"}, {"Team", "net"}}));
  EXPECT_EQ(
      sentTags(creates[1]),
      (Tags{{"Name", "corvanta-test-ec2-private-interface-sg"}, {"Owner", "qa"}, {"Team", "net"}}));
  EXPECT_EQ(creates[0]["params"].value("TagSpecification.1.ResourceType", ""), "security-group");
  for (const auto* name : {"corvanta-test-ec2-sg", "corvanta-test-ec2-private-interface-sg"}) {
    const auto g = group(name == std::string("corvanta-test-ec2-sg") ? *sg : *private_sg);
    EXPECT_EQ(aws::ec2::tagValue(g.tags, "Name"), name);
    EXPECT_EQ(aws::ec2::tagValue(g.tags, "Owner"), "qa");
  }
  const auto echo = journal("GetIp");
  ASSERT_EQ(echo.size(), 1u);  // the private-interface group needs no address
  EXPECT_EQ(echo[0]["params"].value("format", ""), "json");
  EXPECT_EQ(journal("AuthorizeSecurityGroupIngress").size(), 1u);

  // A second run, also as a dry run: the groups are found and kept as they
  // are, the instance group once it is known to let this machine in.
  journal_start_ = lastSeq();
  for (bool dry_run : {false, true}) {
    args.dry_run = dry_run;
    EXPECT_EQ(createSG(*ec2_, vpc, args, env_), sg);
    EXPECT_EQ(createPrivateInfSG(*ec2_, vpc, args), private_sg);
  }
  EXPECT_EQ(journal("GetIp").size(), 2u);
  EXPECT_TRUE(journal("CreateSecurityGroup").empty());
  EXPECT_TRUE(journal("AuthorizeSecurityGroupIngress").empty());
  EXPECT_EQ(group(*sg).ip_permissions.size(), 1u);

  const std::vector<std::string> expected = {
      "info|- Create SG corvanta-test-ec2-sg in " + vpc,
      "info|  " + *sg,
      "info|- Create SG corvanta-test-ec2-private-interface-sg in " + vpc,
      "info|  " + *private_sg,
      "info|- Reuse existing SG corvanta-test-ec2-sg " + *sg + " in " + vpc,
      "info|- Reuse existing SG corvanta-test-ec2-private-interface-sg " + *private_sg + " in " +
          vpc,
      "info|- Reuse existing SG corvanta-test-ec2-sg " + *sg + " in " + vpc,
      "info|- Reuse existing SG corvanta-test-ec2-private-interface-sg " + *private_sg + " in " +
          vpc,
  };
  EXPECT_EQ(log.lines(), expected);
}

TEST_F(NetworkTest, DryRunLooksTheAddressUpButCreatesAndDeletesNothing) {
  const std::string vpc = freshVpc();
  Args args;
  args.dry_run = true;
  LogCapture log;

  EXPECT_EQ(createSG(*ec2_, vpc, args, env_), std::nullopt);
  EXPECT_EQ(createPrivateInfSG(*ec2_, vpc, args), std::nullopt);
  EXPECT_EQ(journal("GetIp").size(), 1u);
  EXPECT_TRUE(journal("CreateSecurityGroup").empty());
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "info|- Create SG corvanta-test-ec2-sg in " + vpc,
                             "info|- Create SG corvanta-test-ec2-private-interface-sg in " + vpc}));

  Args real;
  const auto sg = createPrivateInfSG(*ec2_, vpc, real);
  ASSERT_TRUE(sg);
  deleteSG(*ec2_, *sg, args);
  EXPECT_TRUE(journal("DeleteSecurityGroup").empty());
  EXPECT_TRUE(groupExists(*sg));
}

TEST_F(NetworkTest, GetSgIdYieldsNothingOnlyForMissingGroups) {
  const std::string vpc = freshVpc();
  LogCapture log;

  EXPECT_EQ(getSgId(*ec2_, vpc, "corvanta-test-ec2-sg"), std::nullopt);
  EXPECT_TRUE(log.lines().empty());

  fail("ec2", "DescribeSecurityGroups", "InvalidGroup.NotFound");
  EXPECT_EQ(getSgId(*ec2_, vpc, "corvanta-test-ec2-sg"), std::nullopt);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"error|  **Error** SG not found "
                                                  "corvanta-test-ec2-sg in " +
                                                  vpc});

  // A refusal tells nothing about the group: it is passed on.
  for (const char* code : {"UnauthorizedOperation", "AuthFailure"}) {
    fail("ec2", "DescribeSecurityGroups", code);
    try {
      (void)getSgId(*ec2_, vpc, "corvanta-test-ec2-sg");
      ADD_FAILURE() << code << " taken for no such group";
    } catch (const aws::ServiceError& error) {
      EXPECT_EQ(error.code(), code);
    }
  }

  // No answer at all is waited out, not taken for "no such group".
  const std::string group = ec2_->createSecurityGroup({"d", "probe-sg", vpc, {}});
  Sandbox::shared().setFaults({{"rules",
                                {{{"service", "ec2"},
                                  {"action", "DescribeSecurityGroups"},
                                  {"drop", true},
                                  {"count", 2}}}}});
  EXPECT_EQ(getSgId(*ec2_, vpc, "probe-sg"), group);
}

TEST_F(NetworkTest, GetVpcIdFindsTheVpcOrEndsTheRun) {
  const std::string subnet = world_.at("gw_subnet_ids").at(0).get<std::string>();
  EXPECT_EQ(getVpcId(*ec2_, subnet), world_.at("vpc_id").get<std::string>());

  LogCapture log;
  ::testing::internal::CaptureStderr();
  try {
    getVpcId(*ec2_, "subnet-0123456789abcdef0");
    ADD_FAILURE() << "returned for an unknown subnet";
  } catch (const testlib::ExitRequest& exit) {
    EXPECT_EQ(exit.status(), 1);
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("aws::ServiceError"), std::string::npos) << err;
  EXPECT_NE(err.find("InvalidSubnetID.NotFound"), std::string::npos) << err;
  EXPECT_NE(err.find("Call trace"), std::string::npos) << err;
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             "info|  **Error** cannot find subnet subnet-0123456789abcdef0"});
}

TEST_F(NetworkTest, DeleteSGOfAGroupInUseLeavesTheRunGoing) {
  const std::string vpc = freshVpc();
  const auto subnet = ec2_->createSubnet({vpc, "10.77.1.0/24", "", {}});
  Args args;
  const auto sg = createPrivateInfSG(*ec2_, vpc, args);
  ASSERT_TRUE(sg);
  aws::ec2::CreateNetworkInterfaceRequest eni;
  eni.subnet_id = subnet.subnet_id;
  eni.groups = {*sg};
  const auto interface = ec2_->createNetworkInterface(eni);

  // Still in use: tried again for the consistency budget, then reported.
  auto clock = fakes::FakeClock::onWallClock();
  const aws::Ec2Client patient(ops_sandbox::clientConfig("ec2", clock));
  testlib::AppExitStatus::resetForTesting();
  ::testing::internal::CaptureStderr();
  EXPECT_NO_THROW(deleteSG(patient, *sg, args));
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("DependencyViolation"), std::string::npos) << err;
  EXPECT_TRUE(groupExists(*sg));
  EXPECT_GE(clock->slept(), kConsistencyBudget);
  EXPECT_EQ(testlib::AppExitStatus().getStatus(), 1);
  testlib::AppExitStatus::resetForTesting();

  ec2_->deleteNetworkInterface(interface.network_interface_id);
  deleteSG(*ec2_, *sg, args);
  EXPECT_FALSE(groupExists(*sg));
}

TEST_F(NetworkTest, CreateFailuresAfterTheLookupEndTheRun) {
  const std::string vpc = freshVpc();
  Args args;
  const auto endsRun = [&](auto&& call) {
    ::testing::internal::CaptureStderr();
    try {
      call();
      ::testing::internal::GetCapturedStderr();
      return false;
    } catch (const testlib::ExitRequest& exit) {
      const std::string err = ::testing::internal::GetCapturedStderr();
      EXPECT_NE(err.find("Call trace"), std::string::npos) << err;
      return exit.status() == 1;
    }
  };

  // The address echo fails in each way it can: nothing is created.
  const std::vector<json> echoes = {{{"status", 503}},
                                    {{"status", 200}, {"body", "198.51.100.7"}},
                                    {{"status", 200}, {"body", R"({"address": "1.2.3.4"})"}},
                                    {{"status", 0}}};  // connection closed unanswered
  for (const auto& echo : echoes) {
    SCOPED_TRACE(echo.dump());
    control("POST", "echo", echo);
    EXPECT_TRUE(endsRun([&] { createSG(*ec2_, vpc, args, env_); }));
  }
  control("POST", "echo", {{"ip", kEchoIp}, {"status", 200}, {"body", nullptr}});
  EXPECT_TRUE(journal("CreateSecurityGroup").empty());

  // The rule is refused: the group stays without it and the next run reuses it.
  fail("ec2", "AuthorizeSecurityGroupIngress", "InvalidPermission.Malformed");
  EXPECT_TRUE(endsRun([&] { createSG(*ec2_, vpc, args, env_); }));
  const auto left = getSgId(*ec2_, vpc, "corvanta-test-ec2-sg");
  ASSERT_TRUE(left);
  EXPECT_TRUE(group(*left).ip_permissions.empty());
  EXPECT_EQ(createSG(*ec2_, vpc, args, env_), left);

  fail("ec2", "CreateSecurityGroup", "InvalidParameterValue");
  EXPECT_TRUE(endsRun([&] { createPrivateInfSG(*ec2_, vpc, args); }));
  EXPECT_EQ(getSgId(*ec2_, vpc, "corvanta-test-ec2-private-interface-sg"), std::nullopt);
}

}  // namespace
}  // namespace probefleet
