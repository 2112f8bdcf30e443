#pragma once
// One prepared transfer between a local base folder and a bucket: bound once,
// run with no further arguments.

#include <optional>
#include <string>

#include "aws/services/s3.h"
#include "s3/fingerprint.h"

namespace s3lib {

class S3BackupCmd {
 public:
  /// Stores the four values exactly as given; checks nothing. `s3_client`
  /// (may be null) must outlive the command.
  S3BackupCmd(const aws::S3Client* s3_client, std::optional<std::string> backupdir,
              std::optional<std::string> s3_bucket,
              std::optional<std::string> relative_path = std::nullopt);

  /// uploadAllFiles(s3_client, backupdir, relative_path, s3_bucket): every file
  /// below backupdir/relative_path, under its path relative to backupdir.
  void upload() const;
  /// downloadAllFiles(s3_client, s3_bucket, relative_path, backupdir): the
  /// backup folder of the VPC relative_path into backupdir/relative_path.
  void download() const;
  /// uploadFile(s3_client, backupdir, relative_path, s3_bucket).
  void uploadAFile() const;
  /// get_private_key_fingerprint_from_s3(s3_client, s3_bucket, relative_path),
  /// with no pass phrase; an absent bucket or key gives the empty result.
  FingerprintResult getS3KeyFileFingerprint() const;

  const aws::S3Client* s3_client;
  std::optional<std::string> backupdir;
  std::optional<std::string> s3_bucket;
  std::optional<std::string> relative_path;
};

}  // namespace s3lib
