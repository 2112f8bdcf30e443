#include "aws/config/config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>

#include "aws/client/error.h"
#include "support/serialization.h"

namespace {

using Sections = std::map<std::string, std::map<std::string, std::string>>;

// --- shared files -----------------------------------------------------------

// Texts that exercise configparser's rules: comments, case of keys,
// continuation lines, nested settings, quoted profile names, sections that
// are not profiles, a profile written twice.
const char* const kConfigText = R"([default]
region = eu-west-1
# a comment
; another comment
Output=json

[profile dev]
REGION =   us-west-2   
role_arn = arn:aws:iam::123456789012:role/dev
source_profile = default
s3 =
  addressing_style = path
  us_east_1_regional_endpoint = regional

[profile "spaced name"]
region: ap-south-1

[profilex]
region = ignored

[preview]
region = ignored-too

[profile a b]
region = ignored-three

[profile default]
region = eu-central-1
multi = first
  second

    third
)";

const char* const kCredentialsText = R"(
[default]
aws_access_key_id = AKIDDEFAULT
aws_secret_access_key = secret/with=equals

[profile dev]
aws_access_key_id = AKIDLITERAL
  # indented comment
[dev]
aws_access_key_id=AKIDDEV
)";

TEST(ProfileFilesTest, ParsesAsBotocoreDoes) {
  const auto oracle = testing_support::runOracle(
      "profile_files_oracle.py", {{"config", kConfigText}, {"credentials", kCredentialsText}});
  EXPECT_EQ(aws::ProfileFiles::parseIni(kConfigText, true), oracle["config"].get<Sections>());
  EXPECT_EQ(aws::ProfileFiles::parseIni(kCredentialsText, false),
            oracle["credentials"].get<Sections>());
  // Pin a few values so that a broken oracle run cannot make this pass.
  const Sections config = aws::ProfileFiles::parseIni(kConfigText, true);
  EXPECT_EQ(config.at("dev").at("region"), "us-west-2");
  EXPECT_EQ(config.at("dev").at("s3.addressing_style"), "path");
  EXPECT_EQ(config.at("spaced name").at("region"), "ap-south-1");
  EXPECT_EQ(config.at("default").at("multi"), "first\nsecond\n\nthird");
  EXPECT_EQ(config.count("x"), 0u);
}

TEST(ProfileFilesTest, MalformedFilesNameTheFileAndLineButNotTheContent) {
  struct Case {
    const char* text;
    const char* line;
  };
  for (const Case& c : {Case{"aws_secret_access_key = hush\n[default]\n", "line 1"},
                        Case{"[default]\nregion = x\nhush-hush-secret\n", "line 3"},
                        Case{"[default]\ns3 =\n  hush-secret\n", "s3"}}) {
    aws::MapEnvironment env;
    env.vars = {{"AWS_CONFIG_FILE", "/cfg"}, {"AWS_SHARED_CREDENTIALS_FILE", "/none"}};
    env.files = {{"/cfg", c.text}};
    try {
      aws::ProfileFiles::load(env);
      ADD_FAILURE() << c.text;
    } catch (const aws::ConfigError& error) {
      const std::string message = error.what();
      EXPECT_NE(message.find("/cfg"), std::string::npos) << message;
      EXPECT_NE(message.find(c.line), std::string::npos) << message;
      EXPECT_EQ(message.find("hush"), std::string::npos) << message;
    }
  }
}

TEST(ProfileFilesTest, LoadsFromVariablesOrHomeAndPrefersTheCredentialsFile) {
  aws::MapEnvironment env;
  env.vars = {{"HOME", "/home/u"}};
  env.files = {{"/home/u/.aws/config", "[profile p]\nregion = from-config\nonly = c\n"},
               {"/home/u/.aws/credentials", "[p]\nregion = from-credentials\n"}};
  aws::ProfileFiles files = aws::ProfileFiles::load(env);
  EXPECT_EQ(files.config_path, "/home/u/.aws/config");
  EXPECT_EQ(files.value("p", "region"), "from-credentials");
  EXPECT_EQ(files.value("p", "only"), "c");
  EXPECT_EQ(files.value("p", "missing"), std::nullopt);
  EXPECT_EQ(files.merged("p").at("region"), "from-credentials");
  EXPECT_TRUE(files.hasProfile("p"));
  EXPECT_FALSE(files.hasProfile("q"));

  env.vars["AWS_CONFIG_FILE"] = "~/elsewhere/config";
  env.vars["AWS_SHARED_CREDENTIALS_FILE"] = "/nowhere";
  env.files["/home/u/elsewhere/config"] = "[profile q]\nregion = r\n";
  files = aws::ProfileFiles::load(env);
  EXPECT_EQ(files.config_path, "/home/u/elsewhere/config");
  EXPECT_EQ(files.value("q", "region"), "r");
  EXPECT_TRUE(files.credentials.empty());  // a missing file is an empty one
  EXPECT_FALSE(files.hasProfile("p"));
}

