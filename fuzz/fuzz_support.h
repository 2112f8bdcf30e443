#pragma once
// What the answer-parser targets share: a transport that answers every request
// with the fuzz input, a clock that never waits, and the client set-up that
// sends through them. The real client code runs from request building to the
// typed result; only the network is missing.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "aws/client/client.h"
#include "aws/base/clock.h"
#include "aws/auth/credentials.h"
#include "aws/http/http.h"

namespace fuzz {

/// Answers every request with `answer`, through the sink when one is given
/// (as the curl transport hands 2xx bodies to it).
class AnswerTransport : public aws::HttpTransport {
 public:
  aws::HttpResponse answer;

  aws::HttpResponse send(const aws::HttpRequest&, const aws::BodySink* sink,
                         const aws::Timeouts&) override {
    aws::HttpResponse response = answer;
    if (sink != nullptr && response.status >= 200 && response.status < 300) {
      if (!(*sink)(response.body.data(), response.body.size())) {
        throw aws::TransportError("the sink refused the body");
      }
      response.body.clear();
    }
    return response;
  }
};

class StillClock : public aws::Clock {
 public:
  std::chrono::system_clock::time_point now() const override {
    return std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
  }
  void sleep(std::chrono::milliseconds) override {}
};

/// A client configuration for `service` that sends through `transport` only,
/// with one attempt per call (a retry would only replay the same answer).
inline aws::ClientConfig clientConfig(const std::string& service,
                                      std::shared_ptr<aws::HttpTransport> transport) {
  aws::ClientConfig config;
  config.service = service;
  config.region = "us-east-1";
  config.endpoint = aws::Endpoint::parse("http://127.0.0.1:9");
  config.endpoint_overridden = true;
  config.credentials = std::make_shared<aws::StaticCredentialsProvider>(
      aws::Credentials{"AKIDEXAMPLE", "secret", "", std::nullopt});
  config.transport = std::move(transport);
  config.clock = std::make_shared<StillClock>();
  config.retry.max_attempts = 1;
  return config;
}

/// The answer the input describes: byte 0 picks the operation (returned),
/// byte 1 the status (mostly 200, else an error status so that the error
/// parsers run too), the rest is the body.
struct Answer {
  unsigned operation = 0;
  aws::HttpResponse response;
};

inline Answer answerFrom(const std::uint8_t* data, std::size_t size) {
  static constexpr long kStatuses[] = {200, 200, 200, 200, 200, 200, 200, 200,
                                       301, 307, 400, 403, 404, 409, 500, 503};
  Answer answer;
  answer.operation = size > 0 ? data[0] : 0;
  const unsigned status = size > 1 ? data[1] : 0;
  answer.response.status = kStatuses[status % std::size(kStatuses)];
  answer.response.headers = {{"x-amz-request-id", "REQ"}, {"x-amzn-RequestId", "REQ"}};
  // The high bit adds the header S3 names a bucket's region with.
  if (status & 0x80) answer.response.headers.emplace_back("x-amz-bucket-region", "eu-west-1");
  if (size > 2) answer.response.body.assign(reinterpret_cast<const char*>(data) + 2, size - 2);
  return answer;
}

}  // namespace fuzz
