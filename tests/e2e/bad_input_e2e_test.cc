// Bad input of every kind, given to the real binaries against the sandbox:
// each is refused with its exit status and a message that says what is
// wrong, without a crash or a hang, and without a request that changes
// anything in AWS.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/e2e.h"
#include "support/files.h"
#include "support/sandbox.h"

namespace {

namespace fs = std::filesystem;
using testing_support::RunResult;
using testing_support::Sandbox;
using testing_support::writeFile;

// One bad input: the program, its arguments and environment, and how it must end.
struct Row {
  std::string name;
  std::string program;  // "probefleet", "probefleet-s3", "probefleet-image"
  std::vector<std::string> argv;
  std::map<std::string, std::string> env;
  int status;
  std::string message;  // on stderr
};

bool mutating(const std::string& action) {
  for (const char* verb : {"Run", "Create", "Delete", "Put", "Authorize", "Attach", "Associate",
                           "Allocate", "Release", "Terminate", "Add", "Remove", "Detach",
                           "UploadPart", "CompleteMultipartUpload", "CopyObject"}) {
    if (action.rfind(verb, 0) == 0) return true;
  }
  return false;
}

class BadInputE2eTest : public testing_support::E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    bucket_ = world_["bucket"].get<std::string>();
    writeTestConfig();
  }

  // Runs the row, checks its ending and that nothing in AWS was changed; a
  // row ends within a minute (the transport's time limits) or fails.
  RunResult check(const Row& row) {
    SCOPED_TRACE(row.name);
    sandbox_.clearJournal();
    const auto started = std::chrono::steady_clock::now();
    const RunResult r = runProgram(row.program, row.argv, row.env);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
    EXPECT_EQ(r.status, row.status) << r.err.substr(0, 4000);
    EXPECT_NE(r.err.find(row.message), std::string::npos)
        << "expected: " << row.message << "\nerr: " << r.err.substr(0, 4000);
    for (const auto& call : sandbox_.journal()) {
      EXPECT_FALSE(mutating(call["action"].get<std::string>())) << call.dump();
    }
    return r;
  }

  RunResult upload(const std::string& key) {
    return runProgram("probefleet-s3", {"upload-file", bucket_, key});
  }

  // probefleet with the required options and `extra`.
  static std::vector<std::string> deploy(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {"--test_config", "tc.json", "--backup_folder", "keys"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
  }

  std::string bucket_;
};

TEST_F(BadInputE2eTest, TestConfigurationsAreRefusedBeforeAnyChange) {
  struct Content {
    std::string name, text, message;
  };
  const auto entry = world_["test_config"][0];
  auto with = [&entry](const char* key, nlohmann::ordered_json value) {
    auto changed = entry;
    changed[key] = std::move(value);
    return "[" + changed.dump() + "]";
  };
  const std::vector<Content> contents = {
      {"not JSON", "[{\"gw_subnet_id\": ", "is not valid JSON"},
      {"not an array", "{\"gw_subnet_id\": \"subnet-1\"}", "not an array"},
      {"empty array", "[]", "holds no entry"},
      {"entry not an object", "[\"subnet-1\"]", "entry 1 is not an object"},
      {"wrong type", with("gw_subnet_id", 5), "\"gw_subnet_id\" is not a string"},
      {"NUL byte", "[{\"gw_subnet_id\": \"sub\0net\"}]", "is not valid JSON"},
      {"invalid UTF-8", "[{\"gw_subnet_id\": \"sub\xff\"}]", "is not valid JSON"},
      {"deep nesting", std::string(100000, '[') + std::string(100000, ']'), "nested deeper"},
      {"duplicate gw_subnet_id", "[" + entry.dump() + "," + entry.dump() + "]",
       "both launch in gw_subnet_id"},
      {"very large", "[" + std::string(64 << 20, ' ') + entry.dump() + "]", "larger than"},
  };
  for (const Content& c : contents) {
    writeFile(dir_ / "tc.json", c.text);
    check({c.name, "probefleet", deploy(), {}, 1, c.message});
    check({c.name + ", revert", "probefleet", deploy({"--revert"}), {}, 1, c.message});
  }
  // Only a deployment reads the private network.
  for (const char* cidr : {"10.0.1.5/24", "not-a-cidr", "10.0.1.0/33"}) {
    writeFile(dir_ / "tc.json", with("private_subnet_cidr", cidr));
    check({std::string("private_subnet_cidr ") + cidr,
           "probefleet",
           deploy(),
           {},
           1,
           "private_subnet_cidr"});
  }
}

