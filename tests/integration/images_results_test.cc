// Image selection by name and by public SSM parameter, and the collection of
// the test results the instances leave in the bucket, against the sandbox
// with signature checking on. The expected answer order comes from boto3.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "aws/services/s3.h"
#include "aws/services/ssm.h"
#include "integration/ops_sandbox.h"
#include "probefleet/resources/images.h"
#include "probefleet/resources/results.h"
#include "probefleet/config/test_config.h"
#include "testlib/exit_request.h"

#include "support/files.h"

namespace probefleet {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ops_sandbox::LogCapture;
using testing_support::Sandbox;

const std::string kAmiPath = "/aws/service/ami-amazon-linux-latest";

json boto3(const std::string& code) {
  return Sandbox::shared().boto3(code);
}

using testing_support::readFile;

// The status an operation ended the run with, or -1 when it returned.
template <class Operation>
int exitStatusOf(Operation operation) {
  try {
    operation();
  } catch (const testlib::ExitRequest& request) {
    return request.status();
  }
  return -1;
}

class ImagesTest : public ops_sandbox::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    ssm_ = std::make_unique<aws::SsmClient>(ops_sandbox::clientConfig("ssm"));
  }
  std::unique_ptr<aws::SsmClient> ssm_;
};

TEST_F(ImagesTest, GetAMIByNameTakesTheFirstImageOfTheAnswerNotTheNewest) {
  // The answer order of the very request the lookup sends.
  const json ids = boto3(
      "r = boto3.client('ec2').describe_images(ExecutableUsers=['all'], Owners=['amazon'],\n"
      "    Filters=[{'Name': 'name', 'Values': ['al2023-ami-2023*']}], IncludeDeprecated=False)\n"
      "print(json.dumps([[i['ImageId'], i['Name']] for i in r['Images']]))");
  ASSERT_GE(ids.size(), 3u);
  ASSERT_LE(ids.size(), 60u);
  // Each image newer than the one before it: a newest-first choice would
  // take the last.
  json dates = json::array();
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::string minute = (i < 10 ? "0" : "") + std::to_string(i);
    dates.push_back(
        {{"image_id", ids[i][0]}, {"creation_date", "2026-05-01T09:" + minute + ":00.000Z"}});
  }
  Sandbox::shared().control("POST", "images", {{"images", dates}});
  const std::string first_id = ids.front()[0], last_id = ids.back()[0];
  const std::string last_name = ids.back()[1];

  struct Row {
    std::string pattern, want;
  };
  for (const Row& row : {Row{"al2023-ami-2023*", first_id}, Row{last_name, last_id}}) {
    SCOPED_TRACE(row.pattern);
    restartJournal();
    LogCapture log;
    Args args;
    args.image = row.pattern;
    EXPECT_EQ(getAMIByName(*ec2_, args), row.want);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"info|- Lookup AMI for " + row.pattern,
                                                     "info|  " + row.want}));
    const auto sent = journal("DescribeImages");
    ASSERT_EQ(sent.size(), 1u);
    json params = sent[0].at("params");
    params.erase("Version");
    EXPECT_EQ(params, (json{{"Action", "DescribeImages"},
                            {"ExecutableBy.1", "all"},
                            {"Owner.1", "amazon"},
                            {"IncludeDeprecated", "false"},
                            {"Filter.1.Name", "name"},
                            {"Filter.1.Value.1", row.pattern}}));
  }
}

TEST_F(ImagesTest, GetAMIByNameEndsTheRunWhenNoImageMatches) {
  LogCapture log;
  Args args;
  args.image = "al2023-ami-1999*";
  EXPECT_EQ(exitStatusOf([&] { getAMIByName(*ec2_, args); }), 1);
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{"info|- Lookup AMI for al2023-ami-1999*",
                                      "error|  **Error** Failed to find image al2023-ami-1999*"}));
}

