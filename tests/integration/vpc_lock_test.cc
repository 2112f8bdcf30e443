// The VPC lock against the sandbox's S3 (signatures checked): taken once,
// renewed while held (new bytes each time), given back only while it is
// ours, taken over when stale by exactly one of two racing runs, cleared by
// hand; a write whose answer was lost, a bucket with Object Lock retention.

#include "probefleet/guard/vpc_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "aws/base/clock.h"
#include "aws/base/interrupt.h"
#include "aws/http/http.h"
#include "support/sandbox.h"
#include "testlib/app_exit_status.h"

namespace {

using probefleet::LockHeld;
using probefleet::LockHolder;
using probefleet::VpcLock;
using testing_support::Sandbox;

class VpcLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Sandbox& sandbox = Sandbox::shared();
    sandbox.clearFaults();
    bucket_ = sandbox.world().at("bucket").get<std::string>();
    s3_ = std::make_unique<aws::S3Client>(sandbox.clientConfig("s3", clock_));
    vpc_ = "vpc-" + probefleet::newRunId();
  }

  // A lock lost by a slow answer must not cut the next tests' pauses short.
  void TearDown() override {
    aws::Interruption::resetForTesting();
    testlib::AppExitStatus::resetForTesting();
  }

  LockHolder run(const std::string& id, long long lease = 300) const {
    return {id, "host", "user", "deploy", "2026-12-09T11:20:00Z", "probefleet", 1, lease};
  }
  probefleet::LockPlace place() const { return {*s3_, bucket_, vpc_, *clock_}; }
  std::optional<probefleet::FoundLock> found() const {
    return probefleet::readLock(*s3_, bucket_, vpc_, clock_->now());
  }

  std::shared_ptr<aws::Clock> clock_ = aws::systemClock();
  std::string bucket_, vpc_;
  std::unique_ptr<aws::S3Client> s3_;
};

TEST_F(VpcLockTest, HeldUntilGivenBackAndRenewedWhileHeld) {
  {
    auto held = VpcLock::take(place(), run("first", 2));
    ASSERT_TRUE(found());
    EXPECT_EQ(found()->holder.run_id, "first");
    // Past its lease the renewals have kept it live.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    try {
      VpcLock::take(place(), run("second"));
      FAIL() << "taken twice";
    } catch (const LockHeld& refused) {
      EXPECT_EQ(refused.found().holder.run_id, "first");
      EXPECT_NE(std::string(refused.what()).find("run first (host host, pid 1"), std::string::npos);
    }
    EXPECT_FALSE(held->lost());
  }
  EXPECT_FALSE(found());  // the destructor gave it back
  VpcLock::take(place(), run("third"))->release();
}

TEST_F(VpcLockTest, AStaleLockGoesToExactlyOneOfTwoRacingRuns) {
  s3_->putObject(bucket_, probefleet::lockKey(vpc_), probefleet::formatLockHolder(run("dead", 1)));
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  std::atomic<int> won{0}, refused{0};
  std::vector<std::unique_ptr<VpcLock>> locks(2);
  std::vector<std::thread> racers;
  for (int i = 0; i < 2; ++i) {
    racers.emplace_back([&, i] {
      try {
        locks[i] = VpcLock::take(place(), run("racer" + std::to_string(i)));
        ++won;
      } catch (const LockHeld& held) {
        EXPECT_EQ(held.found().holder.run_id.rfind("racer", 0), 0u);
        ++refused;
      }
    });
  }
  for (auto& racer : racers) racer.join();
  EXPECT_EQ(won.load(), 1);
  EXPECT_EQ(refused.load(), 1);
}

TEST_F(VpcLockTest, ReleaseKeepsALockThatIsNoLongerOursAndForceUnlockClearsAny) {
  auto held = VpcLock::take(place(), run("mine"));
  // Cleared by hand and taken by another run meanwhile.
  EXPECT_TRUE(probefleet::forceUnlock(place()));
  auto other = VpcLock::take(place(), run("other"));
  held->release();
  ASSERT_TRUE(found());
  EXPECT_EQ(found()->holder.run_id, "other");
  EXPECT_TRUE(probefleet::forceUnlock(place()));
  EXPECT_FALSE(found());
  EXPECT_TRUE(probefleet::forceUnlock(place()));  // nothing left to clear
}

