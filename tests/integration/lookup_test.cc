// Instance lookup against the sandbox with signature checking on: which test
// instances count as standing in a subnet or a VPC, the parts reported for
// one, and what a failing lookup leaves the caller to decide.

#include "probefleet/resources/fleet_lookup.h"
#include "support/build_paths.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "integration/ops_sandbox.h"
#include "testlib/app_exit_status.h"

namespace probefleet {
namespace {

using ops_sandbox::LogCapture;

class LookupTest : public ops_sandbox::SandboxTest {
 protected:
  void TearDown() override {
    testlib::AppExitStatus::resetForTesting();
    SandboxTest::TearDown();
  }

  void stop(const std::string& instance_id) {
    // The EC2 client has no StopInstances; the sandbox is asked directly.
    std::string err;
    const int status = testing_support::runProcess(
        {testing_support::pythonPath(), "-c",
         "import boto3, sys\n"
         "boto3.client('ec2').stop_instances(InstanceIds=[sys.argv[1]])\n",
         instance_id},
        testing_support::Sandbox::shared().awsEnv(), nullptr, &err);
    ASSERT_EQ(status, 0) << err;
  }
};

const std::string kAlert =
    "info|  **Alert** More than one ec2 with tag Name:corvanta-test-ec2 found in ";
const std::string kNone = "info|  No ec2 with tag Name:corvanta-test-ec2 found in ";

TEST_F(LookupTest, ReportsTheSingleInstanceWithItsAddressAndSecondaryInterface) {
  const auto net = freshNetwork();
  const std::string with_all = launch(net.gw_subnet_id).at(0);
  attachSecondary(with_all, net.private_subnet_id);
  const std::string public_ip = describe(with_all).public_ip_address;
  ASSERT_FALSE(public_ip.empty());
  LogCapture log;

  const auto found = getEc2(*ec2_, net.gw_subnet_id);
  EXPECT_EQ(found.instance_id, with_all);
  EXPECT_EQ(found.public_ip, public_ip);
  ASSERT_TRUE(found.private_interface);
  EXPECT_EQ(found.private_interface->subnet_id, net.private_subnet_id);
  ASSERT_TRUE(found.private_interface->attachment);
  EXPECT_FALSE(found.private_interface->attachment->attachment_id.empty());
  EXPECT_FALSE(found.private_interface->groups.empty());
  EXPECT_FALSE(found.crowded());
  EXPECT_TRUE(log.lines().empty());

  // Seen from the private subnet, the same instance is not there.
  const auto other = getEc2(*ec2_, net.private_subnet_id);
  EXPECT_FALSE(other.instance_id);
  EXPECT_EQ(log.lines(), std::vector<std::string>{kNone + net.private_subnet_id});
}

TEST_F(LookupTest, MissingAddressOrSecondaryInterfaceLeavesThatPartAbsent) {
  struct Row {
    const char* name;
    bool public_ip;
    bool secondary;
  };
  for (const Row& row :
       {Row{"no public address", false, true}, Row{"all interfaces in the subnet", true, false}}) {
    SCOPED_TRACE(row.name);
    const auto net = freshNetwork();
    const std::string id = launch(net.gw_subnet_id, 1, row.public_ip).at(0);
    if (row.secondary) attachSecondary(id, net.private_subnet_id);

    const auto found = getEc2(*ec2_, net.gw_subnet_id);
    EXPECT_EQ(found.instance_id, id);
    EXPECT_EQ(found.public_ip.has_value(), row.public_ip);
    EXPECT_EQ(found.private_interface.has_value(), row.secondary);
  }
}

// After a teardown EC2 lists the terminated instance for a while; it must
// not count, or a redeployment would launch nothing. Stopped ones still do.
TEST_F(LookupTest, OnlyLiveInstancesCount) {
  const auto net = freshNetwork();
  const std::string gone = launch(net.gw_subnet_id).at(0);
  ec2_->terminateInstances({gone});
  ASSERT_EQ(describe(gone).state_name, "terminated");
  LogCapture log;

  const auto found = getEc2(*ec2_, net.gw_subnet_id);
  EXPECT_FALSE(found.instance_id);
  EXPECT_TRUE(found.instances.empty());
  EXPECT_FALSE(getAllEc2InVpc(*ec2_, net.vpc_id).anyLeft());
  EXPECT_EQ(log.lines(), std::vector<std::string>{kNone + net.gw_subnet_id});

  const std::string stopped = launch(net.gw_subnet_id).at(0);
  stop(stopped);
  EXPECT_EQ(getEc2(*ec2_, net.gw_subnet_id).instance_id, stopped);
  const auto in_vpc = getAllEc2InVpc(*ec2_, net.vpc_id);
  EXPECT_EQ(in_vpc.instance_ids, std::vector<std::string>{stopped});
  EXPECT_TRUE(in_vpc.anyLeft());
  EXPECT_EQ(log.lines().back(), kAlert + net.vpc_id);
}

// Several test instances in one subnet, in separate reservations or in one:
// the subnet is not empty; every instance is reported so that a deployment
// launches no more and a teardown can delete each.
TEST_F(LookupTest, SeveralInstancesInASubnetAreAllReported) {
  for (const bool one_reservation : {false, true}) {
    SCOPED_TRACE(one_reservation ? "one reservation" : "two reservations");
    const auto net = freshNetwork();
    std::vector<std::string> ids =
        one_reservation ? launch(net.gw_subnet_id, 2) : launch(net.gw_subnet_id);
    if (!one_reservation) ids.push_back(launch(net.gw_subnet_id).at(0));
    attachSecondary(ids[1], net.private_subnet_id);
    // An instance of another name does not count.
    launch(net.gw_subnet_id, 1, true, "someone-else");
    LogCapture log;

    const auto found = getEc2(*ec2_, net.gw_subnet_id);
    EXPECT_TRUE(found.crowded());
    EXPECT_FALSE(found.instance_id || found.public_ip || found.private_interface);
    ASSERT_EQ(found.instances.size(), 2u);
    EXPECT_EQ(found.instances[0].instance_id, ids[0]);
    EXPECT_EQ(found.instances[1].instance_id, ids[1]);
    EXPECT_FALSE(found.instances[0].private_interface);
    EXPECT_TRUE(found.instances[1].private_interface);
    EXPECT_EQ(log.lines(), std::vector<std::string>{kAlert + net.gw_subnet_id});

    EXPECT_EQ(getAllEc2InVpc(*ec2_, net.vpc_id).instance_ids, ids);
  }
}

TEST_F(LookupTest, FailedVpcLookupCountsAsInstancesLeftAndFailsTheRun) {
  const auto net = freshNetwork();
  {
    // A passing failure is outlasted.
    testlib::AppExitStatus::resetForTesting();
    drop("ec2", "DescribeInstances");
    LogCapture log;
    EXPECT_FALSE(getAllEc2InVpc(*ec2_, net.vpc_id).anyLeft());
    EXPECT_EQ(testlib::AppExitStatus().getStatus(), 0);
  }
  {
    testlib::AppExitStatus::resetForTesting();
    fail("ec2", "DescribeInstances", "UnauthorizedOperation", 1, 403);
    LogCapture log;

    const auto result = getAllEc2InVpc(*ec2_, net.vpc_id);
    EXPECT_TRUE(result.lookup_failed);
    EXPECT_TRUE(result.anyLeft());
    EXPECT_EQ(testlib::AppExitStatus().getStatus(), 1);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(
        log.lines()[0].rfind(
            "error|  **Error** cannot list ec2 with tag Name:corvanta-test-ec2 in " + net.vpc_id,
            0),
        0u);
  }
  // getEc2 lets its failures through to the caller.
  fail("ec2", "DescribeInstances", "UnauthorizedOperation", 1, 403);
  EXPECT_THROW(getEc2(*ec2_, net.gw_subnet_id), aws::ServiceError);
}

}  // namespace
}  // namespace probefleet
