// The instance role, its policy and the instance profile against the
// sandbox with signature checking on. What IAM holds afterwards is read back
// with boto3, an implementation independent of ours; the documents must come
// back exactly as laid out.

#include "probefleet/identity.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "integration/ops_sandbox.h"

namespace probefleet {
namespace {

using nlohmann::json;
using ops_sandbox::LogCapture;
using Lines = std::vector<std::string>;

const std::string kPolicyText =
    R"({"Version": "2012-10-17", "Statement": [)"
    R"({"Effect": "Allow", "Action": ["s3:ListBucket"], "Resource": ["arn:aws:s3:::*"]}, )"
    R"({"Effect": "Allow", "Action": ["s3:GetObject"], "Resource": ["arn:aws:s3:::*"]}, )"
    R"({"Effect": "Allow", "Action": ["s3:PutObject"], "Resource": ["arn:aws:s3:::*"]}]})";
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
  }
  void TearDown() override {
    SandboxTest::TearDown();
    removeAll();
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
        testing_support::runProcess({PROBEFLEET_PYTHON, "-c", kReadBack},
                                    testing_support::Sandbox::shared().awsEnv(), &out, &err);
    EXPECT_EQ(status, 0) << err;
    return json::parse(out);
  }

  Args withAccount() const {
    Args args;
    args.account = account_;
    return args;
  }

  void createAll(const Args& args) {
    createEc2Role(*iam_, createS3Policy(*iam_, args));
    createInstanceProfile(*iam_);
  }

  std::string account_, arn_;
};

// In a dry run too: these operations do not look at the flag.
TEST_F(IdentityTest, FreshAccountGetsAllThreeWithTheDocumentsAsLaidOut) {
  Args args = withAccount();
  args.dry_run = true;
  LogCapture log;

  const std::string arn = createS3Policy(*iam_, args);
  EXPECT_EQ(arn, arn_);
  const auto attached = createEc2Role(*iam_, arn);
  EXPECT_TRUE(attached.has_value());
  createInstanceProfile(*iam_);

  EXPECT_EQ(actions("iam"), (Lines{"CreatePolicy", "CreateRole", "AttachRolePolicy",
                                   "CreateInstanceProfile", "AddRoleToInstanceProfile"}));
  EXPECT_EQ(journal("CreatePolicy").at(0)["params"]["PolicyDocument"], kPolicyText);
  EXPECT_EQ(journal("CreateRole").at(0)["params"]["AssumeRolePolicyDocument"], kTrustText);

  const json held = readBack();
  const json name_tag = json::array({{{"Key", "Name"}, {"Value", "corvanta-test-ec2"}}});
  EXPECT_EQ(held["policy"]["document"], kPolicyText);
  EXPECT_EQ(held["policy"]["description"], "corvanta test ec2 policy");
  EXPECT_EQ(held["policy"]["tags"], name_tag);
  EXPECT_EQ(held["role"]["document"], kTrustText);
  EXPECT_EQ(held["role"]["description"], "corvanta test ec2 role");
  EXPECT_EQ(held["role"]["tags"], json::array());
  EXPECT_EQ(held["role"]["attached"], json::array({arn_}));
  EXPECT_EQ(held["profile"]["roles"], json::array({"corvanta-test-ec2-role"}));
  EXPECT_EQ(held["profile"]["tags"], name_tag);

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
    LogCapture log;

    EXPECT_EQ(createS3Policy(*iam_, account_given ? withAccount() : Args{}), arn_);
    EXPECT_FALSE(createEc2Role(*iam_, arn_).has_value());
    createInstanceProfile(*iam_);

    const Lines expected_calls =
        account_given
            ? Lines{"CreatePolicy", "CreateRole", "CreateInstanceProfile"}
            : Lines{"CreatePolicy", "ListPolicies", "CreateRole", "CreateInstanceProfile"};
    EXPECT_EQ(actions("iam"), expected_calls);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "info|- Create policy corvanta-test-ec2-policy");
    EXPECT_EQ(lines[1], "info|- Create role corvanta-test-ec2-role");
    EXPECT_EQ(lines[2].rfind("info|  **Alert** iam EntityAlreadyExists", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3], "info|- Create instance profile corvanta-test-ec2-instance-profile");
    EXPECT_EQ(lines[4].rfind("info|  **Alert** iam EntityAlreadyExists", 0), 0u) << lines[4];
    EXPECT_EQ(readBack(), before);
  }
}

