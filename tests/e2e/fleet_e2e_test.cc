// The probefleet binary against the sandbox's realistic AWS profile: an
// interrupted deployment winds down and a rerun and a revert converge; a
// configuration that would race two workers on one subnet is refused
// before any request; the instance role is scoped to the run's bucket and
// a revert reports what IAM keeps.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "probefleet/deploy/instance_create.h"
#include "support/e2e.h"
#include "support/files.h"
#include "support/sandbox.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing_support::RunResult;
using testing_support::Sandbox;

constexpr double kTimeScale = 0.05;

std::string base64Decoded(const std::string& text) {
  std::string bytes(text.size(), '\0');
  const int size = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                   reinterpret_cast<const unsigned char*>(text.data()),
                                   static_cast<int>(text.size()));
  // EVP_DecodeBlock counts a zero byte for each padding '='.
  const std::size_t padding = text.size() - text.find_last_not_of('=') - 1;
  bytes.resize(size < 0 ? 0 : static_cast<std::size_t>(size) - padding);
  return bytes;
}

std::string filled(std::string text, const std::string& placeholder, const std::string& value) {
  for (std::size_t at = text.find(placeholder); at != std::string::npos;
       at = text.find(placeholder, at + value.size())) {
    text.replace(at, placeholder.size(), value);
  }
  return text;
}

class FleetE2eTest : public testing_support::E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    useFleetWorld(std::to_string(kTimeScale));
  }
  void TearDown() override {
    sandbox_.control("DELETE", "profile");
    E2eTest::TearDown();
  }

  RunResult run(const std::vector<std::string>& extra,
                const std::function<void(pid_t)>& meanwhile = nullptr) {
    return runFleet(extra, meanwhile);
  }

  int successes(const std::string& action) {
    int count = 0;
    for (const auto& entry : sandbox_.journal("ec2", action)) count += entry["status"] == 200;
    return count;
  }
};

