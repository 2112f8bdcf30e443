// probefleet-results and probefleet-image run as the workflow's shell steps
// run them, against the sandbox with signature checking on: the verdict as
// exit status and JSON, the image id alone on standard output, usage errors.

#include <unistd.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "aws/services/s3.h"
#include "aws/services/ssm.h"
#include "integration/ops_sandbox.h"
#include "probefleet/resources/images.h"
#include "support/e2e.h"
#include "support/files.h"
#include "support/sandbox.h"
#include "testlib/exit_request.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing_support::RunResult;
using testing_support::Sandbox;

using testing_support::contains;

class ToolE2eTest : public testing_support::E2eTest {
 protected:
  RunResult run(const std::string& program, const std::vector<std::string>& arguments,
                const std::map<std::string, std::string>& extra_env = {}) {
    return runProgram(program, arguments, extra_env);
  }

  const std::unique_ptr<aws::Ec2Client> ec2_ =
      std::make_unique<aws::Ec2Client>(ops_sandbox::clientConfig("ec2"));
};

class ResultsToolE2eTest : public ToolE2eTest {
 protected:
  void SetUp() override {
    ToolE2eTest::SetUp();
    bucket_ = world_.at("bucket").get<std::string>();
    s3_ = std::make_unique<aws::S3Client>(ops_sandbox::clientConfig("s3"));
  }
  void TearDown() override {
    for (const auto& key : keys_) s3_->deleteObject(bucket_, key);
    ToolE2eTest::TearDown();
  }
  void put(const std::string& key, const std::string& body) {
    s3_->putObject(bucket_, key, body);
    keys_.push_back(key);
  }

  std::string bucket_;
  std::unique_ptr<aws::S3Client> s3_;
  std::vector<std::string> keys_;
};

TEST_F(ResultsToolE2eTest, ExitStatusAndJsonGiveEachGatewaysVerdict) {
  struct Row {
    std::string name;
    bool per_entry;
    std::vector<std::optional<std::string>> results;  // nullopt: the instance left nothing
    int want;
  };
  const std::vector<Row> rows = {
      {"every entry passed", true, {"PASS\n", " PASS "}, 0},
      {"an entry failed", true, {"PASS\n", "FAIL\n"}, 1},
      {"an entry left nothing", true, {std::nullopt, "PASS\n"}, 1},
      {"the single gateway passed", false, {"PASS\n"}, 0},
      {"the single gateway left nothing", false, {std::nullopt}, 1},
  };
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const Row& row = rows[r];
    SCOPED_TRACE(row.name);
    const std::string run_tag = "t" + std::to_string(::getpid()) + "-" + std::to_string(r);
    json config = json::array();
    json want = {{"verdict", row.want == 0 ? "PASS" : "FAIL"}, {"gateways", json::array()}};
    for (std::size_t i = 0; i < row.results.size(); ++i) {
      const std::string gw = "gw" + std::to_string(i), subnet = "subnet-0p" + std::to_string(i);
      config.push_back({{"private_subnet_id", subnet}, {"gw_name", gw}});
      const std::string tag = (row.per_entry ? gw : "") + "-" + run_tag;
      const auto& text = row.results[i];
      if (text) {
        put("log-" + tag + ".txt", "ping ok\n");
        put("result-" + tag + ".txt", *text);
      }
      want["gateways"].push_back({{"gw_name", row.per_entry ? json(gw) : json()},
                                  {"private_subnet_id", subnet},
                                  {"log_key", "log-" + tag + ".txt"},
                                  {"result_key", "result-" + tag + ".txt"},
                                  {"passed", text && text->find("PASS") != std::string::npos},
                                  {"result", text ? json(*text) : json()}});
    }
    testing_support::writeFile(dir_ / "config.json", config.dump());
    std::vector<std::string> argv = {"--bucket", bucket_, "--run-tag=" + run_tag, "--json"};
    if (row.per_entry) {
      argv.insert(argv.end(), {"--test-config", "config.json"});
    } else {
      argv.insert(argv.end(), {"--private-subnet-id", "subnet-0p0"});
    }

    RunResult result = run("probefleet-results", argv);

    EXPECT_EQ(result.status, row.want) << result.err;
    json report = json::parse(result.out);  // the logs stay on stderr
    for (auto& gateway : report.at("gateways")) {
      const std::string reason = gateway.at("reason");
      EXPECT_EQ(reason.empty(), gateway.at("passed").get<bool>()) << reason;
      // A missing object is named with what S3 said.
      if (gateway.at("result").is_null()) {
        EXPECT_TRUE(contains(reason, gateway.at("log_key")));
      }
      EXPECT_TRUE(contains(result.err, "- Test ping and traceroute in " +
                                           gateway.at("private_subnet_id").get<std::string>()));
      gateway.erase("reason");
    }
    EXPECT_EQ(report, want);
  }
  // Without --json nothing but the exit status speaks.
  EXPECT_EQ(
      run("probefleet-results", {"--bucket", bucket_, "--private-subnet-id", "subnet-0x"}).out, "");
}

class ImageToolE2eTest : public ToolE2eTest {};

