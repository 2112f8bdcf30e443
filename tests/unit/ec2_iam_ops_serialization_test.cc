// The identity, instance-lookup, Elastic IP and interface operations, run
// against a canned transport: every request they send must be what botocore
// serializes for the parameters the operation is meant to send, in the
// order meant. Also the answers that the sandbox cannot produce (an
// allocation without an id, a detachment that shows only after a while).

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "fakes/fake_clock.h"
#include "fakes/fake_transport.h"
#include "fakes/test_client.h"
#include "probefleet/resources/eip.h"
#include "probefleet/resources/fleet_lookup.h"
#include "probefleet/resources/identity.h"
#include "probefleet/resources/interfaces.h"
#include "support/serialization.h"

namespace probefleet {
namespace {

using fakes::FakeTransport;
using nlohmann::json;
using testing_support::OracleRequest;

// The documents as laid out for IAM, written out here by hand.
const char* kTrustText =
    R"({"Version": "2012-10-17", "Statement": [{"Effect": "Allow", )"
    R"("Principal": {"Service": "ec2.amazonaws.com"}, "Action": "sts:AssumeRole"}]})";
const char* kPolicyArn = "arn:aws:iam::123456789012:policy/corvanta-test-ec2-policy";

std::string xmlAnswer(const std::string& action, const std::string& inner) {
  return "<" + action + "Response>" + inner + "</" + action + "Response>";
}

// Answers each action with its canned body (an ErrorResponse as a 409), or
// an empty success.
FakeTransport::Answer byAction(std::map<std::string, std::string> bodies) {
  return [bodies = std::move(bodies)](const aws::HttpRequest& request) {
    const auto form = testing_support::decodeForm(request);
    const std::string action = form.at("Action");
    // A later page may have an answer of its own, under "<action>@<marker>".
    auto found =
        form.count("Marker") ? bodies.find(action + "@" + form.at("Marker")) : bodies.end();
    if (found == bodies.end()) found = bodies.find(action);
    aws::HttpResponse response;
    response.body =
        found != bodies.end() ? found->second : xmlAnswer(action, "<" + action + "Result/>");
    response.status = response.body.rfind("<ErrorResponse>", 0) == 0 ? 409 : 200;
    return response;
  };
}

const std::string kInstanceAnswer =
    xmlAnswer("DescribeInstances",
              "<reservationSet><item><reservationId>r-1</reservationId><instancesSet><item>"
              "<instanceId>i-1</instanceId><networkInterfaceSet>"
              "<item><networkInterfaceId>eni-a</networkInterfaceId><subnetId>subnet-gw</subnetId>"
              "<privateIpAddress>10.0.1.5</privateIpAddress></item>"
              "<item><networkInterfaceId>eni-b</networkInterfaceId><subnetId>subnet-priv</subnetId>"
              "<privateIpAddress>10.0.2.7</privateIpAddress></item>"
              "</networkInterfaceSet></item></instancesSet></item></reservationSet>");

struct OpCase {
  std::string name;
  std::string service;  // "iam" or "ec2"
  std::function<void(const aws::ClientConfig&)> run;
  std::vector<OracleRequest> expected;  // in the order sent
  std::map<std::string, std::string> answers = {};
};

json tagSpec(const std::string& type, const std::string& name, bool user_tags) {
  json tags = json::array({{{"Key", "Name"}, {"Value", name}}});
  if (user_tags) {
    tags.push_back({{"Key", "team"}, {"Value", "net ops"}});
    tags.push_back({{"Key", "cost"}, {"Value", "a&b=c é"}});
  }
  return json::array({{{"ResourceType", type}, {"Tags", tags}}});
}

json filter(const std::string& name, const std::vector<std::string>& values) {
  return {{"Name", name}, {"Values", values}};
}

Args userTagArgs() {
  Args args;
  args.tag_resource = "team,net ops,cost,a&b=c é";
  return args;
}

std::vector<OpCase> opCases() {
  std::vector<OpCase> c;
  const json iam_tags = json::array({{{"Key", "Name"}, {"Value", "corvanta-test-ec2"}},
                                     {{"Key", "team"}, {"Value", "net ops"}},
                                     {{"Key", "cost"}, {"Value", "a&b=c é"}}});
  const std::string gov_document =
      R"({"Version": "2012-10-17", "Statement": [)"
      R"({"Effect": "Allow", "Action": ["s3:ListBucket"], "Resource": ["arn:aws-us-gov:s3:::res-b"]}, )"
      R"({"Effect": "Allow", "Action": ["s3:GetObject"], "Resource": ["arn:aws-us-gov:s3:::res-b/*"]}, )"
      R"({"Effect": "Allow", "Action": ["s3:PutObject"], "Resource": ["arn:aws-us-gov:s3:::res-b/*"]}]})";
  c.push_back({"createS3Policy in GovCloud, every tag in the request",
               "iam",
               [](const aws::ClientConfig& config) {
                 aws::ClientConfig gov = config;
                 gov.region = "us-gov-west-1";
                 Args args = userTagArgs();
                 args.s3_bucket = "res-b";
                 createS3Policy(aws::IamClient(gov), args);
               },
               {{"iam",
                 "CreatePolicy",
                 {{"PolicyName", "corvanta-test-ec2-policy"},
                  {"PolicyDocument", gov_document},
                  {"Description", "corvanta test ec2 policy"},
                  {"Tags", iam_tags}}}}});
  // The policy exists in China with five versions and without the run's
  // bucket: the oldest non-default version makes room for the new default.
  const std::string cn_arn = "arn:aws-cn:iam::123456789012:policy/corvanta-test-ec2-policy";
  const std::string cn_document =
      R"({"Version": "2012-10-17", "Statement": [)"
      R"({"Effect": "Allow", "Action": ["s3:ListBucket"], "Resource": ["arn:aws-cn:s3:::old-b", "arn:aws-cn:s3:::res-b"]}, )"
      R"({"Effect": "Allow", "Action": ["s3:GetObject"], "Resource": ["arn:aws-cn:s3:::old-b/*", "arn:aws-cn:s3:::res-b/*"]}, )"
      R"({"Effect": "Allow", "Action": ["s3:PutObject"], "Resource": ["arn:aws-cn:s3:::old-b/*", "arn:aws-cn:s3:::res-b/*"]}]})";
  const std::string cn_new_document =
      R"({"Version": "2012-10-17", "Statement": [)"
      R"({"Effect": "Allow", "Action": ["s3:ListBucket"], "Resource": ["arn:aws-cn:s3:::res-b"]}, )"
      R"({"Effect": "Allow", "Action": ["s3:GetObject"], "Resource": ["arn:aws-cn:s3:::res-b/*"]}, )"
      R"({"Effect": "Allow", "Action": ["s3:PutObject"], "Resource": ["arn:aws-cn:s3:::res-b/*"]}]})";
  std::string versions;
  for (const char* id : {"v4", "v2", "v3", "v5", "v6"}) {
    versions += std::string("<member><VersionId>") + id + "</VersionId><IsDefaultVersion>" +
                (std::string(id) == "v3" ? "true" : "false") + "</IsDefaultVersion></member>";
  }
  c.push_back(
      {"createS3Policy adds the run's bucket to the policy in China",
       "iam",
       [](const aws::ClientConfig& config) {
         aws::ClientConfig cn = config;
         cn.region = "cn-north-1";
         Args args;
         args.s3_bucket = "res-b";
         args.account = "123456789012";
         EXPECT_EQ(createS3Policy(aws::IamClient(cn), args),
                   "arn:aws-cn:iam::123456789012:policy/corvanta-test-ec2-policy");
       },
       {{"iam",
         "CreatePolicy",
         {{"PolicyName", "corvanta-test-ec2-policy"},
          {"PolicyDocument", cn_new_document},
          {"Description", "corvanta test ec2 policy"},
          {"Tags", json::array({{{"Key", "Name"}, {"Value", "corvanta-test-ec2"}}})}}},
        {"iam", "GetPolicy", {{"PolicyArn", cn_arn}}},
        {"iam", "GetPolicyVersion", {{"PolicyArn", cn_arn}, {"VersionId", "v3"}}},
        {"iam", "ListPolicyVersions", {{"PolicyArn", cn_arn}}},
        {"iam", "DeletePolicyVersion", {{"PolicyArn", cn_arn}, {"VersionId", "v2"}}},
        {"iam",
         "CreatePolicyVersion",
         {{"PolicyArn", cn_arn}, {"PolicyDocument", cn_document}, {"SetAsDefault", true}}}},
       {{"CreatePolicy",
         "<ErrorResponse><Error><Code>EntityAlreadyExists</Code><Message>exists</Message>"
         "</Error></ErrorResponse>"},
        {"GetPolicy", xmlAnswer("GetPolicy",
                                "<GetPolicyResult><Policy><DefaultVersionId>v3</DefaultVersionId>"
                                "</Policy></GetPolicyResult>")},
        {"GetPolicyVersion",
         xmlAnswer("GetPolicyVersion",
                   // URL-encoded, as IAM answers it
                   "<GetPolicyVersionResult><PolicyVersion><Document>%7B%22Statement%22%3A%20%5B%7B"
                   "%22Resource%22%3A%20%22arn%3Aaws-cn%3As3%3A%3A%3Aold-b%22%7D%5D%7D</Document>"
                   "</PolicyVersion></GetPolicyVersionResult>")},
        {"ListPolicyVersions",
         xmlAnswer("ListPolicyVersions", "<ListPolicyVersionsResult><Versions>" + versions +
                                             "</Versions></ListPolicyVersionsResult>")}}});
  c.push_back({"createEc2Role, every tag in the request",
               "iam",
               [](const aws::ClientConfig& config) {
                 EXPECT_TRUE(
                     createEc2Role(aws::IamClient(config), kPolicyArn, userTagArgs()).has_value());
               },
               {{"iam",
                 "CreateRole",
                 {{"RoleName", "corvanta-test-ec2-role"},
                  {"AssumeRolePolicyDocument", kTrustText},
                  {"Description", "corvanta test ec2 role"},
                  {"Tags", iam_tags}}},
                {"iam",
                 "AttachRolePolicy",
                 {{"RoleName", "corvanta-test-ec2-role"}, {"PolicyArn", kPolicyArn}}}}});
  c.push_back(
      {"createInstanceProfile, every tag in the request",
       "iam",
       [](const aws::ClientConfig& config) {
         createInstanceProfile(aws::IamClient(config), userTagArgs());
       },
       {{"iam",
         "CreateInstanceProfile",
         {{"InstanceProfileName", "corvanta-test-ec2-instance-profile"}, {"Tags", iam_tags}}},
        {"iam",
         "AddRoleToInstanceProfile",
         {{"InstanceProfileName", "corvanta-test-ec2-instance-profile"},
          {"RoleName", "corvanta-test-ec2-role"}}}}});
  c.push_back(
      {"deleteInstanceProfile",
       "iam",
       [](const aws::ClientConfig& config) {
         EXPECT_TRUE(deleteInstanceProfile(aws::IamClient(config)).empty());
       },
       {{"iam",
         "RemoveRoleFromInstanceProfile",
         {{"InstanceProfileName", "corvanta-test-ec2-instance-profile"},
          {"RoleName", "corvanta-test-ec2-role"}}},
        {"iam",
         "DeleteInstanceProfile",
         {{"InstanceProfileName", "corvanta-test-ec2-instance-profile"}}},
        {"iam", "ListPolicies", {{"Scope", "Local"}}},
        {"iam", "ListPolicies", {{"Scope", "Local"}, {"Marker", "page2"}}},
        {"iam",
         "DetachRolePolicy",
         {{"RoleName", "corvanta-test-ec2-role"}, {"PolicyArn", kPolicyArn}}},
        {"iam", "ListPolicyVersions", {{"PolicyArn", kPolicyArn}}},
        {"iam", "DeletePolicyVersion", {{"PolicyArn", kPolicyArn}, {"VersionId", "v1"}}},
        {"iam", "DeletePolicy", {{"PolicyArn", kPolicyArn}}},
        {"iam", "DeleteRole", {{"RoleName", "corvanta-test-ec2-role"}}}},
       // The first page has no policy of ours, the second has it.
       {{"ListPolicies",
         xmlAnswer("ListPolicies",
                   "<ListPoliciesResult><IsTruncated>true</IsTruncated><Marker>page2</Marker>"
                   "<Policies><member><PolicyName>other</PolicyName><Arn>arn:aws:iam::1:policy/"
                   "other</Arn></member></Policies></ListPoliciesResult>")},
        {"ListPolicies@page2",
         xmlAnswer("ListPolicies",
                   std::string("<ListPoliciesResult><IsTruncated>false</IsTruncated><Policies>"
                               "<member><PolicyName>corvanta-test-ec2-policy</PolicyName><Arn>") +
                       kPolicyArn + "</Arn></member></Policies></ListPoliciesResult>")},
        {"ListPolicyVersions",
         xmlAnswer("ListPolicyVersions",
                   "<ListPolicyVersionsResult><Versions>"
                   "<member><VersionId>v1</VersionId><IsDefaultVersion>false</IsDefaultVersion>"
                   "</member><member><VersionId>v2</VersionId><IsDefaultVersion>true"
                   "</IsDefaultVersion></member></Versions></ListPolicyVersionsResult>")}}});
  c.push_back(
      {"getEc2",
       "ec2",
       [](const aws::ClientConfig& config) { getEc2(aws::Ec2Client(config), "subnet-gw"); },
       {{"ec2",
         "DescribeInstances",
         {{"Filters",
           {filter("tag:Name", {"corvanta-test-ec2"}), filter("subnet-id", {"subnet-gw"}),
            filter("instance-state-name", {"pending", "running", "stopping", "stopped"})}}}}}});
  c.push_back(
      {"getAllEc2InVpc",
       "ec2",
       [](const aws::ClientConfig& config) { getAllEc2InVpc(aws::Ec2Client(config), "vpc-1"); },
       {{"ec2",
         "DescribeInstances",
         {{"Filters",
           {filter("tag:Name", {"corvanta-test-ec2"}), filter("vpc-id", {"vpc-1"}),
            filter("instance-state-name",
                   {"pending", "running", "shutting-down", "stopping", "stopped"})}}}}}});
  c.push_back({"associateEIP with the user's tags",
               "ec2",
               [](const aws::ClientConfig& config) {
                 associateEIP(aws::Ec2Client(config), "eni-a", "vpc-1", userTagArgs());
               },
               {{"ec2",
                 "AllocateAddress",
                 {{"Domain", "vpc"},
                  {"TagSpecifications",
                   [] {
                     json spec = tagSpec("elastic-ip", "corvanta-test-ec2-eip", true);
                     spec[0]["Tags"].push_back({{"Key", "probefleet:vpc"}, {"Value", "vpc-1"}});
                     return spec;
                   }()}}},
                {"ec2",
                 "AssociateAddress",
                 {{"AllocationId", "eipalloc-1"}, {"NetworkInterfaceId", "eni-a"}}}},
               {{"AllocateAddress",
                 xmlAnswer("AllocateAddress",
                           "<publicIp>203.0.113.9</publicIp><allocationId>eipalloc-1</allocationId>"
                           "<domain>vpc</domain>")}}});
  c.push_back({"getEipAllocationId",
               "ec2",
               [](const aws::ClientConfig& config) {
                 EXPECT_EQ(getEipAllocationId(aws::Ec2Client(config), "i-1", "203.0.113.9"),
                           "eipalloc-1");
               },
               {{"ec2",
                 "DescribeAddresses",
                 {{"Filters", {filter("instance-id", {"i-1"})}}, {"PublicIps", {"203.0.113.9"}}}}},
               {{"DescribeAddresses",
                 xmlAnswer("DescribeAddresses",
                           "<addressesSet><item><publicIp>203.0.113.9</publicIp>"
                           "<allocationId>eipalloc-1</allocationId></item></addressesSet>")}}});
  c.push_back({"releaseEIP",
               "ec2",
               [](const aws::ClientConfig& config) {
                 releaseEIP(aws::Ec2Client(config), "203.0.113.9", "eipalloc-1", "i-1", {});
               },
               {{"ec2", "ReleaseAddress", {{"AllocationId", "eipalloc-1"}}}}});
  c.push_back({"createNetworkfInterface with the user's tags",
               "ec2",
               [](const aws::ClientConfig& config) {
                 createNetworkfInterface(aws::Ec2Client(config), "i-1", "subnet-priv", "sg-p",
                                         userTagArgs());
               },
               {{"ec2",
                 "CreateNetworkInterface",
                 {{"Description", "Corvanta test ec2"},
                  {"Groups", {"sg-p"}},
                  {"SubnetId", "subnet-priv"},
                  {"TagSpecifications",
                   tagSpec("network-interface", "corvanta-test-ec2-network-interface", true)}}},
                {"ec2",
                 "AttachNetworkInterface",
                 {{"DeviceIndex", 1}, {"InstanceId", "i-1"}, {"NetworkInterfaceId", "eni-new"}}}},
               {{"CreateNetworkInterface",
                 xmlAnswer("CreateNetworkInterface",
                           "<networkInterface><networkInterfaceId>eni-new</networkInterfaceId>"
                           "</networkInterface>")}}});
  c.push_back({"lookupInf2PrivateIp",
               "ec2",
               [](const aws::ClientConfig& config) {
                 TestConfig entry = {{"private_subnet_cidr", "10.0.2.0/24"}};
                 lookupInf2PrivateIp(aws::Ec2Client(config), "i-1", entry);
                 EXPECT_EQ(entry.value("ec2_2nd_private_ip", ""), "10.0.2.7");
               },
               {{"ec2", "DescribeInstances", {{"InstanceIds", {"i-1"}}}}},
               {{"DescribeInstances", kInstanceAnswer}}});
  c.push_back(
      {"deleteAttachment",
       "ec2",
       [](const aws::ClientConfig& config) {
         deleteAttachment(aws::Ec2Client(config), "eni-attach-1", "subnet-gw", {});
       },
       {{"ec2", "DetachNetworkInterface", {{"AttachmentId", "eni-attach-1"}}},
        {"ec2",
         "DescribeInstances",
         {{"Filters",
           {filter("tag:Name", {"corvanta-test-ec2"}), filter("subnet-id", {"subnet-gw"}),
            filter("instance-state-name", {"pending", "running", "stopping", "stopped"})}}}}}});
  c.push_back({"deleteNetworkInterface",
               "ec2",
               [](const aws::ClientConfig& config) {
                 deleteNetworkInterface(aws::Ec2Client(config), "eni-b", {});
               },
               {{"ec2", "DeleteNetworkInterface", {{"NetworkInterfaceId", "eni-b"}}}}});
  c.push_back({"getNetworkInterfaces",
               "ec2",
               [](const aws::ClientConfig& config) {
                 getNetworkInterfaces(aws::Ec2Client(config), "vpc-1");
               },
               {{"ec2",
                 "DescribeNetworkInterfaces",
                 {{"Filters",
                   {filter("vpc-id", {"vpc-1"}),
                    filter("tag:Name", {"corvanta-test-ec2-network-interface"}),
                    filter("status", {"available"})}}}}}});
  return c;
}

TEST(OpsSerialization, EveryRequestMatchesBotocore) {
  const auto table = opCases();
  std::vector<OracleRequest> batch;
  for (const OpCase& c : table) batch.insert(batch.end(), c.expected.begin(), c.expected.end());
  const auto oracle = testing_support::botocoreSerialize(batch);

  std::size_t next = 0;
  for (const OpCase& c : table) {
    SCOPED_TRACE(c.name);
    auto transport = std::make_shared<FakeTransport>(byAction(c.answers));
    c.run(fakes::clientConfig(c.service, transport));
    const auto sent = transport->requests();
    ASSERT_EQ(sent.size(), c.expected.size());
    for (std::size_t i = 0; i < sent.size(); ++i, ++next) {
      auto ours = testing_support::decodeForm(sent[i]);
      // botocore's serializer leaves idempotency tokens to a later handler;
      // ours is filled in by the client.
      if (c.expected[i].operation == "CreateNetworkInterface") {
        EXPECT_FALSE(ours["ClientToken"].empty());
        ours.erase("ClientToken");
      }
      EXPECT_EQ(ours, oracle[next].params) << c.expected[i].operation;
    }
  }
}

// A bucket name that would widen the policy never reaches IAM.
TEST(OpsCannedAnswers, BucketNamesThatWouldWidenThePolicyAreRefused) {
  for (const char* bucket : {"*", "logs*", "b/x", "b\"], \"Resource\": [\"*", "b?"}) {
    SCOPED_TRACE(bucket);
    auto transport = std::make_shared<FakeTransport>(byAction({}));
    Args args;
    args.s3_bucket = bucket;
    EXPECT_THROW(createS3Policy(aws::IamClient(fakes::clientConfig("iam", transport)), args),
                 std::invalid_argument);
    EXPECT_TRUE(transport->requests().empty());
  }
}

// ---- Answers the sandbox cannot give -----------------------------------

TEST(OpsCannedAnswers, AllocationWithoutIdAssociatesNothing) {
  auto transport = std::make_shared<FakeTransport>(byAction(
      {{"AllocateAddress", xmlAnswer("AllocateAddress", "<publicIp>203.0.113.9</publicIp>")}}));
  associateEIP(aws::Ec2Client(fakes::clientConfig("ec2", transport)), "eni-a", "vpc-1", {});
  const auto sent = transport->requests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(testing_support::decodeForm(sent[0]).at("Action"), "AllocateAddress");
}

TEST(OpsCannedAnswers, CreationAnswerWithoutInterfaceIdAttachesNothing) {
  auto transport = std::make_shared<FakeTransport>(byAction({}));
  createNetworkfInterface(aws::Ec2Client(fakes::clientConfig("ec2", transport)), "i-1",
                          "subnet-priv", "sg-p", {});
  const auto sent = transport->requests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(testing_support::decodeForm(sent[0]).at("Action"), "CreateNetworkInterface");
}

// The instance still shows the attachment on the first two looks and no
// longer on the third: two pauses of 2 seconds, then the call returns.
TEST(OpsCannedAnswers, DetachmentIsAwaitedUntilItShows) {
  const std::string attached = xmlAnswer(
      "DescribeInstances",
      "<reservationSet><item><instancesSet><item><instanceId>i-1</instanceId>"
      "<networkInterfaceSet><item><networkInterfaceId>eni-a</networkInterfaceId>"
      "<subnetId>subnet-gw</subnetId></item><item><networkInterfaceId>eni-b</networkInterfaceId>"
      "<subnetId>subnet-priv</subnetId><attachment><attachmentId>eni-attach-1</attachmentId>"
      "<status>detaching</status></attachment></item></networkInterfaceSet>"
      "</item></instancesSet></item></reservationSet>");
  auto transport = fakes::ec2Transport();
  transport->enqueue(200, xmlAnswer("DetachNetworkInterface", "<return>true</return>"));
  transport->enqueue(200, attached);
  transport->enqueue(200, attached);
  transport->enqueue(200, kInstanceAnswer);  // eni-b without its attachment
  auto clock = std::make_shared<fakes::FakeClock>();
  const auto ec2 = aws::Ec2Client(fakes::clientConfig("ec2", transport, clock));

  deleteAttachment(ec2, "eni-attach-1", "subnet-gw", {}, *clock);
  EXPECT_EQ(transport->requests().size(), 4u);
  EXPECT_EQ(clock->sleeps(), std::vector<std::chrono::milliseconds>(2, std::chrono::seconds(2)));
}

}  // namespace
}  // namespace probefleet