TEST_F(ImagesTest, GetAMIMatchesNameSuffixesOnEveryPage) {
  // The first page as boto3 gets it, and the names of every page.
  const json pages = boto3(
      "c = boto3.client('ssm')\n"
      "first = c.get_parameters_by_path(Path='" +
      kAmiPath +
      "')\n"
      "pages = list(c.get_paginator('get_parameters_by_path').paginate(Path='" +
      kAmiPath +
      "'))\n"
      "print(json.dumps({'first': [[p['Name'], p['Value']] for p in first['Parameters']],\n"
      "                  'all': [[p['Name'], p['Value']] for page in pages for p in "
      "page['Parameters']],\n"
      "                  'pages': len(pages)}))");
  const json& first = pages.at("first");
  ASSERT_GE(first.size(), 2u);
  auto component = [](const std::string& name) { return name.substr(name.rfind('/') + 1); };
  auto endsWith = [](const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
  };
  auto onFirstPage = [&](const std::string& suffix) -> std::optional<std::string> {
    for (const auto& p : first)
      if (endsWith(p[0], suffix)) return p[1].get<std::string>();
    return std::nullopt;
  };
  // A suffix several first-page names share, the last one's full component,
  // and a name that only a later page holds.
  const std::string last = component(first.back()[0]);
  const std::string shared = last.substr(last.size() - 6);
  int sharing = 0;
  for (const auto& p : first) sharing += endsWith(p[0], shared);
  ASSERT_GE(sharing, 2) << shared;
  std::string later_only, later_value;
  for (const auto& p : pages.at("all")) {
    if (!onFirstPage(component(p[0]))) {
      later_only = component(p[0]);
      later_value = p[1];
    }
  }
  ASSERT_FALSE(later_only.empty());
  std::string upper = last;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

  struct Row {
    std::string suffix;
    std::optional<std::string> want;  // nullopt: the run ends with status 1
    std::size_t requests;             // pages read
  };
  const std::size_t all = pages.at("pages").get<std::size_t>();
  const std::vector<Row> rows = {
      {last, first.back()[1].get<std::string>(), 1},
      {shared, onFirstPage(shared), 1},  // the first match in answer order
      {"al2023-ami-2023*", std::nullopt, all},
      {later_only, later_value, all},  // on the last page
      {upper, std::nullopt, all},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.suffix);
    restartJournal();
    LogCapture log;
    Args args;
    args.image = row.suffix;
    if (row.want) {
      EXPECT_EQ(getAMI(*ssm_, args), *row.want);
      EXPECT_EQ(log.lines(), (std::vector<std::string>{"info|- Lookup AMI for " + row.suffix,
                                                       "info|  " + *row.want}));
    } else {
      EXPECT_EQ(exitStatusOf([&] { getAMI(*ssm_, args); }), 1);
      EXPECT_EQ(log.count("error|  **Error** Failed to find image " + row.suffix), 1);
    }
    const auto sent = journal("GetParametersByPath");
    ASSERT_EQ(sent.size(), row.requests);
    EXPECT_EQ(sent[0].at("params"), (json{{"Path", kAmiPath}}));
    if (row.requests > 1) {
      EXPECT_TRUE(sent[1].at("params").contains("NextToken"));
    }
  }
}

class ResultsTest : public ops_sandbox::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    bucket_ = world_.at("bucket").get<std::string>();
    auto config = ops_sandbox::clientConfig("s3");
    config.signing_name = "s3";
    config.signing_region = config.region;
    s3_ = std::make_unique<aws::S3Client>(config);
    std::random_device random;
    run_ = "r" + std::to_string(random() % 1000000);
  }
  void TearDown() override {
    for (const auto& key : keys_) s3_->deleteObject(bucket_, key);
    SandboxTest::TearDown();
  }

  void put(const std::string& key, const std::string& body) {
    s3_->putObject(bucket_, key, body);
    keys_.push_back(key);
  }
  // The keys this test's GetObject requests named, in order.
  std::vector<std::string> fetched() const {
    std::vector<std::string> keys;
    for (const auto& entry : journal("GetObject")) keys.push_back(entry.at("params").at("Key"));
    return keys;
  }
  Args args() const {
    Args a;
    a.s3_bucket = bucket_;
    a.private_subnet_id = "subnet-0single";
    return a;
  }
  std::string writeConfig(const json& entries) {
    const fs::path path = dir_ / "test_config.json";
    std::ofstream(path) << entries.dump();
    return path.string();
  }

  std::string bucket_, run_;
  std::unique_ptr<aws::S3Client> s3_;
  std::vector<std::string> keys_;
  testing_support::ScratchDir scratch_;
  fs::path dir_ = scratch_.path();
};

TEST_F(ResultsTest, SingleGatewayVerdictFollowsTheResultText) {
  struct Row {
    std::string name;
    std::optional<std::string> log;  // nullopt: no log object
    std::string result;
    int want;
    std::string run_tag;  // "-": the test's own
  };
  const std::vector<Row> rows = {
      {"PASS and a line end", "ping ok\ntraceroute ok\n", "PASS\n", 0, "-"},
      {"white space at both ends", "l", " \t PASS \r\n", 0, "-"},
      {"no run tag", "l", "PASS", 0, ""},
      {"lower case", "l", "pass\n", 1, "-"},
      {"longer word", "l", "PASSED\n", 1, "-"},
      {"two lines", "l", "PASS\nFAIL\n", 1, "-"},
      {"empty", "l", "", 1, "-"},
      {"no log object", std::nullopt, "PASS\n", 1, "-"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string run_tag = row.run_tag == "-" ? run_ + "-" + std::to_string(keys_.size()) : "";
    const std::string log_key = "log--" + run_tag + ".txt";
    const std::string result_key = "result--" + run_tag + ".txt";
    if (row.log) put(log_key, *row.log);
    put(result_key, row.result);
    fs::remove(kTestResultFile);
    restartJournal();
    LogCapture log;

    EXPECT_EQ(getS3TestResults(*s3_, args(), run_tag), row.want);

    const auto lines = log.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "info|- Test ping and traceroute in subnet-0single");
    if (row.log) {
      EXPECT_EQ(fetched(), (std::vector<std::string>{log_key, result_key}));
      EXPECT_EQ(readFile(kTestLogFile), *row.log);
      EXPECT_EQ(readFile(kTestResultFile), row.result);
      struct stat info {};
      ASSERT_EQ(::stat(kTestResultFile, &info), 0);
      EXPECT_EQ(info.st_mode & 077, 0u);
    } else {
      // The result object is never asked for once the log object is missing.
      EXPECT_EQ(fetched(), (std::vector<std::string>{log_key}));
      EXPECT_FALSE(fs::exists(kTestResultFile));
      ASSERT_EQ(lines.size(), 2u);
      EXPECT_NE(lines[1].find("NoSuchKey"), std::string::npos) << lines[1];
      EXPECT_EQ(lines[1].rfind("info|", 0), 0u) << lines[1];
    }
  }
}

