// The EC2 client against the sandbox with signature checking on: each group
// of actions makes, reads back and removes real (emulated) resources.

#include "aws/services/ec2.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "aws/auth/credentials.h"
#include "aws/base/environment.h"
#include "aws/client/error.h"
#include "aws/http/http.h"
#include "aws/services/ec2_waiters.h"
#include "support/sandbox.h"

namespace {

using nlohmann::json;
using nlohmann::ordered_json;
using testing_support::Sandbox;
namespace ec2 = aws::ec2;

class Ec2ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Read afresh: another test of this binary may have reseeded the world.
    world_ = Sandbox::shared().world();
    client_ = std::make_unique<aws::Ec2Client>(Sandbox::shared().clientConfig("ec2"));
  }

  std::string vpcId() const { return world_.at("vpc_id").get<std::string>(); }
  std::string subnet(const char* name) const {
    return world_.at("subnet_ids").at(name).get<std::string>();
  }
  /// A name no other test (or earlier run against the same sandbox) uses.
  static std::string unique(const std::string& stem) {
    return stem + "-" + aws::newClientToken().substr(0, 8);
  }

  /// The code of the ServiceError `call` throws; "" when it throws none.
  template <class F>
  static std::string errorCode(F call) {
    try {
      call();
    } catch (const aws::ServiceError& e) {
      return e.code();
    }
    return "";
  }

  const aws::Ec2Client& ec2() const { return *client_; }

 private:
  ordered_json world_;
  std::unique_ptr<aws::Ec2Client> client_;
};

TEST_F(Ec2ClientTest, SecurityGroupIsCreatedOpenedFoundAndDeleted) {
  const std::string name = unique("ec2-client-sg");
  const std::string id = ec2().createSecurityGroup(
      {"Client test group", name, vpcId(), {{"security-group", {{"Name", name}, {"k", "v w"}}}}});
  ASSERT_EQ(id.rfind("sg-", 0), 0u) << id;
  ec2().authorizeSecurityGroupIngress(
      {id, {{"tcp", 22, 22, {{"203.0.113.7/32", "SSH access from the workflow engine"}}}}});

  ec2::DescribeSecurityGroupsRequest by_name;
  by_name.filters = {{"vpc-id", {vpcId()}}, {"group-name", {name}}};
  const auto found = ec2().describeSecurityGroups(by_name).security_groups;
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].group_id, id);
  EXPECT_EQ(found[0].group_name, name);
  EXPECT_EQ(found[0].vpc_id, vpcId());
  EXPECT_EQ(found[0].tags, (std::vector<ec2::Tag>{{"Name", name}, {"k", "v w"}}));
  ASSERT_EQ(found[0].ip_permissions.size(), 1u);
  const ec2::IpPermission& rule = found[0].ip_permissions[0];
  EXPECT_EQ(rule.ip_protocol, "tcp");
  EXPECT_EQ(rule.from_port, 22);
  EXPECT_EQ(rule.to_port, 22);
  ASSERT_EQ(rule.ip_ranges.size(), 1u);
  EXPECT_EQ(rule.ip_ranges[0].cidr_ip, "203.0.113.7/32");
  EXPECT_EQ(rule.ip_ranges[0].description, "SSH access from the workflow engine");

  ec2().deleteSecurityGroup(id);
  EXPECT_TRUE(ec2().describeSecurityGroups(by_name).security_groups.empty());
  EXPECT_EQ(errorCode([&] { ec2().deleteSecurityGroup(id); }), "InvalidGroup.NotFound");
}

