// probefleet-sweep and --max_lifetime as a pipeline uses them: a deployment
// whose test configuration is lost is found by its tags and removed, while
// what does not carry them stays; instances that end themselves say when.

#include <signal.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "aws/services/ec2.h"
#include "aws/services/s3.h"
#include "probefleet/core/lifetime.h"
#include "probefleet/guard/vpc_lock.h"
#include "support/e2e.h"

namespace {

using nlohmann::json;
using testing_support::RunResult;
using testing_support::Sandbox;

// Everything of ours the sandbox holds, by id (IAM: by name), from its own
// view of its state.
std::set<std::string> oursIn(const json& inventory, const std::set<std::string>& foreign) {
  std::set<std::string> ids;
  const auto add = [&](const std::string& id) {
    if (foreign.count(id) == 0) ids.insert(id);
  };
  for (const auto& i : inventory["instance_list"]) add(i["id"]);
  for (const auto& i : inventory["network_interfaces"]) add(i["id"]);
  for (const auto& a : inventory["addresses"]) add(a["allocation_id"]);
  for (const auto& g : inventory["security_groups"]) add(g["group_id"]);
  for (const auto& k : inventory["key_pairs"]) add(k);
  for (const char* kind : {"roles", "instance_profiles"}) {
    for (const auto& name : inventory["iam"][kind]) add(name);
  }
  return ids;
}

class SweepE2eTest : public ::testing::Test {
 protected:
  // Twenty entries need a world of their own.
  static Sandbox& fleet() {
    static Sandbox sandbox(true, "world-fleet20.json");
    return sandbox;
  }
  void SetUp() override {
    world_ = fleet().reset();
    env_ = fleet().awsEnv();
    env_["PROBEFLEET_TIME_SCALE"] = testing_support::kE2eTimeScale;
  }
  RunResult run(const std::string& program, const std::vector<std::string>& args) {
    return testing_support::runIn(dir_, testing_support::programPath(program), args, env_);
  }
  json sweep(std::vector<std::string> args) {
    args.push_back("--json");
    const RunResult result = run("probefleet-sweep", args);
    EXPECT_EQ(result.status, 0) << result.err;
    return json::parse(result.out);
  }
  static std::set<std::string> idsOf(const json& listing) {
    std::set<std::string> ids;
    for (const auto& item : listing["resources"]) {
      ids.insert(item["kind"].get<std::string>().starts_with("iam-") ? item["name"] : item["id"]);
    }
    return ids;
  }

