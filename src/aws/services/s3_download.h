#pragma once
// Downloading an object straight into a file, which appears under its name
// only once it is complete.

#include <cstdint>
#include <string>

#include "aws/services/s3.h"

namespace aws {

/// Streams s3://bucket/key into `path`: the bytes go to a new owner-only file
/// (mode 0600) beside it, which is synced and renamed over `path` once
/// complete; missing parent folders are created. On any failure the
/// temporary file is removed and `path` is left as it was. Throws what
/// S3Client::getObject throws, std::invalid_argument when `path` names no
/// file, and std::filesystem::filesystem_error or std::system_error for local
/// file failures.
S3ObjectInfo getObjectToFile(const S3Client& client, const std::string& bucket,
                             const std::string& key, const std::string& path);

/// What a listing said of an object: enough to fetch it in ranges.
struct ObjectVersion {
  std::uint64_t size = 0;
  std::string etag;  // as S3 sent it, quotes included
};

/// As getObjectToFile, for an object known to be `object.size` bytes: it is
/// fetched in ranges of `part_size` bytes, up to `max_concurrency` at once,
/// each into its place in the file, as the AWS CLI does. Every range is asked
/// for only while the object's ETag is `object.etag`, so an object replaced
/// meanwhile fails the download (S3ConditionFailed) instead of mixing two
/// versions. On the first failure the other ranges stop and it is rethrown.
S3ObjectInfo getObjectRangesToFile(const S3Client& client, const std::string& bucket,
                                   const std::string& key, const std::string& path,
                                   const ObjectVersion& object, std::uint64_t part_size,
                                   int max_concurrency);

}  // namespace aws
