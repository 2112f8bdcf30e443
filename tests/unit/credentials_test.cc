#include "aws/auth/credential_chain.h"
#include "aws/auth/instance_metadata.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <nlohmann/json.hpp>
#include <thread>

#include "aws/client/error.h"
#include "aws/services/sso.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_transport.h"

namespace {

using std::chrono::hours;
using std::chrono::minutes;
using std::chrono::seconds;
using TimePoint = std::chrono::system_clock::time_point;

// 2024-05-01T12:00:00Z
const TimePoint kNow = TimePoint(seconds(1714564800));

using fakes::answer;
using fakes::FakeClock;
using fakes::FakeTransport;

std::string credentialsJson(const std::string& key, const std::string& expiration,
                            const char* token_key = "Token") {
  return std::string(R"({"Code":"Success","AccessKeyId":")") + key +
         R"(","SecretAccessKey":"SECRET-)" + key + R"(",")" + token_key + R"(":"TOKEN-)" + key +
         R"(","Expiration":")" + expiration + R"("})";
}

const char kImds[] = "http://169.254.169.254";
const std::string kToken = std::string("PUT ") + kImds + "/latest/api/token";
const std::string kRoleList =
    std::string("GET ") + kImds + "/latest/meta-data/iam/security-credentials/";
const std::string kRoleCreds = kRoleList + "web%20role";

struct AssumeCall {
  aws::Credentials source;
  std::string role_arn, session_name, region, external_id;
};

const std::string kPortal =
    "GET https://portal.sso.us-east-1.amazonaws.com/federation/"
    "credentials?role_name=deploy&account_id=111122223333";
const std::string kOidc = "POST https://oidc.us-east-1.amazonaws.com/token";

// The outside world of one chain.
struct World {
  World() {
    env->vars = {{"HOME", "/home/u"}, {"AWS_EC2_METADATA_DISABLED", "true"}};
    ctx.env = env;
    ctx.transport = transport;
    ctx.clock = clock;
    ctx.sso_credentials = aws::ssoCredentialsThrough(aws::ClientWorld(ctx));
    ctx.assume_role = [this](const aws::Credentials& source, const std::string& role_arn,
                             const std::string& session_name, const std::string& region,
                             const std::string& external_id) {
      assume_calls.push_back({source, role_arn, session_name, region, external_id});
      aws::Credentials out{"ASIA-" + role_arn.substr(role_arn.rfind('/') + 1), "role-secret",
                           "role-token", clock->now() + hours(1)};
      return out;
    };
    ctx.assume_role_with_web_identity = [this](const std::string& role_arn,
                                               const std::string& session_name,
                                               const std::string& token, const std::string&) {
      web_calls.push_back({role_arn, session_name, token});
      return aws::Credentials{"WEBID-" + session_name, "web-secret", "web-session",
                              clock->now() + hours(1)};
    };
    ctx.run_process = [this](const std::string& command) {
      commands.push_back(command);
      if (process_output.empty()) throw aws::ConfigError("credential_process exited 1");
      return process_output;
    };
  }
  void config(const std::string& text) { env->files["/home/u/.aws/config"] = text; }
  void credentialsFile(const std::string& text) { env->files["/home/u/.aws/credentials"] = text; }
  void enableImds(const std::string& role = "web role\n") {
    env->vars.erase("AWS_EC2_METADATA_DISABLED");
    transport->on(kToken, {answer(200, "tok-1")});
    transport->on(kRoleList, {answer(200, role)});
    transport->on(kRoleCreds, {answer(200, credentialsJson("IMDS", "2024-05-01T18:00:00Z"))});
  }
  // Profiles "dev" (sso-session "corp") and "old" (legacy) for account
  // 111122223333, role "deploy"; the portal answers with key "SSO".
  void ssoSetUp(const std::string& extra_config = "") {
    config(
        "[profile dev]\nsso_session = corp\nsso_account_id = 111122223333\n"
        "sso_role_name = deploy\n[sso-session corp]\nsso_start_url = https://corp/start\n"
        "sso_region = us-east-1\n[profile old]\nsso_start_url = https://corp/start\n"
        "sso_region = us-east-1\nsso_account_id = 111122223333\nsso_role_name = deploy\n" +
        extra_config);
    transport->on(kPortal, {answer(200, R"({"roleCredentials":{"accessKeyId":"SSO",)"
                                        R"("secretAccessKey":"sso-secret","sessionToken":"st",)"
                                        R"("expiration":1714568400000}})")});
  }
  void ssoToken(const std::string& name, const std::string& expires_at,
                const std::string& extra = "") {
    env->files["/home/u/.aws/sso/cache/" + aws::ssoTokenCacheFile(name)] =
        R"({"accessToken": "ACCESS-TOKEN-SECRET", "expiresAt": ")" + expires_at + "\"" + extra +
        "}";
  }
  std::shared_ptr<aws::CredentialsProvider> chain(std::optional<std::string> profile = {}) {
    return aws::defaultCredentialsChain(ctx, profile);
  }
  std::string key(std::optional<std::string> profile = {}) {
    return chain(profile)->credentials().access_key_id;
  }

  std::shared_ptr<aws::MapEnvironment> env = std::make_shared<aws::MapEnvironment>();
  std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>(kNow);
  aws::ChainContext ctx;
  std::vector<AssumeCall> assume_calls;
  struct WebCall {
    std::string role_arn, session_name, token;
  };
  std::vector<WebCall> web_calls;
  std::vector<std::string> commands;
  std::string process_output;
};

std::string errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const aws::ConfigError& error) {
    return error.what();
  }
  return "(no ConfigError)";
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// --- order of the sources -----------------------------------------------------

