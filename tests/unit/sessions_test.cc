#include "probefleet/sessions.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "aws/http.h"
#include "testlib/exit_request.h"

namespace probefleet {
namespace {

// Answers every request with one canned STS answer and keeps the requests.
class CannedTransport : public aws::HttpTransport {
 public:
  explicit CannedTransport(std::string body) : body_(std::move(body)) {}
  aws::HttpResponse send(const aws::HttpRequest& request, const aws::BodySink*,
                         const aws::Timeouts&) override {
    requests.push_back(request);
    aws::HttpResponse response;
    response.status = 200;
    response.body = body_;
    return response;
  }
  std::vector<aws::HttpRequest> requests;

 private:
  std::string body_;
};

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

aws::SessionDeps depsWith(std::shared_ptr<aws::HttpTransport> transport) {
  auto env = std::make_shared<aws::MapEnvironment>();
  env->vars = {{"AWS_ACCESS_KEY_ID", "AKIDSOURCE"},
               {"AWS_SECRET_ACCESS_KEY", "source-secret"},
               {"AWS_REGION", "eu-west-1"},
               {"AWS_ENDPOINT_URL", "http://127.0.0.1:1"},
               {"AWS_CONFIG_FILE", "/nonexistent/config"},
               {"AWS_SHARED_CREDENTIALS_FILE", "/nonexistent/credentials"}};
  aws::SessionDeps deps;
  deps.env = env;
  deps.transport = std::move(transport);
  deps.clock = aws::systemClock();
  return deps;
}

TEST(SessionsTest, AssumedRoleSessionCarriesTheThreeReturnedValues) {
  auto transport = std::make_shared<CannedTransport>(assumeRoleAnswer("token-1"));
  const aws::Session session =
      start_aws_session("arn:aws:iam::1:role/r", std::nullopt, depsWith(transport));
  const aws::Credentials credentials = session.credentials()->credentials();
  EXPECT_EQ(credentials.access_key_id, "ASIAEXAMPLE");
  EXPECT_EQ(credentials.secret_access_key, "wJalrXUtnFEMIK7MDENG");
  EXPECT_EQ(credentials.session_token, "token-1");
  EXPECT_FALSE(credentials.expiration.has_value());  // nothing but the three values
  // Its default region is the environment's; none was taken from STS.
  EXPECT_EQ(session.defaultRegion(), "eu-west-1");
  ASSERT_EQ(transport->requests.size(), 1u);
  const std::string& body = transport->requests[0].body;
  EXPECT_NE(body.find("RoleSessionName=Corvanta_Workflow"), std::string::npos) << body;
  EXPECT_NE(body.find("RoleArn=arn%3Aaws%3Aiam%3A%3A1%3Arole%2Fr"), std::string::npos) << body;
}

TEST(SessionsTest, SessionThatCannotBeBuiltEndsTheRunInsteadOfReturningText) {
  auto transport = std::make_shared<CannedTransport>(assumeRoleAnswer(""));
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
}

}  // namespace
}  // namespace probefleet
