// The instance role, its policy and the instance profile against the
// sandbox with signature checking on. What IAM holds afterwards is read back
// with boto3, an implementation independent of ours; the documents must come
// back exactly as laid out.

#include "probefleet/resources/identity.h"
#include "support/build_paths.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "fakes/fake_clock.h"
#include "integration/ops_sandbox.h"
#include "testlib/app_exit_status.h"

namespace probefleet {
namespace {

using nlohmann::json;
using ops_sandbox::LogCapture;
using Lines = std::vector<std::string>;

// The policy allowing `buckets`, as laid out, written out here by hand.
std::string policyText(const Lines& buckets) {
  std::string list, objects;
  for (const auto& bucket : buckets) {
    list += (list.empty() ? "" : ", ") + ("\"arn:aws:s3:::" + bucket + "\"");
    objects += (objects.empty() ? "" : ", ") + ("\"arn:aws:s3:::" + bucket + "/*\"");
  }
  return R"({"Version": "2012-10-17", "Statement": [)"
         R"({"Effect": "Allow", "Action": ["s3:ListBucket"], "Resource": [)" +
         list + R"(]}, {"Effect": "Allow", "Action": ["s3:GetObject"], "Resource": [)" + objects +
         R"(]}, {"Effect": "Allow", "Action": ["s3:PutObject"], "Resource": [)" + objects + "]}]}";
}
const std::string kTrustText =
    R"({"Version": "2012-10-17", "Statement": [{"Effect": "Allow", )"
    R"("Principal": {"Service": "ec2.amazonaws.com"}, "Action": "sts:AssumeRole"}]})";

// What IAM holds of the three resources, as boto3 reads it. Documents are
// given back as json.dumps writes what boto3 decoded, so key order and
// separators show.
const char* kReadBack = R"PY(
import json, boto3
iam = boto3.client("iam")
out = {}
def absent(call):
    try:
        return call()
    except iam.exceptions.NoSuchEntityException:
        return None
arn = "arn:aws:iam::%s:policy/corvanta-test-ec2-policy" % boto3.client("sts").get_caller_identity()["Account"]
policy = absent(lambda: iam.get_policy(PolicyArn=arn)["Policy"])
if policy:
    version = iam.get_policy_version(PolicyArn=arn, VersionId=policy["DefaultVersionId"])
    out["policy"] = {"arn": policy["Arn"], "description": policy.get("Description"),
                     "document": json.dumps(version["PolicyVersion"]["Document"]),
                     "versions": sorted(v["VersionId"] for v in
                                        iam.list_policy_versions(PolicyArn=arn)["Versions"]),
                     "tags": iam.list_policy_tags(PolicyArn=arn)["Tags"]}
role = absent(lambda: iam.get_role(RoleName="corvanta-test-ec2-role")["Role"])
if role:
    out["role"] = {"description": role.get("Description"),
                   "document": json.dumps(role["AssumeRolePolicyDocument"]),
                   "tags": role.get("Tags", []),
                   "attached": [p["PolicyArn"] for p in iam.list_attached_role_policies(
                       RoleName="corvanta-test-ec2-role")["AttachedPolicies"]]}
profile = absent(lambda: iam.get_instance_profile(
    InstanceProfileName="corvanta-test-ec2-instance-profile")["InstanceProfile"])
if profile:
    out["profile"] = {"roles": [r["RoleName"] for r in profile["Roles"]],
                      "tags": profile.get("Tags", [])}
print(json.dumps(out))
)PY";

class IdentityTest : public ops_sandbox::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    account_ = world_.at("account").get<std::string>();
    arn_ = "arn:aws:iam::" + account_ + ":policy/corvanta-test-ec2-policy";
    removeAll();
    restartJournal();
    testlib::AppExitStatus::resetForTesting();
  }
  void TearDown() override {
    SandboxTest::TearDown();
    removeAll();
    testlib::AppExitStatus::resetForTesting();
  }

  // Whatever a test left, gone, sent straight through the client.
  void removeAll() {
    const auto quietly = [](auto call) {
      try {
        call();
      } catch (const aws::ServiceError&) {
      }
    };
    quietly([&] { iam_->removeRoleFromInstanceProfile(kInstanceProfileName, kRoleName); });
    quietly([&] { iam_->deleteInstanceProfile(kInstanceProfileName); });
    quietly([&] { iam_->detachRolePolicy(kRoleName, arn_); });
    quietly([&] { iam_->deletePolicy(arn_); });
    quietly([&] { iam_->deleteRole(kRoleName); });
  }

  json readBack() {
    std::string out, err;
    const int status =
        testing_support::runProcess({testing_support::pythonPath(), "-c", kReadBack},
                                    testing_support::Sandbox::shared().awsEnv(), &out, &err);
    EXPECT_EQ(status, 0) << err;
    return json::parse(out);
  }

  Args withAccount(const std::string& bucket = "results-a") const {
    Args args;
    args.account = account_;
    args.s3_bucket = bucket;
    return args;
  }

  // True when the profile was made or given the role now.
  bool createAll(const Args& args) {
    createEc2Role(*iam_, createS3Policy(*iam_, args), args);
    return createInstanceProfile(*iam_, args);
  }

  // The requests of this test that change something in IAM.
  Lines changes() const {
    Lines out;
    for (const auto& action : actions("iam")) {
      if (action.rfind("Get", 0) != 0 && action.rfind("List", 0) != 0) out.push_back(action);
    }
    return out;
  }

  std::string account_, arn_;
};

