#include "probefleet/guard/vpc_lock.h"

#include <time.h>

#include <algorithm>
#include <exception>
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

bool isDenied(const aws::ServiceError& error) {
  return error.httpStatus() == 403 && error.code() == "AccessDenied";
}

std::string where(const LockPlace& place) {
  return "s3://" + place.bucket + "/" + lockKey(place.vpc_id);
}

std::string heldMessage(const std::string& vpc_id, const FoundLock& found) {
  return "VPC " + vpc_id + " is locked by " + describeHolder(found.holder) + ", last renewed at " +
         aws::formatIsoTime(found.last_modified);
}

std::string staleText(const FoundLock& found) {
  return "its lease of " + std::to_string(found.holder.lease_seconds) + " s ran out at " +
         aws::formatIsoTime(found.last_modified + std::chrono::seconds(found.holder.lease_seconds));
}

bool isOurs(const std::optional<FoundLock>& found, const LockHolder& self) {
  return found && found->holder.run_id == self.run_id && !found->holder.released;
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

// A write that got no answer, or only a server error once every retry was
// spent, may still have been stored.
bool outcomeUnknown(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const aws::TransportError&) {
    return true;
  } catch (const aws::ServiceError& error) {
    return error.httpStatus() >= 500;
  } catch (...) {
    return false;
  }
}

enum class GiveBack { kDeleted, kMarkedReleased, kChanged, kMissing };

// Removes the lock while it is still `etag`. A role that may put and get
// but not delete (a common grant) gets 403: the lock is then overwritten,
// on the same condition, by `holder` marked released, which every reader
// takes for no lock. Throws what S3 throws otherwise.
GiveBack giveBack(const LockPlace& place, const std::string& etag, LockHolder holder) {
  try {
    place.s3.deleteObject(place.bucket, lockKey(place.vpc_id),
                          aws::S3WriteCondition::matching(etag));
    return GiveBack::kDeleted;
  } catch (const aws::S3ConditionFailed&) {
    return GiveBack::kChanged;
  } catch (const aws::ServiceError& error) {
    if (isMissingKey(error)) return GiveBack::kMissing;
    if (!isDenied(error)) throw;
  }
  static std::atomic<bool> said{false};
  if (!said.exchange(true)) {
    testlib::logger()->warn("  **Warning** the role may not delete s3://" + place.bucket +
                            "/locks/ (s3:DeleteObject): a lock given back is marked released "
                            "instead, which every run reads as free");
  }
  holder.released = true;
  ++holder.renewal;
  if (!write(place, formatLockHolder(holder), aws::S3WriteCondition::matching(etag))) {
    return GiveBack::kChanged;
  }
  return GiveBack::kMarkedReleased;
}

// A write of ours cut short by the interruption may have been stored: a
// lock left naming this run, which is exiting, would stop its own rerun for
// a lease. It is read back and given back if it is ours.
void settleAfterInterruption(const LockPlace& place, const LockHolder& self) {
  const aws::Interruption::Shelter shelter;
  try {
    const auto found = readLock(place.s3, place.bucket, place.vpc_id, place.clock.now());
    if (isOurs(found, self)) giveBack(place, found->etag, found->holder);
  } catch (const std::exception& failure) {
    testlib::logger()->warn("  **Warning** could not check whether the lock " + where(place) +
                            " was written before the interruption: " + failure.what() +
                            "; if it was, it names run " + self.run_id + " and lapses after " +
                            std::to_string(self.lease_seconds) + " s");
  }
}

