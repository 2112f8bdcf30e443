#include "probefleet/core/sessions.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "aws/client/error.h"
#include "aws/http/http.h"
#include "fakes/fake_transport.h"
#include "fakes/test_client.h"
#include "testlib/exit_request.h"

namespace probefleet {
namespace {

std::string assumeRoleAnswer(const std::string& token) {
  return R"(<AssumeRoleResponse xmlns="https://sts.amazonaws.com/doc/2011-06-15/">
  <AssumeRoleResult>
    <Credentials>
      <AccessKeyId>ASIAEXAMPLE</AccessKeyId>
      <SecretAccessKey>wJalrXUtnFEMIK7MDENG</SecretAccessKey>
      <SessionToken>)" +
         token + R"(</SessionToken>
      <Expiration>2030-01-01T00:00:00Z</Expiration>
    </Credentials>
    <AssumedRoleUser><Arn>arn:aws:sts::1:assumed-role/r/Corvanta_Workflow</Arn>
      <AssumedRoleId>AROA:Corvanta_Workflow</AssumedRoleId></AssumedRoleUser>
  </AssumeRoleResult>
</AssumeRoleResponse>)";
}

// A transport that answers every request with an AssumeRole answer.
std::shared_ptr<fakes::FakeTransport> stsAnswering(const std::string& token) {
  auto transport = std::make_shared<fakes::FakeTransport>();
  transport->setFallback(fakes::answer(200, assumeRoleAnswer(token)));
  return transport;
}

aws::ClientWorld depsWith(std::shared_ptr<aws::HttpTransport> transport) {
  aws::ClientWorld deps;
  deps.env = fakes::isolatedEnvironment({{"AWS_ACCESS_KEY_ID", "AKIDSOURCE"},
                                         {"AWS_SECRET_ACCESS_KEY", "source-secret"},
                                         {"AWS_REGION", "eu-west-1"},
                                         {"AWS_ENDPOINT_URL", "http://127.0.0.1:1"}});
  deps.transport = std::move(transport);
  deps.clock = aws::systemClock();
  return deps;
}

TEST(SessionsTest, AssumedRoleSessionCarriesTheThreeReturnedValues) {
  auto transport = stsAnswering("token-1");
  const aws::Session session =
      start_aws_session("arn:aws:iam::1:role/r", std::nullopt, depsWith(transport));
  const aws::Credentials credentials = session.credentials()->credentials();
  EXPECT_EQ(credentials.access_key_id, "ASIAEXAMPLE");
  EXPECT_EQ(credentials.secret_access_key, "wJalrXUtnFEMIK7MDENG");
  EXPECT_EQ(credentials.session_token, "token-1");
  EXPECT_FALSE(credentials.expiration.has_value());  // nothing but the three values
  // Its default region is the environment's; none was taken from STS.
  EXPECT_EQ(session.defaultRegion(), "eu-west-1");
  ASSERT_EQ(transport->requests().size(), 1u);
  const std::string body = transport->requests()[0].body;
  EXPECT_NE(body.find("RoleSessionName=Corvanta_Workflow"), std::string::npos) << body;
  EXPECT_NE(body.find("RoleArn=arn%3Aaws%3Aiam%3A%3A1%3Arole%2Fr"), std::string::npos) << body;
}

TEST(SessionsTest, SessionThatCannotBeBuiltEndsTheRunInsteadOfReturningText) {
  auto transport = stsAnswering("");
  ::testing::internal::CaptureStderr();
  try {
    start_aws_session("arn:aws:iam::1:role/r", std::nullopt, depsWith(transport));
    ADD_FAILURE() << "a session was built without a session token";
  } catch (const testlib::ExitRequest& request) {
    EXPECT_EQ(request.status(), 1);
  }
  const std::string console = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(console.find("error [corvanta_testlibs]   **Error** The AWS new session attempt has "
                         "failed"),
            std::string::npos)
      << console;
  EXPECT_EQ(console.find("wJalrXUtnFEMIK7MDENG"), std::string::npos) << "a secret reached the log";
}