TEST_F(FleetE2eTest, InterruptedDeploymentWindsDownAndRerunAndRevertConverge) {
  sandbox_.control("POST", "profile", {{"name", "aws"}, {"time_scale", kTimeScale}});
  sandbox_.setFaults({{"error_rate", 0.02}, {"drop_rate", 0.02}, {"seed", 11}});
  const std::size_t entries = world_["test_config"].size();

  // SIGTERM once the first instance is launched, while its status checks run.
  std::chrono::steady_clock::duration stopping{};
  const RunResult stopped = run({"--output_test_config", "out.json"}, [&](pid_t pid) {
    for (int i = 0; i < 600 && successes("RunInstances") == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const auto sent = std::chrono::steady_clock::now();
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 600 && ::kill(pid, 0) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stopping = std::chrono::steady_clock::now() - sent;
  });
  EXPECT_EQ(stopped.status, 1) << stopped.err;
  EXPECT_NE(stopped.err.find("SIGTERM"), std::string::npos) << stopped.err;
  EXPECT_LT(stopping, std::chrono::seconds(10));
  // What it had is written down, and its log went up.
  const json partial = json::parse(testing_support::readFile(dir_ / "out.json"));
  EXPECT_EQ(partial.size(), entries);
  bool log_uploaded = false;
  for (const auto& put : sandbox_.journal("s3", "PutObject")) {
    log_uploaded |=
        put["params"].value("Key", "") == "keys/log/corvanta_testlibs.log" && put["status"] == 200;
  }
  EXPECT_TRUE(log_uploaded);
  const std::string log = testing_support::readFile(dir_ / "keys/log/corvanta_testlibs.log");
  EXPECT_NE(log.find("run interrupted by SIGTERM"), std::string::npos);

  const RunResult rerun = run({"--output_test_config", "out.json"});
  ASSERT_EQ(rerun.status, 0) << rerun.err;
  for (const auto& entry : json::parse(testing_support::readFile(dir_ / "out.json"))) {
    EXPECT_TRUE(entry.contains("ec2_ip") && entry.contains("ec2_2nd_private_ip")) << entry;
  }
  const RunResult revert = run({"--revert"});
  ASSERT_EQ(revert.status, 0) << revert.err;

  const json inventory = sandbox_.control("GET", "inventory");
  std::map<std::string, int> launched;
  for (const auto& item : inventory["instance_ids_launched"]) ++launched[item["subnet_id"]];
  EXPECT_EQ(launched.size(), entries);
  for (const auto& [subnet, count] : launched) EXPECT_EQ(count, 1) << subnet;
  EXPECT_TRUE(inventory["instances"].empty()) << inventory["instances"];
  EXPECT_TRUE(inventory["network_interfaces"].empty()) << inventory["network_interfaces"];
  EXPECT_TRUE(inventory["security_groups"].empty()) << inventory["security_groups"];
  EXPECT_TRUE(inventory["key_pairs"].empty()) << inventory["key_pairs"];
}

TEST_F(FleetE2eTest, InterruptedRevertIsFinishedByTheNextOne) {
  const RunResult deployed = run({"--output_test_config", "out.json", "--eip"});
  ASSERT_EQ(deployed.status, 0) << deployed.err;
  // Terminations now take their time: SIGINT while the instances shut down.
  sandbox_.control("POST", "profile", {{"name", "aws"}, {"time_scale", kTimeScale}});
  const RunResult stopped = run({"--revert", "--eip"}, [&](pid_t pid) {
    for (int i = 0; i < 600 && successes("TerminateInstances") == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(pid, SIGINT);
  });
  EXPECT_EQ(stopped.status, 1) << stopped.err;
  EXPECT_NE(stopped.err.find("teardown interrupted"), std::string::npos) << stopped.err;
  EXPECT_FALSE(sandbox_.control("GET", "inventory")["security_groups"].empty());

  const RunResult again = run({"--revert", "--eip"});
  ASSERT_EQ(again.status, 0) << again.err;
  const json inventory = sandbox_.control("GET", "inventory");
  for (const char* kind :
       {"instances", "network_interfaces", "addresses", "security_groups", "key_pairs"}) {
    EXPECT_TRUE(inventory[kind].empty()) << kind << ": " << inventory[kind];
  }
}

TEST_F(FleetE2eTest, TwoWorkersOnOneSubnetAreRefusedBeforeAnyRequest) {
  json config = world_["test_config"];
  json twin = config[0];
  twin["nat_gw_id"] = "nat-twin";
  config.push_back(twin);
  json skipped = config[1];
  skipped["private_subnet_id"] = "";  // no worker: may share its subnet
  config.push_back(skipped);
  std::ofstream(dir_ / "tc.json") << config.dump(2) << "\n";
  sandbox_.clearJournal();

  for (const bool revert : {false, true}) {
    const RunResult result = run(revert ? std::vector<std::string>{"--revert"}
                                        : std::vector<std::string>{"--output_test_config", "o"});
    EXPECT_EQ(result.status, 1);
    const std::string expected = "entry 1 (nat_gw_id " + config[0]["nat_gw_id"].get<std::string>() +
                                 ") and entry " + std::to_string(config.size() - 1) +
                                 " (nat_gw_id nat-twin) both launch in gw_subnet_id " +
                                 config[0]["gw_subnet_id"].get<std::string>();
    EXPECT_NE(result.err.find(expected), std::string::npos) << result.err;
  }
  EXPECT_TRUE(sandbox_.journal().empty());
}

}  // namespace

// The run tag puts each entry's test script in its instance's user data; the
// console's plan, summary and the JSON report tell what the sandbox shows.
TEST_F(FleetE2eTest, RunTagConsoleAndReportTellWhatTheSandboxHas) {
  const json config = world_["test_config"];
  const std::string bucket = world_["bucket"];
  const RunResult plan = run({"--dry_run", "--run_tag", "r7", "--report", "plan.json"});
  ASSERT_EQ(plan.status, 0) << plan.err;
  EXPECT_NE(plan.err.find("Plan (dry run, deploy): " + std::to_string(config.size() + 3) +
                          " to create, 0 to reuse, 0 to delete"),
            std::string::npos)
      << plan.err;
  const json planned = json::parse(testing_support::readFile(dir_ / "plan.json"));
  EXPECT_TRUE(planned["dry_run"]);
  for (const auto& entry : planned["entries"]) EXPECT_EQ(entry["outcome"], "would create");
  for (const char* action : {"RunInstances", "CreateSecurityGroup", "CreateKeyPair"}) {
    EXPECT_TRUE(sandbox_.changes("ec2", action).empty()) << action;
  }

  const RunResult deployed =
      run({"--run_tag", "r7", "--report", "deploy.json", "--output_test_config", "out.json"});
  ASSERT_EQ(deployed.status, 0) << deployed.err;
  std::map<std::string, std::string> user_data;  // by launch subnet
  for (const auto& launch : sandbox_.journal("ec2", "RunInstances")) {
    user_data[launch["params"].value("NetworkInterface.1.SubnetId", "")] =
        base64Decoded(launch["params"].value("UserData", ""));
  }
  std::map<std::string, std::string> instance_of;
  const json launched = sandbox_.control("GET", "inventory")["instance_ids_launched"];
  for (const auto& item : launched) {
    instance_of[item["subnet_id"]] = item["instance_id"];
  }
  const json out = json::parse(testing_support::readFile(dir_ / "out.json"));
  const json report = json::parse(testing_support::readFile(dir_ / "deploy.json"));
  ASSERT_EQ(report["entries"].size(), config.size());
  for (std::size_t i = 0; i < config.size(); ++i) {
    const std::string subnet = config[i]["gw_subnet_id"];
    std::string script(probefleet::user_data_tmp);
    script = filled(script, "{{spoke_gw_ip}}", config[i]["gw_private_ip"]);
    script = filled(script, "{{s3_bucket}}", bucket);
    script = filled(script, "{{tag}}", config[i]["gw_name"].get<std::string>() + "-r7");
    EXPECT_EQ(user_data[subnet], script) << subnet;
    const json& line = report["entries"][i];
    EXPECT_EQ(line["gw_subnet_id"], subnet);
    EXPECT_EQ(line["instance_id"], instance_of[subnet]);
    EXPECT_EQ(line["ec2_ip"], out[i]["ec2_ip"]);
    EXPECT_EQ(line["ec2_2nd_private_ip"], out[i]["ec2_2nd_private_ip"]);
    EXPECT_EQ(line["outcome"], "created");
    // The summary's row: subnet, instance, both addresses, outcome.
    const std::string row = "  " + subnet + "  " + instance_of[subnet] + "  ";
    const auto at = deployed.err.find(row);
    ASSERT_NE(at, std::string::npos) << deployed.err;
    const std::string shown = deployed.err.substr(at, deployed.err.find('\n', at) - at);
    for (const std::string& value :
         {out[i]["ec2_ip"].get<std::string>(), out[i]["ec2_2nd_private_ip"].get<std::string>(),
          std::string("created")}) {
      EXPECT_NE(shown.find(value), std::string::npos) << shown;
    }
  }
  EXPECT_EQ(report["exit_status"], 0);

  const RunResult reverted = run({"--revert", "--report", "revert.json"});
  ASSERT_EQ(reverted.status, 0) << reverted.err;
  const json torn = json::parse(testing_support::readFile(dir_ / "revert.json"));
  std::map<std::string, int> deleted;
  for (const auto& line : torn["resources"]) {
    EXPECT_EQ(line["action"], "deleted") << line;
    ++deleted[line["kind"]];
  }
  EXPECT_EQ(deleted["instance"], static_cast<int>(config.size()));
  EXPECT_EQ(deleted["network interface"], static_cast<int>(config.size()));
  EXPECT_EQ(deleted["security group"], 2);
  EXPECT_EQ(deleted["key pair"], 1);
  EXPECT_NE(reverted.err.find("Revert done in "), std::string::npos) << reverted.err;
  EXPECT_TRUE(sandbox_.control("GET", "inventory")["instances"].empty());
}

// An account guarded as organisations guard theirs: IMDSv2 and an Owner tag
// required at creation, no CreateTags, an Elastic IP quota. Beside the
// world's three good entries, one whose private subnet lies in another zone
// and one whose launch dies.
TEST_F(FleetE2eTest, GuardedAccountDeploysWhatItCanAndRevertsEverything) {
  const json made = sandbox_.boto3(
      "ec2 = boto3.client('ec2')\n"
      "vpc = '" +
      world_["vpc_id"].get<std::string>() +
      "'\n"
      "def subnet(cidr, zone):\n"
      "    return ec2.create_subnet(VpcId=vpc, CidrBlock=cidr, "
      "AvailabilityZone=zone)['Subnet']['SubnetId']\n"
      "print(json.dumps({'far': subnet('10.20.4.0/24', 'us-east-1a'),\n"
      "                  'dying': subnet('10.20.5.0/24', 'us-east-1c')}))\n");
  json config = world_["test_config"];
  json far = config[1];  // private-b, in us-east-1b
  far["gw_subnet_id"] = made["far"];
  far["gw_name"] = "spoke-gw-far";
  json dying = config[2];  // private-c, like its launch subnet
  dying["gw_subnet_id"] = made["dying"];
  dying["gw_name"] = "spoke-gw-dying";
  config.push_back(far);
  config.push_back(dying);
  std::ofstream(dir_ / "tc.json") << config.dump(2) << "\n";
  sandbox_.control(
      "POST", "guard",
      {{"all", true}, {"dying_launches", {{{"subnet", made["dying"]}, {"after_s", 2}}}}});

  const auto started = std::chrono::steady_clock::now();
  const RunResult deployed =
      run({"--tag_resource", "Owner,qa", "--output_test_config", "out.json", "--log_console"});
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(deployed.status, 1) << deployed.err;
  EXPECT_LT(took, std::chrono::seconds(60));
  EXPECT_EQ(sandbox_.control("GET", "guard")["denied"], 0) << deployed.err;
  EXPECT_NE(deployed.err.find("private subnet " + far["private_subnet_id"].get<std::string>() +
                              " is in us-east-1b, the launch subnet in us-east-1a"),
            std::string::npos)
      << deployed.err;
  EXPECT_NE(
      deployed.err.find("is terminated instead of starting: Client.InvalidKMSKey.InvalidState"),
      std::string::npos)
      << deployed.err;

  const json out = json::parse(testing_support::readFile(dir_ / "out.json"));
  ASSERT_EQ(out.size(), 5u);
  for (std::size_t i = 0; i < out.size(); ++i) {
    SCOPED_TRACE(out[i]["gw_name"]);
    EXPECT_EQ(out[i].contains("ec2_2nd_private_ip"), i < 3) << out[i];
  }
  for (const auto& launch : sandbox_.journal("ec2", "RunInstances")) {
    EXPECT_NE(launch["params"].value("NetworkInterface.1.SubnetId", ""), made["far"]);
  }
  // What the account holds: IMDSv2 and the Owner tag on every instance, its
  // volumes and both its interfaces.
  const json seen = sandbox_.boto3(
      "ec2 = boto3.client('ec2')\n"
      "owner = lambda r: {t['Key']: t['Value'] for t in r.get('Tags', r.get('TagSet', "
      "[]))}.get('Owner')\n"
      "rows = []\n"
      "for r in ec2.describe_instances(Filters=[{'Name': 'instance-state-name', 'Values': "
      "['running']}])['Reservations']:\n"
      "    for i in r['Instances']:\n"
      "        vols = [b['Ebs']['VolumeId'] for b in i.get('BlockDeviceMappings', [])]\n"
      "        vol_owners = [owner(v) for v in ec2.describe_volumes(VolumeIds=vols)['Volumes']] if "
      "vols else []\n"
      "        nics = ec2.describe_network_interfaces(Filters=[{'Name': 'attachment.instance-id', "
      "'Values': [i['InstanceId']]}])['NetworkInterfaces']\n"
      "        rows.append({'tokens': i['MetadataOptions']['HttpTokens'], 'owner': owner(i),\n"
      "                     'volumes': vol_owners, 'interfaces': [owner(n) for n in nics]})\n"
      "print(json.dumps(rows))\n");
  ASSERT_EQ(seen.size(), 3u) << seen;
  for (const auto& instance : seen) {
    EXPECT_EQ(instance["tokens"], "required");
    EXPECT_EQ(instance["owner"], "qa");
    EXPECT_FALSE(instance["volumes"].empty());
    for (const auto& owner : instance["volumes"]) EXPECT_EQ(owner, "qa") << instance;
    EXPECT_EQ(instance["interfaces"], json::array({"qa", "qa"})) << instance;
  }

  const RunResult reverted = run({"--revert", "--tag_resource", "Owner,qa"});
  EXPECT_EQ(reverted.status, 0) << reverted.err;
  json inventory = sandbox_.control("GET", "inventory");
  for (const char* kind : {"network_interfaces", "addresses", "security_groups", "key_pairs"}) {
    EXPECT_TRUE(inventory[kind].empty()) << kind << ": " << inventory[kind];
  }
  EXPECT_TRUE(inventory["instances"].empty()) << inventory["instances"];

  // Past the Elastic IP quota: refused before any launch, and nothing left.
  std::ofstream(dir_ / "tc.json") << world_["test_config"].dump(2) << "\n";
  sandbox_.control("POST", "guard", {{"eip_quota", 2}});
  sandbox_.clearJournal();
  const RunResult crowded = run({"--tag_resource", "Owner,qa", "--eip", "--log_console"});
  EXPECT_EQ(crowded.status, 1) << crowded.err;
  EXPECT_NE(crowded.err.find("3 new Elastic IPs needed, 0 of the region's 2 in use"),
            std::string::npos)
      << crowded.err;
  EXPECT_TRUE(sandbox_.journal("ec2", "RunInstances").empty());
  EXPECT_EQ(run({"--revert", "--eip"}).status, 0);
  inventory = sandbox_.control("GET", "inventory");
  for (const char* kind : {"network_interfaces", "addresses", "security_groups", "key_pairs"}) {
    EXPECT_TRUE(inventory[kind].empty()) << kind << ": " << inventory[kind];
  }
  sandbox_.control("DELETE", "guard");
}

// Tags EC2 or IAM would refuse never reach AWS: the run stops before its
// first request, naming the pair.
TEST_F(FleetE2eTest, TagsAwsWouldRefuseStopTheRunBeforeAnyRequest) {
  std::string many;
  for (int i = 0; i < 50; ++i) many += (i ? ",k" : "k") + std::to_string(i) + ",v";
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"Owner,qa,Name,custom", "\"Name,custom\""},
      {"aws:cost,x", "\"aws:cost,x\""},
      {std::string(129, 'k') + ",v", "longer than 128"},
      {"k," + std::string(257, 'v'), "longer than 256"},
      {many, "50 tag pairs given"},
      {"Owner,a,Owner,b", "\"Owner,b\""},
  };
  for (const auto& [tags, named] : rows) {
    SCOPED_TRACE(tags.substr(0, 40));
    sandbox_.clearJournal();
    const RunResult result = run({"--tag_resource", tags, "--log_console"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(named), std::string::npos) << result.err;
    EXPECT_TRUE(sandbox_.journal().empty()) << sandbox_.journal();
  }
}

