// The probefleet binary run as a user runs it, against the sandbox with
// signature checking on: options, the form checks, sessions and clients of
// both accounts, the log file, exit statuses.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/e2e.h"
#include "support/files.h"
#include "support/sandbox.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Sandbox;

using testing_support::RunResult;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

using testing_support::readFile;

using testing_support::contains;

class DriverE2eTest : public testing_support::E2eTest {
 protected:
  void SetUp() override {
    sandbox_.imds({{"reset", true}});
    E2eTest::SetUp();
    sandbox_.clearJournal();
    account_ = world_["account"].get<std::string>();
    // The world's own test configuration: the run reads it before any request.
    writeTestConfig();
  }

  // Runs the program in the scratch folder (the backup folder is relative).
  RunResult run(const std::vector<std::string>& arguments) {
    return runProgram("probefleet", arguments);
  }

  static std::vector<std::string> required(std::vector<std::string> extra) {
    std::vector<std::string> argv = {"--test_config", "tc.json", "--backup_folder", "keys"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
  }

  std::string roleArn(const std::string& account, const std::string& role) {
    return "arn:aws:iam::" + account + ":role/" + role;
  }

  std::string account_;
};

TEST_F(DriverE2eTest, EarlyExitsHappenBeforeAnyRequest) {
  struct Case {
    std::vector<std::string> argv;
    int status;
    std::string stream;  // "out" or "err"
    std::string expected;
  };
  const std::string abs = (dir_ / "abs").string();
  const std::vector<Case> cases = {
      {{"-h"}, 0, "out", "Deploy test EC2 in test subnets"},
      {{"--help", "--bogus"}, 0, "out", "show this help message and exit"},
      {{"--version"}, 0, "out", "probefleet 0.1.0\n"},
      {{"--test_config", "t"},
       2,
       "err",
       "probefleet: error: the following arguments are required: --backup_folder"},
      {required({"--bogus"}), 2, "err", "probefleet: error: unrecognized arguments: --bogus"},
      {required({"--re", "x"}), 2, "err",
       "probefleet: error: ambiguous option: --re could match --revert, --region, --report"},
      {required({"--region"}), 2, "err",
       "probefleet: error: argument --region: expected one argument"},
      {required({"--eip=1"}), 2, "err", "probefleet: error: argument --eip: ignored explicit"},
      {{"--test_config", "t", "--backup_folder", abs},
       1,
       "err",
       "Please remove the beginning \"/\" or a \".\" from backup_folder " + abs},
      {{"--test_config", "t", "--backup_folder", "./keys"},
       1,
       "err",
       "Please remove the beginning \"/\" or a \".\" from backup_folder ./keys"},
      {{"--test_config", "t", "--back", ".keys"},
       1,
       "err",
       "Please remove the beginning \"/\" or a \".\" from backup_folder .keys"},
      {{"--test_config", "tc.json", "--backup_folder="},
       1,
       "err",
       "backup_folder must not be empty"},
      {required({"--tag_resource", "Owner,qa,Team"}), 1, "err",
       "**Error** incomplete tag_resource pair"},
      {required({"--tag_resource="}), 1, "err", "**Error** incomplete tag_resource pair"},
      {required({"--tag=a,b,c,d,e"}), 1, "err", "**Error** incomplete tag_resource pair"},
  };
  for (const Case& c : cases) {
    const std::string shown = nlohmann::json(c.argv).dump();
    RunResult r = run(c.argv);
    EXPECT_EQ(r.status, c.status) << shown << "\n" << r.err;
    EXPECT_TRUE(contains(c.stream == "out" ? r.out : r.err, c.expected))
        << shown << "\nout: " << r.out << "\nerr: " << r.err;
    if (c.status == 2) {
      EXPECT_TRUE(r.out.empty()) << shown;
      EXPECT_EQ(r.err.rfind("usage: probefleet ", 0), 0u) << shown;
      EXPECT_FALSE(fs::exists(dir_ / "keys")) << shown << ": a usage error set up the log";
    }
    if (c.status == 0) {
      EXPECT_TRUE(r.err.empty()) << shown;
    }
    EXPECT_TRUE(sandbox_.journal().empty()) << shown << "\n" << sandbox_.journal().dump(1);
  }
  // The forms that pass both checks go on to the AWS requests.
  for (const char* tags : {"Owner,qa", "Owner,qa,Team,net"}) {
    sandbox_.clearJournal();
    RunResult r = run(required({"--tag_resource", tags}));
    EXPECT_FALSE(contains(r.err, "incomplete tag_resource pair")) << r.err;
    EXPECT_FALSE(sandbox_.journal("ec2").empty()) << tags;
  }
}

TEST_F(DriverE2eTest, UnusableTestConfigurationStopsBeforeAnyRequest) {
  struct Case {
    std::string content;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"[{\"gw_subnet_id\": \"subnet-1\",", "line 1"},
      {"{}", "tc.json"},
      {"[]", "tc.json"},
      {"[{\"gw_subnet_id\": \"subnet-1\", \"gw_private_ip\": \"10.0.0.5\"}]", "private_subnet_id"},
  };
  for (const Case& c : cases) {
    std::ofstream(dir_ / "tc.json", std::ios::trunc) << c.content;
    sandbox_.clearJournal();
    RunResult r = run(required({}));
    EXPECT_EQ(r.status, 1) << c.content << "\n" << r.err;
    EXPECT_TRUE(contains(r.err, "**Error**") && contains(r.err, c.expected)) << c.content << "\n"
                                                                             << r.err;
    EXPECT_TRUE(sandbox_.journal().empty()) << c.content << "\n" << sandbox_.journal().dump(1);
  }
  std::filesystem::remove(dir_ / "tc.json");
  RunResult missing = run(required({}));
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(contains(missing.err, "tc.json")) << missing.err;
  EXPECT_TRUE(sandbox_.journal().empty());
}