TEST(CredentialChainTest, SourcesAreTriedInTheSdkOrder) {
  struct Case {
    const char* name;
    std::map<std::string, std::string> vars;
    std::optional<std::string> profile;
    bool container, imds;
    std::string expected_key;
  };
  const std::map<std::string, std::string> env_keys = {{"AWS_ACCESS_KEY_ID", "ENVKEY"},
                                                       {"AWS_SECRET_ACCESS_KEY", "envsecret"}};
  auto with = [](std::map<std::string, std::string> a, std::map<std::string, std::string> b) {
    a.insert(b.begin(), b.end());
    return a;
  };
  const std::vector<Case> cases = {
      {"environment first", env_keys, std::nullopt, true, true, "ENVKEY"},
      {"AWS_PROFILE keeps the environment first", with(env_keys, {{"AWS_PROFILE", "filed"}}),
       std::nullopt, true, true, "ENVKEY"},
      {"an explicit profile skips the environment", env_keys, "filed", true, true, "FILEDKEY"},
      {"then the default profile", {}, std::nullopt, true, true, "DEFAULTKEY"},
      {"then AWS_PROFILE's profile",
       {{"AWS_PROFILE", "filed"}},
       std::nullopt,
       true,
       true,
       "FILEDKEY"},
      {"then container credentials",
       {{"AWS_PROFILE", "empty"}},
       std::nullopt,
       true,
       true,
       "CONTAINER"},
      {"an explicit profile without keys falls through as in botocore",
       {},
       "empty",
       true,
       true,
       "CONTAINER"},
      {"then instance metadata", {{"AWS_PROFILE", "empty"}}, std::nullopt, false, true, "IMDS"},
  };
  for (const Case& c : cases) {
    World world;
    world.config("[profile empty]\nregion = eu-west-1\n");
    world.credentialsFile(
        "[default]\naws_access_key_id = DEFAULTKEY\naws_secret_access_key = s\n"
        "[filed]\naws_access_key_id = FILEDKEY\naws_secret_access_key = s\n");
    for (const auto& [k, v] : c.vars) world.env->vars[k] = v;
    if (c.container) {
      world.env->vars["AWS_CONTAINER_CREDENTIALS_RELATIVE_URI"] = "/v2/creds";
      world.transport->on("GET http://169.254.170.2/v2/creds",
                          {answer(200, credentialsJson("CONTAINER", "2024-05-01T18:00:00Z"))});
    }
    if (c.imds) world.enableImds();
    EXPECT_EQ(world.key(c.profile), c.expected_key) << c.name;
  }
}

TEST(CredentialChainTest, ProfileSourcesAndTheirPrecedence) {
  struct Case {
    const char* name;
    std::string credentials, config;
    std::string expected_key;
    std::string expected_token;
  };
  const std::string process = "credential_process = /bin/creds --profile \"p x\"\n";
  const std::vector<Case> cases = {
      {"credentials file before process",
       "[default]\naws_access_key_id = CREDFILE\naws_secret_access_key = s\n"
       "aws_session_token = t1\n",
       "[default]\n" + process, "CREDFILE", "t1"},
      {"process before config file keys", "",
       "[default]\naws_access_key_id = CONFIGKEY\naws_secret_access_key = s\n" + process, "PROCESS",
       "TOKEN-PROCESS"},
      {"config file keys, legacy token name first", "",
       "[default]\naws_access_key_id = CONFIGKEY\naws_secret_access_key = s\n"
       "aws_session_token = new\naws_security_token = legacy\n",
       "CONFIGKEY", "legacy"},
      {"[profile default] in the config file", "",
       "[profile default]\naws_access_key_id = PROFILEDEFAULT\naws_secret_access_key = s\n",
       "PROFILEDEFAULT", ""},
      {"[profile x] means nothing in the credentials file",
       "[profile default]\naws_access_key_id = WRONG\naws_secret_access_key = s\n",
       "[default]\naws_access_key_id = RIGHT\naws_secret_access_key = s\n", "RIGHT", ""},
  };
  for (const Case& c : cases) {
    World world;
    world.credentialsFile(c.credentials);
    world.config(c.config);
    world.process_output = R"({"Version": 1, "AccessKeyId": "PROCESS",
                               "SecretAccessKey": "ps", "SessionToken": "TOKEN-PROCESS"})";
    const aws::Credentials got = world.chain()->credentials();
    EXPECT_EQ(got.access_key_id, c.expected_key) << c.name;
    EXPECT_EQ(got.session_token, c.expected_token) << c.name;
    if (c.expected_key == "PROCESS") {
      EXPECT_EQ(world.commands, std::vector<std::string>{"/bin/creds --profile \"p x\""});
    }
  }
}

TEST(CredentialChainTest, NothingIsFetchedBeforeTheFirstUseAndOnceAfter) {
  World world;
  world.enableImds();
  auto chain = world.chain();
  EXPECT_TRUE(world.transport->sent().empty());
  EXPECT_TRUE(contains(chain->describe(), "default"));
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      if (chain->credentials().access_key_id == "IMDS") ++good;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(good, 8);
  EXPECT_EQ(world.transport->sent().size(), 3u);  // token, role name, credentials
  EXPECT_EQ(chain->describe(), "instance metadata (role web role)");
}

// --- failures -----------------------------------------------------------------