TEST_F(ImageToolE2eTest, PrintsWhatTheLookupsSelect) {
  // Dated oldest first in EC2's answer order, so the first image of the
  // answer is not the newest one.
  aws::ec2::DescribeImagesRequest request;
  request.executable_users = {"all"};
  request.owners = {"amazon"};
  request.filters = {{"name", {"al2023-ami-2023*"}}};
  request.include_deprecated = false;
  json dates = json::array();
  for (const auto& image : ec2_->describeImages(request).images) {
    const std::string minute = std::to_string(10 + dates.size());
    dates.push_back(
        {{"image_id", image.image_id}, {"creation_date", "2026-05-01T09:" + minute + ":00.000Z"}});
  }
  ASSERT_GE(dates.size(), 2u);
  Sandbox::shared().control("POST", "images", {{"images", dates}});

  // A name on the first page of the public parameters, and one only a later
  // page holds.
  const aws::SsmClient ssm(ops_sandbox::clientConfig("ssm"));
  aws::GetParametersByPathRequest path;
  path.path = "/aws/service/ami-amazon-linux-latest";
  const auto first_page = ssm.getParametersByPath(path);
  ASSERT_FALSE(first_page.next_token.empty());
  path.next_token = first_page.next_token;
  const auto component = [](const std::string& name) { return name.substr(name.rfind('/') + 1); };
  const aws::SsmParameter on_first_page = first_page.parameters.back();
  const aws::SsmParameter later_only = ssm.getParametersByPath(path).parameters.back();

  struct Row {
    std::string option, value;
    bool found;
    std::string held = "";  // the parameter's value, as SSM holds it
  };
  const std::vector<Row> rows = {
      {"--name", "al2023-ami-2023*", true},
      {"--name", "al2023-ami-1999*", false},
      {"--parameter", component(on_first_page.name), true, on_first_page.value},
      {"--parameter", "al2023-ami-2023*", false},
      {"--parameter", component(later_only.name), true, later_only.value},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.option + " " + row.value);
    probefleet::Args args;
    args.image = row.value;
    std::optional<std::string> want;
    try {
      want = row.option == "--name" ? probefleet::getAMIByName(*ec2_, args)
                                    : probefleet::getAMI(ssm, args);
    } catch (const testlib::ExitRequest&) {
    }
    ASSERT_EQ(want.has_value(), row.found);
    if (row.option == "--name" && want) {
      EXPECT_EQ(*want, dates[0].at("image_id"));  // the oldest
    }

    RunResult result = run("probefleet-image", {row.option, row.value});

    EXPECT_EQ(result.status, want ? 0 : 1) << result.err;
    EXPECT_EQ(result.out, want ? *want + "\n" : "");
    if (!row.held.empty()) {
      EXPECT_TRUE(row.held.starts_with("ami-")) << row.held;
      EXPECT_EQ(result.out, row.held + "\n");
    }
    EXPECT_TRUE(contains(result.err, "- Lookup AMI for " + row.value)) << result.err;
    if (!row.found) {
      EXPECT_TRUE(contains(result.err, "**Error** Failed to find image " + row.value));
    }
  }
}

TEST_F(ImageToolE2eTest, EachLookupGoesToItsServicesEndpoint) {
  const std::string endpoint = Sandbox::shared().endpoint();
  const std::string unset(testing_support::kUnsetEnv);
  const std::string suffix = "al2023-ami-kernel-6.1-x86_64";
  struct Row {
    std::string name;
    std::vector<std::string> argv;
    std::map<std::string, std::string> env;
  };
  const std::vector<Row> rows = {
      {"EC2's variable", {"--name", "al2023-ami-2023*"}, {{"AWS_ENDPOINT_URL_EC2", endpoint}}},
      {"SSM's variable", {"--parameter", suffix}, {{"AWS_ENDPOINT_URL_SSM", endpoint}}},
      {"--endpoint-url for EC2", {"--endpoint-url", endpoint, "--name", "al2023-ami-2023*"}, {}},
      {"--endpoint-url for SSM", {"--endpoint-url=" + endpoint, "--parameter", suffix}, {}},
  };
  for (Row row : rows) {
    SCOPED_TRACE(row.name);
    // A request to AWS itself would meet a proxy that is not there.
    row.env.insert({{"AWS_ENDPOINT_URL", unset}, {"HTTPS_PROXY", "http://127.0.0.1:9"}});
    RunResult result = run("probefleet-image", row.argv, row.env);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(result.out.starts_with("ami-")) << result.out;
  }
}

TEST_F(ToolE2eTest, UsageErrorsExitWithTwo) {
  const std::string results = "probefleet-results", image = "probefleet-image";
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {results, {"--private-subnet-id", "subnet-0a"}},
      {results, {"--bucket", "b"}},
      {results, {"--bucket", "b", "--private-subnet-id", "s", "--test-config", "c"}},
      {results, {"--bucket=", "--private-subnet-id", "subnet-0a"}},
      {results, {"--bucket", "--json", "--private-subnet-id", "subnet-0a"}},
      {results, {"--bucket", "b", "--private-subnet-id", "s", "--run-tag", "a", "--run-tag", "b"}},
      {results, {"--bucket", "b", "--private-subnet-id", "s", "extra"}},
      {image, {}},
      {image, {"--name", "a*", "--parameter", "b"}},
      {image, {"--name="}},
      {image, {"--name", "--parameter", "b"}},
      {image, {"al2023-ami-2023*"}},
  };
  for (const auto& [program, argv] : cases) {
    SCOPED_TRACE(program + " " + ::testing::PrintToString(argv));
    RunResult result = run(program, argv);
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(contains(result.err, "usage: " + program)) << result.err;
    EXPECT_TRUE(contains(result.err, program + ": error: ")) << result.err;
  }
  for (const std::string& program : {results, image}) {
    EXPECT_EQ(run(program, {"--version"}).out, program + " 0.1.0\n");
  }
}

}  // namespace
