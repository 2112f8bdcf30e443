#include "probefleet/vpc_lock.h"

#include <algorithm>
#include <random>

#include "aws/base/clock.h"
#include "aws/base/interrupt.h"
#include "aws/client/error.h"
#include "testlib/app_exit_status.h"
#include "testlib/common.h"

namespace probefleet {

namespace {

// Each round writes or reads once; a round is lost only to another run's
// write in between, so three rounds end in a lock or a holder.
constexpr int kTakeRounds = 3;

bool isMissingKey(const aws::ServiceError& error) {
  return error.code() == "NoSuchKey" || error.httpStatus() == 404;
}

std::string heldMessage(const std::string& vpc_id, const FoundLock& found) {
  return "VPC " + vpc_id + " is locked by " + describeHolder(found.holder) + ", last renewed at " +
         aws::formatIsoTime(found.last_modified);
}

std::string staleText(const FoundLock& found) {
  return "its lease of " + std::to_string(found.holder.lease_seconds) + " s ran out at " +
         aws::formatIsoTime(found.last_modified + std::chrono::seconds(found.holder.lease_seconds));
}

// Writes our lock under `condition`; nullopt when the condition no longer
// holds or the object it named is gone (another run was faster).
std::optional<std::string> write(const LockPlace& place, const std::string& body,
                                 const aws::S3WriteCondition& condition) {
  try {
    return place.s3.putObject(place.bucket, lockKey(place.vpc_id), body, "application/json",
                              condition);
  } catch (const aws::S3ConditionFailed&) {
    return std::nullopt;
  } catch (const aws::ServiceError& error) {
    if (condition.kind == aws::S3WriteCondition::Kind::kEtag && isMissingKey(error)) {
      return std::nullopt;
    }
    throw;
  }
}

}  // namespace

LockHeld::LockHeld(const std::string& vpc_id, FoundLock found)
    : std::runtime_error(heldMessage(vpc_id, found)), found_(std::move(found)) {}

std::string newRunId() {
  std::random_device device;
  std::uniform_int_distribution<unsigned> digit(0, 15);
  std::string id;
  for (int i = 0; i < 16; ++i) id += "0123456789abcdef"[digit(device)];
  return id;
}

std::unique_ptr<VpcLock> VpcLock::take(const LockPlace& place, const LockHolder& self) {
  auto log = testlib::logger();
  const std::string body = formatLockHolder(self);
  std::optional<FoundLock> found;
  for (int round = 0; round < kTakeRounds; ++round) {
    if (auto etag = write(place, body, aws::S3WriteCondition::absent())) {
      return std::unique_ptr<VpcLock>(new VpcLock(place, self, *etag));
    }
    found = readLock(place.s3, place.bucket, place.vpc_id, place.clock.now());
    if (!found) continue;  // given back in between: try afresh
    // Our own write whose answer was lost on the way, then retried.
    if (found->holder.run_id == self.run_id) {
      return std::unique_ptr<VpcLock>(new VpcLock(place, self, found->etag));
    }
    if (found->live()) throw LockHeld(place.vpc_id, *found);
    log->warn("  **Warning** taking over the lock of VPC " + place.vpc_id + " from " +
              describeHolder(found->holder) + ": " + staleText(*found));
    if (auto etag = write(place, body, aws::S3WriteCondition::matching(found->etag))) {
      return std::unique_ptr<VpcLock>(new VpcLock(place, self, *etag));
    }
  }
  found = readLock(place.s3, place.bucket, place.vpc_id, place.clock.now());
  if (found) throw LockHeld(place.vpc_id, *found);
  throw std::runtime_error("the lock of VPC " + place.vpc_id + " changed hands " +
                           std::to_string(kTakeRounds) + " times while this run tried to take it");
}

VpcLock::VpcLock(const LockPlace& place, LockHolder self, std::string etag)
    : place_(place),
      self_(std::move(self)),
      body_(formatLockHolder(self_)),
      etag_(std::move(etag)) {
  testlib::logger()->info("- Took the lock s3://" + place_.bucket + "/" + lockKey(place_.vpc_id) +
                          " (run " + self_.run_id + ", lease " +
                          std::to_string(self_.lease_seconds) + " s)");
  // At least once a second, so that a short lease (in tests) is kept too.
  const auto period = std::max(std::chrono::milliseconds(200),
                               std::chrono::milliseconds(self_.lease_seconds * 1000 / 5));
  renewer_ = std::thread([this, period] { renewEvery(period); });
}

VpcLock::~VpcLock() {
  release();
}

std::string VpcLock::etag() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return etag_;
}

// The lease is measured on S3's clock against the object's Last-Modified,
// so renewals keep wall time, whatever scale the run's pauses have.
void VpcLock::renewEvery(std::chrono::milliseconds period) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, period, [this] { return stopping_; })) {
    lock.unlock();
    const bool kept = renewOnce();
    lock.lock();
    if (!kept) return;
  }
}

