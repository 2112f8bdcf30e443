#include "s3/s3_backup_cmd.h"

#include <utility>

#include "s3/bucket_transfers.h"

namespace s3lib {

S3BackupCmd::S3BackupCmd(const aws::S3Client* s3_client, std::optional<std::string> backupdir,
                         std::optional<std::string> s3_bucket,
                         std::optional<std::string> relative_path)
    : s3_client(s3_client),
      backupdir(std::move(backupdir)),
      s3_bucket(std::move(s3_bucket)),
      relative_path(std::move(relative_path)) {}

void S3BackupCmd::upload() const {
  uploadAllFiles(s3_client, backupdir, relative_path, s3_bucket);
}

void S3BackupCmd::download() const {
  downloadAllFiles(s3_client, s3_bucket, relative_path, backupdir);
}

void S3BackupCmd::uploadAFile() const {
  uploadFile(s3_client, backupdir, relative_path, s3_bucket);
}

FingerprintResult S3BackupCmd::getS3KeyFileFingerprint() const {
  // An absent bucket or key is refused by the client, which the fingerprint
  // reports like any failed download.
  return get_private_key_fingerprint_from_s3(s3_client, s3_bucket.value_or(""),
                                             relative_path.value_or(""));
}

}  // namespace s3lib
