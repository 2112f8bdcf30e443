// The per-VPC key pair and the start-up key check against the sandbox, with
// signature checking on: what is sent (the journal), what EC2 and the bucket
// then hold, the private-key file, what is logged, and how failures end.
// Fingerprints are checked against openssl, not against our own code.

#include "probefleet/resources/keypairs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "aws/services/s3.h"
#include "integration/ops_sandbox.h"
#include "probefleet/config/test_config.h"
#include "support/files.h"
#include "testlib/exit_request.h"

namespace probefleet {
namespace {

namespace fs = std::filesystem;
using ops_sandbox::json;
using ops_sandbox::LogCapture;
using ops_sandbox::readFile;
using testing_support::Sandbox;

// What openssl makes of a PEM private key: the SHA-1 of its unencrypted
// PKCS#8 DER, colon-separated, as EC2 reports the fingerprint of key pairs it
// created.
std::string opensslFingerprint(const fs::path& pem) {
  std::string out, err;
  const int status = testing_support::runProcess(
      {"sh", "-c",
       "openssl pkcs8 -in '" + pem.string() +
           "' -inform PEM -outform DER -topk8 -nocrypt | openssl sha1 -c"},
      {}, &out, &err);
  if (status != 0) throw std::runtime_error("openssl failed: " + err);
  const auto at = out.find("= ");
  if (at == std::string::npos) throw std::runtime_error("unexpected openssl output: " + out);
  std::string digest = out.substr(at + 2);
  while (!digest.empty() && (digest.back() == '\n' || digest.back() == '\r')) digest.pop_back();
  return digest;
}

std::string newRsaKeyPem() {
  std::string out, err;
  if (testing_support::runProcess({"openssl", "genrsa", "2048"}, {}, &out, &err) != 0)
    throw std::runtime_error("openssl genrsa failed: " + err);
  return out;
}

class KeyPairsTest : public ops_sandbox::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    bucket_ = world_.at("bucket").get<std::string>();
    s3_ = std::make_unique<aws::S3Client>(ops_sandbox::clientConfig("s3"));

    // The key file path is relative to the working folder, as in a run.
    old_cwd_ = fs::current_path();
    fs::current_path(work_);
    old_umask_ = ::umask(0);  // a mode of 0600 must not come from the umask
  }

  void TearDown() override {
    ::umask(old_umask_);
    fs::current_path(old_cwd_);
    SandboxTest::TearDown();
  }

  static void addFault(const std::string& service, const std::string& action, json effect) {
    effect["service"] = service;
    effect["action"] = action;
    effect["count"] = 1;
    Sandbox::shared().setFaults({{"rules", json::array({effect})}});
  }

  /// A VPC id no other test uses; key pairs are named after it, EC2 does not
  /// check that the VPC exists.
  static std::string freshVpcId() {
    return "vpc-kp" + std::to_string(::getpid()) + "x" + std::to_string(++serial_);
  }

  std::vector<aws::ec2::KeyPairInfo> keyPairsNamed(const std::string& name) const {
    aws::ec2::DescribeKeyPairsRequest request;
    request.filters = {{"key-name", {name}}};
    return ec2_->describeKeyPairs(request);
  }

  std::string ec2Fingerprint(const std::string& name) const {
    const auto found = keyPairsNamed(name);
    if (found.size() != 1) throw std::runtime_error("no single key pair " + name);
    return found.front().key_fingerprint;
  }

  bool objectExists(const std::string& key) const {
    try {
      s3_->headObject(bucket_, key);
      return true;
    } catch (const aws::ServiceError&) {
      return false;
    }
  }

  Args argsWith(const std::string& backup_folder, bool bucket) const {
    Args args;
    args.backup_folder = backup_folder;
    if (bucket) args.s3_bucket = bucket_;
    return args;
  }

  std::string bucket_;
  std::unique_ptr<aws::S3Client> s3_;
  fs::path old_cwd_;
  testing_support::ScratchDir scratch_;
  fs::path work_ = scratch_.path();
  mode_t old_umask_ = 0;
  static inline int serial_ = 0;
};

