#pragma once
// The per-VPC key pair through which the test instances of a VPC are reached
// over SSH: its creation (with the private key kept in the backup folder and
// copied to the bucket), its fingerprint as EC2 holds it, its deletion, and
// the start-up check that the key kept in the bucket still belongs to it.

#include <functional>
#include <map>
#include <string>

#include "aws/services/ec2.h"
#include "aws/services/iam.h"
#include "aws/services/s3.h"
#include "probefleet/core/options.h"

namespace probefleet {

/// Every key pair name is this prefix followed by the VPC id.
inline constexpr const char* kKeyPairPrefix = "corvanta-test-ec2-key-pair-";
/// The `Name` tag of every key pair made here, the same for all VPCs.
inline constexpr const char* kKeyPairTagName = "corvanta-test-ec2-key-pair";

/// A map with the single member "fingerprint": EC2's KeyFingerprint of the
/// key pair, or "" when there is no such key pair or it could not be looked up.
using FingerprintReport = std::map<std::string, std::string>;

/// "corvanta-test-ec2-key-pair-" + vpc_id.
std::string keyPairName(const std::string& vpc_id);

/// The private-key file of a key pair: backup_folder + "/" + name + ".pem".
/// The same text is the object key of its copy in the bucket.
std::string keyFilePath(const std::string& backup_folder, const std::string& key_pair_name);

/// The VPC's key pair, made when EC2 has none, and its name.
///
/// An existing key pair (name and Name tag both matching) is reused and
/// nothing is written. In a dry run nothing is created. A new key pair's
/// private key is written to keyFilePath(args.backup_folder, name), created
/// with mode 0600 (its folders made first), and, when args.s3_bucket is
/// given, uploaded through S3BackupCmd with `s3` under the same path.
///
/// Ends the run (logs, then throws testlib::ExitRequest with status 1) when
/// the lookup fails or no key material could be had from CreateKeyPair.
/// Failures of writing the file or uploading it are thrown as they come
/// (std::system_error, std::filesystem::filesystem_error, what the upload
/// throws). The key material never reaches a log line or an error.
std::string createKeyPair(const aws::Ec2Client& ec2, const aws::S3Client* s3,
                          const std::string& vpc_id, const Args& args);

/// The CreateKeyPair request of `key_pair_name` (RSA, PEM) with its Name and
/// the user's tags; the same request serves the create and its dry run.
aws::ec2::CreateKeyPairRequest keyPairRequest(const std::string& key_pair_name, const Args& args);

/// The fingerprint report of the VPC's key pair. Never throws: a failed
/// lookup is logged and gives the empty fingerprint.
FingerprintReport getAwsKey(const aws::Ec2Client& ec2, const std::string& vpc_id);

/// Deletes the key pair `key_pair_name` when it exists and this is not a dry
/// run. Throttling and passing failures are waited out, and a NotFound for
/// the name just found (too new to be seen by name). A failure of the
/// lookup is then thrown as the client throws it; a failed deletion is
/// logged, reported on standard error and marks the run failed, and the
/// caller goes on.
void deleteKeyPair(const aws::Ec2Client& ec2, const std::string& key_pair_name, const Args& args);

/// The teardown of a deployment: EC2 client, IAM client, options.
using TeardownFn =
    std::function<void(const aws::Ec2Client&, const aws::IamClient&, const Args& args)>;

/// What the start-up key check found.
enum class KeyCheck {
  kNoKeyPair,  // EC2 holds no key pair for the VPC: nothing compared, nothing removed
  kMatch,      // the key in the bucket belongs to EC2's key pair
  kMismatch,   // it does not, or S3 says there is no such key: torn down
};

/// The start-up key check of deploy mode with a bucket: the VPC of the first
/// entry's gw_subnet_id in args.test_config, EC2's fingerprint of its key
/// pair, and the fingerprint of the key file kept in args.s3_bucket. When EC2
/// has the key pair and the two differ (S3 says the key does not exist, or
/// the object holds another key or none), calls `teardown` with `ec2`,
/// `iam` and `args`, so that the deployment that follows makes a new key
/// pair. A key S3 could not read (denied, 5xx, no answer) tells nothing: it
/// is logged naming the bucket, the key and S3's error, and the check throws
/// testlib::ExitRequest (status 1) before anything is changed.
///
/// `vpc_id` is the VPC the preflight found the subnets in; when empty, the
/// check asks EC2 for the first entry's.
///
/// Throws probefleet::TestConfigError when the test configuration cannot be
/// used, testlib::ExitRequest when the subnet's VPC cannot be found or the
/// key cannot be read, aws::Interrupted, and what `teardown` throws. std::invalid_argument when
/// args.s3_bucket is not given.
KeyCheck checkKeyPairConsistency(const aws::Ec2Client& ec2, const aws::S3Client* s3,
                                 const aws::IamClient& iam, const Args& args,
                                 const TeardownFn& teardown, const std::string& vpc_id = {});

}  // namespace probefleet