// The instance role through the binary: its policy allows the run's bucket
// only; a revert that IAM refuses part of exits 1 and names what is left,
// and the next revert finishes it.
TEST_F(FleetE2eTest, InstanceRoleAllowsTheRunsBucketAndTheRevertRemovesIt) {
  const std::string bucket = world_["bucket"];
  const RunResult deployed = run({"--ec2_role", "default", "--output_test_config", "out.json"});
  ASSERT_EQ(deployed.status, 0) << deployed.err;
  const json created = sandbox_.journal("iam", "CreatePolicy");
  ASSERT_EQ(created.size(), 1u);
  const std::string document = created[0]["params"]["PolicyDocument"];
  EXPECT_NE(document.find("\"arn:aws:s3:::" + bucket + "/*\""), std::string::npos) << document;
  EXPECT_EQ(document.find("s3:::*"), std::string::npos) << document;
  for (const auto& launch : sandbox_.changes("ec2", "RunInstances")) {
    EXPECT_EQ(launch["params"].value("IamInstanceProfile.Name", ""),
              "corvanta-test-ec2-instance-profile");
  }

  sandbox_.setFaults({{"rules",
                       {{{"service", "iam"},
                         {"action", "DeletePolicy"},
                         {"status", 403},
                         {"code", "AccessDenied"},
                         {"message", "denied by the test"},
                         {"count", 1}}}}});
  const RunResult refused = run({"--revert", "--ec2_role", "default", "--report", "revert.json"});
  EXPECT_EQ(refused.status, 1) << refused.err;
  const json report = json::parse(testing_support::readFile(dir_ / "revert.json"));
  std::vector<std::string> left;
  for (const auto& line : report["resources"]) {
    if (line["action"] == "left") left.push_back(line["kind"]);
  }
  EXPECT_EQ(left, std::vector<std::string>{"iam policy"}) << refused.err;

  const RunResult again = run({"--revert", "--ec2_role", "default"});
  EXPECT_EQ(again.status, 0) << again.err;
  const json deletions = sandbox_.journal("iam", "DeletePolicy");
  ASSERT_EQ(deletions.size(), 2u);
  EXPECT_EQ(deletions[1]["status"], 200);
  sandbox_.clearFaults();
}