TEST(CredentialChainTest, FailuresSayWhatWasTriedAndNeverShowSecrets) {
  World world;
  const std::string none = errorOf([&] { world.chain()->credentials(); });
  EXPECT_EQ(none,
            "no AWS credentials found; tried: environment variables, shared credentials file "
            "/home/u/.aws/credentials, config file /home/u/.aws/config (profile \"default\"), "
            "container credentials, instance metadata (disabled by AWS_EC2_METADATA_DISABLED)");

  world.config("[profile real]\nregion = eu-west-1\n");
  for (const auto& missing :
       {std::optional<std::string>("ghost"), std::optional<std::string>("")}) {
    EXPECT_EQ(errorOf([&] { world.chain(missing); }),
              "the config profile \"" + *missing +
                  "\" could not be found in /home/u/.aws/credentials or /home/u/.aws/config");
  }
  world.env->vars["AWS_PROFILE"] = "ghost";
  EXPECT_TRUE(contains(errorOf([&] { world.chain(); }), "\"ghost\" could not be found"));
  world.env->vars.erase("AWS_PROFILE");
  EXPECT_TRUE(contains(errorOf([&] { world.chain("real")->credentials(); }),
                       "tried: shared credentials file"));  // no environment for --profile

  world.env->vars["AWS_ACCESS_KEY_ID"] = "AKIDVISIBLE";
  std::string partial = errorOf([&] { world.chain()->credentials(); });
  EXPECT_TRUE(contains(partial, "AWS_SECRET_ACCESS_KEY")) << partial;
  EXPECT_FALSE(contains(partial, "AKIDVISIBLE")) << partial;
  world.env->vars.erase("AWS_ACCESS_KEY_ID");

  world.credentialsFile("[default]\naws_access_key_id = AKIDFILE\n");
  partial = errorOf([&] { world.chain()->credentials(); });
  EXPECT_TRUE(contains(partial, "partial credentials in /home/u/.aws/credentials")) << partial;
  EXPECT_FALSE(contains(partial, "AKIDFILE")) << partial;
}

// --- assumed roles ------------------------------------------------------------

TEST(CredentialChainTest, RoleProfilesAssumeTheirRoleWithTheSourceCredentials) {
  World world;
  world.credentialsFile("[base]\naws_access_key_id = BASE\naws_secret_access_key = base-s\n");
  world.config(
      "[profile top]\nrole_arn = arn:aws:iam::1:role/top\nsource_profile = middle\n"
      "role_session_name = mine\nexternal_id = ext-1\nregion = eu-north-1\n"
      "[profile middle]\nrole_arn = arn:aws:iam::1:role/middle\nsource_profile = base\n");
  const aws::Credentials got = world.chain("top")->credentials();
  EXPECT_EQ(got.access_key_id, "ASIA-top");
  ASSERT_EQ(world.assume_calls.size(), 2u);
  const AssumeCall& first = world.assume_calls[0];
  EXPECT_EQ(first.source.access_key_id, "BASE");
  EXPECT_EQ(first.role_arn, "arn:aws:iam::1:role/middle");
  EXPECT_EQ(first.session_name, "botocore-session-1714564800");
  EXPECT_EQ(first.external_id, "");
  const AssumeCall& second = world.assume_calls[1];
  EXPECT_EQ(second.source.access_key_id, "ASIA-middle");
  EXPECT_EQ(second.source.session_token, "role-token");
  EXPECT_EQ(second.role_arn, "arn:aws:iam::1:role/top");
  EXPECT_EQ(second.session_name, "mine");
  EXPECT_EQ(second.region, "eu-north-1");
  EXPECT_EQ(second.external_id, "ext-1");
}

TEST(CredentialChainTest, RoleProfileVariants) {
  struct Case {
    const char* name;
    std::string config;
    std::string expected;  // the assumed role's key, or part of the error
    std::string source_key;
  };
  const std::vector<Case> cases = {
      {"a role beats static keys, which may be its own source",
       "[default]\nrole_arn = arn:aws:iam::1:role/self\nsource_profile = default\n"
       "aws_access_key_id = SELF\naws_secret_access_key = s\n",
       "ASIA-self", "SELF"},
      {"credential_source Environment",
       "[default]\nrole_arn = arn:aws:iam::1:role/env\ncredential_source = environment\n",
       "ASIA-env", "ENVKEY"},
      {"a source profile may take its keys from a process",
       "[default]\nrole_arn = arn:aws:iam::1:role/p\nsource_profile = proc\n"
       "[profile proc]\ncredential_process = creds\n",
       "ASIA-p", "PROCESS"},
      {"loops are refused",
       "[default]\nrole_arn = arn:aws:iam::1:role/a\nsource_profile = b\n"
       "[profile b]\nrole_arn = arn:aws:iam::1:role/b\nsource_profile = default\n",
       "the source_profile chain loops: default -> b -> default", ""},
      {"a self-reference without keys is a loop",
       "[default]\nrole_arn = arn:aws:iam::1:role/a\nsource_profile = default\n", "chain loops",
       ""},
      {"missing source profile",
       "[default]\nrole_arn = arn:aws:iam::1:role/a\nsource_profile = nowhere\n",
       "the source_profile \"nowhere\" of profile \"default\" does not exist", ""},
      {"both sources",
       "[default]\nrole_arn = r\nsource_profile = x\ncredential_source = Environment\n",
       "both source_profile and credential_source", ""},
      {"no source", "[default]\nrole_arn = r\n", "neither source_profile nor credential_source",
       ""},
      {"unknown credential_source", "[default]\nrole_arn = r\ncredential_source = Moon\n",
       "\"Moon\" of profile \"default\" is not one of", ""},
      {"source profile without credentials",
       "[default]\nrole_arn = r\nsource_profile = bare\n[profile bare]\nregion = x\n",
       "has no credentials", ""},
      {"MFA cannot be prompted for",
       "[default]\nrole_arn = r\nsource_profile = x\nmfa_serial = arn:mfa\n[profile x]\n",
       "mfa_serial", ""},
  };
  for (const Case& c : cases) {
    World world;
    world.config(c.config);
    world.env->vars["AWS_ACCESS_KEY_ID"] = "ENVKEY";
    world.env->vars["AWS_SECRET_ACCESS_KEY"] = "envsecret";
    world.process_output = R"({"Version": 1, "AccessKeyId": "PROCESS", "SecretAccessKey": "x"})";
    if (c.source_key.empty()) {
      EXPECT_TRUE(contains(errorOf([&] { world.chain("default")->credentials(); }), c.expected))
          << c.name << ": " << errorOf([&] { world.chain("default")->credentials(); });
      EXPECT_TRUE(world.assume_calls.empty()) << c.name;
      continue;
    }
    EXPECT_EQ(world.key("default"), c.expected) << c.name;
    ASSERT_EQ(world.assume_calls.size(), 1u) << c.name;
    EXPECT_EQ(world.assume_calls[0].source.access_key_id, c.source_key) << c.name;
  }
}