  testing_support::ScratchDir scratch_{"probefleet-sweep"};
  std::filesystem::path dir_ = scratch_.path();
  json world_;
  std::map<std::string, std::string> env_;
};

TEST_F(SweepE2eTest, FindsALostDeploymentByItsTagsAndRemovesOnlyIt) {
  const std::string vpc = world_["vpc_id"], bucket = world_["bucket"];
  ASSERT_EQ(world_["test_config"].size(), 20u);
  testing_support::writeFile(dir_ / "tc.json", world_["test_config"].dump(2));
  const RunResult deployed =
      run("probefleet", {"--test_config", "tc.json", "--backup_folder", "keys", "--s3_bucket",
                         bucket, "--tag_resource", "Owner,qa", "--ec2_role", "default"});
  ASSERT_EQ(deployed.status, 0) << deployed.err;
  std::filesystem::remove(dir_ / "tc.json");

  // What is not ours: no Name of ours, though it shares the user's tag.
  const aws::Ec2Client ec2(fleet().clientConfig("ec2"));
  aws::ec2::RunInstancesRequest launch;
  launch.image_id = world_["images"].begin().key();
  launch.instance_type = "t3.micro";
  launch.subnet_id = world_["subnet_ids"]["gw-000"];
  launch.tag_specifications = {{"instance", {{"Name", "billing-db"}, {"Owner", "qa"}}}};
  const std::string foreign_instance = ec2.runInstances(launch).instances.at(0).instance_id;
  const std::string foreign_group =
      ec2.createSecurityGroup({"not ours", "corvanta-test-ec2-sg-copy", vpc, {}});
  ec2.createKeyPair({"corvanta-test-ec2-key-pair-" + vpc + "-copy", "rsa", "pem", {}});
  const std::set<std::string> foreign = {foreign_instance, foreign_group,
                                         "corvanta-test-ec2-key-pair-" + vpc + "-copy"};

  const json inventory = fleet().control("GET", "inventory");
  std::set<std::string> expected = oursIn(inventory, foreign);
  const json listing = sweep({"--vpc", vpc, "--s3_bucket", bucket});
  const std::set<std::string> listed = idsOf(listing);
  for (const std::string& id : expected) EXPECT_EQ(listed.count(id), 1u) << id << " not listed";
  for (const std::string& id : foreign) EXPECT_EQ(listed.count(id), 0u) << id << " listed";
  EXPECT_EQ(inventory["iam"]["roles"].size(), 1u);
  int instances = 0;
  for (const auto& item : listing["resources"]) instances += item["kind"] == "instance";
  EXPECT_EQ(instances, 20);

  EXPECT_TRUE(sweep({"--vpc", vpc, "--older-than", "1h"})["resources"].empty());
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(idsOf(sweep({"--vpc", vpc, "--older-than", "1s", "--tag", "Owner,qa"})), listed);
  EXPECT_TRUE(sweep({"--vpc", vpc, "--tag", "Owner,ci"})["resources"].empty());

  // A live run's lock keeps the VPC from being swept; a lapsed one does not.
  const aws::S3Client s3(fleet().clientConfig("s3"));
  const auto lock = [&](int lease) {
    s3.putObject(bucket, "locks/" + vpc + ".json",
                 json{{"run_id", "r-7"},
                      {"host", "ci-3"},
                      {"user", "qa"},
                      {"mode", "deploy"},
                      {"started", "2026-12-09T10:00:00Z"},
                      {"command", "probefleet"},
                      {"pid", 42},
                      {"lease_seconds", lease}}
                     .dump());
  };
  lock(600);
  const RunResult held = run("probefleet-sweep", {"--vpc", vpc, "--s3_bucket", bucket, "--delete"});
  EXPECT_EQ(held.status, 0) << held.err;
  EXPECT_NE(held.out.find("held: " + vpc + " by run r-7"), std::string::npos) << held.out;
  EXPECT_EQ(oursIn(fleet().control("GET", "inventory"), foreign), expected);
  lock(1);
  std::this_thread::sleep_for(std::chrono::seconds(2));  // the lease runs out on S3's clock
  // One of ours in another region keeps the IAM trio it runs under.
  aws::ClientConfig west_config = fleet().clientConfig("ec2");
  west_config.region = west_config.signing_region = "us-west-2";
  const aws::Ec2Client west(west_config);
  aws::ec2::RunInstancesRequest elsewhere;
  elsewhere.image_id = west.describeImages({}).images.at(0).image_id;
  elsewhere.instance_type = "t3.micro";
  elsewhere.tag_specifications = {{"instance", {{"Name", "corvanta-test-ec2"}}}};
  const std::string west_id = west.runInstances(elsewhere).instances.at(0).instance_id;
  const RunResult kept = run("probefleet-sweep", {"--vpc", vpc, "--s3_bucket", bucket, "--delete"});
  EXPECT_EQ(kept.status, 0) << kept.err;
  EXPECT_NE(kept.out.find("iam-role"), std::string::npos) << kept.out;
  EXPECT_NE(kept.out.find("kept (in use)"), std::string::npos) << kept.out;
  EXPECT_EQ(fleet().control("GET", "inventory")["iam"]["roles"].size(), 1u);
  west.terminateInstances({west_id});
  const RunResult removed =
      run("probefleet-sweep", {"--vpc", vpc, "--s3_bucket", bucket, "--delete"});
  EXPECT_EQ(removed.status, 0) << removed.out << removed.err;
  const json after = fleet().control("GET", "inventory");
  EXPECT_EQ(oursIn(after, foreign), std::set<std::string>{});
  std::set<std::string> still;
  for (const auto& i : after["instance_list"]) still.insert(i["id"]);
  for (const auto& g : after["security_groups"]) still.insert(g["group_id"]);
  for (const auto& k : after["key_pairs"]) still.insert(k);
  for (const std::string& id : foreign) EXPECT_EQ(still.count(id), 1u) << id << " was touched";
  EXPECT_TRUE(sweep({"--vpc", vpc})["resources"].empty());
}

// The sweep beside the runs: under each VPC's lock, with the keep tag, with
// instances that refuse to go, and with addresses their instances outlived.
class SweepGuardE2eTest : public testing_support::E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    useFleetWorld();
    bucket_ = world_["bucket"].get<std::string>();
    vpc_ = world_["vpc_id"].get<std::string>();
  }
  void TearDown() override {
    sandbox_.control("DELETE", "profile");
    E2eTest::TearDown();
  }
  RunResult deploy(std::vector<std::string> extra, const std::string& config = "tc.json") {
    return runFleet(extra, nullptr, config);
  }
  RunResult sweep(std::vector<std::string> extra,
                  const std::function<void(pid_t)>& meanwhile = nullptr) {
    std::vector<std::string> argv = {"--s3_bucket", bucket_, "--json"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return runProgram("probefleet-sweep", argv, {}, meanwhile);
  }
  // The outcome of each resource listed, by id (IAM: by name).
  static std::map<std::string, std::string> outcomes(const RunResult& result) {
    std::map<std::string, std::string> out;
    const json listing = json::parse(result.out);
    for (const auto& item : listing["resources"]) {
      const std::string id =
          item["kind"].get<std::string>().starts_with("iam-") ? item["name"] : item["id"];
      out[id] = item.value("outcome", item["keep"].get<bool>() ? "keep" : "");
    }
    return out;
  }
  json inventory() { return sandbox_.control("GET", "inventory"); }
  // Runs `code` with `ec2`, a boto3 client of the sandbox; it prints JSON.
  json withBoto3(const std::string& code) {
    return sandbox_.boto3("ec2 = boto3.client('ec2')\n" + code);
  }
  std::vector<std::string> instanceIds() {
    std::vector<std::string> ids;
    const json all = inventory();
    for (const auto& i : all["instance_list"]) {
      if (i["state"] != "terminated") ids.push_back(i["id"]);
    }
    return ids;
  }
  int successes(const std::string& service, const std::string& action) {
    int count = 0;
    for (const auto& entry : sandbox_.journal(service, action)) count += entry["status"] == 200;
    return count;
  }

  std::string bucket_, vpc_;
};

