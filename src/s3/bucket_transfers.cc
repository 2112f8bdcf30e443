#include "s3/bucket_transfers.h"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "aws/services/s3_transfer.h"
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

void uploadOne(const aws::S3Client& client, const std::string& file_path,
               const std::string& backupdir, const std::string& bucket) {
  const std::string key = testlib::Common::remove_prefix(file_path, backupdir + "/");
  testlib::s3Logger()->info("  " + file_path + " to " + bucket + "/" + key);
  if (!dryRun()) aws::uploadFile(client, file_path, bucket, key);
}

// One folder of the walk: its files in the order the file system lists them,
// then each sub-folder in turn. An unreadable folder contributes nothing, and
// a link to a folder is neither uploaded nor entered.
void uploadTree(const aws::S3Client& client, const std::string& folder,
                const std::string& backupdir, const std::string& bucket) {
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
    uploadOne(client, joinPath(folder, name), backupdir, bucket);
  for (const std::string& name : folders)
    uploadTree(client, joinPath(folder, name), backupdir, bucket);
}

using UploadStep = void (*)(const aws::S3Client&, const std::string& local_path,
                            const std::string& backupdir, const std::string& bucket);

// What uploadFile and uploadAllFiles share: the checks of their arguments and
// the log lines, around `step`, which uploads backupdir/relative_path.
void uploadBelow(const aws::S3Client* s3_client, const std::optional<std::string>& backupdir,
                 const std::optional<std::string>& relative_path,
                 const std::optional<std::string>& s3_bucket, const char* function,
                 UploadStep step) {
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
  uploadBelow(s3_client, backupdir, relative_path, s3_bucket, "uploadFile", uploadOne);
}

void uploadAllFiles(const aws::S3Client* s3_client, const std::optional<std::string>& backupdir,
                    const std::optional<std::string>& relative_path,
                    const std::optional<std::string>& s3_bucket) {
  uploadBelow(s3_client, backupdir, relative_path, s3_bucket, "uploadAllFiles", uploadTree);
}

// ---- deletion and downloads ------------------------------------------------

void deleteFolder(const aws::S3Client* s3_client, const std::optional<std::string>& s3_bucket,
                  const std::string& folder_key) {
  const std::string bucket = s3_bucket.value_or("");
  auto log = testlib::s3Logger();
  for (const ListingEntry& entry : listAllFiles(s3_client, bucket, folder_key)) {
    log->info("  " + entry.key);
    if (!dryRun()) s3_client->deleteObject(bucket, entry.key);
  }
}

void downloadBucketObj(const aws::S3Client* s3_client, const std::string& bucket,
                       const std::string& dest, const std::string& prefix, const std::string& key) {
  const std::string remainder = remainderOf(key, prefix);
  if (!staysInFolder(remainder)) {
    testlib::s3Logger()->error("  **Error** refused to download " + key + ": its path leaves " +
                               dest);
    return;
  }
  const std::size_t last_slash = key.rfind('/');
  const std::string sub_folder = last_slash != std::string::npos && last_slash > prefix.size()
                                     ? key.substr(prefix.size(), last_slash - prefix.size())
                                     : "";
  const std::string folder = dest + "/" + sub_folder;
  if (!fs::exists(folder) && !dryRun()) fs::create_directories(folder);
  // A key that ends in "/" is a folder marker: the folder is all there is.
  if (remainder.empty() || remainder.back() == '/') return;
  if (s3_client == nullptr) throw std::invalid_argument("downloadBucketObj: no S3 client given");
  aws::downloadFile(*s3_client, bucket, key, dest + "/" + remainder);
}

void downloadAllFiles(const aws::S3Client* s3_client, const std::optional<std::string>& s3_bucket,
                      const std::optional<std::string>& vpc_id,
                      const std::optional<std::string>& target_location) {
  auto log = testlib::s3Logger();
  if (!s3_bucket) {
    log->warn("  **Alert** failed to read S3 bucket name for download");
    return;
  }
  const std::string& vpc = required(vpc_id, "VPC id", "downloadAllFiles");
  const std::string target_folder =
      required(target_location, "target location", "downloadAllFiles") + "/" + vpc;
  log->info("- Download S3 " + *s3_bucket + "/" + vpc + " to " + target_folder);
  const std::string prefix = "backups/" + vpc + "/";
  if (!fs::exists(target_folder) && !dryRun()) fs::create_directories(target_folder);

  for (const ListingEntry& entry : listAllFiles(s3_client, *s3_bucket, prefix)) {
    if (isSkippedBackup(entry.key)) continue;
    if (!staysInFolder(remainderOf(entry.key, prefix))) {
      log->error("  **Error** refused to download " + entry.key + ": its path leaves " +
                 target_folder);
      continue;
    }
    log->info("  " + entry.key);
    if (!dryRun()) downloadBucketObj(s3_client, *s3_bucket, target_folder, prefix, entry.key);
  }
}

}  // namespace s3lib
