#include "probefleet/resources/keypairs.h"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "aws/base/interrupt.h"
#include "aws/client/error.h"
#include "probefleet/config/test_config.h"
#include "probefleet/core/failure_report.h"
#include "probefleet/core/patience.h"
#include "probefleet/core/story.h"
#include "probefleet/resources/fleet_lookup.h"
#include "probefleet/resources/network.h"
#include "probefleet/resources/private_file.h"
#include "probefleet/resources/tags.h"
#include "s3/fingerprint.h"
#include "s3/s3_backup_cmd.h"
#include "testlib/app_exit_status.h"
#include "testlib/common.h"
#include "testlib/exit_request.h"

namespace probefleet {

aws::ec2::CreateKeyPairRequest keyPairRequest(const std::string& key_pair_name, const Args& args) {
  aws::ec2::TagSpecification tags{"key-pair", {{"Name", kKeyPairTagName}}};
  if (given(args.tag_resource)) populateTags(tags.tags, *args.tag_resource);
  return {key_pair_name, "rsa", "pem", {tags}};
}

namespace {

// The lookup every operation here makes: a key pair counts as the VPC's only
// when both its name and its Name tag match.
aws::ec2::DescribeKeyPairsRequest lookupRequest(const std::string& key_pair_name) {
  aws::ec2::DescribeKeyPairsRequest request;
  request.filters = {{"tag:Name", {kKeyPairTagName}}, {"key-name", {key_pair_name}}};
  request.include_public_key = true;
  return request;
}

// The created key pair, or nullopt after logging why there is none. Only the
// error texts are logged, never the answer. `duplicate` tells whether EC2
// answered that the name is taken.
std::optional<aws::ec2::CreatedKeyPair> sendCreateKeyPair(const aws::Ec2Client& ec2,
                                                          const std::string& key_pair_name,
                                                          const Args& args, bool& duplicate,
                                                          const Patience& patience = {}) {
  auto log = testlib::logger();
  duplicate = false;
  try {
    return patiently(ec2.clock(), patience,
                     [&] { return ec2.createKeyPair(keyPairRequest(key_pair_name, args)); });
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const aws::ServiceError& error) {
    if (error.code() == "InvalidKeyPair.Duplicate") {
      log->info("  Key pair " + key_pair_name + " already existed");
      duplicate = true;
    } else {
      log->error(std::string("  **Error** ") + error.what());
    }
  } catch (const std::exception& failure) {
    log->error(std::string("  **Error** ") + failure.what());
  }
  return std::nullopt;
}

// A key pair of ours that the lookup did not show but CreateKeyPair says
// exists: most often a creation whose answer was lost (the retry then hears
// "Duplicate"), so nobody holds its private key. While no instance uses it,
// it is deleted so that it can be made again. True when it was; false when
// it must stay (not tagged as ours, in use, or EC2 could not be asked).
bool reclaimKeyPairWithoutKey(const aws::Ec2Client& ec2, const std::string& name) {
  auto log = testlib::logger();
  try {
    aws::ec2::DescribeKeyPairsRequest by_name;
    by_name.key_names = {name};
    const auto found = patiently(ec2.clock(), {kConsistencyBudget, {"InvalidKeyPair.NotFound"}},
                                 [&] { return ec2.describeKeyPairs(by_name); });
    if (found.empty() || aws::ec2::tagValue(found.front().tags, "Name") != kKeyPairTagName) {
      log->error("  **Error** key pair " + name +
                 " exists but is not tagged Name=" + kKeyPairTagName + ": it is left alone");
      return false;
    }
    aws::ec2::DescribeInstancesRequest users;
    users.filters = {{"key-name", {name}}, {"instance-state-name", kAliveInstanceStates}};
    const auto answer = patiently(ec2.clock(), {}, [&] { return ec2.describeInstances(users); });
    for (const auto& reservation : answer.reservations) {
      if (!reservation.instances.empty()) {
        log->error("  **Error** key pair " + name + " is in use by " +
                   reservation.instances.front().instance_id +
                   " but its private key is not here: revert the VPC first");
        return false;
      }
    }
    log->info("  **Alert** key pair " + name +
              " exists without its private key (a creation whose answer was lost): made again");
    aws::ec2::DeleteKeyPairRequest request;
    request.key_name = name;
    patiently(ec2.clock(), {}, [&] { ec2.deleteKeyPair(request); });
    return true;
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const std::exception& failure) {
    log->error(std::string("  **Error** ") + failure.what());
    return false;
  }
}

// Writes the private key and one line feed to `path`, owner-only from the
// first byte, creating the folders above it.
void writePrivateKeyFile(const std::string& path, const std::string& key_material) {
  const std::filesystem::path file(path);
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
  writeOwnerOnlyFile(path, key_material + "\n");
}

// Every launch names the new key pair at once; EC2 refuses it until the
// name has propagated. Waiting for it here, once, spares a refused launch
// per entry (and the launches' request tokens). Not seeing it in time is
// left to the launches' own patience.
void awaitKeyPairByName(const aws::Ec2Client& ec2, const std::string& name) {
  aws::ec2::DescribeKeyPairsRequest request;
  request.key_names = {name};
  try {
    patiently(ec2.clock(), {kConsistencyBudget, {"InvalidKeyPair.NotFound"}, kRunWidePauseCap},
              [&] { (void)ec2.describeKeyPairs(request); });
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const std::exception&) {
  }
}

}  // namespace

std::string keyPairName(const std::string& vpc_id) {
  return kKeyPairPrefix + vpc_id;
}

std::string keyFilePath(const std::string& backup_folder, const std::string& key_pair_name) {
  return backup_folder + "/" + key_pair_name + ".pem";
}

std::string createKeyPair(const aws::Ec2Client& ec2, const aws::S3Client* s3,
                          const std::string& vpc_id, const Args& args) {
  auto log = testlib::logger();
  const std::string name = keyPairName(vpc_id);
  log->info("- Create key pair " + name);

  std::vector<aws::ec2::KeyPairInfo> existing;
  try {
    existing =
        patiently(ec2.clock(), {}, [&] { return ec2.describeKeyPairs(lookupRequest(name)); });
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const std::exception& failure) {
    // Without an answer we cannot tell whether the key pair exists; creating
    // one blindly could orphan the private key of a key pair in use.
    log->error(std::string("  **Error** ") + failure.what());
    throw testlib::ExitRequest(1, "cannot look up key pair " + name + ": " + failure.what());
  }
  if (!existing.empty()) {
    log->info("  Key " + name + " already exist");
    tell(Act::kReuse, "key pair", name);
    return name;
  }
  if (args.dry_run) {
    tell(Act::kCreate, "key pair", name);
    return name;
  }

  bool duplicate = false;
  auto created = sendCreateKeyPair(ec2, name, args, duplicate);
  if (!created && duplicate && reclaimKeyPairWithoutKey(ec2, name)) {
    // A deletion takes a moment to show: the name may still be taken.
    created = sendCreateKeyPair(ec2, name, args, duplicate,
                                {kConsistencyBudget, {"InvalidKeyPair.Duplicate"}});
  }
  if (!created || created->key_material.empty()) {
    log->error("  Failed to create private key");
    throw testlib::ExitRequest(1, "failed to create key pair " + name);
  }
  log->info("  done");
  tell(Act::kCreate, "key pair", name, created->key_pair_id);
  awaitKeyPairByName(ec2, name);

  const std::string path = keyFilePath(args.backup_folder, name);
  writePrivateKeyFile(path, created->key_material);
  if (given(args.s3_bucket)) {
    s3lib::S3BackupCmd(s3, std::string("."), *args.s3_bucket, path).uploadAFile();
  }
  return name;
}

FingerprintReport getAwsKey(const aws::Ec2Client& ec2, const std::string& vpc_id) {
  auto log = testlib::logger();
  const std::string name = keyPairName(vpc_id);
  try {
    const auto found =
        patiently(ec2.clock(), {}, [&] { return ec2.describeKeyPairs(lookupRequest(name)); });
    if (!found.empty()) {
      log->info("  Found key " + name + " in AWS KMS");
      return {{"fingerprint", found.front().key_fingerprint}};
    }
    log->info("  Key " + name + " not found in AWS KMS");
  } catch (const std::exception& failure) {
    log->error(std::string("  **Error** ") + failure.what());
  }
  return {{"fingerprint", ""}};
}

void deleteKeyPair(const aws::Ec2Client& ec2, const std::string& key_pair_name, const Args& args) {
  auto log = testlib::logger();
  log->info("- Delete key pair " + key_pair_name);
  const auto found = patiently(ec2.clock(), {},
                               [&] { return ec2.describeKeyPairs(lookupRequest(key_pair_name)); });
  if (found.empty()) {
    log->info("  Key not found: " + key_pair_name);
    return;
  }
  log->info("  " + found.front().key_pair_id);
  if (args.dry_run) {
    tell(Act::kDelete, "key pair", key_pair_name, found.front().key_pair_id);
    return;
  }
  try {
    aws::ec2::DeleteKeyPairRequest request;
    request.key_name = key_pair_name;
    // Found above, so a NotFound only means the name is too new to be seen.
    patiently(ec2.clock(), {kConsistencyBudget, {"InvalidKeyPair.NotFound"}},
              [&] { ec2.deleteKeyPair(request); });
    tell(Act::kDelete, "key pair", key_pair_name, found.front().key_pair_id);
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const std::exception& failure) {
    tell(Act::kLeave, "key pair", key_pair_name, failure.what());
    log->error(std::string("  **Error** ") + failure.what());
    reportFailure(failure);
    testlib::AppExitStatus::markFailed();
  }
}

KeyCheck checkKeyPairConsistency(const aws::Ec2Client& ec2, const aws::S3Client* s3,
                                 const aws::IamClient& iam, const Args& args,
                                 const TeardownFn& teardown, const std::string& known_vpc_id) {
  if (!given(args.s3_bucket)) throw std::invalid_argument("the key check needs a bucket");
  auto log = testlib::logger();

  const std::string vpc_id =
      !known_vpc_id.empty() ? known_vpc_id
                            : getVpcId(ec2, readTestConfig(args.test_config, ConfigUse::kDeploy)
                                                .at(0)
                                                .at("gw_subnet_id")
                                                .get<std::string>());
  const std::string key_file = keyFilePath(args.backup_folder, keyPairName(vpc_id));
  log->info("- Check existence of keypair " + key_file);

  const std::string in_ec2 = getAwsKey(ec2, vpc_id).at("fingerprint");
  const s3lib::StoredKey stored = s3lib::readStoredKeyFingerprint(s3, *args.s3_bucket, key_file);
  if (stored.state == s3lib::StoredKey::State::kUnreadable) {
    // A key that could not be read may well match: tearing the fleet down
    // for an outage or a missing permission would destroy it for nothing.
    const std::string what = "cannot read the stored key s3://" + *args.s3_bucket + "/" + key_file +
                             " (" + stored.error + ")";
    log->error("  **Error** " + what +
               ": the key pair cannot be checked, so nothing was changed; run again once the "
               "key can be read");
    throw testlib::ExitRequest(1, what);
  }
  if (in_ec2.empty()) return KeyCheck::kNoKeyPair;
  if (stored.fingerprint != in_ec2) {
    log->info(stored.state == s3lib::StoredKey::State::kAbsent
                  ? "  No stored key " + key_file + " in " + *args.s3_bucket
                  : "  Stored key " + key_file + " differs from key pair " + keyPairName(vpc_id));
    log->info("  Fingerprint match failure - EC2 reploy needed");
    teardown(ec2, iam, args);
    return KeyCheck::kMismatch;
  }
  log->info("  Fingerprint matches");
  return KeyCheck::kMatch;
}

}  // namespace probefleet