TEST_F(KeyPairsTest, FreshKeyPairIsTaggedWrittenOwnerOnlyAndUploaded) {
  const std::string vpc = freshVpcId();
  const std::string name = "corvanta-test-ec2-key-pair-" + vpc;
  Args args = argsWith("keys/nested/deeper", true);  // no folder exists yet
  args.tag_resource = "Owner,qa,Team,net";
  LogCapture log;

  EXPECT_EQ(createKeyPair(*ec2_, s3_.get(), vpc, args), name);

  const auto creates = journal("CreateKeyPair");
  ASSERT_EQ(creates.size(), 1u);
  const json& sent = creates[0].at("params");
  EXPECT_EQ(sent.value("KeyName", ""), name);
  EXPECT_EQ(sent.value("KeyType", ""), "rsa");
  EXPECT_EQ(sent.value("KeyFormat", ""), "pem");
  EXPECT_EQ(sent.value("TagSpecification.1.ResourceType", ""), "key-pair");
  const std::vector<std::pair<std::string, std::string>> expected_tags = {
      {"Name", "corvanta-test-ec2-key-pair"}, {"Owner", "qa"}, {"Team", "net"}};
  for (std::size_t i = 0; i < expected_tags.size(); ++i) {
    const std::string tag = "TagSpecification.1.Tag." + std::to_string(i + 1);
    EXPECT_EQ(sent.value(tag + ".Key", ""), expected_tags[i].first);
    EXPECT_EQ(sent.value(tag + ".Value", ""), expected_tags[i].second);
  }
  EXPECT_FALSE(sent.contains("TagSpecification.1.Tag.4.Key"));

  // The lookup by name and tag, then one look by name until EC2 knows it.
  const auto lookups = journal("DescribeKeyPairs");
  ASSERT_EQ(lookups.size(), 2u);
  EXPECT_EQ(lookups[1].at("params").value("KeyName.1", ""), name);
  const json& filter = lookups[0].at("params");
  EXPECT_EQ(filter.value("Filter.1.Name", ""), "tag:Name");
  EXPECT_EQ(filter.value("Filter.1.Value.1", ""), "corvanta-test-ec2-key-pair");
  EXPECT_EQ(filter.value("Filter.2.Name", ""), "key-name");
  EXPECT_EQ(filter.value("Filter.2.Value.1", ""), name);
  EXPECT_EQ(filter.value("IncludePublicKey", ""), "true");

  const fs::path file = work_ / "keys/nested/deeper" / (name + ".pem");
  ASSERT_TRUE(fs::exists(file));
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  const std::string content = readFile(file);
  EXPECT_EQ(content.back(), '\n');
  // The file holds the private key of the key pair EC2 now has.
  EXPECT_EQ(opensslFingerprint(file), ec2Fingerprint(name));

  // The bucket holds the same bytes under the file's relative path.
  const auto puts = journal("PutObject");
  ASSERT_EQ(puts.size(), 1u);
  EXPECT_EQ(s3_->getObject(bucket_, "keys/nested/deeper/" + name + ".pem").body, content);

  EXPECT_TRUE(log.has("info|- Create key pair " + name));
  EXPECT_TRUE(log.has("info|  done"));
  EXPECT_EQ(log.text().find("PRIVATE KEY"), std::string::npos) << "key material was logged";
}

TEST_F(KeyPairsTest, ExistingKeyPairIsReusedWithoutWritingOrUploading) {
  const std::string vpc = freshVpcId();
  const std::string name = "corvanta-test-ec2-key-pair-" + vpc;
  const Args args = argsWith("keys", true);
  createKeyPair(*ec2_, s3_.get(), vpc, args);
  const std::string fingerprint = ec2Fingerprint(name);
  fs::remove(work_ / "keys" / (name + ".pem"));
  journal_start_ = lastSeq();
  LogCapture log;

  EXPECT_EQ(createKeyPair(*ec2_, s3_.get(), vpc, args), name);

  EXPECT_TRUE(log.has("info|  Key " + name + " already exist"));
  EXPECT_TRUE(journal("CreateKeyPair").empty());
  EXPECT_TRUE(journal("PutObject").empty());
  EXPECT_FALSE(fs::exists(work_ / "keys" / (name + ".pem")));
  EXPECT_EQ(ec2Fingerprint(name), fingerprint);
}

TEST_F(KeyPairsTest, WithoutBucketTheFileIsWrittenButNotUploaded) {
  const std::string vpc = freshVpcId();
  const std::string name = "corvanta-test-ec2-key-pair-" + vpc;
  createKeyPair(*ec2_, s3_.get(), vpc, argsWith("keys", false));
  EXPECT_TRUE(fs::exists(work_ / "keys" / (name + ".pem")));
  EXPECT_TRUE(journal("PutObject").empty());
  EXPECT_TRUE(journal("CreateMultipartUpload").empty());
}