// --- credential_process -------------------------------------------------------

TEST(CredentialChainTest, ProcessOutputIsCheckedWithoutBeingQuoted) {
  struct Case {
    std::string output;
    std::string expected;  // key, or part of the error
  };
  const std::vector<Case> cases = {
      {R"({"Version":1,"AccessKeyId":"K1","SecretAccessKey":"hush","Expiration":"2024-05-01T14:00:00+01:00"})",
       "K1"},
      {R"({"Version":2,"AccessKeyId":"K","SecretAccessKey":"hush"})", "\"Version\": 1"},
      {R"({"AccessKeyId":"K","SecretAccessKey":"hush"})", "\"Version\": 1"},
      {R"({"Version":1,"AccessKeyId":"K"})", "without SecretAccessKey"},
      {R"({"Version":1,"AccessKeyId":"K","SecretAccessKey":"hush","Expiration":"soon"})",
       "not an ISO 8601 time"},
      {R"({"Version":1,"AccessKeyId":"K","SecretAccessKey":"hush","Expiration":"2024-05-01T12:00:30Z"})",
       "expire at 2024-05-01T12:00:30Z"},
      {"not json hush", "\"Version\": 1"},
      {"", "credential_process exited 1"},
  };
  for (const Case& c : cases) {
    World world;
    world.config("[default]\ncredential_process = tool\n");
    world.process_output = c.output;
    if (c.expected == "K1") {
      const aws::Credentials got = world.chain()->credentials();
      EXPECT_EQ(got.access_key_id, "K1");
      EXPECT_EQ(got.expiration, kNow + hours(1));  // 14:00+01:00
      continue;
    }
    const std::string error = errorOf([&] { world.chain()->credentials(); });
    EXPECT_TRUE(contains(error, c.expected)) << c.output << " -> " << error;
    EXPECT_FALSE(contains(error, "hush")) << error;
  }
}

TEST(RunCredentialProcessTest, RunsWithoutAShellAndReportsFailures) {
  EXPECT_EQ(aws::runCredentialProcess("printf '%s|%s|%s' \"a b\" '$HOME' c\\ d"), "a b|$HOME|c d");
  const std::string failed = errorOf([] {
    aws::runCredentialProcess("sh -c 'echo out-hush; echo \"token expired\" >&2; exit 3'");
  });
  EXPECT_EQ(failed, "credential_process \"sh\" exited with status 3: token expired");
  EXPECT_TRUE(contains(errorOf([] { aws::runCredentialProcess("/no/such/tool"); }),
                       "cannot start credential_process \"/no/such/tool\""));
  EXPECT_TRUE(contains(errorOf([] { aws::runCredentialProcess("tool 'open"); }), "unclosed quote"));
  // Large output on both streams must not dead-lock.
  EXPECT_EQ(aws::runCredentialProcess("sh -c 'head -c 300000 /dev/zero; head -c 300000 /dev/zero "
                                      ">&2'")
                .size(),
            300000u);
}

// --- container credentials ------------------------------------------------------

