// The credentials chain against the sandbox's instance metadata and
// container endpoints over real HTTP, with signature checking on: the
// credentials found must be ones the services accept.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "aws/config.h"
#include "aws/credentials.h"
#include "aws/curl_transport.h"
#include "aws/error.h"
#include "aws/session.h"
#include "aws/sts.h"
#include "support/sandbox.h"

namespace {

using nlohmann::json;
using testing_support::Sandbox;

// The sandbox's environment without the user's keys, so that the chain has
// to find credentials itself; metadata settings go back to their defaults
// afterwards.
class CredentialsSandboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Sandbox& sandbox = Sandbox::shared();
    sandbox.imds({{"reset", true}});
    env_ = std::make_shared<aws::MapEnvironment>();
    for (const auto& [name, value] : sandbox.awsEnv()) {
      if (value != testing_support::kUnsetEnv) env_->vars[name] = value;
    }
    env_->vars.erase("AWS_ACCESS_KEY_ID");
    env_->vars.erase("AWS_SECRET_ACCESS_KEY");
    ctx_.env = env_;
    ctx_.transport = aws::makeCurlTransport(*env_);
    ctx_.clock = aws::systemClock();
  }
  void TearDown() override { Sandbox::shared().imds({{"reset", true}}); }

  // Who the sandbox's STS says the credentials belong to.
  std::string callerArn(const std::shared_ptr<aws::CredentialsProvider>& provider) {
    aws::SessionDeps deps{env_, ctx_.transport, ctx_.clock};
    aws::ClientConfig config = aws::Session::fromProfile(std::nullopt, deps).clientConfig("sts");
    config.credentials = provider;
    return aws::StsClient(config).getCallerIdentity().arn;
  }

  // The journal's metadata or container requests.
  std::vector<json> localRequests(const std::string& service) {
    std::vector<json> out;
    json journal = Sandbox::shared().journal(service);
    for (const auto& entry : journal) out.push_back(entry);
    return out;
  }

  std::string metadataRole() {
    return Sandbox::shared().world()["metadata_role"].get<std::string>();
  }

  std::shared_ptr<aws::MapEnvironment> env_;
  aws::ChainContext ctx_;
};

TEST_F(CredentialsSandboxTest, InstanceRoleCredentialsWithAndWithoutTokens) {
  for (const char* mode : {"v2-required", "v1-only"}) {
    Sandbox::shared().clearJournal();
    Sandbox::shared().imds({{"mode", mode}});
    auto chain = aws::defaultCredentialsChain(ctx_);
    const aws::Credentials credentials = chain->credentials();
    EXPECT_FALSE(credentials.session_token.empty()) << mode;
    ASSERT_TRUE(credentials.expiration.has_value()) << mode;
    EXPECT_GT(*credentials.expiration, std::chrono::system_clock::now()) << mode;
    EXPECT_EQ(chain->describe(), "instance metadata (role " + metadataRole() + ")") << mode;

    const std::vector<json> requests = localRequests("imds");
    ASSERT_EQ(requests.size(), 3u) << mode;
    EXPECT_EQ(requests[0]["action"], "GetToken");
    EXPECT_EQ(requests[0]["params"]["ttl"], "21600");
    for (std::size_t i = 1; i < requests.size(); ++i) {
      EXPECT_EQ(requests[i]["status"], 200) << mode;
      EXPECT_EQ(requests[i]["params"]["token"], std::string(mode) == "v1-only" ? "none" : "valid")
          << mode;
    }
    EXPECT_NE(callerArn(chain).find(metadataRole()), std::string::npos) << mode;
  }
}

TEST_F(CredentialsSandboxTest, ContainerCredentialsWithAnAuthorizationToken) {
  Sandbox& sandbox = Sandbox::shared();
  sandbox.container({{"authorization", "Bearer sandbox-token"}});
  env_->vars["AWS_CONTAINER_CREDENTIALS_FULL_URI"] = sandbox.endpoint() + "/container/credentials";
  env_->vars["AWS_EC2_METADATA_DISABLED"] = "true";

  env_->vars["AWS_CONTAINER_AUTHORIZATION_TOKEN"] = "Bearer wrong";
  try {
    aws::defaultCredentialsChain(ctx_)->credentials();
    ADD_FAILURE() << "a wrong token was accepted";
  } catch (const aws::ConfigError& error) {
    EXPECT_NE(std::string(error.what()).find("HTTP status 403"), std::string::npos) << error.what();
  }

  env_->vars["AWS_CONTAINER_AUTHORIZATION_TOKEN"] = "Bearer sandbox-token";
  sandbox.clearJournal();
  auto chain = aws::defaultCredentialsChain(ctx_);
  EXPECT_FALSE(chain->credentials().session_token.empty());
  const std::vector<json> requests = localRequests("container");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["params"]["authorization"], "valid");
  EXPECT_NE(callerArn(chain).find(metadataRole()), std::string::npos);
}

TEST_F(CredentialsSandboxTest, IdentityDocumentThroughTheMetadataHelper) {
  Sandbox& sandbox = Sandbox::shared();
  auto document = aws::fetchInstanceMetadata(ctx_, "latest/dynamic/instance-identity/document");
  ASSERT_TRUE(document.has_value());
  ASSERT_EQ(document->status, 200);
  const json identity = json::parse(document->body);
  EXPECT_EQ(identity["accountId"], sandbox.world()["account"]);
  EXPECT_EQ(identity["region"], sandbox.world()["region"]);

  sandbox.imds({{"mode", "down"}, {"down_action", "404"}});
  document = aws::fetchInstanceMetadata(ctx_, "latest/dynamic/instance-identity/document");
  ASSERT_TRUE(document.has_value());
  EXPECT_EQ(document->status, 404);

  sandbox.imds({{"mode", "down"}, {"down_action", "close"}});
  EXPECT_THROW(aws::fetchInstanceMetadata(ctx_, "latest/dynamic/instance-identity/document"),
               aws::TransportError);
}

}  // namespace
