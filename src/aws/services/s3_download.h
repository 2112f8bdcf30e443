#pragma once
// Downloading an object straight into a file, which appears under its name
// only once it is complete.

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

}  // namespace aws