TEST(ShellSplitTest, SplitsAsPythonShlex) {
  const std::vector<std::string> lines = {
      "tool --flag value",
      "  spaced   out  ",
      "'single quoted \\n' \"double \\\"quoted\\\" \\n \\\\\" tail",
      "a'b'\"c\"d e\\ f",
      "empty '' \"\" end",
      "/opt/bin/creds --profile \"my x\" --json",
  };
  const auto oracle = testing_support::runOracle("shlex_oracle.py", lines);
  ASSERT_EQ(oracle.size(), lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    auto words = aws::shellSplit(lines[i]);
    ASSERT_TRUE(words.has_value()) << lines[i];
    EXPECT_EQ(*words, oracle[i].get<std::vector<std::string>>()) << lines[i];
  }
  EXPECT_EQ(aws::shellSplit("'open"), std::nullopt);
  EXPECT_EQ(aws::shellSplit("\"open"), std::nullopt);
  EXPECT_EQ(aws::shellSplit("trailing\\"), std::nullopt);
}

// --- profile and region -----------------------------------------------------

TEST(RegionTest, ProfileAndRegionFollowTheSdkOrder) {
  struct Case {
    std::map<std::string, std::string> vars;
    std::optional<std::string> explicit_profile;
    std::string profile;
    std::optional<std::string> region;
  };
  const std::vector<Case> cases = {
      {{}, std::nullopt, "default", "eu-west-1"},
      {{{"AWS_PROFILE", "p"}}, std::nullopt, "p", "us-west-2"},
      {{{"AWS_PROFILE", "p"}, {"AWS_DEFAULT_PROFILE", "q"}}, std::nullopt, "q", std::nullopt},
      {{{"AWS_PROFILE", ""}}, std::nullopt, "default", "eu-west-1"},
      {{{"AWS_PROFILE", "p"}}, "default", "default", "eu-west-1"},
      {{{"AWS_DEFAULT_REGION", "ca-central-1"}}, "p", "p", "ca-central-1"},
      {{{"AWS_DEFAULT_REGION", "ca-central-1"}, {"AWS_REGION", "sa-east-1"}},
       "p",
       "p",
       "sa-east-1"},
      {{{"AWS_REGION", ""}}, "p", "p", "us-west-2"},
      {{}, "", "", std::nullopt},
      {{}, "noregion", "noregion", std::nullopt},
  };
  for (const Case& c : cases) {
    aws::MapEnvironment env;
    env.vars = c.vars;
    env.vars["AWS_CONFIG_FILE"] = "/cfg";
    env.vars["AWS_SHARED_CREDENTIALS_FILE"] = "/creds";
    env.files["/cfg"] =
        "[default]\nregion = eu-west-1\n[profile p]\nregion = us-west-2\n[profile noregion]\n"
        "region =\n";
    EXPECT_EQ(aws::effectiveProfile(env, c.explicit_profile), c.profile);
    EXPECT_EQ(aws::resolveRegion(env, c.explicit_profile), c.region) << c.profile;
  }
}

TEST(RegionTest, PartitionOfRegion) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"us-east-1", "aws"},
      {"eu-west-3", "aws"},
      {"il-central-1", "aws"},
      {"cn-north-1", "aws-cn"},
      {"cn-northwest-1", "aws-cn"},
      {"us-gov-west-1", "aws-us-gov"},
      {"us-gov-east-1", "aws-us-gov"},
      {"us-iso-east-1", "aws-iso"},
      {"us-isob-east-1", "aws-iso-b"},
      {"eu-isoe-west-1", "aws-iso-e"},
      {"somewhere", "aws"},
  };
  for (const auto& [region, partition] : cases) EXPECT_EQ(aws::partitionOf(region), partition);
}

// --- endpoints ----------------------------------------------------------------

struct EndpointCase {
  std::string service;
  std::string region;
  std::map<std::string, std::string> vars;
  std::string config;  // config file text ("" for none)
};

