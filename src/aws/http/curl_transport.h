#pragma once
// The HttpTransport that sends requests with libcurl.
//
// One CurlTransport may be used by all threads of a process at once. Every
// transport of the process draws on one pool of curl handles, each with its
// keep-alive connections, and on one cache of TLS sessions and DNS answers:
// the process holds about as many connections as it has requests in flight,
// and a new connection resumes a TLS session made by another.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "aws/base/environment.h"
#include "aws/http/http.h"

namespace aws {

class CurlTransport : public HttpTransport {
 public:
  struct Options {
    /// The SDKs' defaults (botocore: connect_timeout 60, read_timeout 60).
    long connect_timeout_ms = 60000;
    /// Longest wait for the next byte once the connection is up.
    long read_timeout_ms = 60000;
    /// Largest answer body held in memory (API answers, errors): 64 MiB, far
    /// above any answer the program asks for. A body handed to a sink (an S3
    /// download to a file) is bounded by its Content-Length instead.
    std::size_t max_memory_body = std::size_t{64} << 20;
    /// CA bundle file (AWS_CA_BUNDLE); "" = the system store.
    std::string ca_bundle;
    /// Proxy URLs and the exception list when the environment names them;
    /// when unset libcurl still consults the process environment itself.
    std::optional<std::string> http_proxy;
    std::optional<std::string> https_proxy;
    std::optional<std::string> no_proxy;

    /// Reads AWS_CA_BUNDLE, HTTP_PROXY/http_proxy, HTTPS_PROXY/https_proxy and
    /// NO_PROXY/no_proxy (the lower-case spelling wins, as with the SDKs).
    static Options fromEnvironment(const Environment& env);
  };

  explicit CurlTransport(Options options);

  /// See HttpTransport::send. Throws TransportError naming the method, the
  /// URL without its query string and curl's reason when no answer was had,
  /// when the sink refused the body, or when a body held in memory grew
  /// past Options::max_memory_body; std::invalid_argument when a header
  /// would break the request's framing (a line break in a name or value).
  HttpResponse send(const HttpRequest& request, const BodySink* sink = nullptr,
                    const Timeouts& timeouts = {}) override;

  const Options& options() const { return options_; }

  /// Connections opened so far by every CurlTransport of the process (new
  /// ones only, not the reused), for tests and benchmarks.
  static std::uint64_t connectionsOpened();

 private:
  Options options_;
};

}  // namespace aws
