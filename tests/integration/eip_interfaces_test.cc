// Elastic IPs and secondary interfaces against the sandbox with signature
// checking on: what is sent (the journal), what EC2 then holds, the log
// lines, the retries and waits (through a clock that only records), and the
// failures each operation absorbs or lets through.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fakes/fake_clock.h"
#include "fakes/fake_transport.h"
#include "fakes/test_client.h"
#include "integration/ops_sandbox.h"
#include "probefleet/resources/eip.h"
#include "probefleet/resources/fleet_lookup.h"
#include "probefleet/resources/interfaces.h"
#include "probefleet/core/patience.h"
#include "testlib/app_exit_status.h"
#include "testlib/exit_request.h"
#include "testlib/value_not_found_exception.h"

namespace probefleet {
namespace {

using ops_sandbox::LogCapture;
using std::chrono::milliseconds;
using Lines = std::vector<std::string>;

class EipInterfacesTest : public ops_sandbox::SandboxTest {
 protected:
  std::vector<aws::ec2::Address> addressesOf(const std::string& allocation_id) {
    aws::ec2::DescribeAddressesRequest request;
    request.filters = {{"allocation-id", {allocation_id}}};
    return ec2_->describeAddresses(request);
  }
  aws::ec2::NetworkInterface interface(const std::string& id) {
    aws::ec2::DescribeNetworkInterfacesRequest request;
    request.network_interface_ids = {id};
    return ec2_->describeNetworkInterfaces(request).network_interfaces.at(0);
  }
  bool interfaceExists(const std::string& id) {
    aws::ec2::DescribeNetworkInterfacesRequest request;
    request.filters = {{"network-interface-id", {id}}};
    return !ec2_->describeNetworkInterfaces(request).network_interfaces.empty();
  }
  std::string primaryInterface(const std::string& instance_id) {
    for (const auto& nic : describe(instance_id).network_interfaces) {
      if (nic.attachment && nic.attachment->device_index == 0) return nic.network_interface_id;
    }
    throw std::runtime_error("no primary interface on " + instance_id);
  }
};

// ---- Elastic IPs -----------------------------------------------------------

TEST_F(EipInterfacesTest, AssociatesATaggedAddressFindsItAndReleasesIt) {
  struct Row {
    const char* name;
    std::optional<std::string> tag_resource;
    std::vector<aws::ec2::Tag> tags;
  };
  const std::vector<Row> rows = {
      {"no user tags", std::nullopt, {{"Name", "corvanta-test-ec2-eip"}}},
      {"empty user tags", std::string(), {{"Name", "corvanta-test-ec2-eip"}}},
      {"user tags", "Owner,qa", {{"Name", "corvanta-test-ec2-eip"}, {"Owner", "qa"}}},
      // The VPC is ours to name: a user's pair of that key gives way.
      {"user's vpc tag", "probefleet:vpc,vpc-x", {{"Name", "corvanta-test-ec2-eip"}}}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto net = freshNetwork();
    const std::string instance = launch(net.gw_subnet_id, 1, false).at(0);
    Args args;
    args.tag_resource = row.tag_resource;
    // A dry run only says what it would do.
    args.dry_run = true;
    restartJournal();
    associateEIP(*ec2_, primaryInterface(instance), net.vpc_id, args);
    EXPECT_TRUE(journal("AllocateAddress").empty());
    EXPECT_TRUE(journal("AssociateAddress").empty());
    args.dry_run = false;
    LogCapture log;

    associateEIP(*ec2_, primaryInterface(instance), net.vpc_id, args);
    const auto allocated = journal("AllocateAddress");
    ASSERT_EQ(allocated.size(), 1u);
    ASSERT_EQ(journal("AssociateAddress").size(), 1u);
    const std::string public_ip = describe(instance).public_ip_address;
    ASSERT_FALSE(public_ip.empty());

    // Found again by instance and address, through the interface association.
    const std::string allocation_id = getEipAllocationId(*ec2_, instance, public_ip);
    const auto held = addressesOf(allocation_id);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].public_ip, public_ip);
    EXPECT_EQ(held[0].domain, "vpc");
    std::vector<aws::ec2::Tag> tags = row.tags;
    tags.push_back({"probefleet:vpc", net.vpc_id});
    EXPECT_EQ(held[0].tags, tags);
    EXPECT_EQ(log.lines(), (Lines{"info|- Allocate EIP",
                                  "info|  allocated EIP " + public_ip + " " + allocation_id}));

    // Not an address of another instance.
    const std::string other = launch(net.gw_subnet_id).at(0);
    EXPECT_THROW(getEipAllocationId(*ec2_, other, public_ip), std::runtime_error);