// botocore's answer for each case (tests/oracles/endpoint_oracle.py):
// {"host_url", "endpoint_url", "signing_region"} or {"error"}.
nlohmann::json botocoreEndpoints(const std::vector<EndpointCase>& cases) {
  nlohmann::json input = nlohmann::json::array();
  for (const auto& c : cases) {
    input.push_back(
        {{"service", c.service}, {"region", c.region}, {"vars", c.vars}, {"config", c.config}});
  }
  return testing_support::runOracle("endpoint_oracle.py", input);
}

const char* const kAllServices[] = {"ec2", "iam", "sts",      "ssm",          "kms",
                                    "s3",  "sso", "sso-oidc", "servicequotas"};

TEST(EndpointTest, MatchesBotocoreAcrossServicesRegionsAndSettings) {
  std::vector<EndpointCase> cases;
  // Every service, regions of every partition, FIPS and dual-stack on and off.
  for (const char* region :
       {"us-east-1", "eu-west-1", "ap-east-1", "ca-central-1", "cn-north-1", "cn-northwest-1",
        "us-gov-west-1", "us-gov-east-1", "us-iso-east-1", "us-isob-east-1", "eu-isoe-west-1",
        "us-isof-south-1", "eusc-de-east-1", ""}) {
    for (const char* service : kAllServices) {
      for (const char* fips : {"false", "true"}) {
        for (const char* dualstack : {"false", "true"}) {
          // There botocore sends S3 to its endpoint list's dual-stack host,
          // not to the one its endpoint rules give (s3.dualstack.<region>).
          if (std::string(region) == "eusc-de-east-1" && std::string(service) == "s3" &&
              std::string(dualstack) == "true") {
            continue;
          }
          cases.push_back(
              {service,
               region,
               {{"AWS_USE_FIPS_ENDPOINT", fips}, {"AWS_USE_DUALSTACK_ENDPOINT", dualstack}},
               ""});
        }
      }
    }
  }
  // How the settings are read: variable over profile, even when empty; any
  // case of "true"; S3's own dual-stack setting first, but only to turn it on.
  const std::string fips_profile = "[default]\nuse_fips_endpoint = TRUE\n";
  cases.push_back({"ec2", "eu-west-1", {}, fips_profile});
  cases.push_back({"ec2", "eu-west-1", {{"AWS_USE_FIPS_ENDPOINT", ""}}, fips_profile});
  cases.push_back({"ec2", "eu-west-1", {{"AWS_USE_FIPS_ENDPOINT", "no"}}, fips_profile});
  cases.push_back({"ssm", "eu-west-1", {{"AWS_USE_FIPS_ENDPOINT", "True"}}, ""});
  cases.push_back({"ssm", "eu-west-1", {}, "[default]\nuse_dualstack_endpoint = true\n"});
  cases.push_back({"s3",
                   "eu-west-1",
                   {{"AWS_USE_DUALSTACK_ENDPOINT", "false"}},
                   "[default]\ns3 =\n  use_dualstack_endpoint = true\n"});
  cases.push_back({"s3",
                   "eu-west-1",
                   {{"AWS_USE_DUALSTACK_ENDPOINT", "true"}},
                   "[default]\ns3 =\n  use_dualstack_endpoint = false\n"});
  cases.push_back({"s3", "eu-west-1", {}, "[default]\ns3 =\n  use_dualstack_endpoint = TRUE\n"});
  cases.push_back({"ec2",
                   "eu-west-1",
                   {},
                   "[profile other]\nuse_fips_endpoint = true\n[default]\nregion = eu-west-1\n"});

  const std::map<std::string, std::string> legacy = {{"AWS_STS_REGIONAL_ENDPOINTS", "legacy"}};
  for (const char* region : {"eu-west-1", "us-east-1", "af-south-1", "cn-north-1", ""}) {
    cases.push_back({"sts", region, legacy, ""});
  }
  auto legacy_fips = legacy;
  legacy_fips["AWS_USE_FIPS_ENDPOINT"] = "true";
  cases.push_back({"sts", "eu-west-1", legacy_fips, ""});
  cases.push_back({"sts", "eu-west-1", {}, "[default]\nsts_regional_endpoints = legacy\n"});
  cases.push_back({"sts", "eu-west-1", {{"AWS_STS_REGIONAL_ENDPOINTS", "bogus"}}, ""});
  const std::map<std::string, std::string> s3_regional = {
      {"AWS_S3_US_EAST_1_REGIONAL_ENDPOINT", "regional"}};
  cases.push_back({"s3", "us-east-1", s3_regional, ""});
  auto s3_regional_dualstack = s3_regional;
  s3_regional_dualstack["AWS_USE_DUALSTACK_ENDPOINT"] = "true";
  cases.push_back({"s3", "us-east-1", s3_regional_dualstack, ""});
  cases.push_back(
      {"s3", "us-east-1", {}, "[default]\ns3 =\n  us_east_1_regional_endpoint = regional\n"});

  // A configured endpoint wins over the FIPS and dual-stack settings.
  const std::map<std::string, std::string> both = {
      {"AWS_ENDPOINT_URL", "http://127.0.0.1:5000"},
      {"AWS_ENDPOINT_URL_S3", "http://127.0.0.1:6000/base/"},
      {"AWS_USE_FIPS_ENDPOINT", "true"},
      {"AWS_USE_DUALSTACK_ENDPOINT", "true"}};
  for (const char* service : kAllServices) cases.push_back({service, "eu-west-1", both, ""});
  cases.push_back({"s3", "cn-north-1", both, ""});
  auto ignoring = both;
  ignoring["AWS_IGNORE_CONFIGURED_ENDPOINT_URLS"] = "true";
  cases.push_back({"s3", "eu-west-1", ignoring, ""});
  cases.push_back({"ec2", "eu-west-1", {{"AWS_ENDPOINT_URL", ""}}, ""});
  cases.push_back({"ec2", "", {{"AWS_ENDPOINT_URL", "http://127.0.0.1:5000"}}, ""});
  const std::string services_config =
      "[default]\nendpoint_url = http://127.0.0.1:7000\nservices = local\n"
      "[services local]\nssm =\n  endpoint_url = http://127.0.0.1:7001\n";
  for (const char* service : {"ec2", "ssm"})
    cases.push_back({service, "eu-west-1", {}, services_config});
  cases.push_back(
      {"ssm", "eu-west-1", {{"AWS_ENDPOINT_URL", "http://127.0.0.1:5000"}}, services_config});
  cases.push_back({"ssm", "eu-west-1", {}, "[default]\nservices = missing\n"});
  // Service Quotas is configured by its SDK id, not by its endpoint prefix.
  const std::string quotas_config =
      "[default]\nservices = local\n[services local]\nservice_quotas =\n"
      "  endpoint_url = http://127.0.0.1:7002\nkms =\n  endpoint_url = http://127.0.0.1:7003\n"
      "servicequotas =\n  endpoint_url = http://127.0.0.1:7004\n";
  for (const char* service : {"servicequotas", "kms"}) {
    cases.push_back({service, "eu-west-1", {}, quotas_config});
  }
  for (const char* variable : {"AWS_ENDPOINT_URL_SERVICE_QUOTAS", "AWS_ENDPOINT_URL_SERVICEQUOTAS",
                               "AWS_ENDPOINT_URL_KMS"}) {
    for (const char* service : {"servicequotas", "kms"}) {
      cases.push_back({service, "eu-west-1", {{variable, "http://127.0.0.1:7005"}}, ""});
    }
  }
  cases.push_back({"ssm",
                   "eu-west-1",
                   {},
                   "[default]\nendpoint_url = http://127.0.0.1:7000\n"
                   "ignore_configured_endpoint_urls = true\n"});
  cases.push_back({"ec2", "eu_west_1", {}, ""});
  cases.push_back({"ec2", "evil.example.com/x", {}, ""});
  cases.push_back({"ec2", "eu-west-1", {{"AWS_ENDPOINT_URL", "localhost:5000"}}, ""});

  const nlohmann::json oracle = botocoreEndpoints(cases);
  ASSERT_EQ(oracle.size(), cases.size());
  int compared = 0;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const EndpointCase& c = cases[i];
    aws::MapEnvironment env;
    env.vars = c.vars;
    env.vars["AWS_CONFIG_FILE"] = "/cfg";
    env.vars["AWS_SHARED_CREDENTIALS_FILE"] = "/none";
    env.files["/cfg"] = c.config;
    const std::string label =
        c.service + " in \"" + c.region + "\" " + nlohmann::json(c.vars).dump() + " " + c.config;
    if (oracle[i].contains("error")) {
      EXPECT_THROW(aws::resolveEndpoint(env, std::nullopt, c.service, c.region), aws::ConfigError)
          << label << " botocore: " << oracle[i]["error"] << " " << oracle[i]["message"];
      continue;
    }
    try {
      const aws::ResolvedEndpoint resolved =
          aws::resolveEndpoint(env, std::nullopt, c.service, c.region);
      // An override may carry a path; AWS's own endpoints never do.
      const std::string expected =
          oracle[i][resolved.overridden ? "endpoint_url" : "host_url"].get<std::string>();
      EXPECT_EQ(resolved.endpoint.url(), expected) << label;
      const std::string signing_region = oracle[i]["signing_region"].get<std::string>();
      if (!signing_region.empty()) {
        EXPECT_EQ(resolved.signing_region, signing_region) << label;
      }
      EXPECT_EQ(resolved.overridden, resolved.endpoint.scheme == "http") << label;
      ++compared;
    } catch (const aws::ConfigError& error) {
      ADD_FAILURE() << label << ": " << error.what();
    }
  }
  EXPECT_GT(compared, static_cast<int>(cases.size()) / 2);
}