TEST_F(Ec2ClientTest, KeyPairIsCreatedFoundRefusedTwiceAndDeleted) {
  const std::string name = unique("ec2-client-key");
  const ec2::CreatedKeyPair made =
      ec2().createKeyPair({name, "rsa", "pem", {{"key-pair", {{"Name", "ec2-client-key"}}}}});
  EXPECT_EQ(made.key_name, name);
  EXPECT_EQ(made.key_material.rfind("-----BEGIN", 0), 0u);
  EXPECT_FALSE(made.key_fingerprint.empty());

  ec2::DescribeKeyPairsRequest lookup;
  lookup.filters = {{"tag:Name", {"ec2-client-key"}}, {"key-name", {name}}};
  lookup.include_public_key = true;
  const auto found = ec2().describeKeyPairs(lookup);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].key_name, name);
  EXPECT_EQ(found[0].key_type, "rsa");
  EXPECT_EQ(found[0].key_fingerprint, made.key_fingerprint);
  EXPECT_FALSE(found[0].key_pair_id.empty());
  EXPECT_EQ(ec2::tagValue(found[0].tags, "Name"), "ec2-client-key");

  EXPECT_EQ(errorCode([&] {
              ec2().createKeyPair({name, "rsa", "pem", {}});
            }),
            "InvalidKeyPair.Duplicate");
  ec2().deleteKeyPair({name, ""});
  EXPECT_TRUE(ec2().describeKeyPairs(lookup).empty());
  EXPECT_EQ(errorCode([&] {
              ec2().describeKeyPairs({{name}, {}, {}, std::nullopt});
            }),
            "InvalidKeyPair.NotFound");
}

