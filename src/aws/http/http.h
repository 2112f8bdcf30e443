#pragma once
// HTTP types and the transport seam. The real transport (libcurl) lives in
// curl_transport.h; tests may substitute their own.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "aws/http/aws_chunked.h"
#include "aws/base/environment.h"

namespace aws {

using Header = std::pair<std::string, std::string>;
using Headers = std::vector<Header>;
using QueryParams = std::vector<std::pair<std::string, std::string>>;

/// An endpoint: scheme, host (with ":port" when not the default) and an
/// optional path prefix without a trailing "/" (e.g. "http", "127.0.0.1:5000", "").
struct Endpoint {
  std::string scheme = "https";
  std::string host;
  std::string base_path;
  /// "scheme://host" + base_path.
  std::string url() const;
  /// Parses "https://host[:port][/path]". Throws std::invalid_argument on other forms.
  static Endpoint parse(const std::string& url);
};

/// Where a request body comes from: memory, or a byte range of a file that is
/// read while the request is sent (so a large upload is never held in memory).
struct FileRange {
  std::string path;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

struct HttpRequest {
  std::string method = "GET";
  Endpoint endpoint;
  /// The path as sent on the wire: already URI-encoded, beginning with "/".
  std::string path = "/";
  /// Decoded query parameters; encoded (RFC 3986) when the URL is built.
  QueryParams query;
  Headers headers;
  std::string body;
  std::optional<FileRange> body_file;
  /// When set, `body_file` goes out framed as aws-chunked with a CRC32 trailer.
  std::optional<AwsChunked> aws_chunked;

  /// Case-insensitive header lookup; nullptr when absent.
  const std::string* header(const std::string& name) const;
  /// Replaces (case-insensitively) or adds a header.
  void setHeader(const std::string& name, const std::string& value);
  /// Full URL with the encoded query string.
  std::string url() const;
  /// Body length in bytes as sent (memory, file range, or the framed file range).
  std::uint64_t contentLength() const;
};

struct HttpResponse {
  long status = 0;
  Headers headers;
  /// The body, unless it was handed to a sink (see HttpTransport::send).
  std::string body;
  /// For an aws-chunked request body: the CRC32 (S3's base64 form) of the
  /// payload as it was sent.
  std::string sent_checksum = {};
  /// Case-insensitive header lookup; nullptr when absent.
  const std::string* header(const std::string& name) const;
};

/// Receives the body of a 2xx answer chunk by chunk. Returns false to abort.
using BodySink = std::function<bool(const char* data, std::size_t size)>;

/// A request that never got an HTTP answer: connection refused, DNS failure,
/// timeout, TLS failure, reset. Kept apart from ServiceError on purpose.
class TransportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Per-request time limits. Zero means "transport default".
struct Timeouts {
  long connect_ms = 0;
  long read_ms = 0;
};

/// The seam through which every request leaves the process.
class HttpTransport {
 public:
  virtual ~HttpTransport() = default;
  /// Sends the request and returns the answer, whatever its status. When
  /// `sink` is given and the status is 2xx, the body goes to the sink instead
  /// of HttpResponse::body. Throws TransportError when no answer was had.
  virtual HttpResponse send(const HttpRequest& request, const BodySink* sink = nullptr,
                            const Timeouts& timeouts = {}) = 0;
};

/// RFC 3986 percent-encoding: unreserved characters stay, everything else is
/// %XX (upper case). With `keep_slash`, "/" stays too (S3 object keys).
std::string uriEncode(const std::string& text, bool keep_slash = false);
/// Decodes %XX sequences (and nothing else).
std::string uriDecode(const std::string& text);
/// "a=1&b=2" with keys and values uri-encoded, in the given order.
std::string encodeQuery(const QueryParams& params);

}  // namespace aws

namespace aws {

/// The libcurl transport (curl_transport.cc): one keep-alive connection pool
/// per thread, TLS verification on (AWS_CA_BUNDLE honoured), the proxy
/// variables, connect/read time limits. Shared by all clients of a process.
std::shared_ptr<HttpTransport> makeCurlTransport(const Environment& env);

}  // namespace aws
