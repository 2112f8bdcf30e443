#pragma once
// A scripted HTTP transport and a manual clock for EC2 client tests: the
// transport records every request and answers from a queue of canned
// responses; the clock only records the pauses asked of it.

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "aws/base/clock.h"
#include "aws/auth/credentials.h"
#include "aws/services/ec2.h"
#include "aws/http/http.h"

namespace ec2_test {

class ScriptedTransport : public aws::HttpTransport {
 public:
  /// Answers queued here are used in order; once the queue is empty every
  /// request is answered with `fallback`.
  void enqueue(long status, std::string body) { queue_.push_back({status, {}, std::move(body)}); }
  aws::HttpResponse fallback{200, {}, "<Response><requestId>r</requestId></Response>"};

  aws::HttpResponse send(const aws::HttpRequest& request, const aws::BodySink*,
                         const aws::Timeouts&) override {
    requests.push_back(request);
    if (queue_.empty()) return fallback;
    aws::HttpResponse r = queue_.front();
    queue_.pop_front();
    return r;
  }

  std::vector<aws::HttpRequest> requests;

 private:
  std::deque<aws::HttpResponse> queue_;
};

class ManualClock : public aws::Clock {
 public:
  std::chrono::system_clock::time_point now() const override {
    return std::chrono::system_clock::time_point(std::chrono::seconds(1700000000)) + slept_;
  }
  void sleep(std::chrono::milliseconds d) override {
    sleeps.push_back(d);
    slept_ += d;
  }
  std::vector<std::chrono::milliseconds> sleeps;

 private:
  std::chrono::milliseconds slept_{0};
};

/// An EC2 client of us-east-1 that talks only to `transport`.
inline aws::Ec2Client makeClient(std::shared_ptr<aws::HttpTransport> transport,
                                 std::shared_ptr<aws::Clock> clock, int max_attempts = 1) {
  aws::ClientConfig config;
  config.service = "ec2";
  config.region = "us-east-1";
  config.endpoint = aws::Endpoint::parse("http://127.0.0.1:9");
  config.endpoint_overridden = true;
  config.credentials = std::make_shared<aws::StaticCredentialsProvider>(
      aws::Credentials{"AKIDEXAMPLE", "secret", "", std::nullopt});
  config.transport = std::move(transport);
  config.clock = std::move(clock);
  config.retry.max_attempts = max_attempts;
  return aws::Ec2Client(std::move(config));
}

}  // namespace ec2_test