TEST_F(ResultsTest, PerEntryFormCollectsEveryEntryInFileOrder) {
  struct Row {
    std::string name;
    bool second_has_log;
    std::string third_result;
    int want;
  };
  const std::vector<Row> rows = {
      {"all pass", true, "PASS\n", 0},
      {"a failed result", true, "FAIL\n", 1},
      {"a missing log object does not stop the others", false, "PASS\n", 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string run_tag = run_ + "-" + std::to_string(keys_.size());
    json entries = json::array();
    std::vector<std::string> want_keys;
    for (int i = 1; i <= 3; ++i) {
      const std::string gw = "gw" + std::to_string(i);
      entries.push_back({{"gw_subnet_id", "subnet-0gw" + std::to_string(i)},
                         {"private_subnet_id", "subnet-0p" + std::to_string(i)},
                         {"gw_private_ip", "10.1.0." + std::to_string(i)},
                         {"gw_name", gw}});
      const bool has_log = i != 2 || row.second_has_log;
      if (has_log) put("log-" + gw + "-" + run_tag + ".txt", gw + " log");
      put("result-" + gw + "-" + run_tag + ".txt", i == 3 ? row.third_result : "PASS\n");
      want_keys.push_back("log-" + gw + "-" + run_tag + ".txt");
      if (has_log) want_keys.push_back("result-" + gw + "-" + run_tag + ".txt");
    }
    Args a = args();
    a.test_config = writeConfig(entries);
    restartJournal();
    LogCapture log;

    EXPECT_EQ(getS3TestResults(*s3_, a, run_tag), row.want);

    EXPECT_EQ(fetched(), want_keys);
    for (int i = 1; i <= 3; ++i) {
      const std::string step = "info|- Test ping and traceroute in subnet-0p" + std::to_string(i);
      EXPECT_EQ(log.count(step), 1) << step;
      const bool has_log = i != 2 || row.second_has_log;
      EXPECT_EQ(log.count("info|gw" + std::to_string(i) + " log"), has_log ? 1 : 0);
    }
    EXPECT_EQ(readFile(kTestResultFile), row.third_result);  // the last entry's
  }
}

TEST_F(ResultsTest, FixedFilesAreReplacedNotWrittenThrough) {
  // A link planted at the fixed path must not carry the download elsewhere.
  const fs::path victim = dir_ / "victim";
  std::ofstream(victim) << "untouched";
  fs::remove(kTestResultFile);
  fs::create_symlink(victim, kTestResultFile);
  put("log--" + run_ + ".txt", "l");
  put("result--" + run_ + ".txt", "PASS\n");

  EXPECT_EQ(getS3TestResults(*s3_, args(), run_), 0);

  EXPECT_EQ(readFile(victim), "untouched");
  EXPECT_FALSE(fs::is_symlink(kTestResultFile));
  EXPECT_EQ(readFile(kTestResultFile), "PASS\n");
}

TEST_F(ResultsTest, FailuresOutsideTheServiceEndTheCollection) {
  put("log-gw1-" + run_ + ".txt", "l");
  put("result-gw1-" + run_ + ".txt", "PASS\n");
  const json good = {{"gw_subnet_id", "subnet-0gw1"},
                     {"private_subnet_id", "subnet-0p1"},
                     {"gw_private_ip", "10.1.0.1"},
                     {"gw_name", "gw1"}};
  json no_gw_name = good;
  no_gw_name.erase("gw_name");

  Args missing = args();
  missing.test_config = (dir_ / "no-such-config.json").string();
  EXPECT_THROW(getS3TestResults(*s3_, missing, run_), TestConfigError);

  Args unnamed = args();
  unnamed.test_config = writeConfig(json::array({good, no_gw_name}));
  EXPECT_THROW(getS3TestResults(*s3_, unnamed, run_), TestConfigError);

  // S3 out of reach is not a failed test but a failed collection.
  drop("s3", "GetObject");
  Args reachable = args();
  reachable.test_config = writeConfig(json::array({good}));
  EXPECT_THROW(getS3TestResults(*s3_, reachable, run_), aws::TransportError);
}

}  // namespace
}  // namespace probefleet