TEST_F(KeyPairsTest, DryRunCreatesWritesAndUploadsNothing) {
  const std::string vpc = freshVpcId();
  const std::string name = "corvanta-test-ec2-key-pair-" + vpc;
  Args args = argsWith("keys", true);
  args.dry_run = true;

  EXPECT_EQ(createKeyPair(*ec2_, s3_.get(), vpc, args), name);

  EXPECT_EQ(journal("DescribeKeyPairs").size(), 1u);
  EXPECT_TRUE(journal("CreateKeyPair").empty());
  EXPECT_TRUE(journal("PutObject").empty());
  EXPECT_FALSE(fs::exists(work_ / "keys"));
  EXPECT_TRUE(keyPairsNamed(name).empty());
}

TEST_F(KeyPairsTest, FailedLookupEndsTheRunWithoutCreating) {
  const std::vector<std::pair<std::string, json>> faults = {
      {"service error", {{"status", 400}, {"code", "UnauthorizedOperation"}, {"message", "no"}}},
  };
  for (const auto& [label, effect] : faults) {
    SCOPED_TRACE(label);
    const std::string vpc = freshVpcId();
    addFault("ec2", "DescribeKeyPairs", effect);
    journal_start_ = lastSeq();
    LogCapture log;

    try {
      createKeyPair(*ec2_, s3_.get(), vpc, argsWith("keys", true));
      ADD_FAILURE() << "createKeyPair returned";
    } catch (const testlib::ExitRequest& request) {
      EXPECT_EQ(request.status(), 1);
    }
    EXPECT_TRUE(log.hasPrefix("error|  **Error** "));
    EXPECT_TRUE(journal("CreateKeyPair").empty());
    EXPECT_FALSE(fs::exists(work_ / "keys"));
    Sandbox::shared().clearFaults();
  }
}

