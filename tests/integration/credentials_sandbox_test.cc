// The credentials chain against the sandbox's instance metadata and
// container endpoints over real HTTP, with signature checking on: the
// credentials found must be ones the services accept.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "aws/auth/credential_chain.h"
#include "aws/auth/instance_metadata.h"
#include "aws/client/error.h"
#include "aws/config/config.h"
#include "aws/http/curl_transport.h"
#include "aws/services/sso.h"
#include "aws/services/sts.h"
#include "aws/session/session.h"
#include "support/files.h"
#include "support/sandbox.h"
#include "support/serialization.h"

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
    aws::ClientWorld deps(aws::World{env_, ctx_.transport, ctx_.clock});
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

// ---- SSO and web identity, against botocore -----------------------------------

// Variables from the map, files from the disk: the homes below are real.
class DiskFilesEnvironment : public aws::MapEnvironment {
 public:
  std::optional<std::string> readFile(const std::string& path) const override {
    return aws::ProcessEnvironment().readFile(path);
  }
};

// Two homes with the same profile files and token cache, as `aws sso login`
// leaves them: ours signs in from one, botocore (tests/oracles/
// credentials_oracle.py) from the other, each with a refresh token of its own
// (the sandbox rotates them).
class SignInSandboxTest : public CredentialsSandboxTest {
 protected:
  void SetUp() override {
    CredentialsSandboxTest::SetUp();
    auto disk = std::make_shared<DiskFilesEnvironment>();
    disk->vars = env_->vars;
    env_ = disk;
    ctx_.env = env_;
    Sandbox::shared().control("POST", "sso", {{"reset", true}});
    env_->vars["AWS_EC2_METADATA_DISABLED"] = "true";
    env_->vars["HOME"] = ours_;
    env_->vars["AWS_CONFIG_FILE"] = ours_ + "/.aws/config";
    env_->vars["AWS_SHARED_CREDENTIALS_FILE"] = ours_ + "/.aws/credentials";
  }
  void TearDown() override { CredentialsSandboxTest::TearDown(); }

  // Profiles "modern" (sso-session "corp"), "legacy", "pod" (web identity).
  void writeHome(const std::string& home, const std::string& token_file) {
    const std::string account = Sandbox::shared().world()["account"];
    const std::string roles = "arn:aws:iam::" + account + ":role/";
    testing_support::writeFile(
        home + "/.aws/config",
        "[profile modern]\nsso_session = corp\nsso_account_id = " + account +
            "\nsso_role_name = deploy-role\n[sso-session corp]\nsso_start_url = " + kStartUrl +
            "\nsso_region = us-east-1\nsso_registration_scopes = sso:account:access\n"
            "[profile legacy]\nsso_start_url = " +
            kStartUrl + "\nsso_region = us-east-1\nsso_account_id = " + account +
            "\nsso_role_name = workflow-role\n[profile pod]\nweb_identity_token_file = " +
            token_file + "\nrole_arn = " + roles + "deploy-role\nrole_session_name = pod-7\n");
  }

  void writeToken(const std::string& home, const std::string& name, const json& entry) {
    testing_support::writeFile(home + "/.aws/sso/cache/" + aws::ssoTokenCacheFile(name),
                               entry.dump());
  }

  aws::Session session(const std::optional<std::string>& profile) {
    return aws::Session::fromProfile(
        profile, aws::ClientWorld(aws::World{env_, ctx_.transport, ctx_.clock}));
  }

  // What botocore resolves in `home` (with the caller's ARN), or its error.
  json botocore(const std::string& home, const std::optional<std::string>& profile) {
    json env = json::object();
    for (const auto& [name, value] : Sandbox::shared().awsEnv()) env[name] = nullptr;
    for (const auto& [name, value] : env_->vars) env[name] = value;
    env["HOME"] = home;
    env["AWS_CONFIG_FILE"] = home + "/.aws/config";
    env["AWS_SHARED_CREDENTIALS_FILE"] = home + "/.aws/credentials";
    return testing_support::runOracle(
        "credentials_oracle.py",
        {{"env", env}, {"profile", profile ? json(*profile) : json(nullptr)}, {"caller", true}});
  }

