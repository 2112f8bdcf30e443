// probefleet on an account other fleets share: a dry run changes nothing
// there, the instance role outlives every fleet that runs under it, and a
// read that failed is never taken for "nothing there".

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "aws/services/ec2.h"
#include "support/e2e.h"

namespace {

using nlohmann::json;
using testing_support::RunResult;

class LiveAccountE2eTest : public testing_support::E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    useFleetWorld();
  }
  RunResult run(const std::vector<std::string>& extra) { return runFleet(extra); }
  // The IAM requests that change something, of every run so far.
  std::vector<std::string> iamChanges() {
    std::vector<std::string> changes;
    for (const auto& entry : sandbox_.journal("iam")) {
      const std::string action = entry["action"];
      for (const char* verb : {"Create", "Delete", "Put", "Add", "Remove", "Attach", "Detach"}) {
        if (action.starts_with(verb)) changes.push_back(action);
      }
    }
    return changes;
  }
  std::size_t roles() { return sandbox_.control("GET", "inventory")["iam"]["roles"].size(); }
  // Instances not terminated.
  std::size_t liveInstances() {
    return sandbox_.control("GET", "inventory")["instance_list"].size();
  }
};

TEST_F(LiveAccountE2eTest, DryRunWithTheInstanceRoleChangesNothingInIam) {
  for (const bool held : {false, true}) {
    SCOPED_TRACE(held ? "the role exists" : "a fresh account");
    if (held) {
      ASSERT_EQ(run({"--ec2_role", "default"}).status, 0);
      ASSERT_EQ(run({"--revert"}).status, 0);  // the fleet goes, the role stays
      ASSERT_EQ(roles(), 1u);
    }
    const std::size_t before = iamChanges().size();
    const RunResult deploy = run({"--dry_run", "--ec2_role", "default"});
    EXPECT_EQ(deploy.status, 0) << deploy.err;
    const RunResult revert = run({"--dry_run", "--revert", "--ec2_role", "default"});
    EXPECT_EQ(revert.status, 0) << revert.err;
    EXPECT_EQ(iamChanges().size(), before) << testing::PrintToString(iamChanges());
    EXPECT_EQ(roles(), held ? 1u : 0u);
    // The plan's line of the role says what a real run would do with it.
    const auto role = deploy.err.find("iam role");
    ASSERT_NE(role, std::string::npos) << deploy.err;
    const std::string line = deploy.err.substr(deploy.err.rfind('\n', role) + 1, 30);
    EXPECT_NE(line.find(held ? "reuse" : "create"), std::string::npos) << line;
    EXPECT_EQ(deploy.err.find("Changed all the same"), std::string::npos) << deploy.err;
  }
}

TEST_F(LiveAccountE2eTest, RevertKeepsTheRoleWhileAnotherFleetStandsAnywhere) {
  ASSERT_EQ(run({"--ec2_role", "default"}).status, 0);
  // Another fleet of ours: one in another VPC of the region (moto's default
  // VPC), one in another region.
  const struct {
    const char* name;
    const char* region;
  } cases[] = {{"another VPC", ""}, {"another region", "us-west-2"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    aws::ClientConfig config = sandbox_.clientConfig("ec2");
    if (*c.region) config.region = config.signing_region = c.region;
    const aws::Ec2Client ec2(config);
    aws::ec2::RunInstancesRequest launch;
    launch.image_id = ec2.describeImages({}).images.at(0).image_id;
    launch.instance_type = "t3.micro";
    launch.tag_specifications = {{"instance", {{"Name", "corvanta-test-ec2"}}}};
    const std::string other = ec2.runInstances(launch).instances.at(0).instance_id;

    const RunResult kept = run({"--revert", "--ec2_role", "default", "--report", "r.json"});
    EXPECT_EQ(kept.status, 0) << kept.err;
    EXPECT_EQ(roles(), 1u);
    EXPECT_NE(kept.err.find("Keep the instance role, policy and profile"), std::string::npos)
        << kept.err;
    const json report = json::parse(testing_support::readFile(dir_ / "r.json"));
    bool said = false;
    for (const auto& line : report["resources"]) {
      said |= line["detail"].get<std::string>().starts_with("kept (in use)");
    }
    EXPECT_TRUE(said) << report.dump(2);
    ec2.terminateInstances({other});
  }
  const RunResult removed = run({"--revert", "--ec2_role", "default"});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(roles(), 0u);
}

TEST_F(LiveAccountE2eTest, FailedReadsAreNeverTakenForAbsence) {
  ASSERT_EQ(run({}).status, 0);
  const std::size_t standing = liveInstances();
  ASSERT_GT(standing, 0u);
  const std::string key =
      "keys/corvanta-test-ec2-key-pair-" + world_["vpc_id"].get<std::string>() + ".pem";

  // A key S3 could not read may match: the fleet stays, the run stops.
  const struct {
    int status;
    const char* code;
  } reads[] = {{403, "AccessDenied"}, {500, "InternalError"}};
  for (const auto& read : reads) {
    SCOPED_TRACE(read.code);
    sandbox_.setFaults({{"rules",
                         {{{"service", "s3"},
                           {"action", "GetObject"},
                           {"status", read.status},
                           {"code", read.code},
                           {"message", "injected"}}}}});
    const RunResult redeploy = run({});
    sandbox_.clearFaults();
    EXPECT_EQ(redeploy.status, 1) << redeploy.err;
    for (const std::string& named :
         {world_["bucket"].get<std::string>(), key, std::string(read.code)}) {
      EXPECT_NE(redeploy.err.find(named), std::string::npos) << named << "\n" << redeploy.err;
    }
    EXPECT_TRUE(sandbox_.journal("ec2", "TerminateInstances").empty());
    EXPECT_EQ(liveInstances(), standing);
  }

  // A revert that cannot look at the groups says so, names them, and fails.
  sandbox_.setFaults({{"rules",
                       {{{"service", "ec2"},
                         {"action", "DescribeSecurityGroups"},
                         {"status", 403},
                         {"code", "UnauthorizedOperation"},
                         {"message", "injected"}}}}});
  const RunResult revert = run({"--revert"});
  EXPECT_EQ(revert.status, 1) << revert.err;
  for (const char* group : {"corvanta-test-ec2-sg", "corvanta-test-ec2-private-interface-sg"}) {
    EXPECT_NE(revert.err.find(std::string("cannot tell whether security group ") + group),
              std::string::npos)
        << revert.err;
  }
  EXPECT_NE(revert.err.find("could not tell whether anything is left"), std::string::npos)
      << revert.err;
}

}  // namespace