TEST_F(SweepGuardE2eTest, AddressesWhoseInstancesEndedAreFoundByTheirVpcAndReleased) {
  // Launches without a public address, so that each instance gets an Elastic IP.
  withBoto3(
      "for s in ec2.describe_subnets()['Subnets']:\n"
      "    ec2.modify_subnet_attribute(SubnetId=s['SubnetId'], "
      "MapPublicIpOnLaunch={'Value': False})\n"
      "print('{}')\n");
  ASSERT_EQ(deploy({"--eip"}).status, 0);
  const json addresses = inventory()["addresses"];
  ASSERT_EQ(addresses.size(), world_["test_config"].size()) << addresses;
  // Ended by hand; EC2 lets go of their addresses as they terminate.
  const aws::Ec2Client ec2(sandbox_.clientConfig("ec2"));
  ec2.terminateInstances(instanceIds());
  withBoto3(
      "for a in ec2.describe_addresses()['Addresses']:\n"
      "    if a.get('AssociationId'): ec2.disassociate_address(AssociationId=a['AssociationId'])\n"
      "print('{}')\n");
  // Every address is unassociated now; --vpc and --expired find them all.
  for (const std::vector<std::string>& filter :
       {std::vector<std::string>{"--vpc", vpc_}, std::vector<std::string>{"--expired"}}) {
    const RunResult listed = sweep(filter);
    ASSERT_EQ(listed.status, 0) << listed.err;
    std::size_t found = 0;
    const json listing = json::parse(listed.out);
    for (const auto& item : listing["resources"]) {
      if (item["kind"] != "elastic-ip") continue;
      ++found;
      EXPECT_EQ(item["vpc_id"], vpc_) << item;
    }
    EXPECT_EQ(found, addresses.size()) << filter[0] << listed.out;
  }
  const RunResult swept = sweep({"--vpc", vpc_, "--delete"});
  EXPECT_EQ(swept.status, 0) << swept.out << swept.err;
  EXPECT_TRUE(inventory()["addresses"].empty()) << inventory()["addresses"];
}