// The lease is counted on a clock that neither jumps with the wall clock nor
// stops while the machine sleeps: a laptop that slept through its lease
// must find it lapsed.
std::chrono::nanoseconds leaseNow() {
#ifdef CLOCK_BOOTTIME
  timespec now{};
  if (::clock_gettime(CLOCK_BOOTTIME, &now) == 0) {
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
  }
#endif
  return std::chrono::steady_clock::now().time_since_epoch();
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
  // The lease runs from when S3 stored our write: from the start of the
  // write that succeeded, or of the whole take when a write of ours is
  // found by reading back.
  const auto began = leaseNow();
  auto written_from = began;
  const auto taken = [&](std::string etag, std::chrono::nanoseconds since) {
    return std::unique_ptr<VpcLock>(new VpcLock(place, self, std::move(etag), since));
  };
  // One conditional write. A failure that leaves its outcome unknown is kept
  // and the lock read back below; any other failure is thrown.
  std::exception_ptr unknown;
  const auto attempt = [&](const aws::S3WriteCondition& condition) -> std::optional<std::string> {
    unknown = nullptr;
    written_from = leaseNow();
    try {
      return write(place, body, condition);
    } catch (const aws::Interrupted&) {
      settleAfterInterruption(place, self);
      throw;
    } catch (const std::exception&) {
      if (!outcomeUnknown(std::current_exception())) throw;
      unknown = std::current_exception();
      return std::nullopt;
    }
  };
  const auto readBack = [&] {
    try {
      return readLock(place.s3, place.bucket, place.vpc_id, place.clock.now());
    } catch (const aws::Interrupted&) {
      if (unknown) settleAfterInterruption(place, self);
      throw;
    } catch (const std::exception& failure) {
      if (!unknown) throw;
      try {
        std::rethrow_exception(unknown);
      } catch (const std::exception& lost) {
        throw std::runtime_error("could not take the lock " + where(place) + ": " + lost.what() +
                                 "; reading it back failed too: " + failure.what() +
                                 ". If the write was stored, the lock names run " + self.run_id +
                                 " and lapses after " + std::to_string(self.lease_seconds) + " s");
      }
    }
  };

  std::optional<FoundLock> found;
  for (int round = 0; round < kTakeRounds; ++round) {
    if (auto etag = attempt(aws::S3WriteCondition::absent())) return taken(*etag, written_from);
    found = readBack();
    if (!found) continue;  // given back in between, or our write was not stored: try afresh
    // Our own write, whose answer was lost on the way.
    if (isOurs(found, self)) return taken(found->etag, began);
    if (found->live()) throw LockHeld(place.vpc_id, *found);
    if (found->holder.released) {
      log->info("- The lock of VPC " + place.vpc_id + " was given back by " +
                describeHolder(found->holder) + "; taking it");
    } else {
      log->warn("  **Warning** taking over the lock of VPC " + place.vpc_id + " from " +
                describeHolder(found->holder) + ": " + staleText(*found));
    }
    if (auto etag = attempt(aws::S3WriteCondition::matching(found->etag))) {
      return taken(*etag, written_from);
    }
    found = readBack();
    if (isOurs(found, self)) return taken(found->etag, began);
  }
  if (unknown) std::rethrow_exception(unknown);
  found = readLock(place.s3, place.bucket, place.vpc_id, place.clock.now());
  if (found && found->live()) throw LockHeld(place.vpc_id, *found);
  throw std::runtime_error("the lock of VPC " + place.vpc_id + " changed hands " +
                           std::to_string(kTakeRounds) + " times while this run tried to take it");
}

VpcLock::VpcLock(const LockPlace& place, LockHolder self, std::string etag,
                 std::chrono::nanoseconds written_from)
    : place_(place), self_(std::move(self)), etag_(std::move(etag)), last_renewed_(written_from) {
  testlib::logger()->info("- Took the lock " + where(place_) + " (run " + self_.run_id +
                          ", lease " + std::to_string(self_.lease_seconds) + " s)");
  // At least once a second, so that a short lease (in tests) is kept too.
  const auto period = std::max(std::chrono::milliseconds(200),
                               std::chrono::milliseconds(self_.lease_seconds * 1000 / 5));
  renewer_ = std::thread([this, period] { renewEvery(period); });
  watcher_ = std::thread([this, period] { watchLease(period); });
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
  while (!wake_.wait_for(lock, period, [this] { return stopping_ || lost(); })) {
    lock.unlock();
    const bool kept = renewOnce();
    lock.lock();
    if (!kept) return;
  }
}

// Others may take the lock over once its lease has run out after our last
// renewal that S3 stored. One renewal period before that, this run gives
// up: what it starts after that could interleave with the next holder's
// work. Renewals that fail without an answer (a network cut, a sleeping
// machine) do not stop the clock, nor does a renewal that hangs.
void VpcLock::watchLease(std::chrono::milliseconds period) {
  const auto allowed =
      std::chrono::duration_cast<LeaseClock>(std::chrono::seconds(self_.lease_seconds) - period);
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_ && !lost()) {
    const auto left = last_renewed_ + allowed - leaseNow();
    if (left <= LeaseClock::zero()) {
      const long long tenths =
          std::chrono::duration_cast<std::chrono::milliseconds>(leaseNow() - last_renewed_)
              .count() /
          100;
      lock.unlock();
      lose("no renewal succeeded for " + std::to_string(tenths / 10) + "." +
           std::to_string(tenths % 10) + " s of its lease of " +
           std::to_string(self_.lease_seconds) + " s, so another run may take it over");
      return;
    }
    // Looked at again at least every second: a pause does not count the
    // time the machine slept.
    wake_.wait_for(lock, std::min<LeaseClock>(left, std::chrono::seconds(1)));
  }
}