// GovCloud, where IAM refuses ARNs of the commercial partition: a deployment
// with the instance role and its revert, through the binary.
TEST(PartitionE2eTest, GovCloudDeploysAndRevertsWithItsOwnArns) {
  const std::string bin = testing_support::programPath("probefleet");
  Sandbox gov(true, "world-gov.json");
  const auto world = gov.world();
  ASSERT_EQ(world["partition"], "aws-us-gov");
  const testing_support::ScratchDir scratch("partition-e2e");
  const fs::path dir = scratch.path();
  testing_support::writeFile(dir / "tc.json", world["test_config"].dump(2) + "\n");
  const std::string bucket = world["bucket"];
  const std::vector<std::string> common = {"--test_config", "tc.json",     "--backup_folder",
                                           "keys",          "--s3_bucket", bucket,
                                           "--ec2_role",    "default"};
  auto env = gov.awsEnv();
  env["PROBEFLEET_TIME_SCALE"] = std::to_string(kTimeScale);

  std::vector<std::string> deploy = common;
  deploy.insert(deploy.end(), {"--output_test_config", "out.json"});
  const RunResult deployed = testing_support::runIn(dir, bin, deploy, env);
  EXPECT_EQ(deployed.status, 0) << deployed.err;
  for (const auto& entry : json::parse(testing_support::readFile(dir / "out.json"))) {
    EXPECT_TRUE(entry.contains("ec2_2nd_private_ip")) << entry;
  }
  const json policy = gov.boto3(
      "iam = boto3.client('iam')\n"
      "p = [p for p in iam.list_policies(Scope='Local')['Policies'] if p['PolicyName'] == "
      "'corvanta-test-ec2-policy'][0]\n"
      "v = iam.get_policy_version(PolicyArn=p['Arn'], VersionId=p['DefaultVersionId'])\n"
      "print(json.dumps({'arn': p['Arn'], 'document': v['PolicyVersion']['Document']}))\n");
  EXPECT_EQ(policy["arn"].get<std::string>().rfind("arn:aws-us-gov:iam::", 0), 0u) << policy;
  EXPECT_NE(policy["document"].dump().find("arn:aws-us-gov:s3:::" + bucket), std::string::npos)
      << policy;

  std::vector<std::string> revert = common;
  revert.push_back("--revert");
  const RunResult reverted = testing_support::runIn(dir, bin, revert, env);
  EXPECT_EQ(reverted.status, 0) << reverted.err;
  const json inventory = gov.control("GET", "inventory");
  for (const char* kind : {"network_interfaces", "security_groups", "key_pairs"}) {
    EXPECT_TRUE(inventory[kind].empty()) << kind << ": " << inventory[kind];
  }
  EXPECT_TRUE(inventory["instances"].empty()) << inventory["instances"];
  EXPECT_EQ(inventory["iam"]["roles"], json::array()) << inventory["iam"];
  EXPECT_EQ(inventory["iam"]["instance_profiles"], json::array()) << inventory["iam"];
}