TEST_F(SweepGuardE2eTest, AVpcARunLocksIsSkippedAndWhatServesTheRegionStays) {
  ASSERT_EQ(deploy({"--ec2_role", "default"}).status, 0);
  // An address of an older version: associated with nothing, naming no VPC.
  withBoto3(
      "ec2.allocate_address(Domain='vpc', TagSpecifications=[{'ResourceType': 'elastic-ip', "
      "'Tags': [{'Key': 'Name', 'Value': 'corvanta-test-ec2-eip'}]}])\n"
      "print('{}')\n");
  // A deployment takes the VPC's lock before the sweep deletes there.
  const aws::S3Client s3(sandbox_.clientConfig("s3"));
  probefleet::LockHolder other{"r-deploy",   "ci-3", "qa", "deploy", "2026-12-09T10:00:00Z",
                               "probefleet", 42,     600};
  auto lock = probefleet::VpcLock::take({s3, bucket_, vpc_, *aws::systemClock()}, other);
  sandbox_.clearJournal();
  const RunResult held = sweep({"--delete"});
  EXPECT_EQ(held.status, 0) << held.err;
  EXPECT_NE(held.err.find("locked by run r-deploy"), std::string::npos) << held.err;
  EXPECT_EQ(json::parse(held.out)["held"][0]["run_id"], "r-deploy") << held.out;
  const auto kept = outcomes(held);
  EXPECT_GE(kept.size(), 8u);  // instances, interfaces, groups, key pair, address, trio
  for (const auto& [id, outcome] : kept) EXPECT_EQ(outcome, "kept (in use)") << id;
  for (const char* action : {"TerminateInstances", "DeleteNetworkInterface", "ReleaseAddress",
                             "DeleteSecurityGroup", "DeleteKeyPair"}) {
    EXPECT_TRUE(sandbox_.journal("ec2", action).empty()) << action;
  }
  EXPECT_TRUE(sandbox_.journal("iam", "DeleteRole").empty());

  lock->release();
  const RunResult swept = sweep({"--delete"});
  EXPECT_EQ(swept.status, 0) << swept.out << swept.err;
  const json after = inventory();
  for (const char* kind : {"instance_list", "addresses", "security_groups", "key_pairs"}) {
    EXPECT_TRUE(after[kind].empty()) << kind << ": " << after[kind];
  }
  EXPECT_TRUE(after["iam"]["roles"].empty()) << after["iam"];
  // It held the VPC's lock while it deleted there, and gave it back.
  int writes = 0;
  for (const auto& put : sandbox_.journal("s3", "PutObject")) {
    writes += put["params"].value("Key", "") == "locks/" + vpc_ + ".json";
  }
  EXPECT_GE(writes, 1);
  EXPECT_FALSE(probefleet::readLock(s3, bucket_, vpc_, std::chrono::system_clock::now()));
}

