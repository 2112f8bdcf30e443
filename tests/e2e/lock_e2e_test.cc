// One run per VPC at a time, through the binary against the sandbox: runs
// started together, a run killed with its lock held, a lock cleared by hand,
// a dry run that finds a lock, a run without a bucket, a run that cannot
// renew its lock, a role that may not delete it.

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "probefleet/guard/run_lock.h"
#include "support/e2e.h"

namespace {

using testing_support::RunResult;

using testing_support::contains;

class LockE2eTest : public testing_support::E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    useFleetWorld();
    bucket_ = world_["bucket"].get<std::string>();
    vpc_ = world_["vpc_id"].get<std::string>();
    s3_ = std::make_unique<aws::S3Client>(sandbox_.clientConfig("s3"));
  }

  // Every run with the one backup folder, where the VPC's key is kept (a
  // deployment that does not find it there makes a new key pair and new
  // instances); every log record on standard error.
  RunResult run(std::vector<std::string> extra,
                const std::function<void(pid_t)>& meanwhile = nullptr) {
    extra.insert(extra.begin(), "--log_console");
    return runFleet(extra, meanwhile);
  }

  std::optional<probefleet::FoundLock> lock() const {
    return probefleet::readLock(*s3_, bucket_, vpc_, std::chrono::system_clock::now());
  }

  std::map<std::string, int> launchesPerSubnet() {
    std::map<std::string, int> launched;
    const nlohmann::json inventory = sandbox_.control("GET", "inventory");
    for (const auto& item : inventory["instance_ids_launched"]) {
      ++launched[item["subnet_id"].get<std::string>()];
    }
    return launched;
  }

  nlohmann::json lockRule(const std::string& action, nlohmann::json effect) const {
    nlohmann::json rule = {
        {"service", "s3"}, {"action", action}, {"key", probefleet::lockKey(vpc_)}};
    rule.update(effect);
    return rule;
  }

  std::string bucket_, vpc_;
  std::unique_ptr<aws::S3Client> s3_;
};

std::size_t occurrences(const std::string& text, const std::string& piece) {
  std::size_t count = 0;
  for (std::size_t at = 0; (at = text.find(piece, at)) != std::string::npos; at += piece.size()) {
    ++count;
  }
  return count;
}

const nlohmann::json kDenied = {
    {"status", 403}, {"code", "AccessDenied"}, {"message", "Access Denied"}};

TEST_F(LockE2eTest, OfTwoRunsStartedTogetherOneWorksAndTheOtherStopsBeforeAnyChange) {
  const std::size_t entries = world_["test_config"].size();
  const std::vector<std::pair<std::string, std::string>> pairs = {{"deploy", "deploy"},
                                                                  {"deploy", "revert"}};
  for (const auto& [first, second] : pairs) {
    RunResult results[2];
    const std::string modes[2] = {first, second};
    std::thread other([&] {
      results[1] = run(modes[1] == "revert" ? std::vector<std::string>{"--revert"}
                                            : std::vector<std::string>{});
    });
    results[0] = run({});
    other.join();
    const int winner = results[0].status == 0 ? 0 : 1;
    const RunResult& lost = results[1 - winner];
    EXPECT_EQ(results[winner].status, 0) << results[winner].err;
    EXPECT_EQ(lost.status, 1) << lost.err;
    EXPECT_TRUE(contains(lost.err, "is locked by run ")) << lost.err;
    EXPECT_TRUE(contains(lost.err, "mode " + modes[winner] + ") since ")) << lost.err;
    EXPECT_TRUE(contains(lost.err, "nothing was changed")) << lost.err;
    EXPECT_FALSE(lock()) << first << "/" << second << ": the lock was not given back";
    for (const auto& [subnet, count] : launchesPerSubnet()) EXPECT_EQ(count, 1) << subnet;
    EXPECT_EQ(launchesPerSubnet().size(), entries);
  }
  ASSERT_EQ(run({"--revert"}).status, 0);
}

