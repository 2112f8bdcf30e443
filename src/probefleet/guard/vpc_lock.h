#pragma once
// Taking, renewing and giving back a run's lock on its VPC (run_lock.h holds
// the object's form). S3's conditional writes make each step atomic: a new
// lock is written only where none exists (If-None-Match: *), a stale one is
// taken over, renewed or deleted only while it is still the object that was
// read (If-Match: its ETag), so that of two runs racing for it one wins.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "aws/base/clock.h"
#include "aws/services/s3.h"
#include "probefleet/guard/run_lock.h"

namespace probefleet {

/// Another run holds the lock (or won the race for it).
class LockHeld : public std::runtime_error {
 public:
  LockHeld(const std::string& vpc_id, FoundLock found);
  const FoundLock& found() const { return found_; }

 private:
  FoundLock found_;
};

/// Where a lock lives and how it is kept.
struct LockPlace {
  const aws::S3Client& s3;
  std::string bucket;
  std::string vpc_id;
  aws::Clock& clock;  // for "now" when S3 does not say
};

/// A held lock. The destructor gives it back (see release).
class VpcLock {
 public:
  /// Takes the lock for `self` (whose lease_seconds sets the lease) and starts
  /// renewing it every fifth of the lease. Takes over a lock whose lease has
  /// run out or that was given back, logging whose it was. A write whose
  /// answer was lost is judged by reading the lock back. Throws LockHeld when
  /// a live run holds it, ServiceError or TransportError when S3 cannot be
  /// asked.
  static std::unique_ptr<VpcLock> take(const LockPlace& place, const LockHolder& self);

  ~VpcLock();
  VpcLock(const VpcLock&) = delete;
  VpcLock& operator=(const VpcLock&) = delete;

  /// Stops the renewals and deletes the lock if it is still ours (If-Match);
  /// where the role may not delete it, marks it released instead. Never
  /// throws: a lock that cannot be given back is logged as a warning and
  /// lapses with its lease. Runs even when the run was interrupted. Once only.
  void release();

  /// True once the lock stopped being this run's: a renewal found another
  /// holder or no lock at all, or no renewal succeeded for the lease minus
  /// one renewal period. The process's interruption is then requested (see
  /// aws::Interruption), so that the run starts nothing new and winds down.
  bool lost() const { return lost_.load(); }

  /// The ETag of our object, as last written.
  std::string etag() const;

 private:
  using LeaseClock = std::chrono::nanoseconds;  // see leaseNow()

  VpcLock(const LockPlace& place, LockHolder self, std::string etag, LeaseClock written_from);
  void renewEvery(std::chrono::milliseconds period);
  void watchLease(std::chrono::milliseconds period);
  bool renewOnce();
  void lose(const std::string& why);

  LockPlace place_;
  LockHolder self_;  // its renewal count goes up with every write
  mutable std::mutex mutex_;
  std::string etag_;
  LeaseClock last_renewed_{};
  std::condition_variable wake_;
  bool stopping_ = false;
  bool released_ = false;
  std::atomic<bool> losing_{false};  // the loss is being told (once)
  std::atomic<bool> lost_{false};
  std::thread renewer_;
  std::thread watcher_;
};

/// Clears the lock of the place by hand, whoever holds it, with a warning
/// naming the holder; a no-op (logged) when there is none or it was given
/// back. The delete is conditional on the ETag read, so a lock rewritten
/// meanwhile is kept and reported; where the role may not delete it, it is
/// marked released. Returns true when no lock is left. Throws what S3
/// throws.
bool forceUnlock(const LockPlace& place);

/// For a dry run: logs the lock found (live or stale, whose, since when) or
/// that there is none. Never throws: a lock that cannot be read is logged.
void reportLock(const LockPlace& place);

/// A new run id: 16 random hexadecimal digits.
std::string newRunId();

}  // namespace probefleet
