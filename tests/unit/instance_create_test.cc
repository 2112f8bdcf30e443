// The launch retry against a scripted EC2 (which answers the sandbox cannot
// be made to give: a dropped launch, a refusal on the last attempt) and the
// rendering of the test instances' start-up script.

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "aws/base/interrupt.h"
#include "aws/http/http.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_transport.h"
#include "fakes/test_client.h"
#include "probefleet/core/patience.h"
#include "probefleet/deploy/instance_create.h"

namespace probefleet {
namespace {

using std::chrono::milliseconds;

const char* kLaunched =
    "<RunInstancesResponse><reservationId>r-1</reservationId><instancesSet><item>"
    "<instanceId>i-0123456789abcdef0</instanceId></item></instancesSet></RunInstancesResponse>";

std::string errorBody(const std::string& code, const std::string& message = "no") {
  return "<Response><Errors><Error><Code>" + code + "</Code><Message>" + message +
         "</Message></Error></Errors><RequestID>req</RequestID></Response>";
}

// Answers `answers` in order (a bare success where they run out) up to the
// `drop_from`-th request, which and all later ones get no answer.
std::shared_ptr<fakes::FakeTransport> droppingTransport(
    const std::vector<std::pair<long, std::string>>& answers, std::size_t drop_from) {
  auto transport = std::make_shared<fakes::FakeTransport>();
  for (std::size_t i = 0; i + 1 < drop_from; ++i) {
    transport->enqueue(i < answers.size() ? fakes::answer(answers[i].first, answers[i].second)
                                          : fakes::answer(200, fakes::kEc2Ok));
  }
  transport->setFallback(fakes::noAnswer("connection refused"));
  return transport;
}

TEST(CreateEc2WithRetryTest, RetriesOnlyAnUnreadyProfileSixTimesTenSecondsApart) {
  struct Row {
    const char* name;
    std::vector<std::pair<long, std::string>> answers;
    std::size_t drop_from;  // 0: never
    std::optional<std::string> expected;
    bool throws;
    std::size_t requests;
    bool with_profile = true;
  };
  // EC2's words while a new profile is not usable yet.
  const std::string refused = errorBody(
      "InvalidParameterValue",
      "Value (corvanta-test-ec2-instance-profile) for parameter iamInstanceProfile.name is "
      "invalid. Invalid IAM Instance Profile name");
  const std::string bad_type =
      errorBody("InvalidParameterValue", "Value (t3.mikro) for parameter instanceType is invalid.");
  const std::vector<Row> rows = {
      {"accepted at once", {{200, kLaunched}}, 0, "i-0123456789abcdef0", false, 1},
      {"accepted on the sixth attempt",
       {{400, refused},
        {400, refused},
        {400, refused},
        {400, refused},
        {400, refused},
        {200, kLaunched}},
       0,
       "i-0123456789abcdef0",
       false,
       6},
      {"refused six times",
       {{400, refused},
        {400, refused},
        {400, refused},
        {400, refused},
        {400, refused},
        {400, refused},
        {200, kLaunched}},
       0,
       std::nullopt,
       true,
       6},
      {"another refusal is not retried",
       {{400, refused}, {400, errorBody("InvalidAMIID.NotFound")}, {200, kLaunched}},
       0,
       std::nullopt,
       false,
       2},
      {"InvalidParameterValue about something else is final",
       {{400, bad_type}, {200, kLaunched}},
       0,
       std::nullopt,
       false,
       1},
      {"no profile sent: nothing to wait for",
       {{400, refused}, {200, kLaunched}},
       0,
       std::nullopt,
       false,
       1,
       false},
      {"a refusal by policy is final",
       {{403, errorBody("UnauthorizedOperation",
                        "You are not authorized to perform this "
                        "operation. Encoded authorization failure "
                        "message: abc")},
        {200, kLaunched}},
       0,
       std::nullopt,
       false,
       1},
      // requests 0: tried again, with growing pauses, until its time is up.
      {"no answer is tried again while time remains", {{400, refused}}, 2, std::nullopt, false, 0},
      {"an answer without an instance",
       {{200, "<RunInstancesResponse/>"}},
       0,
       std::nullopt,
       false,
       1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto transport = droppingTransport(row.answers, row.drop_from ? row.drop_from : 1000);
    auto clock = std::make_shared<fakes::FakeClock>();
    const aws::Ec2Client ec2 = aws::Ec2Client(fakes::clientConfig("ec2", transport, clock));
    aws::ec2::RunInstancesRequest data;
    data.image_id = "ami-1";
    data.network_interfaces = {{0, "subnet-1", "", "", true, std::nullopt, {}}};
    if (row.with_profile) data.iam_instance_profile = {"", "corvanta-test-ec2-instance-profile"};

    std::optional<std::string> got;
    if (row.throws) {
      EXPECT_THROW(createEc2WithRetry(ec2, data, *clock), InvalidParameterValueException);
    } else {
      got = createEc2WithRetry(ec2, data, *clock);
    }
    EXPECT_EQ(got, row.expected);
    if (row.requests == 0) {
      ASSERT_GT(clock->sleeps().size(), 3u);
      EXPECT_EQ(clock->sleeps().front(), kLaunchRetryPause);
      milliseconds patient{0};
      for (std::size_t i = 1; i < clock->sleeps().size(); ++i) patient += clock->sleeps()[i];
      EXPECT_GE(patient, kConsistencyBudget);
      EXPECT_LT(patient, kConsistencyBudget + kPatientPauseCap);
      continue;
    }
    EXPECT_EQ(transport->requests().size(), row.requests);
    // A pause before every new attempt, none after the last.
    EXPECT_EQ(clock->sleeps(), std::vector<milliseconds>(row.requests - 1, milliseconds(10000)));
  }
}

TEST(PatientPauseTest, GrowsToItsCapAndTakesAtLeastHalfOfIt) {
  struct Row {
    int attempt;
    milliseconds cap, longest;
  };
  const std::vector<Row> rows = {
      {1, kPatientPauseCap, milliseconds(1000)}, {3, kPatientPauseCap, milliseconds(4000)},
      {5, kPatientPauseCap, kPatientPauseCap},   {40, kPatientPauseCap, kPatientPauseCap},
      {1, kRunWidePauseCap, kRunWidePauseCap},   {6, kRunWidePauseCap, kRunWidePauseCap},
      {2, milliseconds(300), milliseconds(300)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.attempt) + " under " + std::to_string(row.cap.count()));
    for (int i = 0; i < 50; ++i) {
      const milliseconds pause = patientPause(row.attempt, row.cap);
      EXPECT_GE(pause, row.longest / 2);
      EXPECT_LE(pause, row.longest);
    }
  }
}

TEST(LaunchGateTest, TheFirstLaunchTriesANewProfileAloneAndTheOthersFollowOnce) {
  const std::string refused = errorBody(
      "InvalidParameterValue",
      "Value (corvanta-test-ec2-instance-profile) for parameter iamInstanceProfile.name is "
      "invalid. Invalid IAM Instance Profile name");
  auto transport = std::make_shared<fakes::FakeTransport>();
  transport->enqueue(fakes::answer(400, refused));
  transport->enqueue(fakes::answer(400, refused));
  transport->setFallback(fakes::answer(200, kLaunched));
  auto clock = std::make_shared<fakes::FakeClock>();
  const aws::Ec2Client ec2 = aws::Ec2Client(fakes::clientConfig("ec2", transport, clock));
  LaunchGate gate;
  std::vector<std::thread> launches;
  for (int i = 0; i < 5; ++i) {
    launches.emplace_back([&, i] {
      aws::ec2::RunInstancesRequest data;
      data.image_id = "ami-1";
      data.client_token = "launch-" + std::to_string(i);
      data.iam_instance_profile = {"", "corvanta-test-ec2-instance-profile"};
      EXPECT_TRUE(createEc2WithRetry(ec2, data, *clock, nullptr, &gate));
    });
  }
  for (std::thread& launch : launches) launch.join();

  // One launch was refused twice and accepted; only then did the others go,
  // each once.
  std::vector<std::string> tokens;
  for (const auto& request : transport->requests()) {
    const auto at = request.body.find("ClientToken=");
    tokens.push_back(request.body.substr(at + 12, request.body.find('&', at) - at - 12));
  }
  ASSERT_EQ(tokens.size(), 7u);
  EXPECT_EQ(tokens[1], tokens[0]);
  EXPECT_EQ(tokens[2], tokens[0]);
  std::sort(tokens.begin() + 3, tokens.end());
  EXPECT_EQ(std::adjacent_find(tokens.begin() + 2, tokens.end()), tokens.end());
  EXPECT_EQ(clock->sleeps(), std::vector<milliseconds>(2, kLaunchRetryPause));
}

TEST(LaunchGateTest, ALaunchWaitingForTheFirstStopsWhenTheRunIsInterrupted) {
  LaunchGate gate;
  ASSERT_TRUE(gate.enter());
  std::thread waiting([&] { EXPECT_THROW(gate.enter(), aws::Interrupted); });
  aws::Interruption::requestFor("a test");
  waiting.join();
  aws::Interruption::resetForTesting();
  gate.open();
  EXPECT_FALSE(gate.enter());
}

TEST(UserDataTest, FillsTheTemplateAndRefusesValuesThatWouldChangeTheScript) {
  EXPECT_EQ(renderUserData("10.20.1.4", "probefleet-test-bucket", "spoke-gw-a-r1"),
            "#!/bin/bash -x\n"
            "python3.9 -m venv /home/ec2-user/python3-env\n"
            "source /home/ec2-user/python3-env/bin/activate; pip3 install corvanta-testlibs\n"
            "cd /home/ec2-user/python3-env/lib/python3.9/site-packages/corvanta_testlibs/"
            "test_ping\n"
            "cat << EOF > ./config.json\n"
            "{\"ping\": \"www.amazon.com\", \"traceroute\": \"amazon.com\", \"spoke_gw\": "
            "\"10.20.1.4\"}\n"
            "EOF\n"
            "source /home/ec2-user/python3-env/bin/activate; python3 -m unittest -v tests.py 2> "
            "/tmp/log.txt\n"
            "aws s3 cp /tmp/result.txt s3://probefleet-test-bucket/result-spoke-gw-a-r1.txt\n"
            "aws s3 cp /tmp/log.txt s3://probefleet-test-bucket/log-spoke-gw-a-r1.txt\n");

  struct Row {
    const char* spoke_gw_ip;
    const char* bucket;
    const char* tag;
  };
  const std::vector<Row> refused = {
      {"10.20.1.4$(reboot)", "bucket-a", "gw-r1"},
      {"gw.example", "bucket-a", "gw-r1"},
      {"10.20.1.4", "Bucket-A", "gw-r1"},
      {"10.20.1.4", "b; rm -rf /", "gw-r1"},
      {"10.20.1.4", "ab", "gw-r1"},
      {"10.20.1.4", "bucket-a", "gw r1"},
      {"10.20.1.4", "bucket-a", "gw-`id`"},
      {"10.20.1.4", "bucket-a", ""},
  };
  for (const Row& row : refused) {
    SCOPED_TRACE(std::string(row.spoke_gw_ip) + " " + row.bucket + " " + row.tag);
    EXPECT_THROW(renderUserData(row.spoke_gw_ip, row.bucket, row.tag), std::invalid_argument);
  }
}

}  // namespace
}  // namespace probefleet