TEST_F(KeyPairsTest, FailedCreationEndsTheRunWithItsOwnMessage) {
  struct Case {
    std::string label;
    json fault;                               // on CreateKeyPair; null for none
    bool untagged_twin;                       // a key pair of that name without our tag exists
    std::vector<std::string> expected_lines;  // logged before the failure line
  };
  const std::vector<Case> cases = {
      {"name taken by an untagged key pair",
       nullptr,
       true,
       {"info|  Key pair {} already existed",
        "error|  **Error** key pair {} exists but is not tagged"}},
      {"other service error",
       {{"status", 400}, {"code", "InvalidParameterValue"}, {"message", "refused here"}},
       false,
       {"error|  **Error** ec2 InvalidParameterValue: refused here"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string vpc = freshVpcId();
    const std::string name = "corvanta-test-ec2-key-pair-" + vpc;
    if (c.untagged_twin) ec2_->createKeyPair({name, "rsa", "pem", {}});
    if (!c.fault.is_null()) addFault("ec2", "CreateKeyPair", c.fault);
    LogCapture log;

    try {
      createKeyPair(*ec2_, s3_.get(), vpc, argsWith("keys", true));
      ADD_FAILURE() << "createKeyPair returned";
    } catch (const testlib::ExitRequest& request) {
      EXPECT_EQ(request.status(), 1);
    }
    auto lines = log.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "error|  Failed to create private key");
    EXPECT_EQ(lines.front(), "info|- Create key pair " + name);
    ASSERT_EQ(lines.size(), c.expected_lines.size() + 2);
    for (std::size_t i = 0; i < c.expected_lines.size(); ++i) {
      std::string expected = c.expected_lines[i];
      if (const auto at = expected.find("{}"); at != std::string::npos) {
        expected.replace(at, 2, name);
      }
      EXPECT_EQ(lines[i + 1].rfind(expected, 0), 0u) << lines[i + 1];
    }
    EXPECT_FALSE(fs::exists(work_ / "keys"));
    Sandbox::shared().clearFaults();
  }
}

TEST_F(KeyPairsTest, KeyPairWhoseAnswerWasLostIsMadeAgainSoItsKeyIsHeld) {
  const std::string vpc = freshVpcId();
  const std::string name = "corvanta-test-ec2-key-pair-" + vpc;
  // EC2 makes the key pair, but its answer is cut: the client's retry hears
  // "Duplicate", and nobody has the private key.
  addFault("ec2", "CreateKeyPair", {{"truncate", 0}});
  LogCapture log;

  EXPECT_EQ(createKeyPair(*ec2_, s3_.get(), vpc, argsWith("keys", false)), name);

  EXPECT_TRUE(log.has("info|  **Alert** key pair " + name +
                      " exists without its private key (a creation whose answer was lost): made "
                      "again"));
  EXPECT_EQ(journal("DeleteKeyPair").size(), 1u);
  // The key file now holds the private key of the key pair EC2 has.
  EXPECT_EQ(opensslFingerprint(work_ / "keys" / (name + ".pem")), ec2Fingerprint(name));
  Sandbox::shared().clearFaults();
}

TEST_F(KeyPairsTest, GetAwsKeyReportsEc2sFingerprintOrTheEmptyOne) {
  const std::string vpc = freshVpcId();
  const std::string name = "corvanta-test-ec2-key-pair-" + vpc;
  {
    LogCapture log;
    EXPECT_EQ(getAwsKey(*ec2_, vpc), (FingerprintReport{{"fingerprint", ""}}));
    EXPECT_TRUE(log.has("info|  Key " + name + " not found in AWS KMS"));
  }
  createKeyPair(*ec2_, s3_.get(), vpc, argsWith("keys", false));
  {
    LogCapture log;
    EXPECT_EQ(
        getAwsKey(*ec2_, vpc),
        (FingerprintReport{{"fingerprint", opensslFingerprint(work_ / "keys" / (name + ".pem"))}}));
    EXPECT_TRUE(log.has("info|  Found key " + name + " in AWS KMS"));
  }
  {
    addFault("ec2", "DescribeKeyPairs",
             {{"status", 400}, {"code", "UnauthorizedOperation"}, {"message", "no"}});
    LogCapture log;
    EXPECT_EQ(getAwsKey(*ec2_, vpc), (FingerprintReport{{"fingerprint", ""}}));
    EXPECT_TRUE(log.hasPrefix("error|  **Error** "));
  }
}

TEST_F(KeyPairsTest, DeleteKeyPairRemovesOnlyAnExistingKeyPairOutsideDryRuns) {
  const std::string vpc = freshVpcId();
  const std::string name = "corvanta-test-ec2-key-pair-" + vpc;
  Args args = argsWith("keys", false);
  {
    LogCapture log;
    deleteKeyPair(*ec2_, name, args);
    EXPECT_TRUE(log.has("info|  Key not found: " + name));
    EXPECT_TRUE(journal("DeleteKeyPair").empty());
  }
  createKeyPair(*ec2_, s3_.get(), vpc, args);
  const std::string id = keyPairsNamed(name).at(0).key_pair_id;
  const fs::path file = work_ / "keys" / (name + ".pem");
  {
    args.dry_run = true;
    LogCapture log;
    deleteKeyPair(*ec2_, name, args);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"info|- Delete key pair " + name, "info|  " + id}));
    EXPECT_TRUE(journal("DeleteKeyPair").empty());
    EXPECT_EQ(keyPairsNamed(name).size(), 1u);
  }
  {
    args.dry_run = false;
    addFault("ec2", "DeleteKeyPair", {{"status", 400}, {"code", "UnauthorizedOperation"}});
    LogCapture log;
    EXPECT_NO_THROW(deleteKeyPair(*ec2_, name, args));
    EXPECT_TRUE(log.hasPrefix("error|  **Error** "));
    EXPECT_EQ(keyPairsNamed(name).size(), 1u);
  }
  {
    deleteKeyPair(*ec2_, name, args);
    const auto deletes = journal("DeleteKeyPair");
    ASSERT_EQ(deletes.size(), 2u);
    EXPECT_EQ(deletes.back().at("params").value("KeyName", ""), name);
    EXPECT_TRUE(keyPairsNamed(name).empty());
    EXPECT_TRUE(fs::exists(file));  // the private key outlives the key pair
  }
  {
    addFault("ec2", "DescribeKeyPairs", {{"status", 400}, {"code", "UnauthorizedOperation"}});
    EXPECT_THROW(deleteKeyPair(*ec2_, name, args), aws::ServiceError);
  }
}

// The key check runs for the VPC of the world's first gw subnet.
class KeyCheckTest : public KeyPairsTest {
 protected:
  void SetUp() override {
    KeyPairsTest::SetUp();
    vpc_ = world_.at("vpc_id").get<std::string>();
    name_ = "corvanta-test-ec2-key-pair-" + vpc_;
    key_file_ = "keys/" + name_ + ".pem";
    args_ = argsWith("keys", true);
    args_.test_config = (work_ / "test_config.json").string();
    writeTestConfig(args_.test_config, world_.at("test_config"));
    removeKeyPairAndObject();
    journal_start_ = lastSeq();
  }
  void TearDown() override {
    removeKeyPairAndObject();
    KeyPairsTest::TearDown();
  }
  void removeKeyPairAndObject() {
    if (!keyPairsNamed(name_).empty()) ec2_->deleteKeyPair({name_, ""});
    s3_->deleteObject(bucket_, key_file_);
  }