TEST(EndpointTest, PinnedEndpointsAndMessages) {
  aws::MapEnvironment env;
  env.vars = {{"AWS_CONFIG_FILE", "/none"}, {"AWS_SHARED_CREDENTIALS_FILE", "/none"}};
  struct Case {
    std::string service, region, url, signing_region;
  };
  for (const Case& c :
       {Case{"iam", "cn-northwest-1", "https://iam.cn-north-1.amazonaws.com.cn", "cn-north-1"},
        Case{"iam", "us-gov-east-1", "https://iam.us-gov.amazonaws.com", "us-gov-west-1"},
        Case{"iam", "eu-west-1", "https://iam.amazonaws.com", "us-east-1"},
        Case{"sts", "", "https://sts.amazonaws.com", "us-east-1"},
        Case{"s3", "eu-west-1", "https://s3.eu-west-1.amazonaws.com", "eu-west-1"},
        Case{"ec2", "cn-north-1", "https://ec2.cn-north-1.amazonaws.com.cn", "cn-north-1"}}) {
    const auto resolved = aws::resolveEndpoint(env, std::nullopt, c.service, c.region);
    EXPECT_EQ(resolved.endpoint.url(), c.url);
    EXPECT_EQ(resolved.signing_region, c.signing_region);
    EXPECT_FALSE(resolved.overridden);
  }
  // A global service behind an override still signs for a region.
  env.vars["AWS_ENDPOINT_URL_IAM"] = "http://127.0.0.1:5000";
  EXPECT_EQ(aws::resolveEndpoint(env, std::nullopt, "iam", "").signing_region, "us-east-1");
  try {
    aws::resolveEndpoint(env, std::nullopt, "ssm", "");
    ADD_FAILURE();
  } catch (const aws::ConfigError& error) {
    EXPECT_NE(std::string(error.what()).find("no AWS region for ssm"), std::string::npos);
    EXPECT_NE(std::string(error.what()).find("AWS_REGION"), std::string::npos);
  }
  // A missing variant names the service, the region and the setting.
  env.vars = {{"AWS_CONFIG_FILE", "/cfg"},
              {"AWS_SHARED_CREDENTIALS_FILE", "/none"},
              {"AWS_USE_FIPS_ENDPOINT", "true"}};
  env.files["/cfg"] = "[profile ops]\nuse_dualstack_endpoint = true\n";
  struct Refusal {
    std::string service, region;
    std::optional<std::string> profile;
    std::vector<std::string> named;
  };
  for (const Refusal& c :
       {Refusal{"s3",
                "cn-north-1",
                std::nullopt,
                {"FIPS", "s3", "cn-north-1", "AWS_USE_FIPS_ENDPOINT=true"}},
        Refusal{"ec2",
                "eu-isoe-west-1",
                "ops",
                {"FIPS dual-stack", "ec2", "eu-isoe-west-1", "AWS_USE_FIPS_ENDPOINT",
                 "use_dualstack_endpoint = true in profile \"ops\""}}}) {
    try {
      aws::resolveEndpoint(env, c.profile, c.service, c.region);
      ADD_FAILURE() << c.service << " " << c.region;
    } catch (const aws::ConfigError& error) {
      for (const std::string& word : c.named) {
        EXPECT_NE(std::string(error.what()).find(word), std::string::npos) << error.what();
      }
    }
  }
  // Hosts the S3 client works out for a bucket's region keep the variant.
  EXPECT_EQ(aws::serviceEndpoint("s3", "us-gov-east-1", {true, true}).url(),
            "https://s3-fips.dualstack.us-gov-east-1.amazonaws.com");
  EXPECT_EQ(aws::serviceEndpoint("s3", "cn-northwest-1", {}).url(),
            "https://s3.cn-northwest-1.amazonaws.com.cn");
  EXPECT_EQ(aws::serviceEndpoint("s3", "us-east-1", {}).url(),
            "https://s3.us-east-1.amazonaws.com");
}

}  // namespace
