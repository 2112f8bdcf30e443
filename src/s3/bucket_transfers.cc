#include "s3/bucket_transfers.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "aws/services/s3_transfer.h"
#include "s3/transfer_pool.h"
#include "testlib/common.h"
#include "testlib/globals.h"

namespace s3lib {

namespace {

namespace fs = std::filesystem;

bool dryRun() {
  return testlib::Globals::dry_run.load();
}

const std::string& required(const std::optional<std::string>& value, const char* what,
                            const char* function) {
  if (!value) throw std::invalid_argument(std::string(function) + ": no " + what + " given");
  return *value;
}

// Joins as os.path.join does for a relative name: no doubled "/" when the
// folder already ends with one.
std::string joinPath(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

// The part of `key` after the first length(prefix) characters.
std::string remainderOf(const std::string& key, const std::string& prefix) {
  return key.size() > prefix.size() ? key.substr(prefix.size()) : std::string();
}

bool isSkippedBackup(const std::string& key) {
  return key.ends_with(".log") || key.ends_with(".tfstate") || key.ends_with(".backup");
}

// Logs each failure of a folder transfer under its name, in the order the
// transfers were handed over, then throws if there was any.
void reportFailures(const std::vector<TransferFailure>& failures, std::size_t total,
                    const std::string& what) {
  auto log = testlib::s3Logger();
  for (const TransferFailure& failure : failures) {
    log->error("  **Error** " + what + " of " + failure.name + " failed: " + failure.reason);
  }
  throwIfFailed(failures, total, what);
}

// The upload of one file: logged here, in the walk's order, and sent from
// the pool (or at once when there is none).
void uploadOne(const aws::S3Client& client, const std::string& file_path,
               const std::string& backupdir, const std::string& bucket, TransferPool* pool,
               const aws::TransferOptions& options) {
  const std::string key = testlib::Common::remove_prefix(file_path, backupdir + "/");
  testlib::s3Logger()->info("  " + file_path + " to " + bucket + "/" + key);
  if (dryRun()) return;
  if (pool == nullptr) {
    aws::uploadFile(client, file_path, bucket, key, options);
    return;
  }
  pool->submit(file_path, [&client, file_path, bucket, key, options](auto&) {
    aws::uploadFile(client, file_path, bucket, key, options);
  });
}

// One folder of the walk: its files in the order the file system lists them,
// then each sub-folder in turn. An unreadable folder contributes nothing, and
// a link to a folder is neither uploaded nor entered.
void uploadTree(const aws::S3Client& client, const std::string& folder,
                const std::string& backupdir, const std::string& bucket, TransferPool& pool,
                const aws::TransferOptions& options) {
  std::vector<std::string> files;
  std::vector<std::string> folders;
  {
    std::error_code error;
    fs::directory_iterator it(folder, error);
    if (error) return;
    for (; it != fs::directory_iterator(); it.increment(error)) {
      std::error_code kind_error;
      const bool is_folder = it->is_directory(kind_error);
      const bool is_link = it->is_symlink(kind_error);
      std::string name = it->path().filename().string();
      if (!is_folder) {
        files.push_back(std::move(name));
      } else if (!is_link) {
        folders.push_back(std::move(name));
      }
    }
    if (error) return;
  }
  for (const std::string& name : files)
    uploadOne(client, joinPath(folder, name), backupdir, bucket, &pool, options);
  for (const std::string& name : folders)
    uploadTree(client, joinPath(folder, name), backupdir, bucket, pool, options);
}

using UploadStep = std::function<void(const aws::S3Client&, const std::string& local_path,
                                      const std::string& backupdir, const std::string& bucket)>;

// What uploadFile and uploadAllFiles share: the checks of their arguments and
// the log lines, around `step`, which uploads backupdir/relative_path.
void uploadBelow(const aws::S3Client* s3_client, const std::optional<std::string>& backupdir,
                 const std::optional<std::string>& relative_path,
                 const std::optional<std::string>& s3_bucket, const char* function,
                 const UploadStep& step) {
  if (s3_client == nullptr) return;
  const std::string& base = required(backupdir, "base directory", function);
  const std::string local_path = base + "/" + required(relative_path, "relative path", function);
  auto log = testlib::s3Logger();
  log->info("- Upload " + local_path + " to S3");
  if (!s3_bucket) {
    log->info("  **Alert** failed to read S3 bucket name for upload");
    return;
  }
  step(*s3_client, local_path, base, *s3_bucket);
}

}  // namespace

bool staysInFolder(const std::string& relative_key) {
  if (!relative_key.empty() && relative_key.front() == '/') return false;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = relative_key.find('/', start);
    const std::size_t end = slash == std::string::npos ? relative_key.size() : slash;
    if (relative_key.compare(start, end - start, "..") == 0) return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

// ---- listing -------------------------------------------------------------

FileListing listAllFiles(const aws::S3Client* s3_client, const std::string& bucket,
                         const std::string& prefix, const std::string& /*suffix*/,
                         const std::string& contains) {
  return FileListing(s3_client, bucket, prefix, contains);
}

// ---- uploads ---------------------------------------------------------------

void uploadFile(const aws::S3Client* s3_client, const std::optional<std::string>& backupdir,
                const std::optional<std::string>& relative_path,
                const std::optional<std::string>& s3_bucket) {
  uploadBelow(s3_client, backupdir, relative_path, s3_bucket, "uploadFile",
              [](const aws::S3Client& client, const std::string& path, const std::string& base,
                 const std::string& bucket) {
                uploadOne(client, path, base, bucket, nullptr, aws::TransferOptions{});
              });
}

void uploadAllFiles(const aws::S3Client* s3_client, const std::optional<std::string>& backupdir,
                    const std::optional<std::string>& relative_path,
                    const std::optional<std::string>& s3_bucket, const TransferSettings& settings) {
  uploadBelow(s3_client, backupdir, relative_path, s3_bucket, "uploadAllFiles",
              [&settings](const aws::S3Client& client, const std::string& folder,
                          const std::string& base, const std::string& bucket) {
                // A large file's parts go as many at a time as files do, up
                // to the SDKs' ten: a folder of large files must not open
                // concurrency x concurrency connections.
                aws::TransferOptions options;
                options.max_concurrency =
                    std::clamp(settings.concurrency, 1, aws::TransferOptions{}.max_concurrency);
                TransferPool pool(settings.concurrency);
                uploadTree(client, folder, base, bucket, pool, options);
                const std::size_t total = pool.submitted();
                reportFailures(pool.finish(), total, "upload");
              });
}

// ---- deletion and downloads ------------------------------------------------

std::size_t deleteFolder(const aws::S3Client* s3_client,
                         const std::optional<std::string>& s3_bucket, const std::string& folder_key,
                         const TransferSettings& settings) {
  const std::string bucket = s3_bucket.value_or("");
  auto log = testlib::s3Logger();
  TransferPool pool(settings.concurrency);
  std::size_t keys_seen = 0;
  std::vector<std::string> batch;
  // Each batch goes to the pool as soon as it is full; the listing goes on
  // meanwhile. A key S3 could not delete is a failure under its own name.
  auto send = [&] {
    if (batch.empty()) return;
    const std::string name = batch.front() + " .. " + batch.back();
    pool.submit(name, [s3_client, bucket, keys = std::move(batch)](auto& failures) {
      for (const aws::DeleteObjectsError& error : s3_client->deleteObjects(bucket, keys)) {
        failures.push_back({error.key, error.code + ": " + error.message});
      }
    });
    batch.clear();
  };
  for (const ListingEntry& entry : listAllFiles(s3_client, bucket, folder_key)) {
    log->info("  " + entry.key);
    ++keys_seen;
    if (dryRun()) continue;
    batch.push_back(entry.key);
    if (batch.size() == aws::kMaxDeleteObjectsKeys) send();
  }
  send();
  reportFailures(pool.finish(), keys_seen, "deletion");
  return keys_seen;
}

namespace {

// What downloadBucketObj does before the download itself: the check of the
// key, the sub-folder. Returns the local file to download to, or nothing
// when there is nothing to download.
std::optional<std::string> prepareDownload(const std::string& dest, const std::string& prefix,
                                           const std::string& key) {
  const std::string remainder = remainderOf(key, prefix);
  if (!staysInFolder(remainder)) {
    testlib::s3Logger()->error("  **Error** refused to download " + key + ": its path leaves " +
                               dest);
    return std::nullopt;
  }
  const std::size_t last_slash = key.rfind('/');
  const std::string sub_folder = last_slash != std::string::npos && last_slash > prefix.size()
                                     ? key.substr(prefix.size(), last_slash - prefix.size())
                                     : "";
  const std::string folder = dest + "/" + sub_folder;
  if (!fs::exists(folder) && !dryRun()) fs::create_directories(folder);
  // A key that ends in "/" is a folder marker: the folder is all there is.
  if (remainder.empty() || remainder.back() == '/') return std::nullopt;
  return dest + "/" + remainder;
}

}  // namespace

void downloadBucketObj(const aws::S3Client* s3_client, const std::string& bucket,
                       const std::string& dest, const std::string& prefix, const std::string& key) {
  const std::optional<std::string> file = prepareDownload(dest, prefix, key);
  if (!file) return;
  if (s3_client == nullptr) throw std::invalid_argument("downloadBucketObj: no S3 client given");
  aws::downloadFile(*s3_client, bucket, key, *file);
}

DownloadSummary downloadAllFiles(const aws::S3Client* s3_client,
                                 const std::optional<std::string>& s3_bucket,
                                 const std::optional<std::string>& vpc_id,
                                 const std::optional<std::string>& target_location,
                                 const TransferSettings& settings) {
  auto log = testlib::s3Logger();
  DownloadSummary summary;
  if (!s3_bucket) {
    log->warn("  **Alert** failed to read S3 bucket name for download");
    return summary;
  }
  const std::string& vpc = required(vpc_id, "VPC id", "downloadAllFiles");
  const std::string target_folder =
      required(target_location, "target location", "downloadAllFiles") + "/" + vpc;
  log->info("- Download S3 " + *s3_bucket + "/" + vpc + " to " + target_folder);
  const std::string prefix = "backups/" + vpc + "/";
  if (!fs::exists(target_folder) && !dryRun()) fs::create_directories(target_folder);

  // Folders are made here, in the listing's order; only the downloads
  // themselves go to the pool. A large object comes in ranges, as many at a
  // time as files, up to ten.
  aws::TransferOptions options;
  options.max_concurrency = std::clamp(settings.concurrency, 1, options.max_concurrency);
  TransferPool pool(settings.concurrency);
  for (const ListingEntry& entry : listAllFiles(s3_client, *s3_bucket, prefix)) {
    ++summary.listed;
    if (isSkippedBackup(entry.key)) continue;
    if (!staysInFolder(remainderOf(entry.key, prefix))) {
      log->error("  **Error** refused to download " + entry.key + ": its path leaves " +
                 target_folder);
      ++summary.refused;
      continue;
    }
    log->info("  " + entry.key);
    if (dryRun()) continue;
    const std::optional<std::string> file = prepareDownload(target_folder, prefix, entry.key);
    if (!file) continue;
    const aws::ObjectVersion listed{entry.size, entry.etag};
    pool.submit(entry.key,
                [s3_client, bucket = *s3_bucket, key = entry.key, path = *file, &options, listed](
                    auto&) { aws::downloadFile(*s3_client, bucket, key, path, options, listed); });
  }
  const std::size_t total = pool.submitted();
  reportFailures(pool.finish(), total, "download");
  return summary;
}

}  // namespace s3lib