TEST_F(BadInputE2eTest, OptionFormsAreRefusedOrResolvedAsDocumented) {
  // The kernel passes no single argument above 128 KiB (MAX_ARG_STRLEN).
  const std::string long_value(120000, 'a');
  const std::string bad_utf8 = "us-east-1\xff";
  std::vector<Row> rows = {
      // probefleet follows argparse: the last repeat wins, either way round.
      {"repeat, last absolute",
       "probefleet",
       deploy({"--backup_folder", "/abs"}),
       {},
       1,
       "from backup_folder /abs"},
      {"repeat, last relative",
       "probefleet",
       {"--test_config", "tc.json", "--backup_folder", "/abs", "--backup_folder", "keys",
        "--tag_resource", "odd"},
       {},
       1,
       "incomplete tag_resource pair"},
      {"companion repeat",
       "probefleet-s3",
       {"--region", "us-east-1", "--region", "us-west-2", "upload-file", bucket_, "x"},
       {},
       2,
       "--region given twice"},
      {"value looks like an option",
       "probefleet",
       deploy({"--region", "--revert"}),
       {},
       2,
       "argument --region: expected one argument"},
      {"companion value looks like an option",
       "probefleet-s3",
       {"download", bucket_, "vpc-1", "--target", "--dry-run"},
       {},
       2,
       "needs a value, not the option --dry-run"},
      {"1 MiB tag_resource",
       "probefleet",
       deploy({"--tag_resource", long_value}),
       {},
       1,
       "incomplete tag_resource pair"},
      {"1 MiB region", "probefleet", deploy({"--region", long_value}), {}, 1, "invalid AWS region"},
      {"1 MiB profile",
       "probefleet-s3",
       {"--profile", long_value, "download", bucket_, "v"},
       {},
       1,
       "could not be found"},
      {"a path may hold any bytes",
       "probefleet",
       {"--test_config", "tc\xff.json", "--backup_folder", "keys"},
       {},
       1,
       "tc\xff.json"},
  };
  for (const char* option :
       {"--region", "--tag_resource", "--key_name", "--s3_bucket", "--profile", "--run_tag"}) {
    std::vector<std::string> extra = {option, bad_utf8};
    if (std::string(option) == "--run_tag") extra = {option, bad_utf8, "--s3_bucket", bucket_};
    rows.push_back({std::string("non-UTF-8 ") + option,
                    "probefleet",
                    deploy(extra),
                    {},
                    2,
                    std::string("argument ") + option + ": not valid UTF-8"});
  }
  for (const char* option : {"--region", "--profile"}) {
    rows.push_back({std::string("companion non-UTF-8 ") + option,
                    "probefleet-s3",
                    {option, bad_utf8, "download", bucket_, "vpc-1"},
                    {},
                    2,
                    std::string(option) + ": not valid UTF-8"});
  }
  for (const Row& row : rows) check(row);
}