TEST(CredentialChainTest, ContainerCredentials) {
  struct Case {
    const char* name;
    std::map<std::string, std::string> vars;
    std::string url;            // requested URL ("" when refused before sending)
    std::string authorization;  // expected header ("" for none)
    std::string error;          // part of the error ("" when it works)
  };
  const std::vector<Case> cases = {
      {"relative URI",
       {{"AWS_CONTAINER_CREDENTIALS_RELATIVE_URI", "/v2/credentials/abc"}},
       "http://169.254.170.2/v2/credentials/abc",
       "",
       ""},
      {"relative URI wins over a full one",
       {{"AWS_CONTAINER_CREDENTIALS_RELATIVE_URI", "/rel"},
        {"AWS_CONTAINER_CREDENTIALS_FULL_URI", "http://127.0.0.1:9/full"}},
       "http://169.254.170.2/rel",
       "",
       ""},
      {"full loopback URI with query and token",
       {{"AWS_CONTAINER_CREDENTIALS_FULL_URI", "http://127.0.0.2:8080/creds?id=a%2Fb"},
        {"AWS_CONTAINER_AUTHORIZATION_TOKEN", "Basic abc"}},
       "http://127.0.0.2:8080/creds?id=a%2Fb",
       "Basic abc",
       ""},
      {"token file beats token variable",
       {{"AWS_CONTAINER_CREDENTIALS_FULL_URI", "http://[::1]:8080/c"},
        {"AWS_CONTAINER_AUTHORIZATION_TOKEN", "from-variable"},
        {"AWS_CONTAINER_AUTHORIZATION_TOKEN_FILE", "/token"}},
       "http://[::1]:8080/c",
       "from-file",
       ""},
      {"the EKS agent address",
       {{"AWS_CONTAINER_CREDENTIALS_FULL_URI", "http://169.254.170.23/v1"}},
       "http://169.254.170.23/v1",
       "",
       ""},
      {"https anywhere",
       {{"AWS_CONTAINER_CREDENTIALS_FULL_URI", "https://creds.example.com/c"}},
       "https://creds.example.com/c",
       "",
       ""},
      {"plain http elsewhere is refused",
       {{"AWS_CONTAINER_CREDENTIALS_FULL_URI", "http://creds.example.com/c"}},
       "",
       "",
       "must use https, or a loopback address"},
      {"a token with a line break is refused",
       {{"AWS_CONTAINER_CREDENTIALS_RELATIVE_URI", "/c"},
        {"AWS_CONTAINER_AUTHORIZATION_TOKEN", "a\r\nX-Injected: 1"}},
       "",
       "",
       "not a legal header value"},
  };
  for (const Case& c : cases) {
    World world;
    for (const auto& [k, v] : c.vars) world.env->vars[k] = v;
    world.env->files["/token"] = "from-file";
    if (!c.url.empty()) {
      world.transport->on("GET " + c.url,
                          {answer(200, credentialsJson("CONTAINER", "2024-05-01T18:00:00Z"))});
    }
    if (!c.error.empty()) {
      EXPECT_TRUE(contains(errorOf([&] { world.chain()->credentials(); }), c.error)) << c.name;
      EXPECT_TRUE(world.transport->sent().empty()) << c.name;
      continue;
    }
    const aws::Credentials got = world.chain()->credentials();
    EXPECT_EQ(got.access_key_id, "CONTAINER") << c.name;
    EXPECT_EQ(got.session_token, "TOKEN-CONTAINER") << c.name;
    EXPECT_EQ(got.expiration, kNow + hours(6)) << c.name;
    ASSERT_EQ(world.transport->sent().size(), 1u) << c.name;
    const aws::HttpRequest sent = world.transport->sent()[0].request;
    const std::string* authorization = sent.header("Authorization");
    EXPECT_EQ(authorization ? *authorization : "", c.authorization) << c.name;
    EXPECT_EQ(world.transport->sent()[0].timeouts.connect_ms, 2000) << c.name;
  }
}

TEST(CredentialChainTest, ContainerFailuresRetryThenStopTheChain) {
  World world;
  world.enableImds();  // must not be reached: a configured container source fails loudly
  world.env->vars["AWS_CONTAINER_CREDENTIALS_RELATIVE_URI"] = "/c";
  world.transport->on("GET http://169.254.170.2/c", {answer(500, "busy"), answer(0)});
  const std::string error = errorOf([&] { world.chain()->credentials(); });
  EXPECT_EQ(error, "cannot get container credentials at http://169.254.170.2/c: timed out");
  EXPECT_EQ(world.transport->lines(), std::vector<std::string>(3, "GET http://169.254.170.2/c"));
  EXPECT_EQ(world.clock->sleeps(), std::vector<std::chrono::milliseconds>(2, seconds(1)));
}

// --- instance metadata -----------------------------------------------------------

TEST(CredentialChainTest, InstanceMetadataTokenFlowAndV1Fallback) {
  struct Case {
    const char* name;
    std::vector<aws::HttpResponse> token_answers;
    bool uses_token;
  };
  const std::vector<Case> cases = {
      {"IMDSv2", {answer(200, "tok-1")}, true},
      {"token refused 403", {answer(403)}, false},
      {"token path unknown 404", {answer(404)}, false},
      {"PUT not allowed 405", {answer(405)}, false},
      {"token request times out", {answer(0)}, false},
  };
  for (const Case& c : cases) {
    World world;
    world.enableImds();
    world.transport->on(kToken, c.token_answers);
    EXPECT_EQ(world.key(), "IMDS") << c.name;
    ASSERT_EQ(world.transport->lines(), (std::vector<std::string>{kToken, kRoleList, kRoleCreds}))
        << c.name;
    const auto sent = world.transport->sent();
    EXPECT_EQ(*sent[0].request.header("x-aws-ec2-metadata-token-ttl-seconds"), "21600");
    for (std::size_t i = 1; i < sent.size(); ++i) {
      const std::string* token = sent[i].request.header("x-aws-ec2-metadata-token");
      EXPECT_EQ(token != nullptr, c.uses_token) << c.name;
      if (token) {
        EXPECT_EQ(*token, "tok-1");
      }
    }
    for (const auto& s : sent) EXPECT_EQ(s.timeouts.read_ms, 1000) << c.name;
  }
}