TEST_F(LockE2eTest, AKilledRunsLockIsReportedThenTakenOverAfterItsLease) {
  // SIGKILL as soon as the run holds its lock: nothing gives it back.
  const RunResult killed = run({"--lock_lease_seconds", "3"}, [&](pid_t pid) {
    for (int i = 0; i < 600 && !lock(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid, SIGKILL);
  });
  EXPECT_EQ(killed.status, 128 + SIGKILL);
  ASSERT_TRUE(lock());
  EXPECT_EQ(lock()->holder.lease_seconds, 3);
  EXPECT_TRUE(contains(lock()->holder.command, "--lock_lease_seconds 3"));

  const RunResult dry = run({"--dry_run"});
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_TRUE(
      contains(dry.err, "dry run: VPC " + vpc_ + " is locked by run " + lock()->holder.run_id))
      << dry.err;

  std::this_thread::sleep_for(std::chrono::seconds(4));
  const RunResult next = run({"--dry_run"});
  EXPECT_TRUE(contains(next.err, "has a stale lock of run")) << next.err;
  const RunResult taker = run({});
  EXPECT_EQ(taker.status, 0) << taker.err;
  EXPECT_TRUE(contains(taker.err, "taking over the lock of VPC " + vpc_)) << taker.err;
  EXPECT_FALSE(lock());
  ASSERT_EQ(run({"--revert"}).status, 0);
}

TEST_F(LockE2eTest, ARunThatCannotRenewPastItsLeaseStopsWhileAnotherTakesTheVpc) {
  // Every write of the lock after the first is refused, as after a change of
  // the bucket's policy, and the lock may not be deleted. The run's first
  // step under the lock, the key check, takes long, so the run is still at
  // work when its lease runs out, however busy the machine: it gives the
  // lock back only after the other run has taken it over.
  nlohmann::json refused = kDenied;
  refused["skip"] = 1;
  sandbox_.setFaults(
      {{"rules",
        {lockRule("PutObject", refused),
         lockRule("DeleteObject", kDenied),
         {{"service", "ec2"}, {"action", "DescribeKeyPairs"}, {"latency_ms", 8000}}}}});
  RunResult first;
  std::thread stalled([&] { first = run({"--lock_lease_seconds", "2"}); });
  bool stale = false;
  for (int i = 0; i < 600 && !stale; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto found = lock();
    stale = found && !found->live();
  }
  if (!stale) {
    stalled.join();
    FAIL() << "the lock was never written, or kept live:\n" << first.err;
  }
  sandbox_.clearFaults();
  const RunResult second = run({});
  stalled.join();

  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_TRUE(contains(second.err, "taking over the lock of VPC " + vpc_)) << second.err;
  EXPECT_EQ(first.status, 1) << first.err;
  EXPECT_TRUE(
      contains(first.err, "this run lost the lock of VPC " + vpc_ + ": no renewal succeeded for "))
      << first.err;
  EXPECT_TRUE(
      contains(first.err, "run interrupted by the loss of the lock of VPC " + vpc_ + " while "))
      << first.err;
  // Nothing was launched after the loss: only the other run's instances stand.
  for (const auto& [subnet, count] : launchesPerSubnet()) EXPECT_EQ(count, 1) << subnet;
  EXPECT_FALSE(lock());
  ASSERT_EQ(run({"--revert"}).status, 0);
}

TEST_F(LockE2eTest, WithoutDeleteObjectTheLockIsMarkedReleasedAndTheRevertTakesIt) {
  sandbox_.setFaults({{"rules", {lockRule("DeleteObject", kDenied)}}});
  const RunResult deployed = run({});
  EXPECT_EQ(deployed.status, 0) << deployed.err;
  const std::string lacks = "may not delete s3://" + bucket_ + "/locks/ (s3:DeleteObject)";
  EXPECT_EQ(occurrences(deployed.err, lacks), 1u) << deployed.err;
  ASSERT_TRUE(lock());
  EXPECT_TRUE(lock()->holder.released);
  EXPECT_FALSE(lock()->live());

  // Within the lease: a live lock would stop it.
  const RunResult reverted = run({"--revert"});
  EXPECT_EQ(reverted.status, 0) << reverted.err;
  EXPECT_TRUE(contains(reverted.err, "was given back by run ")) << reverted.err;
  EXPECT_FALSE(contains(reverted.err, "is locked by")) << reverted.err;
  EXPECT_EQ(lock()->holder.mode, "revert");
  EXPECT_TRUE(lock()->holder.released);
}

TEST_F(LockE2eTest, ForceUnlockClearsALiveLockAndNoBucketRunsUnlocked) {
  probefleet::LockHolder stranger{
      "stranger", "elsewhere", "ops", "deploy", "2026-12-09T11:20:00Z", "probefleet", 7, 300};
  s3_->putObject(bucket_, probefleet::lockKey(vpc_), probefleet::formatLockHolder(stranger));
  const RunResult refused = run({"--revert"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(contains(refused.err,
                       "run stranger (host elsewhere, pid 7, user ops, mode deploy) "
                       "since 2026-12-09T11:20:00Z"))
      << refused.err;

  const RunResult forced = run({"--revert", "--force_unlock"});
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_TRUE(contains(
      forced.err, "--force_unlock: clearing the lock of VPC " + vpc_ + " held by run stranger"))
      << forced.err;
  EXPECT_FALSE(lock());

  const RunResult unlocked = runProgram(
      "probefleet",
      {"--test_config", "tc.json", "--backup_folder", "keys", "--revert", "--log_console"});
  EXPECT_EQ(unlocked.status, 0) << unlocked.err;
  std::size_t said = 0;
  for (std::size_t at = 0; (at = unlocked.err.find("takes no lock", at)) != std::string::npos;
       ++at) {
    ++said;
  }
  EXPECT_EQ(said, 1u) << unlocked.err;
}

}  // namespace