TEST_F(BadInputE2eTest, PemObjectsAreRefusedWithoutShowingKeyBytes) {
  const auto openssl = [this](const std::string& command) {
    ASSERT_EQ(testing_support::runProcess({"sh", "-c", "cd '" + dir_.string() + "' && " + command},
                                          {}, nullptr, nullptr),
              0)
        << command;
  };
  openssl("openssl genrsa -out rsa.pem 2048 2>/dev/null");
  openssl("openssl rsa -in rsa.pem -pubout -out public.pem 2>/dev/null");
  openssl("openssl rsa -in rsa.pem -aes256 -passout pass:secret -out encrypted.pem 2>/dev/null");
  openssl("openssl req -x509 -key rsa.pem -subj /CN=x -days 1 -out cert.pem 2>/dev/null");
  openssl("head -c 900 rsa.pem > truncated.pem");
  openssl("head -c 4000000 /dev/urandom > garbage.pem");
  const std::string key_line = testing_support::readFile(dir_ / "rsa.pem").substr(32, 64);
  struct Pem {
    std::string file, message;
  };
  for (const Pem& pem :
       std::vector<Pem>{{"truncated.pem", "could not load a PEM private key (not a private key"},
                        {"cert.pem", "holds a certificate"},
                        {"encrypted.pem", "encrypted"},
                        {"public.pem", "holds a public key"},
                        {"garbage.pem", "could not load a PEM private key (not a private key"}}) {
    const std::string key = "bad-pem/" + std::to_string(::getpid()) + "/" + pem.file;
    fs::create_directories(dir_ / "bad-pem" / std::to_string(::getpid()));
    fs::copy_file(dir_ / pem.file, dir_ / key);
    ASSERT_EQ(upload(key).status, 0) << key;
    const RunResult r =
        check({pem.file, "probefleet-s3", {"fingerprint", bucket_, key}, {}, 1, pem.message});
    EXPECT_EQ(r.err.find(key_line), std::string::npos) << r.err;
  }
}

TEST_F(BadInputE2eTest, MalformedAwsAnswersFailCleanly) {
  const std::map<std::string, std::string> once = {{"AWS_MAX_ATTEMPTS", "1"}};
  struct Answer {
    std::string name;
    nlohmann::json rule;
    Row row;
  };
  const nlohmann::json images = {{"service", "ec2"}, {"action", "DescribeImages"}};
  auto rule = [](nlohmann::json base, const nlohmann::json& effect) {
    base.update(effect);
    return base;
  };
  const std::vector<Answer> answers = {
      {"malformed XML",
       rule(images, {{"body", "<DescribeImagesResponse><imagesSet><item>"}}),
       {"", "probefleet", deploy(), once, 1, "DescribeImages"}},
      {"200 with an error body",
       rule(images, {{"body",
                      "<Response><Errors><Error><Code>InternalError</Code><Message>m</Message>"
                      "</Error></Errors></Response>"}}),
       {"", "probefleet", deploy(), once, 1, "InternalError"}},
      {"oversized body",
       rule(images, {{"pad", 70 << 20}}),
       {"", "probefleet", deploy(), once, 1, "larger than"}},
      {"body cut mid-stream",
       rule(images, {{"truncate", 100}}),
       {"", "probefleet", deploy(), once, 1, "TransportError"}},
      {"malformed JSON",
       {{"service", "ssm"}, {"body", "{\"Parameter\": {"}},
       {"", "probefleet-image", {"--parameter", "/aws/service/x"}, once, 1, "JSON"}},
      {"missing required member",
       {{"service", "ssm"}, {"body", "{\"Parameters\": [{\"Value\": \"ami-1\"}]}"}},
       {"", "probefleet-image", {"--parameter", "/aws/service/x"}, once, 1, "has no Name"}},
      {"redirect loop",
       {{"service", "s3"}, {"redirect", "self"}, {"status", 307}},
       {"", "probefleet-s3", {"download", bucket_, "vpc-1"}, {}, 1, "307"}},
      {"301 to itself",
       {{"service", "s3"}, {"redirect", "self"}},
       {"", "probefleet-s3", {"download", bucket_, "vpc-1"}, {}, 1, "301"}},
  };
  for (const Answer& a : answers) {
    sandbox_.clearFaults();
    sandbox_.setFaults({{"rules", {a.rule}}});
    Row row = a.row;
    row.name = a.name;
    check(row);
  }
}