TEST(CredentialChainTest, InstanceMetadataSettingsAndDeadEnds) {
  {  // endpoint, time limit and attempts from the environment
    World world;
    world.env->vars = {{"HOME", "/home/u"},
                       {"AWS_EC2_METADATA_SERVICE_ENDPOINT", "http://127.0.0.1:1338"},
                       {"AWS_METADATA_SERVICE_TIMEOUT", "3"},
                       {"AWS_METADATA_SERVICE_NUM_ATTEMPTS", "2"}};
    const std::string base = "http://127.0.0.1:1338/latest/";
    world.transport->on("PUT " + base + "api/token", {answer(200, "t")});
    world.transport->on("GET " + base + "meta-data/iam/security-credentials/",
                        {answer(500), answer(200, "r")});
    world.transport->on("GET " + base + "meta-data/iam/security-credentials/r",
                        {answer(200, credentialsJson("LOCAL", "2024-05-01T18:00:00Z"))});
    EXPECT_EQ(world.key(), "LOCAL");
    EXPECT_EQ(world.transport->sent().size(), 4u);
    EXPECT_EQ(world.transport->sent()[0].timeouts.connect_ms, 3000);
  }
  struct DeadEnd {
    const char* name;
    std::vector<aws::HttpResponse> token, list, creds;
  };
  for (const DeadEnd& c : {
           DeadEnd{"bad token request", {answer(400)}, {answer(200, "r")}, {}},
           DeadEnd{"no role", {answer(200, "t")}, {answer(404)}, {}},
           DeadEnd{"error document",
                   {answer(200, "t")},
                   {answer(200, "r")},
                   {answer(200, R"({"Code":"AssumeRoleUnauthorizedAccess","Message":"m"})")}},
           DeadEnd{"unreachable", {answer(0)}, {answer(0)}, {}},
       }) {
    World world;
    world.env->vars.erase("AWS_EC2_METADATA_DISABLED");
    world.transport->on(kToken, c.token);
    world.transport->on(kRoleList, c.list);
    world.transport->on(kRoleList + "r", c.creds);
    EXPECT_TRUE(
        contains(errorOf([&] { world.chain()->credentials(); }), "no AWS credentials found"))
        << c.name;
  }
  World disabled;  // World disables instance metadata by default
  disabled.enableImds();
  disabled.env->vars["AWS_EC2_METADATA_DISABLED"] = "TRUE";
  EXPECT_TRUE(contains(errorOf([&] { disabled.chain()->credentials(); }), "no AWS credentials"));
  EXPECT_TRUE(disabled.transport->sent().empty());
}

TEST(FetchInstanceMetadataTest, ReturnsAnyAnswerAndTellsNoAnswerApart) {
  World world;
  world.env->vars.erase("AWS_EC2_METADATA_DISABLED");
  const std::string doc =
      std::string("GET ") + kImds + "/latest/dynamic/instance-identity/document";
  world.transport->on(kToken, {answer(200, "t")});
  world.transport->on(doc, {answer(200, R"({"accountId":"1"})")});
  auto got = aws::fetchInstanceMetadata(world.ctx, "/latest/dynamic/instance-identity/document");
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->body, R"({"accountId":"1"})");
  EXPECT_EQ(*world.transport->sent().back().request.header("x-aws-ec2-metadata-token"), "t");

  world.transport->on(doc, {answer(404, "not here")});
  got = aws::fetchInstanceMetadata(world.ctx, "latest/dynamic/instance-identity/document");
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->status, 404);

  world.transport->on(kToken, {answer(0)});
  world.transport->on(doc, {answer(0)});
  EXPECT_THROW(aws::fetchInstanceMetadata(world.ctx, "latest/dynamic/instance-identity/document"),
               aws::TransportError);

  world.env->vars["AWS_EC2_METADATA_DISABLED"] = "true";
  const std::size_t before = world.transport->sent().size();
  EXPECT_EQ(aws::fetchInstanceMetadata(world.ctx, "latest/x"), std::nullopt);
  EXPECT_EQ(world.transport->sent().size(), before);
}

// --- refresh ----------------------------------------------------------------------

TEST(CredentialChainTest, TemporaryCredentialsAreRefreshedBeforeTheyExpire) {
  World world;
  world.enableImds();
  // Expires at 18:00; a second set expires at 20:00.
  world.transport->on(kRoleCreds, {answer(200, credentialsJson("FIRST", "2024-05-01T18:00:00Z")),
                                   answer(200, credentialsJson("SECOND", "2024-05-01T20:00:00Z"))});
  auto chain = world.chain();
  EXPECT_EQ(chain->credentials().access_key_id, "FIRST");
  const std::size_t fetches = world.transport->sent().size();

  world.clock->set(kNow + hours(5) + minutes(50));  // 10 minutes left: keep
  EXPECT_EQ(chain->credentials().access_key_id, "FIRST");
  EXPECT_EQ(world.transport->sent().size(), fetches);

  world.clock->set(kNow + hours(5) + minutes(56));  // 4 minutes left: replace
  EXPECT_EQ(chain->credentials().access_key_id, "SECOND");
  EXPECT_GT(world.transport->sent().size(), fetches);

  // A failed early refresh keeps the old credentials; at the last minute it fails.
  world.transport->on(kRoleCreds, {answer(0)});
  world.transport->on(kRoleList, {answer(0)});
  world.clock->set(kNow + hours(7) + minutes(56));
  EXPECT_EQ(chain->credentials().access_key_id, "SECOND");
  world.clock->set(kNow + hours(7) + minutes(59) + seconds(30));
  EXPECT_THROW(chain->credentials(), aws::ConfigError);
}

TEST(CredentialChainTest, AssumedRolesAreRefreshedAndStaticKeysAreNot) {
  World world;
  world.credentialsFile("[base]\naws_access_key_id = BASE\naws_secret_access_key = s\n");
  world.config("[default]\nrole_arn = arn:aws:iam::1:role/r\nsource_profile = base\n");
  auto chain = world.chain();
  chain->credentials();
  world.clock->advance(minutes(56));  // the role's hour is nearly over
  chain->credentials();
  EXPECT_EQ(world.assume_calls.size(), 2u);
  EXPECT_EQ(world.assume_calls[1].source.access_key_id, "BASE");

  World plain;
  plain.env->vars["AWS_ACCESS_KEY_ID"] = "K";
  plain.env->vars["AWS_SECRET_ACCESS_KEY"] = "S";
  plain.env->vars["AWS_SESSION_TOKEN"] = "SESSION";
  auto static_chain = plain.chain();
  EXPECT_EQ(static_chain->credentials().session_token, "SESSION");
  plain.env->vars["AWS_SECURITY_TOKEN"] = "LEGACY";  // botocore reads the legacy name first
  EXPECT_EQ(plain.chain()->credentials().session_token, "LEGACY");
  plain.env->vars["AWS_ACCESS_KEY_ID"] = "CHANGED";
  plain.clock->advance(hours(100));
  EXPECT_EQ(static_chain->credentials().access_key_id, "K");  // resolved once, kept
}