TEST_F(DriverE2eTest, LogFileStartsWithTheCommandAndTheConsoleShowsTheSameRecords) {
  const std::vector<std::string> argv = required(
      {"--dry", "--tag_resource", "Owner,qa", "--image", "al2023-ami-2023*", "--log_console"});
  RunResult r = run(argv);
  const auto file = lines(readFile(dir_ / "keys/log/corvanta_testlibs.log"));
  ASSERT_FALSE(file.empty()) << r.err;
  std::string command = "probefleet";
  for (const auto& a : argv) command += " " + a;
  EXPECT_TRUE(file[0].size() >= command.size() &&
              file[0].compare(file[0].size() - command.size(), command.size(), command) == 0)
      << file[0];
  EXPECT_TRUE(contains(file[0], " info [corvanta_testlibs] ")) << file[0];
  EXPECT_EQ(lines(r.err), file);
  // A dry run walks the whole deployment and changes nothing.
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(sandbox_.journal("ec2", "RunInstances").empty());
}

TEST_F(DriverE2eTest, WorkflowAccountForms) {
  struct Case {
    std::vector<std::string> extra;
    bool metadata;         // the identity document is read
    std::string role_arn;  // "" = no AssumeRole
  };
  const std::vector<Case> cases = {
      {{"--workflow_account_role", "workflow-role"}, true, roleArn(account_, "workflow-role")},
      // A second piece alone is ignored: both come from the document.
      {{"--workflow_account_role", "workflow-role,999999999999"},
       true,
       roleArn(account_, "workflow-role")},
      {{"--workflow_account_role", "workflow-role," + account_ + ",us-east-1"},
       false,
       roleArn(account_, "workflow-role")},
      {{"--workflow_account_role", "workflow-role," + account_ + ",us-east-1,x,y"},
       false,
       roleArn(account_, "workflow-role")},
      // Revert mode opens no workflow session and fetches no key.
      {{"--revert", "--workflow_account_role", "workflow-role", "--key_name", "k"}, false, ""},
      {{"--workflow_account_role="}, false, ""},
  };
  for (const Case& c : cases) {
    const std::string shown = nlohmann::json(c.extra).dump();
    sandbox_.clearJournal();
    std::vector<std::string> extra = c.extra;
    extra.push_back("--log_console");
    RunResult r = run(required(extra));
    EXPECT_EQ(r.status, 0) << shown << "\n" << r.err;
    EXPECT_EQ(sandbox_.journal("imds", "GetIdentityDocument").empty(), !c.metadata) << shown;
    const auto assumed = sandbox_.journal("sts", "AssumeRole");
    if (c.role_arn.empty()) {
      EXPECT_TRUE(assumed.empty()) << shown;
      EXPECT_FALSE(contains(r.err, "for SSM access")) << shown;
    } else {
      ASSERT_EQ(assumed.size(), 1u) << shown;
      EXPECT_EQ(assumed[0]["params"]["RoleArn"], c.role_arn);
      EXPECT_EQ(assumed[0]["params"]["RoleSessionName"], "Corvanta_Workflow");
      EXPECT_EQ(assumed[0]["status"], 200);
      EXPECT_TRUE(contains(r.err, "- Use role " + c.role_arn + " for SSM access")) << r.err;
    }
    EXPECT_TRUE(sandbox_.journal("ssm").empty()) << shown;
    // The test account's clients work in every form.
    const auto images = sandbox_.journal("ec2", "DescribeImages");
    EXPECT_EQ(images.size(), c.extra[0] == "--revert" ? 0u : 1u) << shown;
    for (const auto& call : images) EXPECT_EQ(call["status"], 200);
  }
}

