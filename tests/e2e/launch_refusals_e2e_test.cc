// The launches a real account refuses, found by the binary before it makes
// anything: a zone without the type, a full subnet, a policy on instance
// types, a disabled EBS default key, the vCPU quota; capacity at launch
// moves an entry to its next type; settings that only warn.

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/e2e.h"

namespace {

using nlohmann::json;
using testing_support::RunResult;

bool reads(const std::string& action) {
  for (const char* prefix : {"Describe", "Get", "List", "Head"}) {
    if (action.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

class LaunchRefusalsE2eTest : public testing_support::E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    resetWorld();
  }
  void TearDown() override {
    sandbox_.control("DELETE", "guard");
    E2eTest::TearDown();
  }

  RunResult run(const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {
        "--test_config", "tc.json",     "--backup_folder",
        "keys",          "--s3_bucket", world_["bucket"].get<std::string>(),
        "--report",      "report.json", "--log_console"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return runProgram("probefleet", argv);
  }

  // The EC2 and IAM requests that changed (or would have changed) the
  // account: every one but reads and dry runs.
  std::vector<std::string> changes() {
    std::vector<std::string> made;
    for (const auto& request : sandbox_.journal()) {
      const std::string service = request.value("service", "");
      const std::string action = request.value("action", "");
      if ((service != "ec2" && service != "iam") || reads(action)) continue;
      if (request["params"].value("DryRun", "") == "true") continue;
      made.push_back(action);
    }
    return made;
  }

  std::vector<std::string> errorCodes() {
    std::vector<std::string> codes;
    for (const auto& request : sandbox_.journal("ec2")) {
      if (request["error_code"].is_string()) codes.push_back(request["error_code"]);
    }
    return codes;
  }

  // The instance type of each running test instance, by launch subnet.
  std::map<std::string, std::string> launchedTypes() {
    const json found = sandbox_.boto3(
        "ec2 = boto3.client('ec2')\n"
        "out = {}\n"
        "for r in ec2.describe_instances(Filters=[{'Name': 'instance-state-name', 'Values': "
        "['pending', 'running']}])['Reservations']:\n"
        "    for i in r['Instances']:\n"
        "        out[i['SubnetId']] = i['InstanceType']\n"
        "print(json.dumps(out))\n");
    return found.get<std::map<std::string, std::string>>();
  }
};

// Five entries: three where t3.micro is offered, one in a zone without it,
// one whose private subnet is full. Nothing EC2 would refuse is sent.
TEST_F(LaunchRefusalsE2eTest, MixedConfigurationLaunchesWhatEachZoneOffersAndFitsItsSubnets) {
  const json made = sandbox_.boto3(
      "ec2 = boto3.client('ec2')\n"
      "vpc = '" +
      world_["vpc_id"].get<std::string>() +
      "'\n"
      "def subnet(cidr, zone):\n"
      "    return ec2.create_subnet(VpcId=vpc, CidrBlock=cidr, "
      "AvailabilityZone=zone)['Subnet']['SubnetId']\n"
      "print(json.dumps({'gw_d': subnet('10.20.6.0/24', 'us-east-1d'),\n"
      "                  'priv_d': subnet('10.20.106.0/24', 'us-east-1d'),\n"
      "                  'gw_full': subnet('10.20.7.0/24', 'us-east-1a'),\n"
      "                  'priv_full': subnet('10.20.107.0/24', 'us-east-1a')}))\n");
  json config = world_["test_config"];
  const auto entry = [&](const char* gw, const char* priv, const char* cidr, const char* name) {
    json added = config[0];
    added["gw_subnet_id"] = made[gw];
    added["private_subnet_id"] = made[priv];
    added["private_subnet_cidr"] = cidr;
    added["gw_name"] = name;
    return added;
  };
  config.push_back(entry("gw_d", "priv_d", "10.20.106.0/24", "spoke-gw-d"));
  config.push_back(entry("gw_full", "priv_full", "10.20.107.0/24", "spoke-gw-full"));
  std::ofstream(dir_ / "tc.json") << config.dump(2) << "\n";
  sandbox_.control("POST", "guard",
                   {{"offerings", {{"us-east-1d", {{"exclude", {"t3.micro"}}}}}},
                    {"full_subnets", {made["priv_full"]}}});
  sandbox_.clearJournal();

  const RunResult result = run({"--output_test_config", "out.json"});
  EXPECT_EQ(result.status, 1) << result.err;
  const std::string full = made["priv_full"];
  EXPECT_NE(result.err.find("Skip " + made["gw_full"].get<std::string>() + " -- subnet " + full +
                            " has 0 free addresses; this entry needs 1 there"),
            std::string::npos)
      << result.err;
  std::map<std::string, std::string> expected;
  for (int i = 0; i < 3; ++i) expected[config[i]["gw_subnet_id"]] = "t3.micro";
  expected[made["gw_d"]] = "t3a.micro";
  EXPECT_EQ(launchedTypes(), expected);
  for (const std::string& code : errorCodes()) {
    EXPECT_NE(code, "Unsupported");
    EXPECT_NE(code, "InsufficientFreeAddressesInSubnet");
  }
  const json report = json::parse(std::ifstream(dir_ / "report.json"));
  EXPECT_EQ(report["entries"][3]["instance_type"], "t3a.micro");
  EXPECT_EQ(report["entries"][3]["zone"], "us-east-1d");
  EXPECT_EQ(report["entries"][4]["outcome"], "failed");
  EXPECT_NE(report["entries"][4].value("note", "").find(full), std::string::npos);
}

// What the account refuses for the whole run stops it with nothing made,
// naming the zone, type, key, quota or policy.
TEST_F(LaunchRefusalsE2eTest, AccountRefusalsStopTheRunBeforeAnyChange) {
  struct Row {
    const char* name;
    json guard;
    std::vector<std::string> extra;
    std::vector<std::string> named;  // each in the error output
  };
  const std::vector<Row> rows = {
      {"a policy on instance types",
       {{"allowed_instance_types", {"t3.micro", "t3a.micro"}}},
       {"--instance_type", "t2.micro"},
       {"RunInstances t2.micro in subnet-", ": denied: ec2 UnauthorizedOperation",
        "decode-authorization-message"}},
      {"a disabled EBS default key",
       {{"ebs_encryption", {{"key_state", "Disabled"}}}},
       {},
       {"EBS default key: arn:aws:kms:us-east-1:", " is Disabled: every instance would die"}},
      {"a key pending deletion",
       {{"ebs_encryption", {{"key_state", "PendingDeletion"}}}},
       {},
       {" is PendingDeletion"}},
      {"the vCPU quota",
       {{"vcpu_quota", 4}},
       {},
       {"vCPU quota: 6 new vCPUs for the fleet, 0 running in the region, quota 4"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    resetWorld();
    writeTestConfig();
    sandbox_.control("POST", "guard", row.guard);
    sandbox_.clearJournal();
    const RunResult result = run(row.extra);
    EXPECT_EQ(result.status, 1) << result.err;
    for (const std::string& named : row.named) {
      EXPECT_NE(result.err.find(named), std::string::npos) << named << "\n" << result.err;
    }
    EXPECT_EQ(changes(), std::vector<std::string>{}) << result.err;
    sandbox_.control("DELETE", "guard");
  }
}

// A zone that offers none of the types fails its entry alone, before
// anything is launched in it.
TEST_F(LaunchRefusalsE2eTest, ZoneOfferingNoneOfTheTypesFailsOnlyItsEntry) {
  writeTestConfig();
  const std::string subnet = world_["test_config"][0]["gw_subnet_id"];
  sandbox_.control("POST", "guard", {{"offerings", {{"us-east-1a", {{"exclude", {"t2.micro"}}}}}}});
  sandbox_.clearJournal();
  const RunResult result = run({"--instance_type", "t2.micro"});
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_NE(result.err.find("Skip " + subnet +
                            " -- its zone us-east-1a offers none of the instance types t2.micro"),
            std::string::npos)
      << result.err;
  const auto launched = launchedTypes();
  EXPECT_EQ(launched.size(), 2u);
  EXPECT_EQ(launched.count(subnet), 0u);
  for (const std::string& code : errorCodes()) EXPECT_NE(code, "Unsupported");
}

// Capacity running out for the first type moves the entry once to the next,
// without retrying the refused type in place.
TEST_F(LaunchRefusalsE2eTest, CapacityFallsOverToTheNextTypeOnce) {
  writeTestConfig();
  const std::string subnet = world_["test_config"][0]["gw_subnet_id"];
  sandbox_.control("POST", "guard",
                   {{"capacity", {{{"instance_type", "t3.micro"}, {"zone", "us-east-1a"}}}}});
  sandbox_.clearJournal();
  const RunResult result = run({});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.err.find("t3.micro in " + subnet +
                            " refused: InsufficientInstanceCapacity: We currently do not have "
                            "sufficient t3.micro capacity"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(launchedTypes()[subnet], "t3a.micro");
  int refusals = 0;
  for (const std::string& code : errorCodes()) refusals += code == "InsufficientInstanceCapacity";
  EXPECT_EQ(refusals, 1);
  const json report = json::parse(std::ifstream(dir_ / "report.json"));
  EXPECT_EQ(report["entries"][0]["instance_type"], "t3a.micro");
  EXPECT_NE(report["entries"][0].value("note", "").find("fell over from t3.micro to t3a.micro"),
            std::string::npos);

  // With one type, the refusal fails the entry at once.
  resetWorld();
  writeTestConfig();
  sandbox_.control("POST", "guard",
                   {{"capacity", {{{"instance_type", "t3.micro"}, {"zone", "us-east-1a"}}}}});
  sandbox_.clearJournal();
  const RunResult alone = run({"--instance_type", "t3.micro"});
  EXPECT_EQ(alone.status, 1) << alone.err;
  refusals = 0;
  for (const std::string& code : errorCodes()) refusals += code == "InsufficientInstanceCapacity";
  EXPECT_EQ(refusals, 1);
}

// Settings that make launches useless without refusing them are warnings,
// shown in the plan and the report.
TEST_F(LaunchRefusalsE2eTest, AccountSettingsAreWarningsInThePlanAndTheReport) {
  writeTestConfig();
  sandbox_.control(
      "POST", "guard",
      {{"allowed_images",
        {{"state", "audit-mode"},
         {"criteria", {{{"providers", {"amazon"}}, {"names", {"nothing-like-it-*"}}}}}}},
       {"block_public_access", {{"mode", "block-ingress"}}}});
  const RunResult result =
      runProgram("probefleet", {"--test_config", "tc.json", "--backup_folder", "keys",
                                "--s3_bucket", world_["bucket"].get<std::string>(), "--run_tag",
                                "t1", "--dry_run", "--report", "report.json"});
  EXPECT_EQ(result.status, 0) << result.err;
  for (const char* named :
       {"not among the account's Allowed AMIs (audit mode)",
        "block-ingress blocks ingress to 3 launch subnets",
        "no default route to an internet, NAT or transit gateway and no S3 gateway endpoint"}) {
    EXPECT_NE(result.err.find(named), std::string::npos) << named << "\n" << result.err;
  }
  const json report = json::parse(std::ifstream(dir_ / "report.json"));
  int warnings = 0;
  for (const json& finding : report["preflight"]) warnings += finding["level"] == "warning";
  EXPECT_EQ(warnings, 3) << report["preflight"].dump(1);
}

}  // namespace
