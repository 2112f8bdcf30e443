#include "aws/services/s3_transfer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <filesystem>
#include <list>
#include <mutex>
#include <system_error>
#include <vector>

#include "aws/base/unique_fd.h"
#include "aws/services/parts.h"
#include "aws/services/s3_download.h"

namespace aws {

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kMinPartSize = 5ull * 1024 * 1024;
constexpr std::uint64_t kMaxPartSize = 5ull * 1024 * 1024 * 1024;
constexpr std::uint64_t kMaxParts = 10000;

/// The file's size, after making sure it is a regular file we can open.
std::uint64_t readableFileSize(const std::string& path) {
  std::uint64_t size = fs::file_size(path);  // throws for a missing file or a folder
  if (!UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC))) {
    throw fs::filesystem_error("cannot open file for upload", path,
                               std::error_code(errno, std::generic_category()));
  }
  return size;
}

/// Sends the parts of an open multipart upload from a few worker threads.
/// Returns the completed parts in order, or rethrows the first failure after
/// every worker has stopped.
std::vector<CompletedPart> uploadParts(const S3Client& client, const std::string& path,
                                       std::uint64_t size, const std::string& bucket,
                                       const std::string& key, const std::string& upload_id,
                                       std::uint64_t part_size, int max_concurrency) {
  const std::uint64_t count = (size + part_size - 1) / part_size;
  std::vector<CompletedPart> parts(count);
  forEachPart(count, max_concurrency, [&](std::uint64_t index) {
    const std::uint64_t offset = index * part_size;
    const FileRange range{path, offset, std::min(part_size, size - offset)};
    parts[index] = client.uploadPart(bucket, key, upload_id, static_cast<int>(index + 1), range);
  });
  return parts;
}

// The multipart uploads open in the process, for abortOpenUploads(). An
// entry leaves the list (its guard waits for the list's lock) before its
// client can go away.
struct OpenUpload {
  const S3Client* client;
  std::string bucket, key, upload_id;
};
std::mutex open_uploads_mutex;
std::list<OpenUpload>& openUploads() {
  static auto* uploads = new std::list<OpenUpload>();  // used until _exit
  return *uploads;
}

class OpenUploadGuard {
 public:
  explicit OpenUploadGuard(OpenUpload upload) {
    std::lock_guard<std::mutex> lock(open_uploads_mutex);
    entry_ = openUploads().insert(openUploads().end(), std::move(upload));
  }
  ~OpenUploadGuard() {
    std::lock_guard<std::mutex> lock(open_uploads_mutex);
    openUploads().erase(entry_);
  }
  OpenUploadGuard(const OpenUploadGuard&) = delete;
  OpenUploadGuard& operator=(const OpenUploadGuard&) = delete;

 private:
  std::list<OpenUpload>::iterator entry_;
};

}  // namespace

std::vector<std::string> abortOpenUploads() {
  std::lock_guard<std::mutex> lock(open_uploads_mutex);
  std::vector<std::string> said;
  for (const OpenUpload& upload : openUploads()) {
    const std::string what = "the multipart upload of s3://" + upload.bucket + "/" + upload.key;
    try {
      upload.client->abortMultipartUpload(upload.bucket, upload.key, upload.upload_id);
      said.push_back("aborted " + what);
    } catch (const std::exception& error) {
      said.push_back("could not abort " + what + " (upload id " + upload.upload_id +
                     "): " + error.what());
    }
  }
  return said;
}

std::uint64_t adjustedPartSize(std::uint64_t file_size, std::uint64_t requested) {
  std::uint64_t part_size = std::clamp(requested, kMinPartSize, kMaxPartSize);
  while ((file_size + part_size - 1) / part_size > kMaxParts) part_size *= 2;
  return part_size;
}

void uploadFile(const S3Client& client, const std::string& path, const std::string& bucket,
                const std::string& key, const TransferOptions& options) {
  const std::uint64_t size = readableFileSize(path);
  if (size < options.multipart_threshold) {
    client.putObjectFromFile(bucket, key, FileRange{path, 0, size});
    return;
  }

  const std::uint64_t part_size = adjustedPartSize(size, options.part_size);
  const std::string upload_id = client.createMultipartUpload(bucket, key);
  const OpenUploadGuard open({&client, bucket, key, upload_id});
  try {
    std::vector<CompletedPart> parts =
        uploadParts(client, path, size, bucket, key, upload_id, part_size, options.max_concurrency);
    client.completeMultipartUpload(bucket, key, upload_id, parts);
  } catch (...) {
    try {
      client.abortMultipartUpload(bucket, key, upload_id);
    } catch (...) {
      // The original failure is the one worth reporting; an upload left
      // open is removed by the bucket's lifecycle rules or a later abort.
    }
    throw;
  }
}

void downloadFile(const S3Client& client, const std::string& bucket, const std::string& key,
                  const std::string& path, const TransferOptions& options,
                  const std::optional<ObjectVersion>& listed) {
  if (listed && !listed->etag.empty() && listed->size >= options.multipart_threshold) {
    getObjectRangesToFile(client, bucket, key, path, *listed,
                          adjustedPartSize(listed->size, options.part_size),
                          options.max_concurrency);
    return;
  }
  getObjectToFile(client, bucket, key, path);
}

}  // namespace aws