    // Released once the instance is gone, not in a dry run.
    ec2_->terminateInstances({instance});
    args.dry_run = true;
    releaseEIP(*ec2_, public_ip, allocation_id, instance, args);
    EXPECT_TRUE(journal("ReleaseAddress").empty());
    EXPECT_EQ(addressesOf(allocation_id).size(), 1u);
    args.dry_run = false;
    releaseEIP(*ec2_, public_ip, allocation_id, instance, args);
    EXPECT_TRUE(addressesOf(allocation_id).empty());
    const std::string deleted =
        "info|- Delete EIP " + public_ip + " " + allocation_id + " for " + instance;
    EXPECT_EQ(log.count(deleted), 2);
  }
}

TEST_F(EipInterfacesTest, AddressFailuresReachTheCaller) {
  const auto net = freshNetwork();
  const std::string instance = launch(net.gw_subnet_id, 1, false).at(0);
  fail("ec2", "AssociateAddress", "InvalidParameterValue");
  EXPECT_THROW(associateEIP(*ec2_, primaryInterface(instance), net.vpc_id, Args{}),
               aws::ServiceError);
  fail("ec2", "ReleaseAddress", "UnauthorizedOperation");
  EXPECT_THROW(releaseEIP(*ec2_, "203.0.113.1", "eipalloc-0", instance, Args{}), aws::ServiceError);
  // NotFound for an allocation EC2 no longer lists: gone already, as a try
  // whose answer was lost leaves it.
  fail("ec2", "ReleaseAddress", "InvalidAllocationID.NotFound");
  EXPECT_NO_THROW(releaseEIP(*ec2_, "203.0.113.1", "eipalloc-0", instance, Args{}));
}

// ---- Creating the secondary interface ------------------------------------

TEST_F(EipInterfacesTest, CreatesAndAttachesTheTaggedInterfaceAtIndexOne) {
  const auto net = freshNetwork();
  const std::string instance = launch(net.gw_subnet_id).at(0);
  const std::string group = ec2_->createSecurityGroup({"d", "pi-sg", net.vpc_id, {}});
  Args args;
  args.dry_run = true;
  LogCapture log;
  const std::string created =
      "info|- Create network interface in " + net.private_subnet_id + " with " + group;

  createNetworkfInterface(*ec2_, instance, net.private_subnet_id, group, args);
  EXPECT_TRUE(journal("CreateNetworkInterface").empty());
  EXPECT_EQ(log.lines(), Lines{created});

  args.dry_run = false;
  args.tag_resource = "Owner,qa";
  createNetworkfInterface(*ec2_, instance, net.private_subnet_id, group, args);
  EXPECT_EQ(log.lines(),
            (Lines{created, created, "info|- Attach network interface to " + instance}));
  const auto found = getEc2(*ec2_, net.gw_subnet_id);
  ASSERT_TRUE(found.private_interface);
  const auto nic = interface(found.private_interface->network_interface_id);
  EXPECT_EQ(nic.description, "Corvanta test ec2");
  EXPECT_EQ(nic.subnet_id, net.private_subnet_id);
  ASSERT_EQ(nic.groups.size(), 1u);
  EXPECT_EQ(nic.groups[0].group_id, group);
  EXPECT_EQ(nic.tags, (std::vector<aws::ec2::Tag>{{"Name", "corvanta-test-ec2-network-interface"},
                                                  {"Owner", "qa"}}));
  ASSERT_TRUE(nic.attachment);
  EXPECT_EQ(nic.attachment->instance_id, instance);
  EXPECT_EQ(nic.attachment->device_index, 1);
}

TEST_F(EipInterfacesTest, FailedCreationEndsTheRunAndFailedAttachmentIsThrown) {
  const auto net = freshNetwork();
  const std::string instance = launch(net.gw_subnet_id).at(0);
  LogCapture log;
  fail("ec2", "CreateNetworkInterface", "InvalidSubnetID.NotFound");
  try {
    createNetworkfInterface(*ec2_, instance, net.private_subnet_id, std::nullopt, Args{});
    ADD_FAILURE() << "no ExitRequest";
  } catch (const testlib::ExitRequest& request) {
    EXPECT_EQ(request.status(), 1);
  }
  EXPECT_EQ(log.lines().back(), "info|  **Error** Failed to create natwork interface");
  EXPECT_TRUE(journal("AttachNetworkInterface").empty());

  // Index 1 is taken already: EC2 refuses, and the refusal reaches the caller.
  attachSecondary(instance, net.private_subnet_id);
  EXPECT_THROW(
      createNetworkfInterface(*ec2_, instance, net.private_subnet_id, std::nullopt, Args{}),
      aws::ServiceError);
}