// --- web identity and SSO ---------------------------------------------------------

TEST(SsoTokenCacheTest, FileNamesAreBotocoresSha1OfSessionOrStartUrl) {
  // Computed by botocore's SSOTokenLoader._generate_cache_key.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"https://my-sso-portal.awsapps.com/start", "c7aaaf71fcc8777ae2475525ed049d39fe16c484"},
      {"https://d-1234567890.awsapps.com/start#/", "a1c75994a810c1c468d3bd565eda2836303e6659"},
      {"my-sso", "0ad374308c5a4e22f723adf10145eafad7c4031c"},
      {"dev sessi\xc3\xb3n", "2d43c28493b961b673a7fda696ed7a223302ffd6"},
  };
  for (const auto& [name, sha1] : cases) EXPECT_EQ(aws::ssoTokenCacheFile(name), sha1 + ".json");
}

TEST(CredentialChainTest, WebIdentityAndSsoTakeBotocoresPlaceInTheChain) {
  struct Case {
    const char* name;
    std::map<std::string, std::string> vars;
    std::string credentials, extra_config;
    std::optional<std::string> profile;
    std::string expected_key;
  };
  const std::map<std::string, std::string> web = {{"AWS_WEB_IDENTITY_TOKEN_FILE", "/var/run/token"},
                                                  {"AWS_ROLE_ARN", "arn:aws:iam::1:role/pipeline"},
                                                  {"AWS_ROLE_SESSION_NAME", "env"}};
  const std::string dev_keys = "[dev]\naws_access_key_id = FILED\naws_secret_access_key = s\n";
  const std::vector<Case> cases = {
      {"environment keys before web identity",
       {{"AWS_ACCESS_KEY_ID", "ENVKEY"},
        {"AWS_SECRET_ACCESS_KEY", "s"},
        {"AWS_WEB_IDENTITY_TOKEN_FILE", "/var/run/token"},
        {"AWS_ROLE_ARN", "arn:aws:iam::1:role/pipeline"}},
       "",
       "",
       std::nullopt,
       "ENVKEY"},
      {"web identity from the environment before SSO", web, "", "", std::nullopt, "WEBID-env"},
      {"an explicit profile ignores the web identity variables", web, "", "", "dev", "SSO"},
      {"the profile's web identity before its SSO settings",
       {},
       "",
       "[profile dev]\nweb_identity_token_file = /var/run/token\n"
       "role_arn = arn:aws:iam::1:role/p\nrole_session_name = prof\n",
       "dev",
       "WEBID-prof"},
      {"SSO before the credentials file's keys", {}, dev_keys, "", "dev", "SSO"},
      {"the legacy form too",
       {},
       "[old]\naws_access_key_id = FILED\naws_secret_access_key = s\n",
       "",
       "old",
       "SSO"},
      {"a role profile before the web identity variables", web, "",
       "[profile chained]\nrole_arn = arn:aws:iam::1:role/up\nsource_profile = dev\n", "chained",
       "ASIA-up"},
  };
  for (const Case& c : cases) {
    World world;
    world.ssoSetUp(c.extra_config);
    world.credentialsFile(c.credentials);
    world.ssoToken("corp", "2024-05-01T20:00:00Z");
    world.ssoToken("https://corp/start", "2024-05-01T20:00:00Z");
    world.env->files["/var/run/token"] = "jwt";
    for (const auto& [k, v] : c.vars) world.env->vars[k] = v;
    EXPECT_EQ(world.key(c.profile), c.expected_key) << c.name;
    if (c.expected_key == "ASIA-up") {
      ASSERT_EQ(world.assume_calls.size(), 1u);
      EXPECT_EQ(world.assume_calls[0].source.access_key_id, "SSO") << c.name;
    }
  }
}

TEST(CredentialChainTest, WebIdentityRereadsItsTokenAndNamesSessionsAsBotocore) {
  World world;
  world.env->vars["AWS_WEB_IDENTITY_TOKEN_FILE"] = "/var/run/token";
  world.env->vars["AWS_ROLE_ARN"] = "arn:aws:iam::1:role/pipeline";
  world.env->files["/var/run/token"] = "first-jwt";
  auto chain = world.chain();
  EXPECT_EQ(chain->credentials().access_key_id, "WEBID-botocore-session-1714564800");
  world.env->files["/var/run/token"] = "rotated-jwt";
  world.clock->advance(minutes(56));
  chain->credentials();
  ASSERT_EQ(world.web_calls.size(), 2u);
  EXPECT_EQ(world.web_calls[0].token, "first-jwt");
  EXPECT_EQ(world.web_calls[1].token, "rotated-jwt");
  EXPECT_EQ(world.web_calls[1].role_arn, "arn:aws:iam::1:role/pipeline");
}