  static constexpr const char* kStartUrl = "https://sandbox-corp.awsapps.com/start";
  testing_support::ScratchDir our_home_{"signin-home"}, their_home_{"signin-home"};
  std::string ours_ = our_home_.path().string(), theirs_ = their_home_.path().string();
};

TEST_F(SignInSandboxTest, SsoProfilesSignInAsBotocoreDoes) {
  struct Case {
    const char* name;
    std::string profile, cache_name;
    std::string access_token, expires_at;
    bool renew;
    std::string role;
  };
  const std::vector<Case> cases = {
      {"sso-session", "modern", "corp", "tok-modern", "2099-01-01T00:00:00Z", false, "deploy-role"},
      {"legacy start URL", "legacy", kStartUrl, "tok-legacy", "2099-01-01T00:00:00Z", false,
       "workflow-role"},
      {"sso-session renewed", "modern", "corp", "tok-ended", "2000-01-01T00:00:00Z", true,
       "deploy-role"},
  };
  Sandbox& sandbox = Sandbox::shared();
  sandbox.control(
      "POST", "sso",
      {{"access_tokens", {{"tok-modern", 3600}, {"tok-legacy", 3600}}},
       {"clients",
        {{{"client_id", "cid"}, {"client_secret", "csecret"}, {"refresh_token", "rt-a"}},
         {{"client_id", "cid"}, {"client_secret", "csecret"}, {"refresh_token", "rt-b"}}}}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& [home, refresh] : {std::pair{ours_, "rt-a"}, std::pair{theirs_, "rt-b"}}) {
      writeHome(home, "/nowhere");
      json entry = {{"startUrl", kStartUrl},
                    {"region", "us-east-1"},
                    {"accessToken", c.access_token},
                    {"expiresAt", c.expires_at}};
      if (c.renew) {
        entry.update({{"clientId", "cid"},
                      {"clientSecret", "csecret"},
                      {"registrationExpiresAt", "2099-01-01T00:00:00Z"},
                      {"refreshToken", refresh}});
      }
      writeToken(home, c.cache_name, entry);
    }
    const json theirs = botocore(theirs_, c.profile);
    aws::Session ours = session(c.profile);
    const aws::Credentials credentials = ours.credentials()->credentials();
    ASSERT_TRUE(theirs.contains("caller_arn")) << theirs.dump();
    EXPECT_EQ(callerArn(ours.credentials()), theirs["caller_arn"]);
    EXPECT_NE(theirs["caller_arn"].get<std::string>().find(":assumed-role/" + c.role + "/"),
              std::string::npos);
    const auto expiry = std::chrono::system_clock::to_time_t(*credentials.expiration);
    EXPECT_NEAR(static_cast<double>(expiry), theirs["expiry"].get<double>(), 60);
    if (c.renew) {
      // The same file as botocore writes, but for the tokens and the time.
      const std::string file = "/.aws/sso/cache/" + aws::ssoTokenCacheFile(c.cache_name);
      auto masked = [&](const std::string& home) {
        std::string text = testing_support::readFile(home + file);
        json doc = json::parse(text);
        for (const char* key : {"accessToken", "refreshToken", "expiresAt"}) {
          const std::string value = doc.at(key);
          text.replace(text.find(value), value.size(), key);
        }
        struct stat info {};
        EXPECT_EQ(stat((home + file).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        return text;
      };
      EXPECT_EQ(masked(ours_), masked(theirs_));
      for (const json& created : sandbox.journal("sso-oidc", "CreateToken")) {
        EXPECT_EQ(created["params"]["refresh"], "valid");  // one each, rt-a and rt-b
      }
    }
  }
}

TEST_F(SignInSandboxTest, WebIdentityFromTheEnvironmentOrAProfileAsBotocore) {
  const std::string token_file = ours_ + "/token";
  testing_support::writeFile(token_file, "eyJhbGciOiJSUzI1NiJ9.pipeline.sig");
  writeHome(ours_, token_file);
  const std::string account = Sandbox::shared().world()["account"];
  struct Case {
    const char* name;
    std::map<std::string, std::string> vars;
    std::optional<std::string> profile;
    std::string arn_end;
  };
  const std::vector<Case> cases = {
      {"environment",
       {{"AWS_WEB_IDENTITY_TOKEN_FILE", token_file},
        {"AWS_ROLE_ARN", "arn:aws:iam::" + account + ":role/workflow-role"},
        {"AWS_ROLE_SESSION_NAME", "pipeline"}},
       std::nullopt,
       "workflow-role/pipeline"},
      {"profile", {}, "pod", "deploy-role/pod-7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& [name, value] : c.vars) env_->vars[name] = value;
    aws::Session ours = session(c.profile);
    const std::string arn = callerArn(ours.credentials());
    EXPECT_TRUE(arn.ends_with(c.arn_end)) << arn;
    EXPECT_EQ(arn, botocore(ours_, c.profile).value("caller_arn", "(none)"));
    for (const auto& [name, value] : c.vars) env_->vars.erase(name);
  }
}

// The program itself signs in with each kind of profile, and its EC2 calls
// are accepted with what it got (signature checking is on).
TEST_F(SignInSandboxTest, TheProgramRunsWithEachKindOfProfile) {
  const char* bin = std::getenv("PROBEFLEET_BIN");
  if (bin == nullptr) GTEST_SKIP() << "PROBEFLEET_BIN names no probefleet binary";
  struct Case {
    std::string profile;
    json token;  // the cache entry ("corp" for modern, the start URL for legacy)
    std::vector<std::string> first;  // the sign-in requests, in order
  };
  const json renewable = {
      {"accessToken", "tok-old"}, {"expiresAt", "2000-01-01T00:00:00Z"},
      {"clientId", "cid"},        {"clientSecret", "csecret"},
      {"refreshToken", "rt-run"}, {"registrationExpiresAt", "2099-01-01T00:00:00Z"},
      {"startUrl", kStartUrl},    {"region", "us-east-1"}};
  const std::vector<Case> cases = {
      {"modern",
       {{"accessToken", "tok-run"}, {"expiresAt", "2099-01-01T00:00:00Z"}},
       {"GetRoleCredentials"}},
      {"modern", renewable, {"CreateToken", "GetRoleCredentials"}},
      {"legacy",
       {{"accessToken", "tok-run"}, {"expiresAt", "2099-01-01T00:00:00Z"}},
       {"GetRoleCredentials"}},
      {"pod", json::object(), {"AssumeRoleWithWebIdentity"}},
  };
  Sandbox& sandbox = Sandbox::shared();
  testing_support::writeFile(ours_ + "/run/tc.json", sandbox.world()["test_config"].dump());
  testing_support::writeFile(ours_ + "/token", "eyJhbGciOiJSUzI1NiJ9.pod.sig");
  auto env = sandbox.awsEnv();
  env["AWS_ACCESS_KEY_ID"] = env["AWS_SECRET_ACCESS_KEY"] = std::string(testing_support::kUnsetEnv);
  for (const char* name : {"HOME", "AWS_CONFIG_FILE", "AWS_SHARED_CREDENTIALS_FILE"}) {
    env[name] = env_->vars[name];
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.profile + " " + c.first.front());
    sandbox.control(
        "POST", "sso",
        {{"reset", true},
         {"access_tokens", {{"tok-run", 3600}}},
         {"clients",
          {{{"client_id", "cid"}, {"client_secret", "csecret"}, {"refresh_token", "rt-run"}}}}});
    writeHome(ours_, ours_ + "/token");
    if (!c.token.empty()) writeToken(ours_, c.profile == "legacy" ? kStartUrl : "corp", c.token);
    sandbox.clearJournal();
    const testing_support::RunResult run =
        testing_support::runIn(ours_ + "/run", bin,
                               {"--profile", c.profile, "--dry_run", "--test_config", "tc.json",
                                "--backup_folder", "keys"},
                               env);
    EXPECT_EQ(run.status, 0) << run.err;
    const json journal = sandbox.journal();
    ASSERT_GT(journal.size(), c.first.size());
    for (std::size_t i = 0; i < c.first.size(); ++i) {
      EXPECT_EQ(journal[i]["action"], c.first[i]);
      EXPECT_EQ(journal[i]["status"], 200);
    }
    EXPECT_EQ(sandbox.journal("ec2", "DescribeSubnets").at(0)["status"], 200);
  }
}

}  // namespace
