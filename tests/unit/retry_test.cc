#include "aws/client/retry.h"

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <variant>

#include "aws/base/environment.h"
#include "aws/client/client.h"
#include "aws/client/query_protocol.h"
#include "aws/config/config.h"
#include "aws/services/s3.h"
#include "aws/session/session.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_transport.h"
#include "fakes/test_client.h"
#include "support/serialization.h"

namespace {

using std::chrono::milliseconds;

aws::HttpResponse ec2Error(long status, const std::string& code) {
  aws::HttpResponse response;
  response.status = status;
  response.body =
      "<Response><Errors><Error><Code>" + code +
      "</Code><Message>m</Message></Error></Errors><RequestID>r1</RequestID></Response>";
  return response;
}

aws::HttpResponse ok() {
  aws::HttpResponse response;
  response.status = 200;
  response.body = "<DescribeRegionsResponse/>";
  return response;
}

// Steady time for the rate limiter that moves only when it sleeps.
struct SteadyRecorder {
  double now = 100.0;
  double slept = 0;
};

aws::SteadyTime recordedSteadyTime(const std::shared_ptr<SteadyRecorder>& recorder) {
  return {[recorder] { return recorder->now; },
          [recorder](double seconds) {
            recorder->now += seconds;
            recorder->slept += seconds;
          }};
}

struct TransportFailure {};
using Step = std::variant<aws::HttpResponse, TransportFailure>;

// A client whose transport plays `steps` in order; the last one repeats.
struct Scripted {
  explicit Scripted(std::vector<Step> steps, int max_attempts = 3,
                    const std::string& mode = "standard")
      : clock(std::make_shared<fakes::FakeClock>()), steady(std::make_shared<SteadyRecorder>()) {
    auto queue = std::make_shared<std::deque<Step>>(steps.begin(), steps.end());
    transport = std::make_shared<fakes::FakeTransport>([queue](const aws::HttpRequest&) {
      Step step = queue->front();
      if (queue->size() > 1) queue->pop_front();
      if (std::holds_alternative<TransportFailure>(step)) {
        throw aws::TransportError("connection refused");
      }
      return std::get<aws::HttpResponse>(step);
    });
    aws::ClientConfig config = fakes::clientConfig("ec2", transport);
    config.clock = clock;
    config.retry.max_attempts = max_attempts;
    config.retry.mode = mode;
    config.steady_time = recordedSteadyTime(steady);
    config.on_retry = [this](const aws::RetryNotice& notice) { notices.push_back(notice); };
    client = std::make_unique<aws::ServiceClient>(config);
  }
  aws::HttpResponse call() const {
    return client->invoke(aws::protocol::QueryBuilder("DescribeRegions", "2016-11-15").toRequest(),
                          aws::protocol::parseEc2Error);
  }
  std::shared_ptr<fakes::FakeClock> clock;
  std::shared_ptr<SteadyRecorder> steady;
  std::shared_ptr<fakes::FakeTransport> transport;
  std::unique_ptr<aws::ServiceClient> client;
  std::vector<aws::RetryNotice> notices;
};

TEST(RetryingClient, ThrottledTwiceThenAnsweredSleepsWithinTheJitterBound) {
  Scripted s({ec2Error(503, "RequestLimitExceeded"), ec2Error(400, "Throttling"), ok()});
  EXPECT_EQ(s.call().status, 200);
  EXPECT_EQ(s.transport->requests().size(), 3u);
  ASSERT_EQ(s.clock->sleeps().size(), 2u);
  EXPECT_LE(s.clock->sleeps()[0], milliseconds(1000));
  EXPECT_LE(s.clock->sleeps()[1], milliseconds(2000));
}

TEST(RetryingClient, ExhaustedRetriesSurfaceTheServiceErrorWithItsCode) {
  Scripted s({ec2Error(400, "RequestLimitExceeded")});
  try {
    s.call();
    FAIL() << "expected a ServiceError";
  } catch (const aws::ServiceError& error) {
    EXPECT_EQ(error.code(), "RequestLimitExceeded");
    EXPECT_EQ(error.httpStatus(), 400);
    EXPECT_EQ(error.requestId(), "r1");
  }
  EXPECT_EQ(s.transport->requests().size(), 3u);
  EXPECT_EQ(s.clock->sleeps().size(), 2u);
}

TEST(RetryingClient, EveryRetryIsToldAndALongWaitOnceAsItHappens) {
  // Attempts 1 to 5 fail without an answer, then a throttled one, then OK:
  // with pauses of up to 1, 2, 4, 8, ... s the wait passes 3 s on one of them.
  Scripted s({TransportFailure{}, TransportFailure{}, TransportFailure{}, TransportFailure{},
              TransportFailure{}, ec2Error(503, "RequestLimitExceeded"), ok()},
             10);
  EXPECT_EQ(s.call().status, 200);
  ASSERT_EQ(s.notices.size(), 6u);
  milliseconds paused{0};
  std::optional<std::size_t> first_long, flagged;
  for (std::size_t i = 0; i < s.notices.size(); ++i) {
    const aws::RetryNotice& notice = s.notices[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(notice.service, "ec2");
    EXPECT_EQ(notice.action, "DescribeRegions");
    EXPECT_EQ(notice.attempt, static_cast<int>(i) + 1);
    EXPECT_EQ(notice.max_attempts, 10);
    EXPECT_NE(notice.host, "");
    paused += s.clock->sleeps()[i];
    EXPECT_GE(notice.waited, paused);
    if (!first_long && notice.waited >= aws::kRetryAnnounceAfter) first_long = i;
    if (notice.first_long_wait) {
      EXPECT_FALSE(flagged.has_value()) << "told twice";
      flagged = i;
    }
  }
  // Told once, at the first notice past the mark (the pauses are random
  // shares, so whether they reach it varies).
  EXPECT_EQ(flagged, first_long);
  EXPECT_EQ(s.notices[0].reason, "connection refused");
  EXPECT_EQ(s.notices[5].reason, "RequestLimitExceeded: m");
}

TEST(RetryingClient, ClientErrorIsNotRetried) {
  Scripted s({ec2Error(400, "InvalidParameterValue"), ok()});
  EXPECT_THROW(s.call(), aws::ServiceError);
  EXPECT_EQ(s.transport->requests().size(), 1u);
  EXPECT_TRUE(s.clock->sleeps().empty());
}

TEST(RetryingClient, TransportErrorIsRetriedThenSurfaced) {
  Scripted recovered({TransportFailure{}, ok()});
  EXPECT_EQ(recovered.call().status, 200);
  EXPECT_EQ(recovered.transport->requests().size(), 2u);

  Scripted failed({TransportFailure{}});
  EXPECT_THROW(failed.call(), aws::TransportError);
  EXPECT_EQ(failed.transport->requests().size(), 3u);
  EXPECT_EQ(failed.clock->sleeps().size(), 2u);
}

TEST(RetryingClient, OneAttemptMeansNoRetry) {
  aws::MapEnvironment env;
  env.vars["AWS_MAX_ATTEMPTS"] = "1";
  env.vars["AWS_CONFIG_FILE"] = "/nonexistent/config";
  env.vars["AWS_SHARED_CREDENTIALS_FILE"] = "/nonexistent/credentials";
  Scripted s({ec2Error(503, "ServiceUnavailable"), ok()},
             aws::RetryPolicy::fromEnvironment(env, std::nullopt).max_attempts);
  EXPECT_THROW(s.call(), aws::ServiceError);
  EXPECT_EQ(s.transport->requests().size(), 1u);
  EXPECT_TRUE(s.clock->sleeps().empty());
}

TEST(AdaptiveClient, OnlyThrottlingAnswersMakeLaterAttemptsWaitForTokens) {
  struct Case {
    std::string mode;
    std::vector<Step> steps;
    double waited;  // real seconds; the first throttle, with no rate measured
                    // yet, leaves the minimum 0.5 tokens a second
  };
  const std::vector<Case> cases = {
      {"standard", {ec2Error(503, "RequestLimitExceeded"), ec2Error(400, "Throttling"), ok()}, 0},
      {"adaptive", {ec2Error(503, "RequestLimitExceeded"), ec2Error(400, "Throttling"), ok()}, 4},
      {"adaptive", {ec2Error(500, "InternalError"), ok()}, 0},
      {"adaptive", {TransportFailure{}, ok()}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode + " " + std::to_string(c.steps.size()));
    Scripted s(c.steps, 3, c.mode);
    EXPECT_EQ(s.call().status, 200);
    EXPECT_EQ(s.client->rateLimiter() != nullptr, c.mode == "adaptive");
    EXPECT_NEAR(s.steady->slept, c.waited, 1e-6);
    EXPECT_EQ(s.clock->sleeps().size(), c.steps.size() - 1) << "backoff as in standard mode";
  }
}

TEST(AdaptiveClient, SlowDownInsideA200CompleteMultipartUploadSlowsTheClient) {
  auto completes = std::make_shared<int>(0);
  auto transport = std::make_shared<fakes::FakeTransport>([completes](const aws::HttpRequest&) {
    aws::HttpResponse response;
    response.status = 200;
    response.body = (*completes)++ == 0 ? "<Error><Code>SlowDown</Code><Message>m</Message></Error>"
                                        : "<CompleteMultipartUploadResult><ETag>\"e2\"</ETag>"
                                          "</CompleteMultipartUploadResult>";
    return response;
  });
  aws::ClientConfig config = fakes::clientConfig("s3", transport);
  config.retry.mode = "adaptive";
  config.retry.max_attempts = 3;
  auto steady = std::make_shared<SteadyRecorder>();
  config.steady_time = recordedSteadyTime(steady);
  aws::S3Client client(config);
  EXPECT_EQ(client.completeMultipartUpload("bkt", "k", "up-1", {{1, "\"e\""}}), "\"e2\"");
  EXPECT_NEAR(steady->slept, 2.0, 1e-6);
}

TEST(RetryPolicy, SettingsFromEnvironmentAndProfile) {
  struct Case {
    std::map<std::string, std::string> vars;
    std::string config_file;  // contents of AWS_CONFIG_FILE
    std::string mode;         // "" = ConfigError expected
    int attempts;
    aws::RetryDefaults defaults{};  // the program's
  };
  const aws::RetryDefaults program{"adaptive", 10};
  const std::vector<Case> cases = {
      {{}, "", "standard", 3},
      {{{"AWS_RETRY_MODE", "legacy"}}, "", "legacy", 5},
      {{{"AWS_RETRY_MODE", "adaptive"}}, "", "adaptive", 3},
      {{{"AWS_MAX_ATTEMPTS", "7"}}, "", "standard", 7},
      {{{"AWS_RETRY_MODE", "legacy"}, {"AWS_MAX_ATTEMPTS", "2"}}, "", "legacy", 2},
      {{}, "[default]\nmax_attempts = 4\nretry_mode = legacy\n", "legacy", 4},
      {{}, "[profile other]\nmax_attempts = 9\n", "standard", 3},
      {{{"AWS_PROFILE", "other"}}, "[profile other]\nmax_attempts = 9\n", "standard", 9},
      {{{"AWS_MAX_ATTEMPTS", "6"}}, "[default]\nmax_attempts = 4\n", "standard", 6},
      {{{"AWS_MAX_ATTEMPTS", "0"}}, "", "", 0},
      {{{"AWS_MAX_ATTEMPTS", "-2"}}, "", "", 0},
      {{{"AWS_MAX_ATTEMPTS", "3x"}}, "", "", 0},
      {{{"AWS_MAX_ATTEMPTS", "many"}}, "", "", 0},
      {{{"AWS_RETRY_MODE", "Standard"}}, "", "", 0},
      {{}, "[default]\nretry_mode = fast\n", "", 0},
      {{}, "", "adaptive", 10, program},
      {{{"AWS_RETRY_MODE", "legacy"}}, "", "legacy", 10, program},
      {{{"AWS_MAX_ATTEMPTS", "4"}}, "", "adaptive", 4, program},
      {{}, "[default]\nretry_mode = standard\nmax_attempts = 2\n", "standard", 2, program},
      {{}, "[default]\nretry_mode = standard\n", "standard", 3, {"legacy", std::nullopt}},
      {{}, "", "legacy", 5, {"legacy", std::nullopt}},
      {{{"AWS_RETRY_MODE", "fast"}}, "", "", 0, program},
  };
  for (const auto& c : cases) {
    aws::MapEnvironment env;
    env.vars = c.vars;
    env.vars["AWS_CONFIG_FILE"] = "/cfg/config";
    env.vars["AWS_SHARED_CREDENTIALS_FILE"] = "/cfg/credentials";
    env.files["/cfg/config"] = c.config_file;
    SCOPED_TRACE(c.config_file + " " + (c.vars.empty() ? "" : c.vars.begin()->second));
    if (c.mode.empty()) {
      EXPECT_THROW(aws::RetryPolicy::fromEnvironment(env, std::nullopt, c.defaults),
                   aws::ConfigError);
      continue;
    }
    aws::RetryPolicy policy = aws::RetryPolicy::fromEnvironment(env, std::nullopt, c.defaults);
    EXPECT_EQ(policy.mode, c.mode);
    EXPECT_EQ(policy.max_attempts, c.attempts);
  }
  aws::MapEnvironment env;
  EXPECT_THROW(aws::RetryPolicy::fromEnvironment(env, std::nullopt, {"fast"}),
               std::invalid_argument);
  EXPECT_THROW(aws::RetryPolicy::fromEnvironment(env, std::nullopt, {"standard", 0}),
               std::invalid_argument);
}

TEST(RetryPolicy, SessionClientsGetTheProgramsDefaults) {
  auto env = std::make_shared<aws::MapEnvironment>();
  env->vars = {{"AWS_CONFIG_FILE", "/nonexistent/config"},
               {"AWS_SHARED_CREDENTIALS_FILE", "/nonexistent/credentials"},
               {"AWS_REGION", "us-east-1"}};
  aws::ClientWorld deps;
  deps.env = env;
  deps.retry_defaults = {"adaptive", 8};
  const aws::ClientConfig config =
      aws::Session::fromCredentials(aws::Credentials{}, deps).clientConfig("ec2");
  EXPECT_EQ(config.retry.mode, "adaptive");
  EXPECT_EQ(config.retry.max_attempts, 8);
}

TEST(RetryPolicy, BackoffIsAJitteredShareOfTheTruncatedExponential) {
  aws::RetryPolicy policy;
  std::mt19937_64 rng(42);
  const std::vector<std::pair<int, long>> caps = {{1, 1000},  {2, 2000},   {3, 4000},    {5, 16000},
                                                  {6, 20000}, {40, 20000}, {1000, 20000}};
  for (const auto& [attempt, cap] : caps) {
    milliseconds largest{0}, smallest{cap};
    for (int i = 0; i < 400; ++i) {
      milliseconds delay = policy.backoff(attempt, rng);
      ASSERT_GE(delay.count(), 0) << attempt;
      ASSERT_LE(delay.count(), cap) << attempt;
      largest = std::max(largest, delay);
      smallest = std::min(smallest, delay);
    }
    // Full jitter: the draws spread over the whole range.
    EXPECT_GT(largest.count(), cap * 9 / 10) << attempt;
    EXPECT_LT(smallest.count(), cap / 10) << attempt;
  }
}

// botocore's retry handlers (tests/oracles/retry_oracle.py) are asked about
// every code they know, plus a few they do not, at the statuses services
// answer with, for each service the program calls and each retry mode.
TEST(RetryPolicy, RetryableAnswersMatchBotocore) {
  const nlohmann::json request = {
      {"services", {"ec2", "iam", "sts", "ssm", "s3", "sso", "sso-oidc"}},
      {"modes", {"standard", "legacy"}},
      {"statuses", {400, 403, 404, 408, 409, 429, 500, 501, 502, 503, 504, 509}},
      {"codes",
       {"AccessDenied", "InvalidParameterValue", "NoSuchEntity", "InternalError",
        "ServiceUnavailable", "throttling", ""}}};
  const nlohmann::json oracle = testing_support::runOracle("retry_oracle.py", request);
  ASSERT_GT(oracle.size(), 7u * 2 * 12 * 20);
  int retryable = 0;
  for (const auto& c : oracle) {
    const aws::ServiceError error(c["service"], c["code"], "", c["status"], "");
    const std::string mode = c["mode"];
    const bool expected = c["retryable"];
    retryable += expected;
    EXPECT_EQ(aws::isRetryable(error, mode), expected) << c.dump();
    // The adaptive mode retries as the standard one does.
    if (mode == "standard") {
      EXPECT_EQ(aws::isRetryable(error, "adaptive"), expected) << c.dump();
    }
  }
  EXPECT_GT(retryable, 0);
  EXPECT_TRUE(aws::isThrottlingCode("RequestThrottled"));
  EXPECT_FALSE(aws::isThrottlingCode("RequestTimeout"));
  EXPECT_FALSE(aws::isThrottlingCode("IDPCommunicationError"));
}

}  // namespace