// One rewrite under If-Match. False once the lock is no longer ours.
bool VpcLock::renewOnce() {
  auto log = testlib::logger();
  // No shelter here: it is process-wide and would keep the run's own pauses
  // from ending when it is interrupted. A renewal cut short is one missed.
  try {
    LockHolder next;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      next = self_;
    }
    ++next.renewal;
    const auto started = leaseNow();
    if (auto written =
            write(place_, formatLockHolder(next), aws::S3WriteCondition::matching(etag()))) {
      std::lock_guard<std::mutex> lock(mutex_);
      self_.renewal = next.renewal;
      etag_ = *written;
      last_renewed_ = started;
      return true;
    }
    // The ETag we hold may be stale only because an earlier renewal's answer
    // was lost after S3 stored it: the object is then still ours.
    const auto found = readLock(place_.s3, place_.bucket, place_.vpc_id, place_.clock.now());
    if (isOurs(found, self_)) {
      std::lock_guard<std::mutex> lock(mutex_);
      self_.renewal = std::max(self_.renewal, found->holder.renewal);
      etag_ = found->etag;
      return true;
    }
    lose(found && !found->holder.released
             ? "it is held by " + describeHolder(found->holder)
             : std::string("it was cleared (--force_unlock, or by hand)"));
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

// The run must not go on as if it were alone in its VPC: it stops as an
// interruption stops it (nothing new launched or deleted, steps under way
// finish) and fails.
void VpcLock::lose(const std::string& why) {
  if (losing_.exchange(true)) return;
  testlib::AppExitStatus::markFailed();
  testlib::logger()->error("  **Error** this run lost the lock of VPC " + place_.vpc_id + ": " +
                           why +
                           ". It stops: nothing new is launched or deleted, steps under way "
                           "finish");
  aws::Interruption::requestFor("the loss of the lock of VPC " + place_.vpc_id);
  // Only now lost(): whoever sees it sees the run failed and stopping.
  lost_.store(true);
  wake_.notify_all();
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
  if (watcher_.joinable()) watcher_.join();
  auto log = testlib::logger();
  const aws::Interruption::Shelter shelter;
  const std::string lapses =
      "; it lapses after its lease of " + std::to_string(self_.lease_seconds) + " s";
  // Even once lost: a lease that merely ran out, with nobody taking it
  // over, is still our object, and this run is leaving.
  try {
    switch (giveBack(place_, etag(), self_)) {
      case GiveBack::kDeleted:
        log->info("- Gave back the lock " + where(place_));
        return;
      case GiveBack::kMarkedReleased:
        log->info("- Gave back the lock " + where(place_) + " (marked released)");
        return;
      case GiveBack::kMissing:
        if (!lost()) log->warn("  **Warning** the lock " + where(place_) + " was already gone");
        return;
      case GiveBack::kChanged:
        break;
    }
    if (!lost()) {
      log->warn("  **Warning** the lock " + where(place_) +
                " was rewritten by another run; it is left to that run");
      return;
    }
    const auto found = readLock(place_.s3, place_.bucket, place_.vpc_id, place_.clock.now());
    if (found && found->live()) {
      log->error("  **Error** the lock of VPC " + place_.vpc_id + " is held by " +
                 describeHolder(found->holder) + " now");
    }
  } catch (const std::exception& failure) {
    log->warn("  **Warning** could not give back the lock " + where(place_) + ": " +
              failure.what() + lapses);
  }
}

bool forceUnlock(const LockPlace& place) {
  auto log = testlib::logger();
  const auto found = readLock(place.s3, place.bucket, place.vpc_id, place.clock.now());
  if (!found || found->holder.released) {
    log->info("- --force_unlock: VPC " + place.vpc_id + " has no lock to clear");
    return true;
  }
  log->warn("  **Warning** --force_unlock: clearing the lock of VPC " + place.vpc_id + " held by " +
            describeHolder(found->holder) + " (" +
            (found->live() ? "live: if that run still works, the two runs now interleave"
                           : "stale: " + staleText(*found)) +
            ")");
  if (giveBack(place, found->etag, found->holder) != GiveBack::kChanged) return true;
  log->warn("  **Warning** --force_unlock: the lock of VPC " + place.vpc_id +
            " changed while it was cleared; it is kept");
  return false;
}

void reportLock(const LockPlace& place) {
  auto log = testlib::logger();
  try {
    const auto found = readLock(place.s3, place.bucket, place.vpc_id, place.clock.now());
    if (!found || found->holder.released) {
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
