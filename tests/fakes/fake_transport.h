#pragma once
// The transport fake: answers from a script instead of the network and
// records every request it was handed. Shared by the unit tests, the
// integration tests (wrapping the real transport) and the fuzz targets, so it
// depends on nothing but the AWS layer.

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "aws/http/http.h"

namespace fakes {

/// One request as the transport received it.
struct SentRequest {
  aws::HttpRequest request;
  aws::Timeouts timeouts;
  /// "METHOD URL", the key routes are scripted by.
  std::string line() const;
};

/// An answer with `status` and `body`. A status of 0 stands for a request
/// that got no answer at all: the transport throws aws::TransportError.
aws::HttpResponse answer(long status, std::string body = "", aws::Headers headers = {});
/// An answer that never comes: the transport throws aws::TransportError(`why`).
aws::HttpResponse noAnswer(std::string why = "timed out");

/// Where a request's answer comes from, first match wins:
///  1. the queue (enqueue), in order, each answer used once;
///  2. the routes (on), by "METHOD URL"; a route's last answer repeats;
///  3. the handler (constructor or handle), which may also feed the sink
///     itself, e.g. to break a download off midway;
///  4. the fallback; with none set, the request gets no answer.
/// A 2xx body goes to the sink when one is given (as libcurl does), and a
/// sink that refuses it fails the request with aws::TransportError. A file
/// body sent as aws-chunked is read and framed as on the wire, and its
/// trailer checksum reported in HttpResponse::sent_checksum. Thread-safe.
class FakeTransport : public aws::HttpTransport {
 public:
  using Handler = std::function<aws::HttpResponse(const aws::HttpRequest&, const aws::BodySink*)>;
  /// A handler that leaves the sink to the transport.
  using Answer = std::function<aws::HttpResponse(const aws::HttpRequest&)>;

  FakeTransport() = default;
  explicit FakeTransport(Handler handler) : handler_(std::move(handler)) {}
  explicit FakeTransport(Answer answer);
  /// Sends every request nothing was scripted for on to `inner`, as it is
  /// (recording it first): a real transport whose traffic the test watches.
  static std::shared_ptr<FakeTransport> wrapping(std::shared_ptr<aws::HttpTransport> inner);

  aws::HttpResponse send(const aws::HttpRequest& request, const aws::BodySink* sink,
                         const aws::Timeouts& timeouts) override;

  void enqueue(aws::HttpResponse response);
  void enqueue(long status, std::string body) { enqueue(answer(status, std::move(body))); }
  /// Scripts the answers to "METHOD URL"; the last one repeats.
  void on(const std::string& line, std::vector<aws::HttpResponse> answers);
  void handle(Handler handler);
  void handle(Answer answer);
  /// The answer once nothing else matched; nullopt: no answer.
  void setFallback(std::optional<aws::HttpResponse> fallback);

  /// What was sent so far, in order.
  std::vector<SentRequest> sent() const;
  std::vector<aws::HttpRequest> requests() const;
  std::vector<std::string> lines() const;
  std::size_t count() const;
  /// How many requests carried the query parameter `name`.
  std::size_t countWithQuery(const std::string& name) const;
  void clear();

 private:
  std::optional<aws::HttpResponse> scripted(const aws::HttpRequest& request);
  aws::HttpResponse unscripted(const aws::HttpRequest& request, const aws::BodySink* sink);

  mutable std::mutex mutex_;
  std::vector<SentRequest> sent_;
  std::deque<aws::HttpResponse> queue_;
  std::map<std::string, std::deque<aws::HttpResponse>> routes_;
  Handler handler_;
  std::shared_ptr<aws::HttpTransport> inner_;
  std::optional<aws::HttpResponse> fallback_;
};

}  // namespace fakes
