#pragma once
// The lock a run holds on its VPC while it changes it: the object
// locks/<vpc_id>.json in the run's bucket, a JSON object that names the
// holder. It is live while its last write is younger than its lease; the
// holder rewrites it while it works. This header reads and writes the
// object's text and tells whether a lock is live; whoever must respect a
// lock (a run, a sweep) needs nothing else.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "aws/services/s3.h"

namespace probefleet {

using LockTime = std::chrono::system_clock::time_point;

/// A lease long enough to survive a few missed renewals, short enough that a
/// dead run's VPC is free again within minutes.
inline constexpr long long kDefaultLeaseSeconds = 300;

/// Who holds a lock, as its object says.
struct LockHolder {
  std::string run_id;
  std::string host;
  std::string user;
  std::string mode;     // "deploy" or "revert"
  std::string started;  // ISO-8601 UTC, "2026-12-09T11:20:00Z"
  std::string command;  // the command line, secrets masked
  long long pid = 0;
  long long lease_seconds = kDefaultLeaseSeconds;
  // Counts the holder's writes, so that each one has new bytes and a new
  // ETag: a taker's If-Match on what it read then fails once the holder has
  // renewed. 0 in the first write (and in objects written before it was).
  long long renewal = 0;
  // The holder gave the lock back but could not delete it (no
  // s3:DeleteObject): the object stays, and means "free".
  bool released = false;
};

/// "locks/<vpc_id>.json".
std::string lockKey(const std::string& vpc_id);

/// The object's body: one JSON object with the holder's fields.
std::string formatLockHolder(const LockHolder& holder);

/// The holder a body names; nullopt when the body is not a JSON object with
/// every field of the right type, or its lease is not above 0. `renewal`
/// and `released` may be absent (older objects): 0 and false.
std::optional<LockHolder> parseLockHolder(const std::string& body);

/// True while `last_modified` + the holder's lease + one second (both times
/// are S3's whole seconds) is later than `now`, unless the holder gave the
/// lock back (`released`).
bool isLive(const LockHolder& holder, LockTime last_modified, LockTime now);

/// A time as S3 writes it: an HTTP date (Last-Modified, Date headers:
/// "Wed, 09 Dec 2026 11:20:00 GMT") or ISO-8601 UTC (listings, our
/// `started`: "2026-12-09T11:20:00Z", fractions allowed). nullopt otherwise.
std::optional<LockTime> parseS3Time(const std::string& text);

/// A lock as found in the bucket.
struct FoundLock {
  LockHolder holder;     // a body that is no lock reads as an unknown holder
  bool readable = true;  // false when the body was not a lock's
  std::string etag;      // for a conditional write or delete
  LockTime last_modified;
  LockTime now;  // S3's clock when it answered (else ours)
  bool live() const { return isLive(holder, last_modified, now); }
};

/// Reads the lock of `vpc_id` in `bucket`; nullopt when there is none.
/// `local_now` stands in when S3's answer carries no Date. Throws what
/// S3Client::getObject throws, except NoSuchKey.
std::optional<FoundLock> readLock(const aws::S3Client& s3, const std::string& bucket,
                                  const std::string& vpc_id, LockTime local_now);

/// One line naming the holder: "run R (host H, pid P, user U, mode M) since S".
std::string describeHolder(const LockHolder& holder);

/// This machine's host name ("unknown" when it has none) and the effective
/// user's name ("uid N" when it has none), as a lock names its holder.
std::string lockHostName();
std::string lockUserName();

/// The command line as a lock records it: the program and its arguments,
/// with the value of any option whose name speaks of a secret, token,
/// password or credential, and any word holding something shaped like an AWS
/// access key id or secret access key, replaced by "****".
std::string commandForLock(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace probefleet