// Problems a deployment can see with read-only requests stop it before its
// first change, all of them named at once.
TEST_F(FleetE2eTest, PreflightNamesEveryProblemBeforeAnyChange) {
  const json other = sandbox_.boto3(
      "ec2 = boto3.client('ec2')\n"
      "vpc = ec2.create_vpc(CidrBlock='10.99.0.0/16')['Vpc']['VpcId']\n"
      "s = ec2.create_subnet(VpcId=vpc, CidrBlock='10.99.1.0/24', AvailabilityZone='us-east-1a')\n"
      "print(json.dumps({'vpc': vpc, 'subnet': s['Subnet']['SubnetId']}))\n");
  const json good = world_["test_config"];
  const auto config = [&](const std::string& key, const std::string& value) {
    json changed = good;
    changed[0][key] = value;
    return changed;
  };
  const json expired = {{"rules",
                         {{{"service", "sts"},
                           {"action", "GetCallerIdentity"},
                           {"status", 400},
                           {"code", "ExpiredToken"},
                           {"message", "The security token included in the request is expired"}}}}};
  struct Row {
    const char* name;
    json test_config;
    std::vector<std::string> extra;
    json faults;                     // null: none
    std::vector<std::string> named;  // each in the error output
  };
  const std::vector<Row> rows = {
      {"missing bucket",
       good,
       {"--s3_bucket", "no-such-bucket"},
       nullptr,
       {"bucket no-such-bucket: it does not exist"}},
      {"unknown subnet",
       config("private_subnet_id", "subnet-0000000000000dead"),
       {},
       nullptr,
       {"subnet subnet-0000000000000dead: EC2 does not know it"}},
      {"two VPCs",
       config("gw_subnet_id", other["subnet"]),
       {},
       nullptr,
       {"the subnets lie in 2 VPCs", other["vpc"].get<std::string>()}},
      {"no image", good, {"--image", "al2023-ami-1999*"}, nullptr, {"image al2023-ami-1999*"}},
      {"unknown role",
       good,
       {"--ec2_role", "no-such-role"},
       nullptr,
       {"role no-such-role: IAM has no such role"}},
      {"expired credentials", good, {}, expired, {"credentials: ExpiredToken"}},
      {"several at once",
       config("private_subnet_id", "subnet-0000000000000dead"),
       {"--s3_bucket", "no-such-bucket", "--ec2_role", "no-such-role"},
       nullptr,
       {"subnet subnet-0000000000000dead", "bucket no-such-bucket", "role no-such-role",
        "3 problems found before any change"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::ofstream(dir_ / "tc.json") << row.test_config.dump(2) << "\n";
    sandbox_.clearJournal();
    sandbox_.clearFaults();
    if (!row.faults.is_null()) sandbox_.setFaults(row.faults);
    std::vector<std::string> argv = {"--log_console"};
    argv.insert(argv.end(), row.extra.begin(), row.extra.end());
    const RunResult result = run(argv);
    EXPECT_EQ(result.status, 1) << result.err;
    for (const std::string& named : row.named) {
      EXPECT_NE(result.err.find(named), std::string::npos) << named << "\n" << result.err;
    }
    for (const auto& request : sandbox_.journal()) {
      const std::string action = request.value("action", "");
      const bool reads = action.rfind("Describe", 0) == 0 || action.rfind("Get", 0) == 0 ||
                         action.rfind("List", 0) == 0 || action.rfind("Head", 0) == 0;
      EXPECT_TRUE(reads) << action << " was sent";
    }
  }
  sandbox_.clearFaults();
}

// With nothing answering, the console says what the run waits on, once,
// while the request retries, and the run fails after its attempts.
TEST_F(FleetE2eTest, UnreachableNetworkIsShownWhileTheRequestRetries) {
  env_["AWS_ENDPOINT_URL"] = "http://127.0.0.1:1";
  env_["AWS_MAX_ATTEMPTS"] = "8";
  sandbox_.clearJournal();
  const RunResult result = run({});
  EXPECT_EQ(result.status, 1) << result.err;
  const std::string told = "**Alert** retrying GetCallerIdentity at 127.0.0.1:1: ";
  const auto first = result.err.find(told);
  ASSERT_NE(first, std::string::npos) << result.err;
  EXPECT_EQ(result.err.find(told, first + 1), std::string::npos) << "told twice\n" << result.err;
  EXPECT_NE(result.err.find(" of 8)", first), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("credentials: TransportError (no answer)"), std::string::npos)
      << result.err;
  // Every attempt is in the log file.
  const std::string log = testing_support::readFile(dir_ / "keys/log/corvanta_testlibs.log");
  std::size_t retries = 0;
  for (auto at = log.find("  retry GetCallerIdentity"); at != std::string::npos;
       at = log.find("  retry GetCallerIdentity", at + 1)) {
    ++retries;
  }
  EXPECT_EQ(retries, 7u);
}

// A rerun from another address adds its own SSH rule to the reused group
// (a dry run only says so) and keeps the first runner's.
TEST_F(FleetE2eTest, RerunFromAnotherAddressAddsItsSshRule) {
  sandbox_.echo("198.51.100.7");
  ASSERT_EQ(run({}).status, 0);
  sandbox_.echo("203.0.113.9");
  const std::string line = "- Add SSH rule from 203.0.113.9/32 to SG corvanta-test-ec2-sg sg-";
  auto added = [&] {
    json cidrs = json::array();
    for (const auto& entry : sandbox_.changes("ec2", "AuthorizeSecurityGroupIngress"))
      cidrs.push_back(entry["params"].value("IpPermissions.1.IpRanges.1.CidrIp", ""));
    return cidrs;
  };

  for (const bool dry_run : {true, false}) {
    SCOPED_TRACE(dry_run);
    sandbox_.clearJournal();
    std::vector<std::string> extra = {"--log_console", "--report", "rerun.json"};
    if (dry_run) extra.push_back("--dry_run");
    const RunResult rerun = run(extra);
    ASSERT_EQ(rerun.status, 0) << rerun.err;
    EXPECT_NE(rerun.err.find(line), std::string::npos) << rerun.err;
    EXPECT_EQ(added(), dry_run ? json::array() : json::array({"203.0.113.9/32"}));
    const json report = json::parse(testing_support::readFile(dir_ / "rerun.json"));
    int rules = 0;
    for (const auto& resource : report["resources"]) {
      if (resource["kind"] == "security group rule") {
        ++rules;
        EXPECT_EQ(resource["action"], dry_run ? "would create" : "created");
        EXPECT_EQ(resource["detail"], "SSH from 203.0.113.9/32");
      }
    }
    EXPECT_EQ(rules, 1);
    EXPECT_TRUE(sandbox_.changes("ec2", "RunInstances").empty());
  }

  // Both runners' rules stand; a third rerun from the same address adds none.
  const json group = sandbox_.boto3(
      "ec2 = boto3.client('ec2')\n"
      "g = ec2.describe_security_groups(Filters=[{'Name': 'group-name', 'Values': "
      "['corvanta-test-ec2-sg']}])['SecurityGroups'][0]\n"
      "print(json.dumps(sorted(r['CidrIp'] for p in g['IpPermissions'] for r in p['IpRanges'])))");
  EXPECT_EQ(group, json::array({"198.51.100.7/32", "203.0.113.9/32"}));
  // Each rule was tagged as it was made.
  const json rule_tags = sandbox_.boto3(
      "ec2 = boto3.client('ec2')\n"
      "rules = ec2.describe_security_group_rules()['SecurityGroupRules']\n"
      "print(json.dumps(sorted([r['CidrIpv4'], {t['Key']: t['Value'] for t in r.get('Tags', [])}]"
      " for r in rules if r.get('CidrIpv4', '').endswith('/32'))))");
  EXPECT_EQ(rule_tags, json::parse(R"([["198.51.100.7/32", {"Name": "corvanta-test-ec2-sg"}],
                                       ["203.0.113.9/32", {"Name": "corvanta-test-ec2-sg"}]])"));
  sandbox_.clearJournal();
  ASSERT_EQ(run({}).status, 0);
  EXPECT_TRUE(sandbox_.changes("ec2", "AuthorizeSecurityGroupIngress").empty());
}