TEST_F(VpcLockTest, EachRenewalChangesTheETagSoATakerHoldingAnOlderOneLoses) {
  auto held = VpcLock::take(place(), run("holder", 2));
  const std::string first = held->etag();
  // A taker reads the lock now and would write over it with this ETag.
  ASSERT_EQ(found()->etag, first);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // renewed every 400 ms
  ASSERT_TRUE(found());
  EXPECT_NE(found()->etag, first);
  EXPECT_EQ(found()->etag, held->etag());
  EXPECT_GT(found()->holder.renewal, 0);
  EXPECT_THROW(
      s3_->putObject(bucket_, probefleet::lockKey(vpc_), probefleet::formatLockHolder(run("taker")),
                     "application/json", aws::S3WriteCondition::matching(first)),
      aws::S3ConditionFailed);
  EXPECT_EQ(found()->holder.run_id, "holder");
  EXPECT_FALSE(held->lost());
}

TEST_F(VpcLockTest, ARenewalThatFindsAnotherHolderInterruptsTheRun) {
  auto held = VpcLock::take(place(), run("overtaken", 1));
  EXPECT_TRUE(probefleet::forceUnlock(place()));
  auto other = VpcLock::take(place(), run("other"));
  for (int i = 0; i < 50 && !held->lost(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(held->lost());
  EXPECT_TRUE(aws::Interruption::requested());
  EXPECT_EQ(aws::Interruption::signal(), 0);
  EXPECT_EQ(aws::Interruption::cause(), "the loss of the lock of VPC " + vpc_);
  EXPECT_EQ(testlib::AppExitStatus().getStatus(), 1);
  held->release();  // leaves the other run's lock alone
  EXPECT_EQ(found()->holder.run_id, "other");
}

TEST_F(VpcLockTest, AFirstWriteWhoseAnswerWasLostIsReadBack) {
  Sandbox& sandbox = Sandbox::shared();
  struct Case {
    std::string name;
    nlohmann::json effect;  // of every PutObject of the lock
    bool stored;
  };
  const std::vector<Case> cases = {
      {"stored, answer cut off", {{"truncate", 0}}, true},
      {"never reached S3", {{"drop", true}}, false},
  };
  for (const Case& c : cases) {
    vpc_ = "vpc-" + probefleet::newRunId();
    nlohmann::json rule = {
        {"service", "s3"}, {"action", "PutObject"}, {"key", probefleet::lockKey(vpc_)}};
    rule.update(c.effect);
    sandbox.setFaults({{"rules", {rule}}});
    std::unique_ptr<VpcLock> held;
    try {
      held = VpcLock::take(place(), run("mine"));
    } catch (const aws::TransportError&) {
    }
    sandbox.clearFaults();
    EXPECT_EQ(held != nullptr, c.stored) << c.name;
    if (!held) {
      EXPECT_FALSE(found()) << c.name;
      continue;
    }
    ASSERT_TRUE(found()) << c.name;
    EXPECT_EQ(found()->holder.run_id, "mine") << c.name;
    EXPECT_EQ(held->etag(), found()->etag) << c.name;
    held->release();
    EXPECT_FALSE(found()) << c.name << ": not given back";
  }
}

TEST_F(VpcLockTest, WorksOnABucketWithObjectLockDefaultRetention) {
  bucket_ = "retention-" + probefleet::newRunId();
  Sandbox::shared().control("POST", "s3", {{"retention_bucket", {{"name", bucket_}}}});
  {
    auto held = VpcLock::take(place(), run("retained", 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    ASSERT_TRUE(found());
    EXPECT_GT(found()->holder.renewal, 0);
    EXPECT_FALSE(held->lost());
  }
  EXPECT_FALSE(found());
  VpcLock::take(place(), run("next"))->release();
}

TEST_F(VpcLockTest, WithoutDeleteObjectTheLockIsMarkedReleasedAndTakenAsFree) {
  Sandbox::shared().setFaults({{"rules",
                                {{{"service", "s3"},
                                  {"action", "DeleteObject"},
                                  {"key", probefleet::lockKey(vpc_)},
                                  {"status", 403},
                                  {"code", "AccessDenied"},
                                  {"message", "Access Denied"}}}}});
  VpcLock::take(place(), run("first"))->release();
  ASSERT_TRUE(found());
  EXPECT_TRUE(found()->holder.released);
  EXPECT_EQ(found()->holder.run_id, "first");
  EXPECT_FALSE(found()->live());
  auto next = VpcLock::take(place(), run("second"));
  EXPECT_EQ(found()->holder.run_id, "second");
  EXPECT_FALSE(found()->holder.released);
  EXPECT_TRUE(found()->live());
  EXPECT_TRUE(probefleet::forceUnlock(place()));  // marks it released too
  EXPECT_FALSE(found()->live());
  next->release();
}

}  // namespace