// One rewrite under If-Match. False once the lock is no longer ours.
bool VpcLock::renewOnce() {
  auto log = testlib::logger();
  // No shelter here: it is process-wide and would keep the run's own pauses
  // from ending when it is interrupted. A renewal cut short is one missed.
  try {
    if (auto written = write(place_, body_, aws::S3WriteCondition::matching(etag()))) {
      std::lock_guard<std::mutex> lock(mutex_);
      etag_ = *written;
      return true;
    }
    // The ETag we hold may be stale only because an earlier renewal's answer
    // was lost after S3 stored it: the object is then still ours.
    const auto found = readLock(place_.s3, place_.bucket, place_.vpc_id, place_.clock.now());
    if (found && found->holder.run_id == self_.run_id) {
      std::lock_guard<std::mutex> lock(mutex_);
      etag_ = found->etag;
      return true;
    }
    lost_.store(true);
    testlib::AppExitStatus::markFailed();
    log->error(
        "  **Error** the lock of VPC " + place_.vpc_id + " is no longer this run's: " +
        (found ? "it is held by " + describeHolder(found->holder) : std::string("it was cleared")) +
        "; another run may be changing the VPC too");
    return false;
  } catch (const aws::Interrupted&) {
    return true;
  } catch (const std::exception& failure) {
    // Missed renewals are what the lease allows for; the next one may pass.
    log->warn("  **Warning** could not renew the lock of VPC " + place_.vpc_id + ": " +
              failure.what());
    return true;
  }
}

void VpcLock::release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (released_) return;
    released_ = true;
    stopping_ = true;
  }
  wake_.notify_all();
  if (renewer_.joinable()) renewer_.join();
  if (lost()) return;
  auto log = testlib::logger();
  const aws::Interruption::Shelter shelter;
  const std::string where = "s3://" + place_.bucket + "/" + lockKey(place_.vpc_id);
  try {
    place_.s3.deleteObject(place_.bucket, lockKey(place_.vpc_id),
                           aws::S3WriteCondition::matching(etag()));
    log->info("- Gave back the lock " + where);
  } catch (const aws::S3ConditionFailed&) {
    log->warn("  **Warning** the lock " + where +
              " was rewritten by another run; it is left to that run");
  } catch (const aws::ServiceError& error) {
    if (isMissingKey(error)) {
      log->warn("  **Warning** the lock " + where + " was already gone (cleared by hand?)");
    } else {
      log->warn("  **Warning** could not give back the lock " + where + ": " + error.what() +
                "; it lapses after its lease of " + std::to_string(self_.lease_seconds) + " s");
    }
  } catch (const std::exception& failure) {
    log->warn("  **Warning** could not give back the lock " + where + ": " + failure.what() +
              "; it lapses after its lease of " + std::to_string(self_.lease_seconds) + " s");
  }
}

bool forceUnlock(const LockPlace& place) {
  auto log = testlib::logger();
  const auto found = readLock(place.s3, place.bucket, place.vpc_id, place.clock.now());
  if (!found) {
    log->info("- --force_unlock: VPC " + place.vpc_id + " has no lock to clear");
    return true;
  }
  log->warn("  **Warning** --force_unlock: clearing the lock of VPC " + place.vpc_id + " held by " +
            describeHolder(found->holder) + " (" +
            (found->live() ? "live: if that run still works, the two runs now interleave"
                           : "stale: " + staleText(*found)) +
            ")");
  try {
    place.s3.deleteObject(place.bucket, lockKey(place.vpc_id),
                          aws::S3WriteCondition::matching(found->etag));
    return true;
  } catch (const aws::S3ConditionFailed&) {
    log->warn("  **Warning** --force_unlock: the lock of VPC " + place.vpc_id +
              " changed while it was cleared; it is kept");
    return false;
  } catch (const aws::ServiceError& error) {
    if (isMissingKey(error)) return true;
    throw;
  }
}

void reportLock(const LockPlace& place) {
  auto log = testlib::logger();
  try {
    const auto found = readLock(place.s3, place.bucket, place.vpc_id, place.clock.now());
    if (!found) {
      log->info("- Dry run: VPC " + place.vpc_id + " has no lock; a run would take one");
    } else if (found->live()) {
      log->warn("  **Warning** dry run: " + heldMessage(place.vpc_id, *found) +
                "; a run now would stop before any change");
    } else {
      log->info("- Dry run: VPC " + place.vpc_id + " has a stale lock of " +
                describeHolder(found->holder) + " (" + staleText(*found) +
                "); a run would take it over");
    }
  } catch (const std::exception& failure) {
    log->warn("  **Warning** dry run: cannot read the lock of VPC " + place.vpc_id + ": " +
              failure.what());
  }
}

}  // namespace probefleet