TEST_F(SweepGuardE2eTest, AProtectedInstanceIsReportedWithAwsReasonAndTheOthersGo) {
  ASSERT_EQ(deploy({}).status, 0);
  const std::vector<std::string> ids = instanceIds();
  ASSERT_EQ(ids.size(), 3u);
  withBoto3("ec2.modify_instance_attribute(InstanceId='" + ids[1] +
            "', DisableApiTermination={'Value': True})\nprint('{}')\n");
  // Each wait would last kTerminatePatience (30 s at this scale): the
  // protected instance is not waited on at all.
  const auto start = std::chrono::steady_clock::now();
  const RunResult swept = sweep({"--delete"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(swept.status, 1) << swept.err;
  EXPECT_NE(swept.err.find(ids[1] + " cannot be terminated: OperationNotPermitted"),
            std::string::npos)
      << swept.err;
  EXPECT_EQ(instanceIds(), std::vector<std::string>{ids[1]});
  const json listing = json::parse(swept.out);
  for (const auto& item : listing["resources"]) {
    if (item["id"] == ids[1]) {
      EXPECT_EQ(item["outcome"], "left");
      EXPECT_TRUE(item["reason"].get<std::string>().starts_with("OperationNotPermitted")) << item;
    } else {
      EXPECT_EQ(item["outcome"], "kept (in use)") << item;  // what it still uses
    }
  }
}

TEST_F(SweepGuardE2eTest, WhatCarriesTheKeepTagIsListedAndSurvives) {
  ASSERT_EQ(deploy({"--ec2_role", "default"}).status, 0);
  const std::vector<std::string> ids = instanceIds();
  const aws::Ec2Client ec2(sandbox_.clientConfig("ec2"));
  ec2.createTags({{ids[0]}, {{"probefleet:keep", ""}}});
  sandbox_.boto3(
      "boto3.client('iam').tag_role(RoleName='corvanta-test-ec2-role', "
      "Tags=[{'Key': 'probefleet:keep', 'Value': 'yes'}])\nprint('{}')\n");
  const RunResult listed = sweep({});
  EXPECT_EQ(outcomes(listed)[ids[0]], "keep") << listed.out;
  RunResult swept = sweep({"--delete"});
  EXPECT_EQ(swept.status, 0) << swept.out << swept.err;
  EXPECT_EQ(instanceIds(), std::vector<std::string>{ids[0]});
  auto kept = outcomes(swept);
  EXPECT_EQ(kept[ids[0]], "kept (probefleet:keep)");
  EXPECT_EQ(kept["corvanta-test-ec2-role"], "kept (probefleet:keep)");
  EXPECT_EQ(kept["corvanta-test-ec2-instance-profile"], "kept (in use)") << swept.out;

  // The group and the key pair tagged, the instance no more.
  const json now = inventory();
  std::string group;
  for (const auto& g : now["security_groups"]) {
    if (g["group_name"] == "corvanta-test-ec2-sg") group = g["group_id"];
  }
  const std::string key = now["key_pairs"].at(0);
  const std::string key_id = withBoto3("print(json.dumps(ec2.describe_key_pairs(KeyNames=['" + key +
                                       "'])['KeyPairs'][0]['KeyPairId']))");
  ec2.createTags({{group, key_id}, {{"probefleet:keep", "x"}}});
  withBoto3("ec2.delete_tags(Resources=['" + ids[0] +
            "'], Tags=[{'Key': 'probefleet:keep'}])\nprint('{}')\n");
  swept = sweep({"--delete"});
  EXPECT_EQ(swept.status, 0) << swept.out << swept.err;
  kept = outcomes(swept);
  EXPECT_EQ(kept[group], "kept (probefleet:keep)") << swept.out;
  EXPECT_EQ(kept[key], "kept (probefleet:keep)") << swept.out;
  const json after = inventory();
  EXPECT_TRUE(after["instance_list"].empty());
  EXPECT_EQ(after["security_groups"].size(), 1u) << after["security_groups"];
  EXPECT_EQ(after["key_pairs"], json::array({key}));
  EXPECT_EQ(after["iam"]["roles"].size(), 1u);
}

TEST_F(SweepGuardE2eTest, AScheduledSweepBesideAStandingDeploymentKeepsWhatItUses) {
  // The key pair and the trio made first; the fleet launched later.
  testing_support::writeFile(dir_ / "one.json",
                             json::array({world_["test_config"][0]}).dump(2) + "\n");
  ASSERT_EQ(deploy({"--ec2_role", "default"}, "one.json").status, 0);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  ASSERT_EQ(deploy({"--ec2_role", "default"}).status, 0);
  const RunResult swept = sweep({"--delete", "--older-than", "3s"});
  EXPECT_EQ(swept.status, 0) << swept.out << swept.err;
  const auto kept = outcomes(swept);
  EXPECT_EQ(kept.at("corvanta-test-ec2-role"), "kept (in use)") << swept.out;
  EXPECT_EQ(kept.at("corvanta-test-ec2-key-pair-" + vpc_), "kept (in use)") << swept.out;
  EXPECT_EQ(instanceIds().size(), world_["test_config"].size() - 1);
}

TEST_F(SweepGuardE2eTest, AnInterruptedSweepFinishesItsStepAndListsWhatIsLeft) {
  ASSERT_EQ(deploy({}).status, 0);
  // Terminations take their time: SIGINT while the instances shut down.
  sandbox_.control("POST", "profile", {{"name", "aws"}, {"time_scale", 0.05}});
  const RunResult stopped = sweep({"--delete"}, [&](pid_t pid) {
    for (int i = 0; i < 600 && successes("ec2", "TerminateInstances") == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(pid, SIGINT);
  });
  EXPECT_EQ(stopped.status, 1) << stopped.err;
  EXPECT_NE(stopped.err.find("sweep interrupted by SIGINT"), std::string::npos) << stopped.err;
  const auto left = outcomes(stopped);
  EXPECT_EQ(left.at("corvanta-test-ec2-key-pair-" + vpc_), "left") << stopped.out;
  // The lock it held is given back.
  const aws::S3Client s3(sandbox_.clientConfig("s3"));
  EXPECT_FALSE(probefleet::readLock(s3, bucket_, vpc_, std::chrono::system_clock::now()));
}

class LifetimeE2eTest : public testing_support::E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    useFleetWorld();
  }
  RunResult deploy(std::vector<std::string> extra) { return runFleet(extra); }
};

TEST_F(LifetimeE2eTest, InstancesCarryTheirExpiryAndTheTimerWithAndWithoutTheTests) {
  struct Case {
    std::vector<std::string> options;
    bool tests;  // the test script rides along
  };
  // The expiry tag is the lifetime's own; a pair of the user's with its key
  // would make EC2 refuse every launch.
  sandbox_.clearJournal();
  const RunResult clash =
      deploy({"--max_lifetime", "1h", "--tag_resource", "probefleet:expires,x"});
  EXPECT_EQ(clash.status, 1) << clash.err;
  EXPECT_TRUE(sandbox_.journal("ec2", "RunInstances").empty());

  for (const Case& c : {Case{{"--max_lifetime", "2h", "--run_tag", "r1"}, true},
                        Case{{"--max_lifetime", "30m"}, false}}) {
    SCOPED_TRACE(c.options[1]);
    sandbox_.clearJournal();
    const auto before = std::chrono::system_clock::now();
    const RunResult deployed = deploy(c.options);
    ASSERT_EQ(deployed.status, 0) << deployed.err;
    const json launches = sandbox_.changes("ec2", "RunInstances");
    ASSERT_EQ(launches.size(), world_["test_config"].size());
    for (const auto& launch : launches) {
      EXPECT_EQ(launch["params"].value("InstanceInitiatedShutdownBehavior", ""), "terminate");
      std::string expires;
      for (const auto& [name, value] : launch["params"].items()) {
        if (value == "probefleet:expires") {
          expires = launch["params"].value(name.substr(0, name.size() - 3) + "Value", "");
        }
      }
      // The expiry is the launch time plus the lifetime.
      const auto lifetime =
          c.options[1] == "2h" ? std::chrono::minutes(120) : std::chrono::minutes(30);
      const auto at = probefleet::parseIsoUtc(expires);
      ASSERT_TRUE(at.has_value()) << expires;
      EXPECT_GE(*at, before + lifetime - std::chrono::seconds(1));
      EXPECT_LE(*at, std::chrono::system_clock::now() + lifetime);
    }
    const json inventory = sandbox_.control("GET", "inventory");
    for (const auto& instance : inventory["instance_list"]) {
      const std::string user_data = instance["user_data"].is_string() ? instance["user_data"] : "";
      EXPECT_NE(user_data.find("shutdown -h \"+$probefleet_left\""), std::string::npos)
          << user_data;
      EXPECT_EQ(user_data.find("aws s3 cp") != std::string::npos, c.tests) << user_data;
      EXPECT_EQ(instance["shutdown_behavior"], "terminate");
    }
    if (c.tests) {
      // One whose time is up: --expired finds it and no other.
      const aws::Ec2Client ec2(sandbox_.clientConfig("ec2"));
      const std::string expired = inventory["instance_list"][0]["id"];
      ec2.createTags({{expired}, {{"probefleet:expires", "2020-01-01T00:00:00Z"}}});
      const RunResult found = runProgram("probefleet-sweep", {"--expired", "--json"});
      ASSERT_EQ(found.status, 0) << found.err;
      const json listing = json::parse(found.out);
      ASSERT_EQ(listing["resources"].size(), 1u) << found.out;
      EXPECT_EQ(listing["resources"][0]["id"], expired);
    }
    const RunResult reverted = deploy({"--revert"});
    ASSERT_EQ(reverted.status, 0) << reverted.err;
  }
}

}  // namespace
