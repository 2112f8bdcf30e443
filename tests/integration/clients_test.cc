// The STS, IAM and SSM clients and sessions against the sandbox, with
// signature checking on: every request must carry a signature that
// botocore's signer accepts.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "aws/client/query_protocol.h"
#include "aws/services/iam.h"
#include "aws/services/ssm.h"
#include "aws/services/sts.h"
#include "aws/session/session.h"
#include "support/files.h"
#include "support/sandbox.h"

namespace {

using nlohmann::json;
using testing_support::Sandbox;

// Variables from a map, files from the real file system (so that profile
// files written by a test are read as a user's would be).
class OverlayEnvironment : public aws::Environment {
 public:
  std::map<std::string, std::string> vars;
  std::optional<std::string> get(const std::string& name) const override {
    auto it = vars.find(name);
    if (it == vars.end()) return std::nullopt;
    return it->second;
  }
  std::optional<std::string> readFile(const std::string& path) const override {
    return aws::ProcessEnvironment().readFile(path);
  }
};

// The seeded world's ids, read once.
const json& world() {
  static const json ids = json::parse(Sandbox::shared().world().dump());
  return ids;
}
std::string userKey() {
  return world()["user"]["access_key_id"].get<std::string>();
}
std::string userSecret() {
  return world()["user"]["secret_access_key"].get<std::string>();
}

// An environment that points every service at the sandbox and reads no
// profile files of the machine.
std::shared_ptr<OverlayEnvironment> sandboxEnvironment() {
  auto env = std::make_shared<OverlayEnvironment>();
  env->vars = {{"AWS_ENDPOINT_URL", Sandbox::shared().endpoint()},
               {"AWS_EC2_METADATA_DISABLED", "true"},
               {"AWS_CONFIG_FILE", "/nonexistent/probefleet/config"},
               {"AWS_SHARED_CREDENTIALS_FILE", "/nonexistent/probefleet/credentials"},
               {"AWS_REGION", world()["region"].get<std::string>()}};
  return env;
}

aws::ClientWorld depsOf(std::shared_ptr<aws::Environment> env) {
  aws::ClientWorld deps;
  deps.env = env;
  deps.transport = aws::makeCurlTransport(*env);
  deps.clock = aws::systemClock();
  return deps;
}

aws::Session userSession(const std::string& secret) {
  aws::Credentials credentials;
  credentials.access_key_id = userKey();
  credentials.secret_access_key = secret;
  return aws::Session::fromCredentials(credentials, depsOf(sandboxEnvironment()));
}

aws::HttpResponse describeRegions(const aws::Session& session) {
  aws::ServiceClient ec2(session.clientConfig("ec2"));
  return ec2.invoke(aws::protocol::QueryBuilder("DescribeRegions", "2016-11-15").toRequest(),
                    aws::protocol::parseEc2Error);
}

TEST(StsAgainstSandbox, CallerIdentityIsTheSeededUser) {
  auto identity = aws::StsClient(userSession(userSecret()).clientConfig("sts")).getCallerIdentity();
  EXPECT_EQ(identity.account, world()["account"].get<std::string>());
  EXPECT_EQ(identity.arn, world()["user"]["arn"].get<std::string>());
  EXPECT_FALSE(identity.user_id.empty());
}

TEST(StsAgainstSandbox, AssumedRoleCredentialsWorkForOtherServices) {
  const std::string role_arn = world()["roles"]["workflow-role"].get<std::string>();
  auto assumed = aws::StsClient(userSession(userSecret()).clientConfig("sts"))
                     .assumeRole({.role_arn = role_arn, .role_session_name = "Corvanta_Workflow"});
  EXPECT_FALSE(assumed.credentials.session_token.empty());
  EXPECT_TRUE(assumed.credentials.expiration.has_value());

  aws::Session role =
      aws::Session::fromCredentials(assumed.credentials, depsOf(sandboxEnvironment()));
  EXPECT_EQ(describeRegions(role).status, 200);
  auto identity = aws::StsClient(role.clientConfig("sts")).getCallerIdentity();
  EXPECT_NE(identity.arn.find(":assumed-role/workflow-role/Corvanta_Workflow"), std::string::npos)
      << identity.arn;
}

TEST(StsAgainstSandbox, AssumingAnUnknownRoleIsRefused) {
  aws::StsClient sts(userSession(userSecret()).clientConfig("sts"));
  try {
    sts.assumeRole(
        {.role_arn = "arn:aws:iam::" + world()["account"].get<std::string>() + ":role/no-such-role",
         .role_session_name = "Corvanta_Workflow"});
    FAIL() << "expected a ServiceError";
  } catch (const aws::ServiceError& error) {
    EXPECT_EQ(error.service(), "sts");
    EXPECT_EQ(error.code(), "AccessDenied");
    EXPECT_EQ(error.httpStatus(), 403);
  }
}

TEST(ClientsAgainstSandbox, IamAndSsmRoundTrip) {
  aws::Session session = userSession(userSecret());
  aws::IamClient iam(session.clientConfig("iam"));
  const std::string name = "probefleet-clients-test-profile";
  auto created = iam.createInstanceProfile(
      {.instance_profile_name = name, .tags = {{"Name", "corvanta-test-ec2"}}});
  EXPECT_EQ(created.instance_profile_name, name);
  EXPECT_NE(created.arn.find(":instance-profile/" + name), std::string::npos);
  EXPECT_EQ(iam.getInstanceProfile(name).arn, created.arn);
  iam.deleteInstanceProfile(name);
  try {
    iam.getInstanceProfile(name);
    FAIL() << "expected NoSuchEntity";
  } catch (const aws::ServiceError& error) {
    EXPECT_EQ(error.code(), "NoSuchEntity");
  }

  aws::SsmClient ssm(session.clientConfig("ssm"));
  auto parameter = ssm.getParameter({.name = "/corvanta/workflow/config/environment"});
  EXPECT_EQ(parameter.value, "sandbox");
  auto secret = ssm.getParameter(
      {.name = "/corvanta/workflow/secrets/probefleet-workflow-key", .with_decryption = true});
  EXPECT_EQ(secret.type, "SecureString");
  EXPECT_EQ(secret.value.rfind("-----BEGIN", 0), 0u);
  auto page = ssm.getParametersByPath({.path = "/corvanta/workflow", .recursive = true});
  EXPECT_EQ(page.parameters.size(), 2u);
}

TEST(ClientsAgainstSandbox, WrongSecretIsRefusedWithEachServicesOwnCode) {
  aws::Session session = userSession("not-the-secret-of-this-key");
  struct Case {
    std::string service;
    std::string code;
    std::function<void()> call;
  };
  const std::vector<Case> cases = {
      {"ec2", "AuthFailure", [&] { describeRegions(session); }},
      {"iam", "SignatureDoesNotMatch",
       [&] { aws::IamClient(session.clientConfig("iam")).listPolicies({.scope = "Local"}); }},
      {"sts", "SignatureDoesNotMatch",
       [&] { aws::StsClient(session.clientConfig("sts")).getCallerIdentity(); }},
      {"ssm", "InvalidSignatureException",
       [&] { aws::SsmClient(session.clientConfig("ssm")).getParameter({.name = "/corvanta/x"}); }},
      {"s3", "SignatureDoesNotMatch",
       [&] {
         aws::ServiceClient s3(session.clientConfig("s3"));
         aws::HttpRequest request;
         request.path = "/" + world()["bucket"].get<std::string>();
         aws::ServiceClient::Options options;
         options.s3 = true;
         s3.invoke(
             request,
             [](const aws::HttpResponse& r) { return aws::protocol::parseQueryError("s3", r); },
             options);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.service);
    try {
      c.call();
      ADD_FAILURE() << "a request signed with the wrong secret was accepted";
    } catch (const aws::ServiceError& error) {
      EXPECT_EQ(error.code(), c.code) << error.what();
      EXPECT_EQ(error.service(), c.service);
      EXPECT_FALSE(error.requestId().empty());
    }
  }
}

class ProfileSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(dir_ / "credentials") << "[probe]\naws_access_key_id = " << userKey()
                                        << "\naws_secret_access_key = " << userSecret() << "\n";
    std::ofstream(dir_ / "config")
        << "[profile probe]\nregion = " << world()["region"].get<std::string>()
        << "\n\n[profile probe-role]\nrole_arn = "
        << world()["roles"]["workflow-role"].get<std::string>()
        << "\nsource_profile = probe\nrole_session_name = "
           "Corvanta_Workflow\nregion = eu-west-1\n";
    env_ = sandboxEnvironment();
    env_->vars.erase("AWS_REGION");
    env_->vars["AWS_CONFIG_FILE"] = (dir_ / "config").string();
    env_->vars["AWS_SHARED_CREDENTIALS_FILE"] = (dir_ / "credentials").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  testing_support::ScratchDir scratch_;
  std::filesystem::path dir_ = scratch_.path();
  std::shared_ptr<OverlayEnvironment> env_;
};

TEST_F(ProfileSessionTest, NamedProfileWorksAgainstTheSandbox) {
  aws::Session session = aws::Session::fromProfile("probe", depsOf(env_));
  EXPECT_EQ(session.defaultRegion(), world()["region"].get<std::string>());
  auto identity = aws::StsClient(session.clientConfig("sts")).getCallerIdentity();
  EXPECT_EQ(identity.arn, world()["user"]["arn"].get<std::string>());
  EXPECT_EQ(describeRegions(session).status, 200);
}

TEST_F(ProfileSessionTest, RoleProfileAssumesTheRoleThroughSts) {
  aws::Session session = aws::Session::fromProfile("probe-role", depsOf(env_));
  EXPECT_EQ(session.defaultRegion(), "eu-west-1");
  auto identity = aws::StsClient(session.clientConfig("sts")).getCallerIdentity();
  EXPECT_NE(identity.arn.find(":assumed-role/workflow-role/Corvanta_Workflow"), std::string::npos)
      << identity.arn;
}

TEST_F(ProfileSessionTest, MissingProfileIsAConfigErrorNamingIt) {
  try {
    aws::Session::fromProfile("no-such-probe-profile", depsOf(env_));
    FAIL() << "expected a ConfigError";
  } catch (const aws::ConfigError& error) {
    EXPECT_NE(std::string(error.what()).find("no-such-probe-profile"), std::string::npos)
        << error.what();
  }
}

TEST_F(ProfileSessionTest, ClientRegionFallsBackToTheSessionsAndExplicitWins) {
  aws::Session session = aws::Session::fromProfile("probe", depsOf(env_));
  EXPECT_EQ(session.clientConfig("ec2").region, world()["region"].get<std::string>());
  EXPECT_EQ(session.clientConfig("ec2", "").region, world()["region"].get<std::string>());
  EXPECT_EQ(session.clientConfig("ec2", "ap-south-1").region, "ap-south-1");
  EXPECT_EQ(session.clientConfig("ec2", "ap-south-1").signing_region, "ap-south-1");
  EXPECT_TRUE(session.clientConfig("ec2").endpoint_overridden);

  auto no_region = sandboxEnvironment();
  no_region->vars.erase("AWS_REGION");
  aws::Credentials credentials;
  credentials.access_key_id = userKey();
  credentials.secret_access_key = userSecret();
  aws::Session regionless = aws::Session::fromCredentials(credentials, depsOf(no_region));
  EXPECT_FALSE(regionless.defaultRegion().has_value());
  EXPECT_THROW(regionless.clientConfig("ec2"), aws::ConfigError);
  EXPECT_EQ(regionless.clientConfig("ec2", "us-west-2").region, "us-west-2");
}

}  // namespace