TEST_F(Ec2ClientTest, InstanceWithSecondInterfaceAndElasticIpLivesAndDies) {
  const std::string gw = subnet("gw-a");
  const std::string priv = subnet("private-a");
  const std::string tag = unique("ec2-client-instance");

  ec2::DescribeImagesRequest images;
  images.executable_users = {"all"};
  images.owners = {"amazon"};
  images.filters = {{"name", {"al2023-ami-2023*"}}};
  images.include_deprecated = false;
  const auto image_list = ec2().describeImages(images).images;
  ASSERT_FALSE(image_list.empty());

  ec2::RunInstancesRequest run;
  run.image_id = image_list[0].image_id;
  run.instance_type = "t3.micro";
  run.tag_specifications = {{"instance", {{"Name", tag}}}};
  ec2::InstanceNetworkInterfaceSpecification primary;
  primary.device_index = 0;
  primary.subnet_id = gw;
  primary.associate_public_ip_address = true;
  run.network_interfaces = {primary};
  const auto launched = ec2().runInstances(run);
  ASSERT_EQ(launched.instances.size(), 1u);
  const std::string id = launched.instances[0].instance_id;
  const std::vector<std::string> ids = {id};

  aws::Ec2Waiter::named(ec2(), "instance_status_ok")
      .configure(std::chrono::milliseconds(200), 25)
      .wait(ids);
  ec2::DescribeInstanceStatusRequest status;
  status.instance_ids = ids;
  const auto statuses = ec2().describeInstanceStatus(status).instance_statuses;
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0].instance_state_name, "running");
  EXPECT_EQ(statuses[0].instance_status, "ok");
  EXPECT_EQ(statuses[0].system_status, "ok");

  // The second interface in the private subnet, attached as device 1.
  ec2::CreateNetworkInterfaceRequest eni_request;
  eni_request.subnet_id = priv;
  eni_request.description = "Corvanta test ec2";
  eni_request.tag_specifications = {{"network-interface", {{"Name", tag}}}};
  const ec2::NetworkInterface eni = ec2().createNetworkInterface(eni_request);
  ASSERT_FALSE(eni.network_interface_id.empty());
  const std::string attachment = ec2().attachNetworkInterface({1, id, eni.network_interface_id});
  EXPECT_FALSE(attachment.empty());

  ec2::DescribeInstancesRequest in_subnet;
  in_subnet.filters = {{"tag:Name", {tag}}, {"subnet-id", {gw}}};
  auto reservations = ec2().describeInstances(in_subnet).reservations;
  ASSERT_EQ(reservations.size(), 1u);
  ec2::Instance instance = reservations[0].instances.at(0);
  EXPECT_EQ(instance.instance_id, id);
  EXPECT_EQ(instance.state_name, "running");
  EXPECT_EQ(instance.subnet_id, gw);
  EXPECT_EQ(instance.vpc_id, vpcId());
  EXPECT_FALSE(instance.public_ip_address.empty());
  ASSERT_EQ(instance.network_interfaces.size(), 2u);
  std::string primary_eni;
  for (const ec2::NetworkInterface& n : instance.network_interfaces) {
    ASSERT_TRUE(n.attachment.has_value());
    if (n.subnet_id == gw) {
      primary_eni = n.network_interface_id;
      EXPECT_EQ(n.attachment->device_index, 0);
      ASSERT_TRUE(n.association.has_value());
      EXPECT_EQ(n.association->public_ip, instance.public_ip_address);
    } else {
      EXPECT_EQ(n.network_interface_id, eni.network_interface_id);
      EXPECT_EQ(n.attachment->attachment_id, attachment);
      EXPECT_EQ(n.attachment->device_index, 1);
      EXPECT_EQ(n.private_ip_address, eni.private_ip_address);
    }
  }
  ASSERT_FALSE(primary_eni.empty());

  // An Elastic IP on the primary interface, found again by instance and address.
  const auto eip = ec2().allocateAddress({"vpc", {{"elastic-ip", {{"Name", tag}}}}});
  ASSERT_FALSE(eip.allocation_id.empty());
  EXPECT_FALSE(ec2().associateAddress({eip.allocation_id, primary_eni, "", std::nullopt}).empty());
  ec2::DescribeAddressesRequest by_instance;
  by_instance.filters = {{"instance-id", {id}}};
  by_instance.public_ips = {eip.public_ip};
  const auto addresses = ec2().describeAddresses(by_instance);
  ASSERT_EQ(addresses.size(), 1u);
  EXPECT_EQ(addresses[0].allocation_id, eip.allocation_id);
  EXPECT_EQ(addresses[0].network_interface_id, primary_eni);
  EXPECT_EQ(ec2::tagValue(addresses[0].tags, "Name"), tag);

  // Tags on the instance's interfaces.
  ec2().createTags({{primary_eni}, {{"Name", tag}}});
  ec2::DescribeNetworkInterfacesRequest leftovers;
  leftovers.filters = {{"vpc-id", {vpcId()}}, {"tag:Name", {tag}}, {"status", {"available"}}};
  EXPECT_TRUE(ec2().describeNetworkInterfaces(leftovers).network_interfaces.empty());

  // Detached, the second interface is a leftover; then it is deleted.
  ec2().detachNetworkInterface({attachment, std::nullopt});
  const auto left = ec2().describeNetworkInterfaces(leftovers).network_interfaces;
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].network_interface_id, eni.network_interface_id);
  EXPECT_FALSE(left[0].attachment.has_value() && !left[0].attachment->attachment_id.empty());
  ec2().deleteNetworkInterface(eni.network_interface_id);
  EXPECT_TRUE(ec2().describeNetworkInterfaces(leftovers).network_interfaces.empty());

  const auto changes = ec2().terminateInstances(ids);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].instance_id, id);
  EXPECT_EQ(changes[0].previous_state, "running");
  aws::Ec2Waiter::named(ec2(), "instance_terminated")
      .configure(std::chrono::milliseconds(200), 25)
      .wait(ids);
  reservations = ec2().describeInstances(in_subnet).reservations;
  ASSERT_EQ(reservations.size(), 1u);
  EXPECT_EQ(reservations[0].instances.at(0).state_name, "terminated");

  ec2().releaseAddress({eip.allocation_id, ""});
  ec2::DescribeAddressesRequest by_allocation;
  by_allocation.allocation_ids = {eip.allocation_id};
  EXPECT_FALSE(errorCode([&] { ec2().describeAddresses(by_allocation); }).empty());
}

TEST_F(Ec2ClientTest, WaiterOnAnUnknownInstanceGivesUpWithItsName) {
  // instance_running retries InvalidInstanceID.NotFound until its attempts run out.
  const std::size_t before = Sandbox::shared().journal("ec2", "DescribeInstances").size();
  try {
    aws::Ec2Waiter::named(ec2(), "instance_running")
        .configure(std::chrono::milliseconds(10), 3)
        .wait({"i-0123456789abcdef0"});
    FAIL() << "no WaiterError";
  } catch (const aws::WaiterError& e) {
    EXPECT_NE(std::string(e.what()).find("instance_running"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("i-0123456789abcdef0"), std::string::npos) << e.what();
    EXPECT_NE(e.reason().find("max attempts"), std::string::npos) << e.reason();
  }
  const json polls = Sandbox::shared().journal("ec2", "DescribeInstances");
  ASSERT_EQ(polls.size(), before + 3);
  for (std::size_t i = before; i < polls.size(); ++i) {
    EXPECT_EQ(polls[i].at("status"), 400);
    EXPECT_EQ(polls[i].at("params").at("InstanceId.1"), "i-0123456789abcdef0");
  }
}

}  // namespace
