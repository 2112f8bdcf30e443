#pragma once
// The run flow of probefleet: options, logging, the form checks, sessions and
// clients, then deploy or revert mode, the log upload and the exit status.

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "aws/services/ec2.h"
#include "aws/services/iam.h"
#include "aws/services/kms.h"
#include "aws/services/s3.h"
#include "aws/services/service_quotas.h"
#include "aws/services/ssm.h"
#include "aws/services/sts.h"
#include "aws/session/session.h"
#include "probefleet/core/options.h"

namespace probefleet {

/// The program's retry defaults, where neither AWS_RETRY_MODE /
/// AWS_MAX_ATTEMPTS nor the profile's retry_mode / max_attempts say
/// otherwise: a fleet run meets AWS's request throttling as a matter of
/// course, so the client paces itself (adaptive mode) and keeps trying
/// longer than the SDKs' three attempts.
inline const aws::RetryDefaults kRetryDefaults{"adaptive", 10};

/// The sessions and clients of a run; they live until the run ends.
struct RunClients {
  std::optional<aws::Session> workflow_session;  // deploy mode with a workflow account
  std::unique_ptr<aws::SsmClient> workflow_ssm;  // idem, in the workflow region
  std::unique_ptr<aws::S3Client> s3;             // deploy mode only
  std::optional<aws::Session> test_session;
  std::unique_ptr<aws::Ec2Client> ec2;
  std::unique_ptr<aws::IamClient> iam;
  std::unique_ptr<aws::StsClient> sts;  // the test account's, for the preflight
  // Deploy mode: the test account's KMS and Service Quotas clients, for the
  // preflight's EBS key and vCPU quota; null where they cannot be opened.
  std::unique_ptr<aws::KmsClient> kms;
  std::unique_ptr<aws::ServiceQuotasClient> quotas;
  // Revert mode with --s3_bucket: the profile's S3 client, for the VPC's lock
  // only (a revert uploads no log).
  std::unique_ptr<aws::S3Client> lock_s3;
};

/// True when the backup folder is a non-empty relative path that does not
/// begin with "." (it is used relative to the working folder).
bool backupFolderFormOk(const std::string& backup_folder);

/// True when --tag_resource is absent or splits at "," into an even number
/// of pieces (key, value, key, value, ...). The empty text is one piece.
bool tagPairsComplete(const std::optional<std::string>& tag_resource);

/// Opens the sessions and clients: in deploy mode the S3 client (of the
/// workflow account when --workflow_account_role is given, with its SSM
/// client), in revert mode with --s3_bucket the profile's S3 client for the
/// lock, then the test account's EC2 and IAM clients. Logs as the run
/// flow does. Throws what the sessions throw; testlib::ExitRequest when the
/// identity document or the assumed-role session cannot be had.
RunClients openClients(const Args& args, const aws::ClientWorld& deps);

/// The whole program for the arguments after the program name; returns the
/// exit status: 0 or 1 from the run, 2 for a usage error. Help goes to
/// `out`, usage errors to `err`; everything else is logged (standard error
/// and the run's log file). Never throws: a failure no operation handles is
/// reported with its kind, message and the step it happened in, and gives 1.
int runProgram(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
               const aws::ClientWorld& deps);

}  // namespace probefleet