// STS for an assumed role: the source session's region, else the run's,
// else the global endpoint; the region's partition and the FIPS setting hold.
TEST(SessionsTest, AssumeRoleAsksStsInTheRunsRegionWhenTheSessionHasNone) {
  struct Case {
    std::map<std::string, std::string> vars;
    std::optional<std::string> run_region;
    std::string host, scope;
  };
  for (const Case& c : std::vector<Case>{
           {{}, "ap-east-1", "sts.ap-east-1.amazonaws.com", "/ap-east-1/sts/"},
           {{}, "us-gov-west-1", "sts.us-gov-west-1.amazonaws.com", "/us-gov-west-1/sts/"},
           {{}, "cn-north-1", "sts.cn-north-1.amazonaws.com.cn", "/cn-north-1/sts/"},
           {{{"AWS_USE_FIPS_ENDPOINT", "true"}},
            "ca-central-1",
            "sts-fips.ca-central-1.amazonaws.com",
            "/ca-central-1/sts/"},
           {{{"AWS_REGION", "eu-west-1"}},
            "ap-east-1",
            "sts.eu-west-1.amazonaws.com",
            "/eu-west-1/sts/"},
           {{}, std::nullopt, "sts.amazonaws.com", "/us-east-1/sts/"},
       }) {
    auto transport = stsAnswering("token-1");
    aws::ClientWorld deps = depsWith(transport);
    auto& env = static_cast<aws::MapEnvironment&>(*deps.env);
    env.vars.erase("AWS_REGION");
    env.vars.erase("AWS_ENDPOINT_URL");
    for (const auto& [name, value] : c.vars) env.vars[name] = value;
    start_aws_session("arn:aws:iam::1:role/r", std::nullopt, deps, c.run_region);
    const std::vector<aws::HttpRequest> sent = transport->requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].endpoint.host, c.host) << c.run_region.value_or("none");
    std::string authorization;
    for (const auto& header : sent[0].headers) {
      if (header.first == "Authorization") authorization = header.second;
    }
    EXPECT_NE(authorization.find(c.scope), std::string::npos) << c.host << " " << authorization;
  }
}

TEST(SessionsTest, EndpointsAwsDoesNotHaveStopTheRunBeforeAnyRequest) {
  auto transport = stsAnswering("token-1");
  aws::ClientWorld deps = depsWith(transport);
  auto& env = static_cast<aws::MapEnvironment&>(*deps.env);
  env.vars.erase("AWS_ENDPOINT_URL");
  env.vars["AWS_USE_FIPS_ENDPOINT"] = "true";
  const std::vector<PlannedClient> plan = {
      {"sts", std::nullopt, false, true}, {"ec2", "cn-north-1", true}, {"s3", "cn-north-1", true}};
  try {
    checkEndpoints(plan, std::nullopt, deps);
    ADD_FAILURE() << "FIPS S3 in China was accepted";
  } catch (const aws::ConfigError& error) {
    EXPECT_NE(std::string(error.what()).find("s3 in cn-north-1"), std::string::npos)
        << error.what();
  }
  EXPECT_NO_THROW(checkEndpoints({plan[0], plan[1]}, std::nullopt, deps));
  EXPECT_TRUE(transport->requests().empty());
}

TEST(SessionsTest, WorkflowAccountRoleForms) {
  struct Case {
    std::string text;
    std::string role;
    std::optional<std::string> number, region;
  };
  for (const Case& c : std::vector<Case>{
           {"wf", "wf", std::nullopt, std::nullopt},
           {"wf,123", "wf", std::nullopt, std::nullopt},
           {"wf,123,eu-west-1", "wf", "123", "eu-west-1"},
           {"wf,123,eu-west-1,extra,more", "wf", "123", "eu-west-1"},
           {"wf,,", "wf", "", ""},
       }) {
    const WorkflowAccountRole role = parseWorkflowAccountRole(c.text);
    EXPECT_EQ(role.role_name, c.role) << c.text;
    EXPECT_EQ(role.number, c.number) << c.text;
    EXPECT_EQ(role.region, c.region) << c.text;
  }
  EXPECT_EQ(workflowRoleArn("123", "wf"), "arn:aws:iam::123:role/wf");
  EXPECT_EQ(workflowRoleArn("123", "wf", "aws-us-gov"), "arn:aws-us-gov:iam::123:role/wf");
}

}  // namespace
}  // namespace probefleet