TEST_F(IdentityTest, ExistingRoleIsTakenAsCompleteAndOtherRefusalsArePassedOver) {
  iam_->createRole({kRoleName, kTrustText, "", {}});
  createS3Policy(*iam_, withAccount());
  EXPECT_FALSE(createEc2Role(*iam_, arn_).has_value());
  EXPECT_EQ(readBack()["role"]["attached"], json::array());

  // Any other refusal of CreateRole: the attachment is tried all the same.
  restartJournal();
  fail("iam", "CreateRole", "LimitExceeded", 1, 409);
  EXPECT_TRUE(createEc2Role(*iam_, arn_).has_value());
  EXPECT_EQ(actions("iam"), (Lines{"CreateRole", "AttachRolePolicy"}));
  EXPECT_EQ(readBack()["role"]["attached"], json::array({arn_}));
}

TEST_F(IdentityTest, CreationFailuresReachTheCaller) {
  LogCapture log;
  fail("iam", "CreatePolicy", "LimitExceeded", 1, 409);
  EXPECT_THROW(createS3Policy(*iam_, withAccount()), aws::ServiceError);
  EXPECT_EQ(log.lines(), Lines{"info|- Create policy corvanta-test-ec2-policy"});

  drop("iam", "CreatePolicy");
  EXPECT_THROW(createS3Policy(*iam_, withAccount()), aws::TransportError);
  ASSERT_EQ(log.lines().size(), 3u);
  EXPECT_EQ(log.lines()[2].rfind("error|  **Error** ", 0), 0u);

  drop("iam", "CreateRole");
  EXPECT_THROW(createEc2Role(*iam_, arn_), aws::TransportError);
  fail("iam", "AddRoleToInstanceProfile", "NoSuchEntity", 1, 404);  // no role
  EXPECT_THROW(createInstanceProfile(*iam_), aws::ServiceError);
}

TEST_F(IdentityTest, TeardownRemovesAllThreeInOrder) {
  createAll(withAccount());
  restartJournal();
  LogCapture log;

  deleteInstanceProfile(*iam_);
  EXPECT_EQ(actions("iam"),
            (Lines{"RemoveRoleFromInstanceProfile", "DeleteInstanceProfile", "ListPolicies",
                   "DetachRolePolicy", "DeletePolicy", "DeleteRole"}));
  EXPECT_EQ(readBack(), json::object());
  EXPECT_EQ(
      log.lines(),
      (Lines{"info|  Remove role from instance profile corvanta-test-ec2-instance-profile",
             "info|  Delete instance profile corvanta-test-ec2-instance-profile",
             "info|  Detach corvanta-test-ec2-role from corvanta-test-ec2-policy " + arn_ + " ",
             "info|  Delete policy " + arn_, "info|  Delete corvanta-test-ec2-role"}));
}

TEST_F(IdentityTest, TeardownWithoutProfileStillRemovesPolicyAndRole) {
  createAll(withAccount());
  iam_->removeRoleFromInstanceProfile(kInstanceProfileName, kRoleName);
  iam_->deleteInstanceProfile(kInstanceProfileName);
  LogCapture log;

  deleteInstanceProfile(*iam_);
  EXPECT_EQ(readBack(), json::object());
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[1].rfind("error|  **Error** iam NoSuchEntity", 0), 0u) << lines[1];
  EXPECT_EQ(lines[3].rfind("error|  **Error** iam NoSuchEntity", 0), 0u) << lines[3];
  EXPECT_EQ(lines[6], "info|  Delete corvanta-test-ec2-role");
}

TEST_F(IdentityTest, TeardownLeavesTheRoleWhenThePolicyIsNotAttached) {
  for (const bool policy_exists : {true, false}) {
    SCOPED_TRACE(policy_exists ? "unattached policy" : "no policy");
    removeAll();
    createAll(withAccount());
    iam_->detachRolePolicy(kRoleName, arn_);
    if (!policy_exists) iam_->deletePolicy(arn_);
    LogCapture log;

    deleteInstanceProfile(*iam_);
    const json held = readBack();
    EXPECT_FALSE(held.contains("profile"));
    EXPECT_TRUE(held.contains("role"));
    EXPECT_EQ(held.contains("policy"), policy_exists);
    EXPECT_EQ(log.lines(),
              (Lines{"info|  Remove role from instance profile corvanta-test-ec2-instance-profile",
                     "info|  Delete instance profile corvanta-test-ec2-instance-profile"}));
  }
}

TEST_F(IdentityTest, TeardownStopsAtTheFirstFailureAfterTheProfile) {
  createAll(withAccount());
  fail("iam", "DetachRolePolicy", "ServiceFailure", 1, 500);
  EXPECT_THROW(deleteInstanceProfile(*iam_), aws::ServiceError);
  const json held = readBack();
  EXPECT_TRUE(held.contains("policy"));
  EXPECT_TRUE(held.contains("role"));
  EXPECT_FALSE(held.contains("profile"));
}

}  // namespace
}  // namespace probefleet
