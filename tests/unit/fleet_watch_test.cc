// The shared rounds that let a fleet's workers wait with few requests.

#include "probefleet/resources/fleet_watch.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "aws/services/ec2_waiters.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_transport.h"
#include "fakes/test_client.h"

namespace probefleet {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A clock whose pauses really pass: the first lasts until every waiter has
// come (and a little more, for the last ones to reach the rounds), however
// slowly threads start on a loaded machine; later ones are short, so that
// waiters arriving together meet in one round.
std::shared_ptr<fakes::FakeClock> gatheringClock(const std::atomic<int>& arrived, int expected) {
  auto clock = fakes::FakeClock::onWallClock();
  auto gathered = std::make_shared<std::atomic<bool>>(false);
  clock->onSleep([&arrived, expected, gathered](milliseconds) {
    if (!*gathered) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (arrived < expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(1));
      }
      *gathered = true;
      std::this_thread::sleep_for(milliseconds(200));
    }
    std::this_thread::sleep_for(milliseconds(50));
  });
  return clock;
}

TEST(RoundsTest, WaitersShareRoundsWhateverTheirNumber) {
  struct Row {
    int waiters;
    std::size_t requests;  // one per kIdsPerRequest ids
  };
  for (const Row row : {Row{1, 1}, Row{60, 1}, Row{250, 3}}) {
    SCOPED_TRACE(row.waiters);
    std::atomic<int> arrived{0};
    const auto clock = gatheringClock(arrived, row.waiters);
    std::mutex mutex;
    std::vector<std::size_t> asked;  // ids per request
    Rounds<std::string> rounds(*clock, milliseconds(2000),
                               [&](const std::vector<std::string>& ids) {
                                 std::lock_guard<std::mutex> lock(mutex);
                                 asked.push_back(ids.size());
                                 std::map<std::string, std::string> seen;
                                 for (const std::string& id : ids) seen[id] = "seen " + id;
                                 return seen;
                               });
    std::atomic<int> right{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < row.waiters; ++i) {
      threads.emplace_back([&, i] {
        const std::string id = "i-" + std::to_string(i);
        ++arrived;
        const auto sighting = rounds.next(id);
        right += sighting.answered && sighting.value == "seen " + id;
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(right, row.waiters);
    EXPECT_EQ(asked.size(), row.requests);
    EXPECT_EQ(rounds.requests(), row.requests);
    EXPECT_LE(*std::max_element(asked.begin(), asked.end()), kIdsPerRequest);
  }
}

TEST(RoundsTest, AFailedRoundTellsNothingAndTheNextOneAnswers) {
  fakes::FakeClock clock;
  int polls = 0;
  Rounds<std::string> rounds(clock, milliseconds(2000), [&](const std::vector<std::string>&) {
    if (++polls == 1) throw std::runtime_error("RequestLimitExceeded: slow down");
    return std::map<std::string, std::string>{{"i-1", "running"}};
  });
  const auto first = rounds.next("i-1");
  EXPECT_FALSE(first.answered);
  EXPECT_EQ(first.failure, "RequestLimitExceeded: slow down");
  const auto second = rounds.next("i-1");
  EXPECT_TRUE(second.answered);
  EXPECT_EQ(second.value, "running");
  EXPECT_EQ(clock.sleeps(), std::vector<milliseconds>(2, milliseconds(2000)));
}

std::string statusAnswer(const std::string& id, const std::string& status) {
  return "<DescribeInstanceStatusResponse><instanceStatusSet><item><instanceId>" + id +
         "</instanceId><instanceState><name>running</name></instanceState><instanceStatus>"
         "<status>" +
         status + "</status></instanceStatus><systemStatus><status>" + status +
         "</status></systemStatus></item></instanceStatusSet></DescribeInstanceStatusResponse>";
}

TEST(FleetWatchTest, StatusWaitOutlastsUnknownIdsThrottlingAndInitializing) {
  auto transport = fakes::ec2Transport();
  auto clock = std::make_shared<fakes::FakeClock>();
  const aws::Ec2Client ec2 = aws::Ec2Client(fakes::clientConfig("ec2", transport, clock));
  const std::string not_found =
      "<Response><Errors><Error><Code>InvalidInstanceID.NotFound</Code><Message>The instance ID "
      "'i-0abc' does not exist</Message></Error></Errors></Response>";
  const std::string throttled =
      "<Response><Errors><Error><Code>RequestLimitExceeded</Code><Message>Request limit "
      "exceeded.</Message></Error></Errors></Response>";
  transport->enqueue(400, not_found);
  transport->enqueue(503, throttled);
  transport->enqueue(200, statusAnswer("i-0abc", "initializing"));
  transport->enqueue(200, statusAnswer("i-0abc", "ok"));
  FleetWatch watch(ec2, *clock);
  watch.waitStatusOk("i-0abc");
  EXPECT_EQ(transport->requests().size(), 4u);
  EXPECT_EQ(clock->sleeps(), std::vector<milliseconds>(4, kStatusRoundPeriod));

  // Never ok: given up after the waiter's ten minutes, naming the last state.
  transport->setFallback(fakes::answer(200, statusAnswer("i-0abc", "impaired")));
  try {
    watch.waitStatusOk("i-0abc");
    ADD_FAILURE() << "no WaiterError";
  } catch (const aws::WaiterError& error) {
    EXPECT_NE(std::string(error.what()).find("status impaired"), std::string::npos);
  }
}

TEST(FleetWatchTest, StatusRoundsPauseForWhatTheyAreAbout) {
  auto transport = fakes::ec2Transport();
  auto clock = std::make_shared<fakes::FakeClock>();  // manual: sleeps move the time
  const aws::Ec2Client ec2 = aws::Ec2Client(fakes::clientConfig("ec2", transport, clock));
  FleetWatch watch(ec2, *clock);
  EXPECT_EQ(watch.statusPause({"i-1"}), kStatusRoundPeriod);  // nothing learnt yet

  // i-1 runs at the first round, then initializes for 20 rounds of 5 s.
  transport->enqueue(200, statusAnswer("i-1", "initializing"));
  watch.waitRunning("i-1");
  for (int round = 1; round < 20; ++round) {
    transport->enqueue(200, statusAnswer("i-1", "initializing"));
  }
  transport->enqueue(200, statusAnswer("i-1", "ok"));
  watch.waitStatusOk("i-1");  // its checks took 100 s
  transport->enqueue(200, statusAnswer("i-2", "initializing"));
  watch.waitRunning("i-2");

  const struct {
    seconds since_running;
    std::vector<std::string> ids;
    milliseconds pause;
  } cases[] = {
      {seconds(0), {"i-2"}, kStatusRoundLong},           // due in 100 s
      {seconds(92), {"i-2"}, milliseconds(6000)},        // due in 8 s: a short pause before
      {seconds(96), {"i-2"}, kStatusRoundShort},         // due within a period
      {seconds(115), {"i-2"}, kStatusRoundShort},        // a little overdue
      {seconds(125), {"i-2"}, kStatusRoundPeriod},       // long overdue: no more haste
      {seconds(125), {"i-9"}, kStatusRoundPeriod},       // not running yet
      {seconds(0), {"i-2", "i-9"}, kStatusRoundPeriod},  // the hastier wins
  };
  const auto running = clock->now();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.since_running.count());
    clock->set(running + c.since_running);
    EXPECT_EQ(watch.statusPause(c.ids), c.pause);
  }
}

TEST(FleetWatchTest, InstanceIdsAreReadFromNotFoundMessages) {
  EXPECT_EQ(instanceIdsIn("The instance IDs 'i-0a1b, i-22ff' do not exist"),
            (std::vector<std::string>{"i-0a1b", "i-22ff"}));
  EXPECT_EQ(instanceIdsIn("The instance ID 'i-0123456789abcdef0' does not exist"),
            (std::vector<std::string>{"i-0123456789abcdef0"}));
  EXPECT_TRUE(instanceIdsIn("Invalid id: \"xi-12\"").empty());
}

}  // namespace
}  // namespace probefleet