TEST_F(IdentityTest, FreshAccountGetsAllThreeWithTheDocumentsAndTagsAsLaidOut) {
  Args args = withAccount();
  args.tag_resource = "Owner,qa team";
  LogCapture log;

  const auto arn = createS3Policy(*iam_, args);
  EXPECT_EQ(arn, arn_);
  const auto attached = createEc2Role(*iam_, arn, args);
  EXPECT_TRUE(attached.has_value());
  EXPECT_TRUE(createInstanceProfile(*iam_, args));  // new: EC2 may not take it yet

  // Every tag in the create request: no tagging call of its own.
  EXPECT_EQ(actions("iam"), (Lines{"CreatePolicy", "CreateRole", "AttachRolePolicy",
                                   "CreateInstanceProfile", "AddRoleToInstanceProfile"}));
  EXPECT_EQ(journal("CreatePolicy").at(0)["params"]["PolicyDocument"], policyText({"results-a"}));
  EXPECT_EQ(journal("CreateRole").at(0)["params"]["AssumeRolePolicyDocument"], kTrustText);

  const json held = readBack();
  const json tags = json::array({{{"Key", "Name"}, {"Value", "corvanta-test-ec2"}},
                                 {{"Key", "Owner"}, {"Value", "qa team"}}});
  EXPECT_EQ(held["policy"]["document"], policyText({"results-a"}));
  EXPECT_EQ(held["policy"]["description"], "corvanta test ec2 policy");
  EXPECT_EQ(held["policy"]["tags"], tags);
  EXPECT_EQ(held["role"]["document"], kTrustText);
  EXPECT_EQ(held["role"]["description"], "corvanta test ec2 role");
  EXPECT_EQ(held["role"]["tags"], tags);
  EXPECT_EQ(held["role"]["attached"], json::array({arn_}));
  EXPECT_EQ(held["profile"]["roles"], json::array({"corvanta-test-ec2-role"}));
  EXPECT_EQ(held["profile"]["tags"], tags);

  EXPECT_EQ(log.lines(),
            (Lines{"info|- Create policy corvanta-test-ec2-policy",
                   "info|- Create role corvanta-test-ec2-role", "info|- Attach policy to role",
                   "info|- Create instance profile corvanta-test-ec2-instance-profile",
                   "info|- Add role to instance profile"}));
}

TEST_F(IdentityTest, AccountHoldingAllThreeIsLeftUnchanged) {
  createAll(withAccount());
  const json before = readBack();
  // With the account number the ARN is built; without it, it is looked up
  // rather than built malformed.
  for (const bool account_given : {true, false}) {
    SCOPED_TRACE(account_given ? "account given" : "no account");
    restartJournal();
    Args args = withAccount();
    if (!account_given) args.account.reset();

    EXPECT_EQ(createS3Policy(*iam_, args), arn_);
    EXPECT_FALSE(createEc2Role(*iam_, arn_, args).has_value());
    EXPECT_FALSE(createInstanceProfile(*iam_, args));

    EXPECT_EQ(changes(), (Lines{"CreatePolicy", "CreateRole", "CreateInstanceProfile"}));
    EXPECT_EQ(journal("ListPolicies").size(), account_given ? 0u : 1u);
    EXPECT_EQ(readBack(), before);
  }
}

