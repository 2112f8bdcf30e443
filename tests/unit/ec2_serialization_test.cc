// Every EC2 action we send, serialized by our client and by botocore for the
// same parameters: the decoded form bodies must be equal.

#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "aws/services/ec2.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_transport.h"
#include "fakes/test_client.h"
#include "support/serialization.h"

namespace {

using aws::Ec2Client;
using nlohmann::json;
namespace ec2 = aws::ec2;

struct Ec2Case {
  std::string name;
  std::string operation;
  std::function<void(const Ec2Client&)> call;
  json params;  // botocore's input shape
};

const std::string kClientToken = "6b1c2a53-8a4d-4b9e-9b61-0c8f3c1e2d4f";

std::vector<ec2::Tag> nameAndUserTags(const std::string& name) {
  return {{"Name", name}, {"team", "net ops"}, {"cost/centre", "a&b=c+d é"}};
}

json nameAndUserTagsJson(const std::string& name) {
  return json::array({{{"Key", "Name"}, {"Value", name}},
                      {{"Key", "team"}, {"Value", "net ops"}},
                      {{"Key", "cost/centre"}, {"Value", "a&b=c+d é"}}});
}

std::vector<Ec2Case> ec2Cases() {
  std::vector<Ec2Case> c;
  c.push_back({"images by name pattern",
               "DescribeImages",
               [](const Ec2Client& e) {
                 ec2::DescribeImagesRequest r;
                 r.executable_users = {"all"};
                 r.filters = {{"name", {"al2023-ami-2023*"}}};
                 r.owners = {"amazon"};
                 r.include_deprecated = false;
                 e.describeImages(r);
               },
               {{"ExecutableUsers", {"all"}},
                {"Filters", {{{"Name", "name"}, {"Values", {"al2023-ami-2023*"}}}}},
                {"Owners", {"amazon"}},
                {"IncludeDeprecated", false}}});
  c.push_back(
      {"images by id with page token",
       "DescribeImages",
       [](const Ec2Client& e) {
         ec2::DescribeImagesRequest r;
         r.image_ids = {"ami-1", "ami-2"};
         r.owners = {"amazon", "self"};
         r.next_token = "tok/1";
         e.describeImages(r);
       },
       {{"ImageIds", {"ami-1", "ami-2"}}, {"Owners", {"amazon", "self"}}, {"NextToken", "tok/1"}}});
  c.push_back({"instance types",
               "DescribeInstanceTypes",
               [](const Ec2Client& e) {
                 ec2::DescribeInstanceTypesRequest r;
                 r.instance_types = {"t3.micro", "t4g.small"};
                 e.describeInstanceTypes(r);
               },
               {{"InstanceTypes", {"t3.micro", "t4g.small"}}}});
  c.push_back({"subnet by id",
               "DescribeSubnets",
               [](const Ec2Client& e) {
                 ec2::DescribeSubnetsRequest r;
                 r.subnet_ids = {"subnet-0a1"};
                 e.describeSubnets(r);
               },
               {{"SubnetIds", {"subnet-0a1"}}}});
  c.push_back(
      {"subnets by filter",
       "DescribeSubnets",
       [](const Ec2Client& e) {
         ec2::DescribeSubnetsRequest r;
         r.filters = {{"vpc-id", {"vpc-1"}}, {"cidr-block", {"10.0.1.0/24", "10.0.2.0/24"}}};
         e.describeSubnets(r);
       },
       {{"Filters",
         {{{"Name", "vpc-id"}, {"Values", {"vpc-1"}}},
          {{"Name", "cidr-block"}, {"Values", {"10.0.1.0/24", "10.0.2.0/24"}}}}}}});
  c.push_back({"security group by name in a VPC",
               "DescribeSecurityGroups",
               [](const Ec2Client& e) {
                 ec2::DescribeSecurityGroupsRequest r;
                 r.filters = {{"vpc-id", {"vpc-1"}}, {"group-name", {"corvanta-test-ec2-sg"}}};
                 e.describeSecurityGroups(r);
               },
               {{"Filters",
                 {{{"Name", "vpc-id"}, {"Values", {"vpc-1"}}},
                  {{"Name", "group-name"}, {"Values", {"corvanta-test-ec2-sg"}}}}}}});
  c.push_back({"security groups by id and name",
               "DescribeSecurityGroups",
               [](const Ec2Client& e) {
                 ec2::DescribeSecurityGroupsRequest r;
                 r.group_ids = {"sg-1", "sg-2"};
                 r.group_names = {"default"};
                 e.describeSecurityGroups(r);
               },
               {{"GroupIds", {"sg-1", "sg-2"}}, {"GroupNames", {"default"}}}});
  c.push_back({"create security group with tags",
               "CreateSecurityGroup",
               [](const Ec2Client& e) {
                 e.createSecurityGroup(
                     {"Corvanta test ec2",
                      "corvanta-test-ec2-sg",
                      "vpc-1",
                      {{"security-group", nameAndUserTags("corvanta-test-ec2-sg")}}});
               },
               {{"Description", "Corvanta test ec2"},
                {"GroupName", "corvanta-test-ec2-sg"},
                {"VpcId", "vpc-1"},
                {"TagSpecifications",
                 {{{"ResourceType", "security-group"},
                   {"Tags", nameAndUserTagsJson("corvanta-test-ec2-sg")}}}}}});
  c.push_back(
      {"ssh ingress rule",
       "AuthorizeSecurityGroupIngress",
       [](const Ec2Client& e) {
         e.authorizeSecurityGroupIngress(
             {"sg-1",
              {{"tcp", 22, 22, {{"203.0.113.7/32", "SSH access from the workflow engine"}}}}});
       },
       {{"GroupId", "sg-1"},
        {"IpPermissions",
         {{{"IpProtocol", "tcp"},
           {"FromPort", 22},
           {"ToPort", 22},
           {"IpRanges",
            {{{"CidrIp", "203.0.113.7/32"},
              {"Description", "SSH access from the workflow engine"}}}}}}}}});
  c.push_back(
      {"two rules, several ranges",
       "AuthorizeSecurityGroupIngress",
       [](const Ec2Client& e) {
         e.authorizeSecurityGroupIngress(
             {"sg-1",
              {{"udp", 53, 53, {{"10.0.0.0/8", ""}, {"192.0.2.0/24", "doc"}}},
               {"-1", std::nullopt, std::nullopt, {{"0.0.0.0/0", ""}}}}});
       },
       {{"GroupId", "sg-1"},
        {"IpPermissions",
         {{{"IpProtocol", "udp"},
           {"FromPort", 53},
           {"ToPort", 53},
           {"IpRanges",
            {{{"CidrIp", "10.0.0.0/8"}}, {{"CidrIp", "192.0.2.0/24"}, {"Description", "doc"}}}}},
          {{"IpProtocol", "-1"}, {"IpRanges", {{{"CidrIp", "0.0.0.0/0"}}}}}}}}});
  c.push_back({"delete security group",
               "DeleteSecurityGroup",
               [](const Ec2Client& e) { e.deleteSecurityGroup("sg-1"); },
               {{"GroupId", "sg-1"}}});
  c.push_back({"key pair by tag and name",
               "DescribeKeyPairs",
               [](const Ec2Client& e) {
                 ec2::DescribeKeyPairsRequest r;
                 r.filters = {{"tag:Name", {"corvanta-test-ec2-key-pair"}},
                              {"key-name", {"corvanta-test-ec2-key-pair-vpc-1"}}};
                 r.include_public_key = true;
                 e.describeKeyPairs(r);
               },
               {{"Filters",
                 {{{"Name", "tag:Name"}, {"Values", {"corvanta-test-ec2-key-pair"}}},
                  {{"Name", "key-name"}, {"Values", {"corvanta-test-ec2-key-pair-vpc-1"}}}}},
                {"IncludePublicKey", true}}});
  c.push_back({"key pairs by name and id",
               "DescribeKeyPairs",
               [](const Ec2Client& e) {
                 ec2::DescribeKeyPairsRequest r;
                 r.key_names = {"a", "b"};
                 r.key_pair_ids = {"key-1"};
                 r.include_public_key = false;
                 e.describeKeyPairs(r);
               },
               {{"KeyNames", {"a", "b"}}, {"KeyPairIds", {"key-1"}}, {"IncludePublicKey", false}}});
  c.push_back({"create key pair",
               "CreateKeyPair",
               [](const Ec2Client& e) {
                 e.createKeyPair({"corvanta-test-ec2-key-pair-vpc-1",
                                  "rsa",
                                  "pem",
                                  {{"key-pair", nameAndUserTags("corvanta-test-ec2-key-pair")}}});
               },
               {{"KeyName", "corvanta-test-ec2-key-pair-vpc-1"},
                {"KeyType", "rsa"},
                {"KeyFormat", "pem"},
                {"TagSpecifications",
                 {{{"ResourceType", "key-pair"},
                   {"Tags", nameAndUserTagsJson("corvanta-test-ec2-key-pair")}}}}}});
  c.push_back({"delete key pair by name",
               "DeleteKeyPair",
               [](const Ec2Client& e) {
                 e.deleteKeyPair({"k-1", ""});
               },
               {{"KeyName", "k-1"}}});
  c.push_back({"delete key pair by id",
               "DeleteKeyPair",
               [](const Ec2Client& e) {
                 e.deleteKeyPair({"", "key-0123"});
               },
               {{"KeyPairId", "key-0123"}}});
  c.push_back(
      {"live test instances of a VPC",
       "DescribeInstances",
       [](const Ec2Client& e) {
         ec2::DescribeInstancesRequest r;
         r.filters = {{"tag:Name", {"corvanta-test-ec2"}},
                      {"vpc-id", {"vpc-1"}},
                      {"instance-state-name", {"running", "stopped", "stopping"}}};
         e.describeInstances(r);
       },
       {{"Filters",
         {{{"Name", "tag:Name"}, {"Values", {"corvanta-test-ec2"}}},
          {{"Name", "vpc-id"}, {"Values", {"vpc-1"}}},
          {{"Name", "instance-state-name"}, {"Values", {"running", "stopped", "stopping"}}}}}}});
  c.push_back({"instances by id, next page",
               "DescribeInstances",
               [](const Ec2Client& e) {
                 ec2::DescribeInstancesRequest r;
                 r.instance_ids = {"i-1", "i-2"};
                 r.next_token = "page+2==";
                 r.max_results = 5;
                 e.describeInstances(r);
               },
               {{"InstanceIds", {"i-1", "i-2"}}, {"NextToken", "page+2=="}, {"MaxResults", 5}}});
  c.push_back(
      {"launch through a network interface",
       "RunInstances",
       [](const Ec2Client& e) {
         ec2::RunInstancesRequest r;
         r.instance_type = "t3.micro";
         r.image_id = "ami-1";
         r.tag_specifications = {{"instance", nameAndUserTags("corvanta-test-ec2")}};
         ec2::InstanceNetworkInterfaceSpecification n;
         n.device_index = 0;
         n.subnet_id = "subnet-1";
         n.associate_public_ip_address = true;
         n.groups = {"sg-1"};
         r.network_interfaces = {n};
         r.iam_instance_profile =
             ec2::IamInstanceProfileSpecification{"", "corvanta-test-ec2-instance-profile"};
         r.key_name = "corvanta-test-ec2-key-pair-vpc-1";
         r.metadata_options = ec2::InstanceMetadataOptions{"required", "enabled"};
         r.client_token = kClientToken;
         e.runInstances(r);
       },
       {{"InstanceType", "t3.micro"},
        {"MinCount", 1},
        {"MaxCount", 1},
        {"ImageId", "ami-1"},
        {"TagSpecifications",
         {{{"ResourceType", "instance"}, {"Tags", nameAndUserTagsJson("corvanta-test-ec2")}}}},
        {"NetworkInterfaces",
         {{{"DeviceIndex", 0},
           {"SubnetId", "subnet-1"},
           {"AssociatePublicIpAddress", true},
           {"Groups", {"sg-1"}}}}},
        {"IamInstanceProfile", {{"Name", "corvanta-test-ec2-instance-profile"}}},
        {"KeyName", "corvanta-test-ec2-key-pair-vpc-1"},
        {"MetadataOptions", {{"HttpTokens", "required"}, {"HttpEndpoint", "enabled"}}},
        {"ClientToken", kClientToken}}});
  c.push_back({"launch into a subnet with user data",
               "RunInstances",
               [](const Ec2Client& e) {
                 ec2::RunInstancesRequest r;
                 r.image_id = "ami-1";
                 r.instance_type = "t4g.nano";
                 r.min_count = 1;
                 r.max_count = 2;
                 r.security_group_ids = {"sg-1", "sg-2"};
                 r.subnet_id = "subnet-9";
                 r.user_data = "#!/bin/bash -x\necho hi\n";
                 r.iam_instance_profile = ec2::IamInstanceProfileSpecification{
                     "arn:aws:iam::123456789012:instance-profile/p", ""};
                 r.client_token = kClientToken;
                 e.runInstances(r);
               },
               // The SDKs base64-encode user data before serializing it.
               {{"ImageId", "ami-1"},
                {"InstanceType", "t4g.nano"},
                {"MinCount", 1},
                {"MaxCount", 2},
                {"SecurityGroupIds", {"sg-1", "sg-2"}},
                {"SubnetId", "subnet-9"},
                {"UserData", "IyEvYmluL2Jhc2ggLXgKZWNobyBoaQo="},
                {"IamInstanceProfile", {{"Arn", "arn:aws:iam::123456789012:instance-profile/p"}}},
                {"ClientToken", kClientToken}}});
  c.push_back({"instance status",
               "DescribeInstanceStatus",
               [](const Ec2Client& e) {
                 ec2::DescribeInstanceStatusRequest r;
                 r.instance_ids = {"i-1"};
                 r.include_all_instances = true;
                 e.describeInstanceStatus(r);
               },
               {{"InstanceIds", {"i-1"}}, {"IncludeAllInstances", true}}});
  c.push_back({"terminate",
               "TerminateInstances",
               [](const Ec2Client& e) {
                 e.terminateInstances({"i-1", "i-2"});
               },
               {{"InstanceIds", {"i-1", "i-2"}}}});
  c.push_back({"create network interface",
               "CreateNetworkInterface",
               [](const Ec2Client& e) {
                 ec2::CreateNetworkInterfaceRequest r;
                 r.subnet_id = "subnet-2";
                 r.groups = {"sg-9"};
                 r.description = "Corvanta test ec2";
                 r.tag_specifications = {
                     {"network-interface", nameAndUserTags("corvanta-test-ec2-network-interface")}};
                 r.client_token = kClientToken;
                 e.createNetworkInterface(r);
               },
               {{"SubnetId", "subnet-2"},
                {"Groups", {"sg-9"}},
                {"Description", "Corvanta test ec2"},
                {"TagSpecifications",
                 {{{"ResourceType", "network-interface"},
                   {"Tags", nameAndUserTagsJson("corvanta-test-ec2-network-interface")}}}},
                {"ClientToken", kClientToken}}});
  c.push_back({"attach network interface",
               "AttachNetworkInterface",
               [](const Ec2Client& e) {
                 e.attachNetworkInterface({1, "i-1", "eni-2"});
               },
               {{"DeviceIndex", 1}, {"InstanceId", "i-1"}, {"NetworkInterfaceId", "eni-2"}}});
  c.push_back({"detach network interface",
               "DetachNetworkInterface",
               [](const Ec2Client& e) {
                 e.detachNetworkInterface({"eni-attach-1", std::nullopt});
               },
               {{"AttachmentId", "eni-attach-1"}}});
  c.push_back({"force detach",
               "DetachNetworkInterface",
               [](const Ec2Client& e) {
                 e.detachNetworkInterface({"eni-attach-1", true});
               },
               {{"AttachmentId", "eni-attach-1"}, {"Force", true}}});
  c.push_back({"delete network interface",
               "DeleteNetworkInterface",
               [](const Ec2Client& e) { e.deleteNetworkInterface("eni-2"); },
               {{"NetworkInterfaceId", "eni-2"}}});
  c.push_back({"leftover interfaces",
               "DescribeNetworkInterfaces",
               [](const Ec2Client& e) {
                 ec2::DescribeNetworkInterfacesRequest r;
                 r.filters = {{"vpc-id", {"vpc-1"}},
                              {"tag:Name", {"corvanta-test-ec2-network-interface"}},
                              {"status", {"available"}}};
                 e.describeNetworkInterfaces(r);
               },
               {{"Filters",
                 {{{"Name", "vpc-id"}, {"Values", {"vpc-1"}}},
                  {{"Name", "tag:Name"}, {"Values", {"corvanta-test-ec2-network-interface"}}},
                  {{"Name", "status"}, {"Values", {"available"}}}}}}});
  c.push_back({"interfaces by id",
               "DescribeNetworkInterfaces",
               [](const Ec2Client& e) {
                 ec2::DescribeNetworkInterfacesRequest r;
                 r.network_interface_ids = {"eni-1", "eni-2"};
                 r.next_token = "n";
                 e.describeNetworkInterfaces(r);
               },
               {{"NetworkInterfaceIds", {"eni-1", "eni-2"}}, {"NextToken", "n"}}});
  c.push_back(
      {"allocate address",
       "AllocateAddress",
       [](const Ec2Client& e) {
         e.allocateAddress({"vpc", {{"elastic-ip", nameAndUserTags("corvanta-test-ec2-eip")}}});
       },
       {{"Domain", "vpc"},
        {"TagSpecifications",
         {{{"ResourceType", "elastic-ip"},
           {"Tags", nameAndUserTagsJson("corvanta-test-ec2-eip")}}}}}});
  c.push_back({"associate address with an interface",
               "AssociateAddress",
               [](const Ec2Client& e) {
                 e.associateAddress({"eipalloc-1", "eni-1", "", std::nullopt});
               },
               {{"AllocationId", "eipalloc-1"}, {"NetworkInterfaceId", "eni-1"}}});
  c.push_back(
      {"associate address with an instance",
       "AssociateAddress",
       [](const Ec2Client& e) {
         e.associateAddress({"eipalloc-1", "", "i-1", true});
       },
       {{"AllocationId", "eipalloc-1"}, {"InstanceId", "i-1"}, {"AllowReassociation", true}}});
  c.push_back({"address of an instance",
               "DescribeAddresses",
               [](const Ec2Client& e) {
                 ec2::DescribeAddressesRequest r;
                 r.filters = {{"instance-id", {"i-1"}}};
                 r.public_ips = {"198.51.100.4"};
                 e.describeAddresses(r);
               },
               {{"Filters", {{{"Name", "instance-id"}, {"Values", {"i-1"}}}}},
                {"PublicIps", {"198.51.100.4"}}}});
  c.push_back({"addresses by allocation",
               "DescribeAddresses",
               [](const Ec2Client& e) {
                 ec2::DescribeAddressesRequest r;
                 r.allocation_ids = {"eipalloc-1", "eipalloc-2"};
                 e.describeAddresses(r);
               },
               {{"AllocationIds", {"eipalloc-1", "eipalloc-2"}}}});
  c.push_back({"address quota",
               "DescribeAccountAttributes",
               [](const Ec2Client& e) {
                 e.describeAccountAttributes({"vpc-max-elastic-ips", "max-instances"});
               },
               {{"AttributeNames", {"vpc-max-elastic-ips", "max-instances"}}}});
  c.push_back({"release address",
               "ReleaseAddress",
               [](const Ec2Client& e) {
                 e.releaseAddress({"eipalloc-1", ""});
               },
               {{"AllocationId", "eipalloc-1"}}});
  c.push_back(
      {"tag interfaces",
       "CreateTags",
       [](const Ec2Client& e) {
         e.createTags({{"eni-1", "eni-2"}, nameAndUserTags("corvanta-test-ec2-network-interface")});
       },
       {{"Resources", {"eni-1", "eni-2"}},
        {"Tags", nameAndUserTagsJson("corvanta-test-ec2-network-interface")}}});
  c.push_back({"create vpc",
               "CreateVpc",
               [](const Ec2Client& e) {
                 e.createVpc({"10.0.0.0/16", {{"vpc", {{"Name", "probe"}}}}});
               },
               {{"CidrBlock", "10.0.0.0/16"},
                {"TagSpecifications",
                 {{{"ResourceType", "vpc"}, {"Tags", {{{"Key", "Name"}, {"Value", "probe"}}}}}}}}});
  c.push_back(
      {"create subnet",
       "CreateSubnet",
       [](const Ec2Client& e) {
         e.createSubnet({"vpc-1", "10.0.1.0/24", "us-east-1a", {}});
       },
       {{"VpcId", "vpc-1"}, {"CidrBlock", "10.0.1.0/24"}, {"AvailabilityZone", "us-east-1a"}}});
  return c;
}

TEST(Ec2Serialization, EveryActionMatchesBotocore) {
  auto transport = fakes::ec2Transport();
  const Ec2Client client =
      aws::Ec2Client(fakes::clientConfig("ec2", transport, std::make_shared<fakes::FakeClock>()));
  const std::vector<Ec2Case> table = ec2Cases();

  std::vector<testing_support::OracleRequest> batch;
  for (const Ec2Case& c : table) {
    c.call(client);
    batch.push_back({"ec2", c.operation, c.params});
  }
  ASSERT_EQ(transport->requests().size(), table.size());
  const auto expected = testing_support::botocoreSerialize(batch);
  ASSERT_EQ(expected.size(), table.size());

  std::set<std::string> operations;
  for (std::size_t i = 0; i < table.size(); ++i) {
    SCOPED_TRACE(table[i].name);
    operations.insert(table[i].operation);
    EXPECT_EQ(transport->requests()[i].method, "POST");
    EXPECT_EQ(testing_support::decodeForm(transport->requests()[i]), expected[i].params);
  }
  // Every action the program sends is covered above.
  EXPECT_EQ(operations.size(), 27u);
}

TEST(Ec2Serialization, ClientTokenIsStableAcrossRetriesAndFreshPerCall) {
  auto transport = fakes::ec2Transport();
  auto clock = std::make_shared<fakes::FakeClock>();
  const Ec2Client client =
      aws::Ec2Client(fakes::clientConfig("ec2", transport, clock, /*max_attempts=*/3));

  const std::string throttled =
      "<Response><Errors><Error><Code>RequestLimitExceeded</Code><Message>slow down</Message>"
      "</Error></Errors><RequestID>r</RequestID></Response>";
  const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");

  const std::vector<std::pair<std::string, std::function<void()>>> calls = {
      {"RunInstances",
       [&] {
         ec2::RunInstancesRequest r;
         r.image_id = "ami-1";
         client.runInstances(r);
       }},
      {"CreateNetworkInterface",
       [&] {
         ec2::CreateNetworkInterfaceRequest r;
         r.subnet_id = "subnet-1";
         client.createNetworkInterface(r);
       }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    transport->clear();
    transport->enqueue(503, throttled);
    transport->enqueue(400, throttled);
    call();  // two refusals, then the fallback success
    call();  // a second logical call
    ASSERT_EQ(transport->requests().size(), 4u);
    std::vector<std::string> tokens;
    for (const auto& request : transport->requests()) {
      tokens.push_back(testing_support::decodeForm(request)["ClientToken"]);
    }
    EXPECT_TRUE(std::regex_match(tokens[0], uuid)) << tokens[0];
    EXPECT_EQ(tokens[0], tokens[1]);
    EXPECT_EQ(tokens[0], tokens[2]);
    EXPECT_NE(tokens[0], tokens[3]);
  }
}

}  // namespace
