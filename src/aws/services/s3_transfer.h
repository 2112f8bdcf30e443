#pragma once
// Managed S3 file transfers, as awscli and boto3 do them: one PutObject for a
// small file, a multipart upload with parts sent in parallel for a large one,
// and a streamed download that only ever shows a complete file.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "aws/services/s3.h"
#include "aws/services/s3_download.h"

namespace aws {

struct TransferOptions {
  /// Files of at least this size go up in parts.
  std::uint64_t multipart_threshold = 8 * 1024 * 1024;
  /// Size of each part; raised when a file would need more than 10,000 parts.
  std::uint64_t part_size = 8 * 1024 * 1024;
  /// Parts in flight at once.
  int max_concurrency = 10;
};

/// Uploads the file at `path` as s3://bucket/key. The file is streamed from
/// disk part by part; memory use does not grow with its size. On any failure
/// of a multipart upload the upload is aborted and the first failure is
/// rethrown. Throws std::filesystem::filesystem_error when the file cannot be
/// read, and what S3Client throws.
void uploadFile(const S3Client& client, const std::string& path, const std::string& bucket,
                const std::string& key, const TransferOptions& options = {});

/// For a process ending on a signal: sends one AbortMultipartUpload for each
/// multipart upload uploadFile() has open at this moment (parts still in
/// flight die with the process; S3 stores a part only once all of it
/// arrived). Returns a line per upload saying whether it was aborted, with
/// S3's reason when not. Thread-safe; an uploadFile() that ends meanwhile
/// waits until this returns.
std::vector<std::string> abortOpenUploads();

/// Downloads s3://bucket/key to `path` (see getObjectToFile: a
/// failure never leaves a partial file under `path`). An object a listing
/// gave as `listed`, of at least the multipart threshold, comes in ranges of
/// the part size, `max_concurrency` at once (see getObjectRangesToFile).
void downloadFile(const S3Client& client, const std::string& bucket, const std::string& key,
                  const std::string& path, const TransferOptions& options = {},
                  const std::optional<ObjectVersion>& listed = std::nullopt);

/// The part size actually used for a file of `file_size` bytes: at least 5 MiB
/// (S3's minimum) and large enough that no more than 10,000 parts are needed.
std::uint64_t adjustedPartSize(std::uint64_t file_size, std::uint64_t requested);

}  // namespace aws