TEST_F(DriverE2eTest, KeyNameFetchesNothingWithoutAWorkflowAccount) {
  RunResult r = run(required({"--key_name", "probefleet-workflow-key"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(sandbox_.journal("ssm").empty());
  EXPECT_TRUE(sandbox_.journal("sts", "AssumeRole").empty());
}

TEST_F(DriverE2eTest, IdentityDocumentProblemsEndTheRunWithAClearError) {
  struct Case {
    nlohmann::json imds;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{{"mode", "down"}, {"down_action", "404"}}, "HTTP status 404"},
      {{{"mode", "down"}, {"down_action", "close"}}, "metadata"},
      {{{"identity_body", "not json"}}, "not a JSON object"},
      {{{"identity", {{"accountId", nullptr}}}}, "identity document has no accountId"},
  };
  for (const Case& c : cases) {
    sandbox_.imds({{"reset", true}});
    sandbox_.imds(c.imds);
    sandbox_.clearJournal();
    RunResult r = run(required({"--workflow_account_role", "workflow-role"}));
    EXPECT_EQ(r.status, 1) << c.imds.dump();
    EXPECT_TRUE(contains(r.err, c.expected)) << c.imds.dump() << "\n" << r.err;
    EXPECT_TRUE(contains(r.err, "--workflow_account_role <role>,<number>,<region>")) << r.err;
    EXPECT_TRUE(sandbox_.journal("sts").empty()) << c.imds.dump();
    EXPECT_TRUE(sandbox_.journal("ec2").empty()) << c.imds.dump();
  }
  // The line the workflow engine looks for, at info level.
  sandbox_.imds({{"mode", "down"}, {"down_action", "404"}});
  RunResult r = run(required({"--workflow_account_role", "workflow-role"}));
  EXPECT_TRUE(contains(r.err,
                       "info [corvanta_testlibs]   **Error** failed to deduce workflow account "
                       "number from meta data"))
      << r.err;
}

TEST_F(DriverE2eTest, MetadataTokenFallbackAndTimeLimit) {
  // A service that refuses tokens is read with a plain request.
  sandbox_.imds({{"mode", "v1-only"}});
  RunResult r = run(required({"--workflow_account_role", "workflow-role"}));
  EXPECT_EQ(sandbox_.journal("sts", "AssumeRole").size(), 1u) << r.err;
  const auto documents = sandbox_.journal("imds", "GetIdentityDocument");
  ASSERT_EQ(documents.size(), 1u);
  EXPECT_EQ(documents[0]["status"], 200);

  // A service that does not answer in time ends the run promptly.
  sandbox_.imds({{"reset", true}});
  sandbox_.imds({{"latency_ms", 8000}});
  sandbox_.clearJournal();
  const auto started = std::chrono::steady_clock::now();
  r = run(required({"--workflow_account_role", "workflow-role"}));
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(r.status, 1);
  EXPECT_LT(took, std::chrono::seconds(6)) << r.err;
  EXPECT_TRUE(contains(r.err, "--workflow_account_role <role>,<number>,<region>")) << r.err;
  EXPECT_TRUE(sandbox_.journal("sts").empty());
  // The sandbox journals each delayed request (the token's, the plain
  // read's) only once its 8 s are over, and the run sent them all before it
  // ended: wait those out, so that none lands in the next test's journal.
  std::this_thread::sleep_until(started + took + std::chrono::milliseconds(8500));
  for (int i = 0; i < 50 && sandbox_.journal("imds").empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  sandbox_.imds({{"reset", true}});
  sandbox_.clearJournal();
}

TEST_F(DriverE2eTest, AssumeRoleSessionIsAcceptedBySandbox) {
  const std::string arn = roleArn(account_, "deploy-role");
  RunResult r = run(required({"--assume_role", arn, "--instance_type", "t4g.nano"}));
  const auto assumed = sandbox_.journal("sts", "AssumeRole");
  ASSERT_EQ(assumed.size(), 1u) << r.err;
  EXPECT_EQ(assumed[0]["params"]["RoleArn"], arn);
  EXPECT_EQ(assumed[0]["params"]["RoleSessionName"], "Corvanta_Workflow");
  // The EC2 calls after it were signed with the role's credentials and
  // accepted.
  const auto ec2 = sandbox_.journal("ec2");
  ASSERT_GE(ec2.size(), 2u) << r.err;
  for (const auto& call : ec2) {
    EXPECT_TRUE(call["status"] == 200 || call["error_code"] == "DryRunOperation") << call.dump();
  }
  EXPECT_EQ(r.status, 0) << r.err;

  // A role that does not exist is the service's refusal, reported, exit 1.
  sandbox_.clearJournal();
  r = run(required({"--assume_role", roleArn(account_, "no-such-role")}));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "ServiceError")) << r.err;
  EXPECT_TRUE(contains(r.err, "opening the AWS sessions and clients")) << r.err;
  EXPECT_TRUE(sandbox_.journal("ec2").empty());
}

TEST_F(DriverE2eTest, ProfileSessions) {
  const auto world = sandbox_.world();
  const fs::path credentials = dir_ / "credentials";
  std::ofstream(credentials) << "[tester]\naws_access_key_id = "
                             << world["user"]["access_key_id"].get<std::string>()
                             << "\naws_secret_access_key = "
                             << world["user"]["secret_access_key"].get<std::string>() << "\n";
  env_["AWS_SHARED_CREDENTIALS_FILE"] = credentials.string();
  env_["AWS_ACCESS_KEY_ID"] = std::string(testing_support::kUnsetEnv);
  env_["AWS_SECRET_ACCESS_KEY"] = std::string(testing_support::kUnsetEnv);

  // The profile's keys reach EC2 and STS, and both accept them.
  RunResult r = run(required({"--profile", "tester", "--workflow_account_role", "workflow-role"}));
  EXPECT_EQ(sandbox_.journal("sts", "AssumeRole").size(), 1u) << r.err;
  const auto ec2 = sandbox_.journal("ec2");
  ASSERT_FALSE(ec2.empty()) << r.err;
  // Accepted: answered, or (the account's dry runs before a first create)
  // found allowed.
  for (const auto& call : ec2) {
    EXPECT_TRUE(call["status"] == 200 || call["error_code"] == "DryRunOperation") << call.dump();
  }
  EXPECT_EQ(r.status, 0) << r.err;

  // A profile that does not exist is a clear error before any request.
  for (const std::vector<std::string>& extra : std::vector<std::vector<std::string>>{
           {"--profile", "nosuch"},
           {"--profile", "nosuch", "--revert"},
           {"--profile", "nosuch", "--assume_role", roleArn(account_, "deploy-role")}}) {
    sandbox_.clearJournal();
    r = run(required(extra));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "ConfigError")) << r.err;
    EXPECT_TRUE(contains(r.err, "nosuch")) << r.err;
    EXPECT_TRUE(sandbox_.journal().empty()) << sandbox_.journal().dump(1);
  }
}

TEST_F(DriverE2eTest, ImageLookupEndsTheRunWhenNoImageMatches) {
  RunResult r = run(required({"--image", "no-such-image-*"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "  **Error** Failed to find image no-such-image-*")) << r.err;
  EXPECT_TRUE(sandbox_.journal("ec2", "RunInstances").empty());
}

}  // namespace