  /// Runs the check with a teardown that only counts its calls.
  KeyCheck check(int& teardowns) {
    return checkKeyPairConsistency(
        *ec2_, s3_.get(), *iam_, args_,
        [&](const aws::Ec2Client& ec2, const aws::IamClient& iam, const Args& args) {
          EXPECT_EQ(&ec2, ec2_.get());
          EXPECT_EQ(&iam, iam_.get());
          EXPECT_EQ(&args, &args_);
          ++teardowns;
        });
  }

  std::string vpc_, name_, key_file_;
  Args args_;
};

TEST_F(KeyCheckTest, StoredKeyOfTheKeyPairMatches) {
  createKeyPair(*ec2_, s3_.get(), vpc_, args_);
  ASSERT_TRUE(objectExists(key_file_));
  LogCapture log;
  int teardowns = 0;

  EXPECT_EQ(check(teardowns), KeyCheck::kMatch);

  EXPECT_EQ(teardowns, 0);
  EXPECT_TRUE(log.has("info|- Check existence of keypair " + key_file_));
  EXPECT_TRUE(log.has("info|  Fingerprint matches"));
  EXPECT_FALSE(log.has("info|  Fingerprint match failure - EC2 reploy needed"));
}

TEST_F(KeyCheckTest, AnotherKeyOrNoStoredKeyTearsTheDeploymentDown) {
  createKeyPair(*ec2_, s3_.get(), vpc_, args_);
  const std::vector<std::pair<std::string, bool>> cases = {{"another key in the bucket", true},
                                                           {"no key in the bucket", false}};
  for (const auto& [label, other_key] : cases) {
    SCOPED_TRACE(label);
    if (other_key) {
      s3_->putObject(bucket_, key_file_, newRsaKeyPem());
    } else {
      s3_->deleteObject(bucket_, key_file_);
    }
    LogCapture log;
    int teardowns = 0;

    EXPECT_EQ(check(teardowns), KeyCheck::kMismatch);

    EXPECT_EQ(teardowns, 1);
    EXPECT_TRUE(log.has("info|  Fingerprint match failure - EC2 reploy needed"));
    EXPECT_FALSE(log.has("info|  Fingerprint matches"));
  }
}

TEST_F(KeyCheckTest, NoKeyPairInEc2LeavesEverythingInPlace) {
  s3_->putObject(bucket_, key_file_, newRsaKeyPem());
  LogCapture log;
  int teardowns = 0;

  EXPECT_EQ(check(teardowns), KeyCheck::kNoKeyPair);

  EXPECT_EQ(teardowns, 0);
  EXPECT_TRUE(log.has("info|  Key " + name_ + " not found in AWS KMS"));
  EXPECT_FALSE(log.hasPrefix("info|  Fingerprint"));
  EXPECT_TRUE(objectExists(key_file_));
}

// Only S3's word that the key does not exist counts as "no stored key": a
// read that failed tells nothing, and the fleet must not go for it.
TEST_F(KeyCheckTest, UnreadableStoredKeyStopsTheRunBeforeAnyChange) {
  createKeyPair(*ec2_, s3_.get(), vpc_, args_);
  const struct {
    const char* name;
    json rule;
    const char* cause;
  } cases[] = {
      {"denied", {{"status", 403}, {"code", "AccessDenied"}}, "AccessDenied"},
      {"5xx after the retries", {{"status", 500}, {"code", "InternalError"}}, "InternalError"},
      {"no such bucket", {{"status", 404}, {"code", "NoSuchBucket"}}, "NoSuchBucket"},
      {"no answer", {{"drop", true}}, key_file_.c_str()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    json rule = c.rule;
    rule["service"] = "s3";
    rule["action"] = "GetObject";
    if (!rule.contains("drop")) rule["message"] = "injected";
    Sandbox::shared().setFaults({{"rules", {rule}}});
    LogCapture log;
    int teardowns = 0;
    try {
      check(teardowns);
      ADD_FAILURE() << "the check went on";
    } catch (const testlib::ExitRequest& stop) {
      EXPECT_EQ(stop.status(), 1);
      const std::string what = stop.what();
      for (const std::string& named : {bucket_, key_file_, std::string(c.cause)}) {
        EXPECT_NE(what.find(named), std::string::npos) << what;
      }
    }
    Sandbox::shared().clearFaults();
    EXPECT_EQ(teardowns, 0);
    EXPECT_FALSE(log.hasPrefix("info|  Fingerprint"));
  }
}

}  // namespace
}  // namespace probefleet
