#include "fakes/fake_transport.h"

#include <fstream>
#include <stdexcept>

namespace fakes {
namespace {

/// Reads a framed file body as a real transport would send it; returns the
/// checksum its trailer carried.
std::string drainFramedBody(const aws::HttpRequest& request) {
  const aws::FileRange& range = *request.body_file;
  std::ifstream file(range.path, std::ios::binary);
  file.seekg(static_cast<std::streamoff>(range.offset));
  aws::AwsChunkedEncoder encoder(range.length, *request.aws_chunked);
  std::vector<char> buffer(256 * 1024);
  std::uint64_t total = 0;
  const auto readFile = [&](char* out, std::size_t want) {
    file.read(out, static_cast<std::streamsize>(want));
    return static_cast<std::size_t>(file.gcount());
  };
  while (const std::size_t n = encoder.read(buffer.data(), buffer.size(), readFile)) total += n;
  if (total != request.contentLength()) {
    throw std::logic_error("framed body of " + std::to_string(total) + " bytes, announced as " +
                           std::to_string(request.contentLength()));
  }
  return encoder.checksum().base64();
}

const char kNoAnswerMarker[] = "x-fake-no-answer";

}  // namespace

std::string SentRequest::line() const {
  return request.method + " " + request.url();
}

aws::HttpResponse answer(long status, std::string body, aws::Headers headers) {
  aws::HttpResponse response;
  response.status = status;
  response.body = std::move(body);
  response.headers = std::move(headers);
  return response;
}

aws::HttpResponse noAnswer(std::string why) {
  return answer(0, "", {{kNoAnswerMarker, std::move(why)}});
}

std::shared_ptr<FakeTransport> FakeTransport::wrapping(std::shared_ptr<aws::HttpTransport> inner) {
  auto transport = std::make_shared<FakeTransport>();
  transport->inner_ = std::move(inner);
  return transport;
}

FakeTransport::FakeTransport(Answer answer) {
  handle(std::move(answer));
}

aws::HttpResponse FakeTransport::send(const aws::HttpRequest& request, const aws::BodySink* sink,
                                      const aws::Timeouts& timeouts) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.push_back({request, timeouts});
  }
  std::optional<aws::HttpResponse> script = scripted(request);
  if (!script && inner_) return inner_->send(request, sink, timeouts);
  aws::HttpResponse response = script ? *script : unscripted(request, sink);
  if (response.status == 0) {
    const std::string* why = response.header(kNoAnswerMarker);
    throw aws::TransportError(why ? *why : "timed out");
  }
  if (response.status / 100 != 2) return response;
  if (request.aws_chunked && request.body_file) response.sent_checksum = drainFramedBody(request);
  if (sink && !response.body.empty()) {
    if (!(*sink)(response.body.data(), response.body.size())) {
      throw aws::TransportError("the body sink refused the answer");
    }
    response.body.clear();
  }
  return response;
}

aws::HttpResponse FakeTransport::unscripted(const aws::HttpRequest& request,
                                            const aws::BodySink* sink) {
  Handler handler;
  std::optional<aws::HttpResponse> fallback;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handler = handler_;
    fallback = fallback_;
  }
  // Outside the lock: a handler may block until other requests arrive.
  if (handler) return handler(request, sink);
  return fallback ? *fallback
                  : noAnswer("no answer scripted for " + request.method + " " + request.url());
}

std::optional<aws::HttpResponse> FakeTransport::scripted(const aws::HttpRequest& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!queue_.empty()) {
    aws::HttpResponse response = queue_.front();
    queue_.pop_front();
    return response;
  }
  auto route = routes_.find(request.method + " " + request.url());
  if (route == routes_.end() || route->second.empty()) return std::nullopt;
  aws::HttpResponse response = route->second.front();
  if (route->second.size() > 1) route->second.pop_front();
  return response;
}

void FakeTransport::enqueue(aws::HttpResponse response) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(std::move(response));
}

void FakeTransport::on(const std::string& line, std::vector<aws::HttpResponse> answers) {
  std::lock_guard<std::mutex> lock(mutex_);
  routes_[line] = std::deque<aws::HttpResponse>(answers.begin(), answers.end());
}

void FakeTransport::handle(Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = std::move(handler);
}

void FakeTransport::handle(Answer answer) {
  handle([answer = std::move(answer)](const aws::HttpRequest& request, const aws::BodySink*) {
    return answer(request);
  });
}

void FakeTransport::setFallback(std::optional<aws::HttpResponse> fallback) {
  std::lock_guard<std::mutex> lock(mutex_);
  fallback_ = std::move(fallback);
}

std::vector<SentRequest> FakeTransport::sent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_;
}

std::vector<aws::HttpRequest> FakeTransport::requests() const {
  std::vector<aws::HttpRequest> out;
  for (auto& one : sent()) out.push_back(std::move(one.request));
  return out;
}

std::vector<std::string> FakeTransport::lines() const {
  std::vector<std::string> out;
  for (const auto& one : sent()) out.push_back(one.line());
  return out;
}

std::size_t FakeTransport::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_.size();
}

std::size_t FakeTransport::countWithQuery(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t n = 0;
  for (const auto& one : sent_) {
    for (const auto& [key, value] : one.request.query) n += key == name ? 1 : 0;
  }
  return n;
}

void FakeTransport::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  sent_.clear();
}

}  // namespace fakes