// Runs without a bucket neither make nor change the policy; a role or a
// profile found incomplete is completed.
TEST_F(IdentityTest, WhatIsFoundIncompleteIsCompleted) {
  Args no_bucket = withAccount();
  no_bucket.s3_bucket.reset();
  createAll(no_bucket);
  json held = readBack();
  EXPECT_FALSE(held.contains("policy"));
  EXPECT_EQ(held["role"]["attached"], json::array());
  EXPECT_EQ(held["profile"]["roles"], json::array({"corvanta-test-ec2-role"}));

  iam_->removeRoleFromInstanceProfile(kInstanceProfileName, kRoleName);
  LogCapture log;
  EXPECT_TRUE(createAll(withAccount()));
  held = readBack();
  EXPECT_EQ(held["role"]["attached"], json::array({arn_}));
  EXPECT_EQ(held["profile"]["roles"], json::array({"corvanta-test-ec2-role"}));
  EXPECT_TRUE(log.has("info|- Attach policy to role"));
  EXPECT_TRUE(log.has("info|- Add role to instance profile"));

  // A run without a bucket leaves the policy of earlier runs as it is.
  restartJournal();
  createAll(no_bucket);
  EXPECT_EQ(changes(), (Lines{"CreateRole", "CreateInstanceProfile"}));
}

// IAM's refusals end the step at once, named after the action, with IAM's
// code and words; nothing after them is sent.
TEST_F(IdentityTest, RefusalsEndTheStepNamingTheAction) {
  struct Case {
    std::string action, code;
    int status;
    std::string named;  // what the message names before IAM's words
    std::function<void()> run;
  };
  const std::vector<Case> cases = {
      {"CreatePolicy", "AccessDenied", 403, "CreatePolicy corvanta-test-ec2-policy refused: ",
       [this] { createS3Policy(*iam_, withAccount()); }},
      {"CreateRole", "AccessDenied", 403,
       "CreateRole corvanta-test-ec2-role refused: ", [this] { createEc2Role(*iam_, arn_, {}); }},
      {"CreateRole", "LimitExceeded", 409,
       "CreateRole corvanta-test-ec2-role refused: ", [this] { createEc2Role(*iam_, arn_, {}); }},
      {"CreateInstanceProfile", "AccessDenied", 403,
       "CreateInstanceProfile corvanta-test-ec2-instance-profile refused: ",
       [this] { createInstanceProfile(*iam_, {}); }},
      {"CreatePolicyVersion", "AccessDenied", 403, "CreatePolicyVersion " + arn_ + " refused: ",
       [this] { createS3Policy(*iam_, withAccount("results-b")); }},
  };
  createS3Policy(*iam_, withAccount());  // for the policy's new version
  for (const Case& c : cases) {
    SCOPED_TRACE(c.action + " " + c.code);
    restartJournal();
    fail("iam", c.action, c.code, 1, c.status);
    try {
      c.run();
      ADD_FAILURE() << "no failure";
    } catch (const aws::ServiceError& error) {
      EXPECT_EQ(error.code(), c.code);
      EXPECT_EQ(error.message(), c.named + "injected");
    }
    EXPECT_EQ(actions("iam").back(), c.action);
  }
  drop("iam", "CreatePolicy");
  EXPECT_THROW(createS3Policy(*iam_, withAccount()), aws::TransportError);
}

// The instance role allows the run's bucket only; a run with another bucket
// adds it through a new default version, within the five versions IAM keeps.
TEST_F(IdentityTest, EachRunsBucketIsAddedThroughANewDefaultVersion) {
  createAll(withAccount("results-a"));
  EXPECT_EQ(readBack()["policy"]["document"], policyText({"results-a"}));

  createAll(withAccount("results-b"));
  json held = readBack();
  EXPECT_EQ(held["policy"]["document"], policyText({"results-a", "results-b"}));
  EXPECT_EQ(held["policy"]["versions"], json::array({"v1", "v2"}));

  restartJournal();
  createS3Policy(*iam_, withAccount("results-a"));  // allowed already: nothing changes
  EXPECT_EQ(changes(), Lines{"CreatePolicy"});

  for (const char* bucket : {"results-c", "results-d", "results-e", "results-f"}) {
    createS3Policy(*iam_, withAccount(bucket));
  }
  held = readBack();
  EXPECT_EQ(held["policy"]["document"], policyText({"results-a", "results-b", "results-c",
                                                    "results-d", "results-e", "results-f"}));
  EXPECT_EQ(held["policy"]["versions"], json::array({"v2", "v3", "v4", "v5", "v6"}));
}