TEST(CredentialChainTest, SsoAsksThePortalUnsignedWithTheCachedToken) {
  World world;
  world.ssoSetUp();
  world.ssoToken("corp", "2024-05-01T20:00:00Z");
  const aws::Credentials got = world.chain("dev")->credentials();
  EXPECT_EQ(got.secret_access_key, "sso-secret");
  EXPECT_EQ(got.expiration, kNow + hours(1));  // epoch milliseconds
  ASSERT_EQ(world.transport->sent().size(), 1u);
  const aws::HttpRequest sent = world.transport->sent()[0].request;
  EXPECT_EQ(sent.header("Authorization"), nullptr);
  ASSERT_NE(sent.header("x-amz-sso_bearer_token"), nullptr);
  EXPECT_EQ(*sent.header("x-amz-sso_bearer_token"), "ACCESS-TOKEN-SECRET");

  world.env->vars["AWS_ENDPOINT_URL_SSO"] = "http://127.0.0.1:9";
  world.transport->clear();
  EXPECT_THROW(world.chain("dev")->credentials(), aws::TransportError);
  EXPECT_EQ(world.transport->sent()[0].request.endpoint.host, "127.0.0.1:9");

  // Within 15 minutes of its expiry the token is renewed at SSO OIDC, also
  // unsigned; a refused renewal leaves the still valid token in use.
  world.env->vars.erase("AWS_ENDPOINT_URL_SSO");
  world.ssoToken("corp", "2024-05-01T12:10:00Z",
                 R"(, "clientId": "cid", "clientSecret": "cs", "refreshToken": "rt",)"
                 R"( "registrationExpiresAt": "2099-01-01T00:00:00Z")");
  world.transport->on(kOidc, {answer(400, R"({"error":"invalid_grant"})")});
  world.transport->clear();
  EXPECT_EQ(world.chain("dev")->credentials().access_key_id, "SSO");
  ASSERT_EQ(world.transport->lines(), (std::vector<std::string>{kOidc, kPortal}));
  const aws::HttpRequest renewal = world.transport->sent()[0].request;
  EXPECT_EQ(renewal.header("Authorization"), nullptr);
  EXPECT_EQ(nlohmann::json::parse(renewal.body), nlohmann::json({{"clientId", "cid"},
                                                                 {"clientSecret", "cs"},
                                                                 {"grantType", "refresh_token"},
                                                                 {"refreshToken", "rt"}}));
}

TEST(CredentialChainTest, SignInProblemsSayWhatToDoAndNeverShowSecrets) {
  struct Case {
    const char* name;
    std::string profile;
    std::function<void(World&)> arrange;
    std::string expected;  // part of the message
  };
  const std::string renewable =
      R"(, "clientId": "cid", "clientSecret": "CLIENT-SECRET", )"
      R"("registrationExpiresAt": "2099-01-01T00:00:00Z", "refreshToken": "REFRESH-SECRET")";
  const std::vector<Case> cases = {
      {"no token in the cache", "dev", [](World&) {},
       "no SSO token for sso-session \"corp\" in /home/u/.aws/sso/cache/"},
      {"expired legacy token (access token)", "old",
       [](World& w) { w.ssoToken("https://corp/start", "2024-05-01T11:59:59Z"); },
       "expired at 2024-05-01T11:59:59Z"},
      {"refused renewal (refresh token, client secret)", "dev",
       [&](World& w) {
         w.ssoToken("corp", "2024-05-01T11:00:00Z", renewable);
         w.transport->on(kOidc, {answer(400, R"({"error":"invalid_grant"})")});
       },
       "could not be renewed"},
      {"portal refuses the token", "dev",
       [](World& w) {
         w.ssoToken("corp", "2024-05-01T20:00:00Z");
         w.transport->on(kPortal, {answer(401, R"({"message":"Session token not found"})",
                                          {{"x-amzn-ErrorType", "UnauthorizedException"}})});
       },
       "refused the token"},
      {"portal answer without expiry (secret key)", "dev",
       [](World& w) {
         w.ssoToken("corp", "2024-05-01T20:00:00Z");
         w.transport->on(kPortal, {answer(200, R"({"roleCredentials":{"accessKeyId":"A",)"
                                               R"("secretAccessKey":"SECRET-KEY"}})")});
       },
       "no usable credentials"},
      {"web identity without a role (web identity token)", "wi",
       [](World& w) { w.env->files["/var/run/token"] = "WEB-IDENTITY-SECRET"; }, "no role"},
      {"unreadable web identity token file", "wi2", [](World&) {},
       "cannot read the web identity token file /nowhere"},
      {"unknown sso-session", "lost", [](World&) {}, "sso-session \"gone\" of profile"},
  };
  for (const Case& c : cases) {
    World world;
    world.ssoSetUp(
        "[profile wi]\nweb_identity_token_file = /var/run/token\n"
        "[profile wi2]\nweb_identity_token_file = /nowhere\nrole_arn = arn:aws:iam::1:role/r\n"
        "[profile lost]\nsso_session = gone\nsso_role_name = r\n");
    c.arrange(world);
    const std::string message = errorOf([&] { world.chain(c.profile)->credentials(); });
    EXPECT_TRUE(contains(message, c.expected)) << c.name << ": " << message;
    const bool token_problem = contains(message, "token");
    EXPECT_EQ(contains(message, "run `aws sso login --profile " + c.profile + "`"),
              token_problem && c.profile != "wi" && c.profile != "wi2")
        << c.name << ": " << message;
    for (const char* secret : {"ACCESS-TOKEN-SECRET", "REFRESH-SECRET", "CLIENT-SECRET",
                               "WEB-IDENTITY-SECRET", "SECRET-KEY"}) {
      EXPECT_FALSE(contains(message, secret)) << c.name << ": " << message;
    }
  }
}

}  // namespace
