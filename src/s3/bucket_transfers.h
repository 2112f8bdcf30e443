#pragma once
// Moving files between a local folder tree and a bucket: single files, whole
// folders, the backup folder of a VPC, and the listing under a key prefix.
//
// The folder transfers keep TransferSettings::concurrency transfers in flight
// (a pool of that many threads); each file is still logged in the order of
// the walk or the listing, before it is sent. A file that fails does not stop
// the others: once all have ended, each failure is logged at error level
// with its name ("  **Error** upload of <path> failed: <reason>") and a
// FolderTransferError reaches the caller.
//
// The functions that change something test testlib::Globals::dry_run right
// before the change and then only log. Everything is logged to the library's
// logger (testlib::s3Logger()). Apart from the conditions each function names,
// failures (ServiceError, TransportError, std::filesystem::filesystem_error,
// std::system_error, std::invalid_argument for an absent bucket) reach the
// caller; what was already transferred stays so.

#include <optional>
#include <string>

#include "aws/services/s3.h"
#include "s3/file_listing.h"
#include "s3/transfer_pool.h"

namespace s3lib {

/// Uploads backupdir/relative_path under the key relative_path. Returns at
/// once, silently, without a client; logs an alert and returns without a
/// bucket. Throws std::invalid_argument when backupdir or relative_path is
/// absent (and a client is given).
void uploadFile(const aws::S3Client* s3_client, const std::optional<std::string>& backupdir,
                const std::optional<std::string>& relative_path,
                const std::optional<std::string>& s3_bucket);

/// Uploads every file below backupdir/relative_path under its path relative
/// to backupdir: top-down, a folder's own files before its sub-folders', in
/// the file system's order; links to folders are not followed; a folder that
/// is missing or unreadable yields nothing. Absent values as uploadFile.
/// A file large enough to go in parts sends up to `settings.concurrency`
/// of them at once (ten at most), besides the other files in flight.
void uploadAllFiles(const aws::S3Client* s3_client, const std::optional<std::string>& backupdir,
                    const std::optional<std::string>& relative_path,
                    const std::optional<std::string>& s3_bucket,
                    const TransferSettings& settings = {});

/// The objects of `bucket` under `prefix` whose key contains `contains` (a
/// plain substring test; "" matches all). `suffix` is accepted for callers'
/// sake and filters nothing.
FileListing listAllFiles(const aws::S3Client* s3_client, const std::string& bucket,
                         const std::string& prefix = "", const std::string& suffix = "",
                         const std::string& contains = "");

/// Deletes every object whose key begins with `folder_key` ("" means the
/// whole bucket), logging each key as it is listed: in DeleteObjects batches
/// of up to 1,000 keys, sent while the listing goes on. Each key S3 reports
/// as not deleted is a failure under its key, with S3's code and message.
/// Returns the number of keys listed.
std::size_t deleteFolder(const aws::S3Client* s3_client,
                         const std::optional<std::string>& s3_bucket, const std::string& folder_key,
                         const TransferSettings& settings = {});

/// Downloads `key` to dest + "/" + the key without its first length(prefix)
/// characters, making the sub-folder unless in a dry run (the download itself
/// happens in a dry run too). The file appears under its name only once
/// complete. A key whose remainder begins with "/" or holds a ".." segment is
/// refused with an error line naming it, and nothing is written; a remainder
/// that is empty or ends in "/" names a folder (an S3 folder marker): the
/// folder is made and nothing is downloaded.
void downloadBucketObj(const aws::S3Client* s3_client, const std::string& bucket,
                       const std::string& dest, const std::string& prefix, const std::string& key);

/// What a folder download found in its one listing.
struct DownloadSummary {
  std::size_t listed = 0;   // keys under the folder, skipped ones included
  std::size_t refused = 0;  // keys that would have left the target folder
};

/// Mirrors the objects under "backups/" + vpc_id + "/" into
/// target_location + "/" + vpc_id, skipping keys that end in ".log",
/// ".tfstate" or ".backup" and refusing keys that would leave the folder (an
/// error line each; the others go on). Returns what the listing held, so a
/// caller can tell an empty folder or refused keys without listing again.
/// Without a bucket, logs a warning and returns an empty summary. Throws
/// std::invalid_argument when vpc_id or target_location is absent (and a
/// bucket is given).
DownloadSummary downloadAllFiles(const aws::S3Client* s3_client,
                                 const std::optional<std::string>& s3_bucket,
                                 const std::optional<std::string>& vpc_id,
                                 const std::optional<std::string>& target_location,
                                 const TransferSettings& settings = {});

/// True when `relative_key` (an object key without its folder prefix) can be
/// written below a folder: it does not begin with "/" and no "/"-separated
/// segment of it is "..".
bool staysInFolder(const std::string& relative_key);

}  // namespace s3lib