TEST_F(IdentityTest, TeardownRemovesAllThreeInOrder) {
  createAll(withAccount());
  restartJournal();
  LogCapture log;

  EXPECT_EQ(deleteInstanceProfile(*iam_), Lines{});
  EXPECT_EQ(actions("iam"),
            (Lines{"RemoveRoleFromInstanceProfile", "DeleteInstanceProfile", "ListPolicies",
                   "DetachRolePolicy", "ListPolicyVersions", "DeletePolicy", "DeleteRole"}));
  EXPECT_EQ(readBack(), json::object());
  EXPECT_EQ(
      log.lines(),
      (Lines{"info|  Remove role from instance profile corvanta-test-ec2-instance-profile",
             "info|  Delete instance profile corvanta-test-ec2-instance-profile",
             "info|  Detach corvanta-test-ec2-role from corvanta-test-ec2-policy " + arn_ + " ",
             "info|  List versions of policy " + arn_, "info|  Delete policy " + arn_,
             "info|  Delete corvanta-test-ec2-role"}));
  EXPECT_EQ(testlib::AppExitStatus().getStatus(), 0);
}

// Whatever state an earlier run or teardown left, all of it goes: a profile
// already gone, a policy detached (a leak for good before), one with old
// versions, a role without policy.
TEST_F(IdentityTest, TeardownRemovesWhateverIsLeft) {
  struct Case {
    std::string name;
    std::function<void()> leave;
  };
  const std::vector<Case> cases = {
      {"profile gone",
       [this] {
         iam_->removeRoleFromInstanceProfile(kInstanceProfileName, kRoleName);
         iam_->deleteInstanceProfile(kInstanceProfileName);
       }},
      {"policy detached", [this] { iam_->detachRolePolicy(kRoleName, arn_); }},
      {"policy with versions", [this] { createS3Policy(*iam_, withAccount("results-b")); }},
      {"no policy",
       [this] {
         iam_->detachRolePolicy(kRoleName, arn_);
         iam_->deletePolicy(arn_);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    removeAll();
    createAll(withAccount());
    c.leave();

    EXPECT_EQ(deleteInstanceProfile(*iam_), Lines{});
    EXPECT_EQ(readBack(), json::object());
    EXPECT_EQ(testlib::AppExitStatus().getStatus(), 0);
  }
}

// DeleteConflict is waited out while IAM catches up; what cannot be removed
// is reported, the rest removed all the same, and the run fails.
TEST_F(IdentityTest, TeardownWaitsOutConflictsAndReportsWhatItLeaves) {
  auto clock = fakes::FakeClock::onWallClock();
  const aws::IamClient iam(ops_sandbox::clientConfig("iam", clock));
  createAll(withAccount());
  fail("iam", "DeleteRole", "DeleteConflict", 2, 409);

  EXPECT_EQ(deleteInstanceProfile(iam), Lines{});
  EXPECT_EQ(journal("DeleteRole").size(), 3u);
  EXPECT_GT(clock->slept().count(), 0);
  EXPECT_EQ(readBack(), json::object());
  EXPECT_EQ(testlib::AppExitStatus().getStatus(), 0);

  createAll(withAccount());
  fail("iam", "DeletePolicy", "AccessDenied", 1, 403);
  LogCapture log;
  const Lines left = deleteInstanceProfile(iam);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].rfind("iam policy " + arn_ + ": iam AccessDenied: injected", 0), 0u) << left[0];
  EXPECT_TRUE(log.hasPrefix("error|  **Error** left in IAM: iam policy " + arn_));
  const json held = readBack();
  EXPECT_TRUE(held.contains("policy"));
  EXPECT_FALSE(held.contains("role"));
  EXPECT_FALSE(held.contains("profile"));
  EXPECT_EQ(testlib::AppExitStatus().getStatus(), 1);
}

}  // namespace
}  // namespace probefleet
