#pragma once
// What the answer-parser targets share: the tests' transport fake answering
// every request with the fuzz input, and the client set-up that sends
// through it (with the tests' clock, which never waits). The real client code runs from request
// building to the typed result; only the network is missing.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "aws/client/client.h"
#include "aws/http/http.h"
#include "fakes/fake_transport.h"
#include "fakes/test_client.h"

namespace fuzz {

/// A client configuration for `service` that sends through `transport` only,
/// with one attempt per call (a retry would only replay the same answer).
inline aws::ClientConfig clientConfig(const std::string& service,
                                      std::shared_ptr<aws::HttpTransport> transport) {
  return fakes::clientConfig(service, std::move(transport));
}

/// The tests' transport fake answering every request with `answer`; it
/// forgets the requests of earlier inputs, so that memory stays flat over a
/// long run.
inline void answerWith(fakes::FakeTransport& transport, const aws::HttpResponse& answer) {
  transport.clear();
  transport.setFallback(answer);
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