// ---- The secondary interface's address ---------------------------------

TEST_F(EipInterfacesTest, StoresTheAddressInsideThePrivateNetwork) {
  const auto net = freshNetwork();
  const std::string instance = launch(net.gw_subnet_id).at(0);
  attachSecondary(instance, net.private_subnet_id);
  std::string secondary;
  for (const auto& nic : describe(instance).network_interfaces) {
    if (nic.subnet_id == net.private_subnet_id) secondary = nic.private_ip_address;
  }
  ASSERT_EQ(secondary.rfind("10.77.2.", 0), 0u);
  auto clock = std::make_shared<fakes::FakeClock>();
  TestConfig entry = {{"gw_subnet_id", net.gw_subnet_id}, {"private_subnet_cidr", "10.77.2.0/24"}};
  LogCapture log;

  lookupInf2PrivateIp(*ec2_, instance, entry, *clock);
  EXPECT_EQ(entry.at("ec2_2nd_private_ip"), secondary);
  EXPECT_EQ(entry.begin().key(), "gw_subnet_id");  // added after the existing keys
  EXPECT_EQ(log.lines(), Lines{"info|  private subnet IP: " + secondary});
  EXPECT_TRUE(clock->sleeps().empty());
}

TEST_F(EipInterfacesTest, AddressLookupRetriesSixTimesThenFails) {
  const auto net = freshNetwork();
  const std::string instance = launch(net.gw_subnet_id).at(0);
  auto clock = std::make_shared<fakes::FakeClock>();
  TestConfig entry = {{"private_subnet_cidr", "10.77.2.0/24"}};  // nothing attached there
  LogCapture log;

  try {
    lookupInf2PrivateIp(*ec2_, instance, entry, *clock);
    ADD_FAILURE() << "no ValueNotFoundException";
  } catch (const testlib::ValueNotFoundException& failure) {
    EXPECT_STREQ(failure.what(), "secondary interface private IP not fonud");
  }
  EXPECT_EQ(journal("DescribeInstances").size(), 6u);
  EXPECT_EQ(clock->sleeps(), std::vector<milliseconds>(5, milliseconds(2000)));
  EXPECT_EQ(log.lines(),
            Lines(6, "info|  waiting for secondary interface private IP after attaching ..."));
  EXPECT_FALSE(entry.contains("ec2_2nd_private_ip"));
}

TEST_F(EipInterfacesTest, AddressLookupFailsOnABadNetworkAtOnceAndOnAnUnknownInstanceInTime) {
  const auto net = freshNetwork();
  const std::string instance = launch(net.gw_subnet_id).at(0);
  auto clock = std::make_shared<fakes::FakeClock>();
  for (const char* cidr : {"10.77.2.5/24", "10.77.2.0/33", "10.77.2/24", "not a network"}) {
    SCOPED_TRACE(cidr);
    restartJournal();
    TestConfig entry = {{"private_subnet_cidr", cidr}};
    EXPECT_THROW(lookupInf2PrivateIp(*ec2_, instance, entry, *clock), std::invalid_argument);
    EXPECT_EQ(journal("DescribeInstances").size(), 1u);
  }
  TestConfig entry = {{"private_subnet_cidr", "10.77.2.0/24"}};
  // An unknown id may be one too new to be seen: waited for, then passed on.
  EXPECT_THROW(lookupInf2PrivateIp(*ec2_, "i-00000000000000000", entry, *clock), aws::ServiceError);
  milliseconds waited{0};
  for (const milliseconds pause : clock->sleeps()) waited += pause;
  EXPECT_GE(waited, kConsistencyBudget);
  EXPECT_LT(waited, kConsistencyBudget + kPatientPauseCap);
}

// ---- Detaching and deleting ---------------------------------------------

TEST_F(EipInterfacesTest, DetachesAndWaitsUntilTheInstanceNoLongerShowsIt) {
  const auto net = freshNetwork();
  const std::string instance = launch(net.gw_subnet_id).at(0);
  const std::string attachment = attachSecondary(instance, net.private_subnet_id);
  const std::string nic_id =
      getEc2(*ec2_, net.gw_subnet_id).private_interface->network_interface_id;
  auto clock = std::make_shared<fakes::FakeClock>();
  const std::string deleting =
      "info|- Delete network interface attachment " + attachment + " in " + net.gw_subnet_id;
  Args args;
  args.dry_run = true;
  restartJournal();
  LogCapture log;

  deleteAttachment(*ec2_, std::nullopt, net.gw_subnet_id, args, *clock);
  deleteAttachment(*ec2_, attachment, net.gw_subnet_id, args, *clock);
  deleteNetworkInterface(*ec2_, std::nullopt, args);
  deleteNetworkInterface(*ec2_, nic_id, args);
  EXPECT_EQ(actions("ec2"), Lines{});
  EXPECT_EQ(log.lines(), (Lines{"info|- No attachment found", deleting,
                                "info|- Delete natwork interface " + nic_id}));

  args.dry_run = false;
  deleteAttachment(*ec2_, attachment, net.gw_subnet_id, args, *clock);
  EXPECT_EQ(actions("ec2"), (Lines{"DetachNetworkInterface", "DescribeInstances"}));
  EXPECT_FALSE(getEc2(*ec2_, net.gw_subnet_id).private_interface);
  EXPECT_EQ(interface(nic_id).status, "available");

  deleteNetworkInterface(*ec2_, nic_id, args);
  EXPECT_FALSE(interfaceExists(nic_id));
  EXPECT_TRUE(clock->sleeps().empty());
}

