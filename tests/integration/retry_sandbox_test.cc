// Retries against the sandbox's fault injection: a throttled or dropped
// request is sent again after a backoff and then answered.

#include <gtest/gtest.h>

#include "aws/client/query_protocol.h"
#include "aws/services/sts.h"
#include "aws/session/session.h"
#include "fakes/fake_clock.h"
#include "fakes/test_client.h"
#include "support/sandbox.h"

namespace {

using nlohmann::json;
using testing_support::Sandbox;

class RetrySandboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_ = fakes::FakeClock::onWallClock();
    const json world = json::parse(Sandbox::shared().world().dump());
    const auto env = fakes::isolatedEnvironment({{"AWS_ENDPOINT_URL", Sandbox::shared().endpoint()},
                                                 {"AWS_REGION", world["region"].get<std::string>()},
                                                 {"AWS_MAX_ATTEMPTS", "3"}});
    aws::Credentials credentials;
    credentials.access_key_id = world["user"]["access_key_id"].get<std::string>();
    credentials.secret_access_key = world["user"]["secret_access_key"].get<std::string>();
    aws::ClientWorld deps;
    deps.env = env;
    deps.transport = aws::makeCurlTransport(*env);
    deps.clock = clock_;
    session_ = std::make_unique<aws::Session>(aws::Session::fromCredentials(credentials, deps));
    clearFaults();
    clearJournal();
  }
  void TearDown() override { clearFaults(); }

  static void clearFaults() { Sandbox::shared().clearFaults(); }
  static void clearJournal() { Sandbox::shared().clearJournal(); }
  static json journal(const std::string& service, const std::string& action) {
    return Sandbox::shared().journal(service, action);
  }

  std::shared_ptr<fakes::FakeClock> clock_;
  std::unique_ptr<aws::Session> session_;
};

TEST_F(RetrySandboxTest, ThrottledTwiceThenAnswered) {
  Sandbox::shared().setFaults({{"rules",
                                {{{"service", "sts"},
                                  {"action", "GetCallerIdentity"},
                                  {"throttle", true},
                                  {"count", 2}}}}});
  auto identity = aws::StsClient(session_->clientConfig("sts")).getCallerIdentity();
  EXPECT_EQ(identity.account, Sandbox::shared().world()["account"].get<std::string>());

  ASSERT_EQ(clock_->sleeps().size(), 2u);
  EXPECT_LE(clock_->sleeps()[0].count(), 1000);
  EXPECT_LE(clock_->sleeps()[1].count(), 2000);
  json entries = journal("sts", "GetCallerIdentity");
  ASSERT_EQ(entries.size(), 3u) << entries.dump(1);
  EXPECT_EQ(entries[0]["error_code"], "Throttling");
  EXPECT_EQ(entries[1]["error_code"], "Throttling");
  EXPECT_EQ(entries[2]["status"], 200);
}

TEST_F(RetrySandboxTest, PersistentThrottlingSurfacesAfterTheLastAttempt) {
  Sandbox::shared().setFaults(
      {{"rules", {{{"service", "ec2"}, {"action", "DescribeRegions"}, {"throttle", true}}}}});
  aws::ServiceClient ec2(session_->clientConfig("ec2"));
  try {
    ec2.invoke(aws::protocol::QueryBuilder("DescribeRegions", "2016-11-15").toRequest(),
               aws::protocol::parseEc2Error);
    FAIL() << "expected a ServiceError";
  } catch (const aws::ServiceError& error) {
    EXPECT_EQ(error.code(), "RequestLimitExceeded");
  }
  EXPECT_EQ(journal("ec2", "DescribeRegions").size(), 3u);
  EXPECT_EQ(clock_->sleeps().size(), 2u);
}

TEST_F(RetrySandboxTest, DroppedConnectionIsRetried) {
  Sandbox::shared().setFaults(
      {{"rules",
        {{{"service", "sts"}, {"action", "GetCallerIdentity"}, {"drop", true}, {"count", 1}}}}});
  aws::StsClient(session_->clientConfig("sts")).getCallerIdentity();
  EXPECT_EQ(clock_->sleeps().size(), 1u);
  json entries = journal("sts", "GetCallerIdentity");
  ASSERT_EQ(entries.size(), 2u) << entries.dump(1);
  EXPECT_EQ(entries[1]["status"], 200);
}

TEST_F(RetrySandboxTest, TargetedClientErrorIsNotRetried) {
  Sandbox::shared().setFaults({{"rules",
                                {{{"service", "sts"},
                                  {"action", "GetCallerIdentity"},
                                  {"status", 400},
                                  {"code", "InvalidParameterValue"},
                                  {"count", 1}}}}});
  EXPECT_THROW(aws::StsClient(session_->clientConfig("sts")).getCallerIdentity(),
               aws::ServiceError);
  EXPECT_EQ(journal("sts", "GetCallerIdentity").size(), 1u);
  EXPECT_TRUE(clock_->sleeps().empty());
}

}  // namespace