TEST_F(BadInputE2eTest, ObjectKeysThatLeaveTheFolderAreSkippedAndReported) {
  const std::string vpc = "vpc-escape" + std::to_string(::getpid());
  sandbox_.control("POST", "s3", {{"fill", {{"prefix", "backups/" + vpc + "/ok"}, {"count", 1}}}});
  for (const char* rest : {"../../escape", "a/../../../x", "/etc/x"}) {
    sandbox_.control(
        "POST", "s3",
        {{"fill", {{"prefix", "backups/" + vpc + "/" + std::string(rest)}, {"count", 1}}}});
  }
  fs::create_directories(dir_ / "deep" / "er");
  check({"escaping keys",
         "probefleet-s3",
         {"download", bucket_, vpc, "--target", "deep/er"},
         {},
         1,
         "skipped 3 objects whose keys leave"});
  // One listing serves the download and what the command reports of it.
  const auto journal = sandbox_.journal();
  EXPECT_EQ(std::count_if(journal.begin(), journal.end(),
                          [](const auto& call) { return call["action"] == "ListObjectsV2"; }),
            1);
  std::vector<std::string> written;
  for (const auto& file : fs::recursive_directory_iterator(dir_)) {
    if (file.is_regular_file()) written.push_back(fs::relative(file.path(), dir_).string());
  }
  EXPECT_EQ(written, (std::vector<std::string>{"deep/er/" + vpc + "/ok00000", "tc.json"}));
}

TEST_F(BadInputE2eTest, BrokenCredentialsFilesNameTheFileOrProfile) {
  const std::string keys = "aws_access_key_id = AKIDEXAMPLE\naws_secret_access_key = s\n";
  const std::string role = "role_arn = arn:aws:iam::123456789012:role/workflow-role\n";
  struct File {
    std::string name, credentials, config, message;
  };
  const std::vector<File> files = {
      {"unterminated section", "[default\n" + keys, "", "credentials: line 1 "},
      {"key outside a section", keys + "[a]\n" + keys, "", "before any [section]"},
      {"source_profile loop", "",
       "[profile a]\n" + role + "source_profile = b\n[profile b]\n" + role + "source_profile = a\n",
       "loops"},
      {"profile sources itself", "", "[profile a]\n" + role + "source_profile = a\n", "loops"},
  };
  const std::string unset(testing_support::kUnsetEnv);
  for (const File& f : files) {
    writeFile(dir_ / "credentials", f.credentials);
    writeFile(dir_ / "config", f.config);
    const std::map<std::string, std::string> env = {
        {"AWS_SHARED_CREDENTIALS_FILE", (dir_ / "credentials").string()},
        {"AWS_CONFIG_FILE", (dir_ / "config").string()},
        {"AWS_ACCESS_KEY_ID", unset},
        {"AWS_SECRET_ACCESS_KEY", unset}};
    check({f.name, "probefleet", deploy({"--profile", "a"}), env, 1, f.message});
    check({f.name,
           "probefleet-s3",
           {"--profile", "a", "download", bucket_, "vpc-1"},
           env,
           1,
           f.message});
  }
}

TEST_F(BadInputE2eTest, InvalidAwsVariablesAreRefusedBeforeAnyRequest) {
  const std::vector<std::pair<std::string, std::string>> variables = {
      {"AWS_MAX_ATTEMPTS", "abc"},
      {"AWS_MAX_ATTEMPTS", "0"},
      {"AWS_RETRY_MODE", "bogus"},
      {"AWS_REGION", "us east-1"},
      {"AWS_REGION", "us-east-1/x"},
      {"AWS_EC2_METADATA_SERVICE_ENDPOINT", "not a url"},
      {"AWS_METADATA_SERVICE_TIMEOUT", "-1"},
      {"AWS_ENDPOINT_URL", "ftp://x"},
  };
  for (const auto& [name, value] : variables) {
    // The metadata settings are read when the metadata service is asked.
    const bool metadata = name.find("METADATA") != std::string::npos;
    check({name + "=" + value,
           "probefleet",
           deploy(metadata ? std::vector<std::string>{"--workflow_account_role", "workflow-role"}
                           : std::vector<std::string>{}),
           {{name, value}},
           1,
           name});
    EXPECT_TRUE(sandbox_.journal().empty()) << name << "=" << value;
  }
}

}  // namespace