// A refused detachment leaves the interface attached: the wait gives up at
// its bound instead of polling for ever, and the teardown goes on.
TEST_F(EipInterfacesTest, RefusedDetachmentIsLoggedAndTheWaitIsBounded) {
  const auto net = freshNetwork();
  const std::string instance = launch(net.gw_subnet_id).at(0);
  const std::string attachment = attachSecondary(instance, net.private_subnet_id);
  auto clock = std::make_shared<fakes::FakeClock>();
  fail("ec2", "DetachNetworkInterface", "IncorrectState");
  LogCapture log;

  deleteAttachment(*ec2_, attachment, net.gw_subnet_id, Args{}, *clock);
  EXPECT_EQ(clock->sleeps(), std::vector<milliseconds>(kDetachPollPauses, kDetachPollPause));
  EXPECT_EQ(journal("DescribeInstances").size(), static_cast<size_t>(kDetachPollPauses + 1));
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "error|  **Error** Failed to detach natwork interface");
  EXPECT_EQ(lines[2], "error|  **Error** network interface attachment " + attachment + " in " +
                          net.gw_subnet_id + " still present after 120 seconds");
  EXPECT_TRUE(getEc2(*ec2_, net.gw_subnet_id).private_interface);
}

TEST_F(EipInterfacesTest, FailedInterfaceDeletionIsLoggedNotThrown) {
  const auto net = freshNetwork();
  const std::string instance = launch(net.gw_subnet_id).at(0);
  attachSecondary(instance, net.private_subnet_id);
  const std::string nic_id =
      getEc2(*ec2_, net.gw_subnet_id).private_interface->network_interface_id;
  LogCapture log;

  // Still attached: tried again for the consistency budget, then reported.
  const auto clock = fakes::FakeClock::onWallClock();
  testlib::AppExitStatus::resetForTesting();
  EXPECT_NO_THROW(deleteNetworkInterface(*ec2_, nic_id, Args{}, *clock));
  EXPECT_EQ(log.lines(), (Lines{"info|- Delete natwork interface " + nic_id,
                                "error|  **Error** Failed to delete natwork interface " + nic_id}));
  EXPECT_TRUE(interfaceExists(nic_id));
  EXPECT_GE(clock->slept(), kConsistencyBudget);
  EXPECT_EQ(testlib::AppExitStatus().getStatus(), 1);
  testlib::AppExitStatus::resetForTesting();
}

// ---- Leftover interfaces of a VPC ----------------------------------------

TEST_F(EipInterfacesTest, LeftoversAreTheAvailableTaggedInterfacesOfTheVpc) {
  const auto net = freshNetwork();
  const auto other = freshNetwork();
  const std::string instance = launch(net.gw_subnet_id).at(0);
  attachSecondary(instance, net.private_subnet_id);  // tagged but attached
  const auto leftover = makeInterface(net.private_subnet_id, "corvanta-test-ec2-network-interface");
  makeInterface(net.private_subnet_id);                                           // untagged
  makeInterface(net.private_subnet_id, "someone-else");                           // another name
  makeInterface(other.private_subnet_id, "corvanta-test-ec2-network-interface");  // other VPC

  const auto found = getNetworkInterfaces(*ec2_, net.vpc_id);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].network_interface_id, leftover.network_interface_id);

  // A passing failure is waited out; a refusal is passed on, never read as
  // "none left".
  fail("ec2", "DescribeNetworkInterfaces", "RequestLimitExceeded", 1, 503);
  EXPECT_EQ(getNetworkInterfaces(*ec2_, net.vpc_id).size(), 1u);
  fail("ec2", "DescribeNetworkInterfaces", "UnauthorizedOperation");
  EXPECT_THROW(getNetworkInterfaces(*ec2_, net.vpc_id), aws::ServiceError);
}

}  // namespace
}  // namespace probefleet
