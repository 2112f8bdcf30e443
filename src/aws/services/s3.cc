#include "aws/services/s3.h"

#include <algorithm>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <utility>

#include <pugixml.hpp>

#include "aws/base/checksum.h"
#include "aws/base/strings.h"
#include "aws/client/retry.h"

namespace aws {

namespace {

const char kS3Namespace[] = "http://s3.amazonaws.com/doc/2006-03-01/";

std::mt19937_64& threadRng() {
  thread_local std::mt19937_64 rng{std::random_device{}()};
  return rng;
}

// Python's http.client.responses, as botocore uses them for bodiless errors.
std::string reasonPhrase(long status) {
  static const std::map<long, std::string> kPhrases = {{301, "Moved Permanently"},
                                                       {302, "Found"},
                                                       {304, "Not Modified"},
                                                       {307, "Temporary Redirect"},
                                                       {400, "Bad Request"},
                                                       {401, "Unauthorized"},
                                                       {403, "Forbidden"},
                                                       {404, "Not Found"},
                                                       {405, "Method Not Allowed"},
                                                       {409, "Conflict"},
                                                       {411, "Length Required"},
                                                       {412, "Precondition Failed"},
                                                       {416, "Requested Range Not Satisfiable"},
                                                       {500, "Internal Server Error"},
                                                       {501, "Not Implemented"},
                                                       {503, "Service Unavailable"}};
  auto it = kPhrases.find(status);
  return it != kPhrases.end() ? it->second : "";
}

std::string childText(const pugi::xml_node& node, const char* name) {
  return node.child(name).text().as_string();
}

std::string headerOr(const HttpResponse& response, const char* name) {
  const std::string* value = response.header(name);
  return value ? *value : "";
}

/// The root element of an XML body, or an empty node when the body is not XML.
pugi::xml_node parseRoot(pugi::xml_document& doc, const std::string& body) {
  if (body.empty() || !doc.load_buffer(body.data(), body.size())) return {};
  return doc.document_element();
}

/// Decodes a key of a listing sent with encoding-type=url: %XX and "+" for a
/// blank, as botocore (urllib's unquote_plus) reads them.
std::string decodeListedKey(const std::string& text) {
  std::string plus_decoded = text;
  for (char& c : plus_decoded) {
    if (c == '+') c = ' ';
  }
  return uriDecode(plus_decoded);
}

// Element text; `quotes` escapes '"' too, which botocore (ElementTree)
// leaves as it is: either form reads back the same.
std::string xmlEscape(const std::string& text, bool quotes = true) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += quotes ? "&quot;" : "\"";
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool isLowerAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

/// Region names end up in host names: only letters, digits and inner hyphens.
bool isValidRegionName(const std::string& region) {
  if (region.empty() || region.size() > 63) return false;
  for (char c : region) {
    bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    if (!ok) return false;
  }
  return region.front() != '-' && region.back() != '-';
}

void checkBucket(const std::string& bucket) {
  bool ok = !bucket.empty() && bucket.size() <= 255;
  for (char c : bucket) {
    if (!(isLowerAlnum(c) || (c >= 'A' && c <= 'Z') || c == '.' || c == '-' || c == '_')) {
      ok = false;
    }
  }
  if (!ok) throw std::invalid_argument("invalid S3 bucket name \"" + bucket + "\"");
}

S3ObjectInfo objectInfo(const HttpResponse& response) {
  S3ObjectInfo info;
  std::string length = headerOr(response, "Content-Length");
  if (!length.empty()) info.content_length = std::strtoull(length.c_str(), nullptr, 10);
  info.etag = headerOr(response, "ETag");
  info.last_modified = headerOr(response, "Last-Modified");
  info.date = headerOr(response, "Date");
  info.content_type = headerOr(response, "Content-Type");
  const std::string meta_prefix = "x-amz-meta-";
  for (const auto& [name, value] : response.headers) {
    const std::string lowered = lower(name);
    if (lowered.starts_with(meta_prefix)) info.metadata[lowered.substr(meta_prefix.size())] = value;
  }
  return info;
}

std::string requireEtag(const HttpResponse& response, const std::string& what) {
  std::string etag = headerOr(response, "ETag");
  if (etag.empty()) throw std::runtime_error(what + ": S3 answered without an ETag");
  return etag;
}

/// What an error answer says about where the bucket lives.
struct RedirectHint {
  long status = 0;
  std::string header_region;  // x-amz-bucket-region
  std::string body_region;    // <Error><Region>
};

bool needsRedirect(const ServiceError& error, const RedirectHint& hint,
                   const std::string& operation) {
  const std::string& code = error.code();
  bool status_code = code == "301" || code == "400";
  if (operation == "HeadObject" && status_code) return true;
  if (operation == "HeadBucket" && status_code && !hint.header_region.empty()) return true;
  if (code == "AuthorizationHeaderMalformed" &&
      !(hint.body_region.empty() && hint.header_region.empty())) {
    return true;
  }
  if (hint.status == 301 || hint.status == 302 || hint.status == 307) return true;
  if (code == "PermanentRedirect") return true;
  return code == "IllegalLocationConstraintException" && operation != "CreateBucket";
}

/// Passes a streamed body on and counts the bytes, so that a body cut short
/// of its Content-Length is told from a whole one.
class CountingStream : public ResponseStream {
 public:
  explicit CountingStream(ResponseStream& sink) : sink_(sink) {}
  void restart() override {
    count_ = 0;
    sink_.restart();
  }
  bool write(const char* data, std::size_t size) override {
    count_ += size;
    return sink_.write(data, size);
  }
  std::uint64_t count() const { return count_; }

 private:
  ResponseStream& sink_;
  std::uint64_t count_ = 0;
};

/// The x-amz-content-sha256 a request is signed with ("" = the body's SHA-256,
/// computed by the signer). A body streamed from a file goes out aws-chunked
/// with a CRC32 trailer, unsigned: S3 checks every byte against the checksum,
/// and the file is read once instead of twice (hash, then send). Bodies held
/// in memory are small and keep their signed hash.
std::string payloadHashFor(const HttpRequest& request) {
  return request.body_file ? "STREAMING-UNSIGNED-PAYLOAD-TRAILER" : "";
}

/// Frames a file body: aws-chunked with the CRC32 trailer, as botocore sends
/// its uploads.
void frameFileBody(HttpRequest& request) {
  if (!request.body_file) return;
  AwsChunked framing;
  request.setHeader("Content-Encoding", "aws-chunked");
  request.setHeader("X-Amz-Decoded-Content-Length", std::to_string(request.body_file->length));
  request.setHeader("X-Amz-Sdk-Checksum-Algorithm", "CRC32");
  request.setHeader("X-Amz-Trailer", framing.trailer);
  request.aws_chunked = std::move(framing);
}

void addCondition(Headers& headers, const S3WriteCondition& condition) {
  if (condition.kind == S3WriteCondition::Kind::kAbsent) {
    headers.emplace_back("If-None-Match", "*");
  } else if (condition.kind == S3WriteCondition::Kind::kEtag) {
    if (condition.etag.empty()) throw std::invalid_argument("If-Match without an ETag");
    headers.emplace_back("If-Match", condition.etag);
  }
}

/// The CRC32 of an in-memory body as a header, as botocore sends it. S3
/// requires a checksum on some writes (DeleteObjects, a PutObject into a
/// bucket with Object Lock default retention); it costs nothing elsewhere.
void addCrc32(Headers& headers, const std::string& body) {
  Crc32 crc;
  crc.update(body.data(), body.size());
  headers.emplace_back("x-amz-checksum-crc32", crc.base64());
  headers.emplace_back("x-amz-sdk-checksum-algorithm", "CRC32");
}

bool isConditionFailure(const ServiceError& error) {
  return error.httpStatus() == 412 ||
         (error.httpStatus() == 409 && error.code() == "ConditionalRequestConflict");
}

}  // namespace

ServiceError parseS3Error(const HttpResponse& response) {
  std::string request_id = headerOr(response, "x-amz-request-id");
  pugi::xml_document doc;
  pugi::xml_node root = parseRoot(doc, response.body);
  if (root && std::string(root.name()) == "Error" && !childText(root, "Code").empty()) {
    if (request_id.empty()) request_id = childText(root, "RequestId");
    return ServiceError("s3", childText(root, "Code"), childText(root, "Message"), response.status,
                        request_id);
  }
  return ServiceError("s3", std::to_string(response.status), reasonPhrase(response.status),
                      response.status, request_id);
}

std::string deleteObjectsBody(const std::vector<std::string>& keys) {
  std::string body = std::string("<Delete xmlns=\"") + kS3Namespace + "\">";
  for (const std::string& key : keys)
    body += "<Object><Key>" + xmlEscape(key, false) + "</Key></Object>";
  body += "<Quiet>true</Quiet></Delete>";
  return body;
}

std::vector<DeleteObjectsError> parseDeleteObjectsResult(const std::string& body) {
  pugi::xml_document doc;
  pugi::xml_node root = parseRoot(doc, body);
  if (!root || std::string(root.name()) != "DeleteResult") {
    throw std::runtime_error("DeleteObjects: the answer is not a DeleteResult: " +
                             body.substr(0, 200));
  }
  std::vector<DeleteObjectsError> errors;
  for (pugi::xml_node error : root.children("Error")) {
    errors.push_back(
        {childText(error, "Key"), childText(error, "Code"), childText(error, "Message")});
  }
  return errors;
}

// An empty key would turn an object request into a bucket request (a
// DeleteObject into DeleteBucket, a GetObject into a listing).
void checkS3Object(const std::string& bucket, const std::string& key) {
  checkBucket(bucket);
  if (key.empty()) throw std::invalid_argument("empty S3 object key in bucket " + bucket);
}

bool isVirtualHostableBucket(const std::string& bucket) {
  if (bucket.size() < 3 || bucket.size() > 63) return false;
  for (char c : bucket) {
    if (!isLowerAlnum(c) && c != '-') return false;
  }
  return isLowerAlnum(bucket.front()) && isLowerAlnum(bucket.back());
}

// ---------------------------------------------------------------------------
// S3Client

struct S3Client::Call {
  std::string operation;
  std::string method;
  std::string bucket;
  std::string key;  // "" for a request on the bucket itself
  QueryParams query;
  Headers headers;
  std::string body;
  std::optional<FileRange> body_file;
};

S3Client::S3Client(ClientConfig config) : client_(std::move(config)) {
  if (!client_.config().credentials) throw ConfigError("S3 client without credentials");
  if (!client_.config().transport) throw ConfigError("S3 client without an HTTP transport");
}

std::string S3Client::regionOf(const std::string& bucket) const {
  std::lock_guard<std::mutex> lock(regions_mutex_);
  auto it = bucket_regions_.find(bucket);
  return it != bucket_regions_.end() ? it->second : config().region;
}

Endpoint S3Client::endpointFor(const std::string& region) const {
  const ClientConfig& cfg = config();
  if (cfg.endpoint_overridden || region == cfg.region) return cfg.endpoint;
  return serviceEndpoint("s3", region, cfg.endpoint_variant);
}

HttpRequest S3Client::address(const Call& call, const std::string& region) const {
  HttpRequest request;
  request.method = call.method;
  request.query = call.query;
  request.headers = call.headers;
  request.body = call.body;
  request.body_file = call.body_file;
  frameFileBody(request);

  Endpoint endpoint = endpointFor(region);
  std::string key_path = call.key.empty() ? "" : uriEncode(call.key, /*keep_slash=*/true);
  // A custom endpoint (a local server) is addressed path-style, as the SDKs
  // do; so are bucket names that cannot be a host name label.
  if (!config().endpoint_overridden && isVirtualHostableBucket(call.bucket)) {
    endpoint.host = call.bucket + "." + endpoint.host;
    request.path = "/" + key_path;
  } else {
    request.path = "/" + uriEncode(call.bucket);
    if (!call.key.empty()) request.path += "/" + key_path;
  }
  request.endpoint = endpoint;
  return request;
}

HttpResponse S3Client::invokeAt(const Call& call, const std::string& region,
                                const ErrorParser& parse_error,
                                ServiceClient::Options options) const {
  HttpRequest request = address(call, region);
  options.payload_hash = payloadHashFor(request);
  return client_.invoke(std::move(request), parse_error, options);
}

HttpResponse S3Client::send(const Call& call, ResponseStream* stream) const {
  const std::string region = regionOf(call.bucket);
  ServiceClient::Options options;
  options.s3 = true;
  options.stream = stream;
  options.signing_region = region == config().region ? config().signing_region : region;

  RedirectHint hint;
  ErrorParser remember_hint = [&hint](const HttpResponse& response) {
    hint.status = response.status;
    hint.header_region = headerOr(response, "x-amz-bucket-region");
    pugi::xml_document doc;
    hint.body_region = childText(parseRoot(doc, response.body), "Region");
    return parseS3Error(response);
  };
  try {
    return invokeAt(call, region, remember_hint, options);
  } catch (const ServiceError& error) {
    if (!needsRedirect(error, hint, call.operation)) throw;
    std::string new_region = !hint.header_region.empty() ? hint.header_region
                             : !hint.body_region.empty() ? hint.body_region
                                                         : discoverRegion(call.bucket);
    if (new_region == region || !isValidRegionName(new_region)) throw;
    {
      std::lock_guard<std::mutex> lock(regions_mutex_);
      bucket_regions_[call.bucket] = new_region;
    }
    options.signing_region = new_region;
    return invokeAt(call, new_region, parseS3Error, options);
  }
}

std::string S3Client::discoverRegion(const std::string& bucket) const {
  Call head{"HeadBucket", "HEAD", bucket, "", {}, {}, "", std::nullopt};
  const std::string region = regionOf(bucket);
  ServiceClient::Options options;
  options.s3 = true;
  options.signing_region = region == config().region ? config().signing_region : region;
  std::string found;
  ErrorParser remember_region = [&found](const HttpResponse& response) {
    found = headerOr(response, "x-amz-bucket-region");
    return parseS3Error(response);
  };
  try {
    HttpResponse response = client_.invoke(address(head, region), remember_region, options);
    found = headerOr(response, "x-amz-bucket-region");
  } catch (const ServiceError&) {
    // The region header comes with refusals too; it is all we wanted.
  }
  return found;
}

GetObjectResult S3Client::getObject(const std::string& bucket, const std::string& key) const {
  checkS3Object(bucket, key);
  HttpResponse response = send({"GetObject", "GET", bucket, key, {}, {}, "", std::nullopt});
  GetObjectResult result;
  result.info = objectInfo(response);
  result.body = std::move(response.body);
  result.info.content_length = result.body.size();
  return result;
}

S3ObjectInfo S3Client::getObject(const std::string& bucket, const std::string& key,
                                 ResponseStream& sink) const {
  checkS3Object(bucket, key);
  CountingStream counted(sink);
  HttpResponse response =
      send({"GetObject", "GET", bucket, key, {}, {}, "", std::nullopt}, &counted);
  S3ObjectInfo info = objectInfo(response);
  if (const std::string* length = response.header("Content-Length");
      length && info.content_length != counted.count()) {
    throw TransportError("download of s3://" + bucket + "/" + key + " ended after " +
                         std::to_string(counted.count()) + " of " + *length + " bytes");
  }
  info.content_length = counted.count();
  return info;
}

S3ObjectInfo S3Client::getObjectRange(const std::string& bucket, const std::string& key,
                                      std::uint64_t first, std::uint64_t last,
                                      const std::string& etag, ResponseStream& sink) const {
  checkS3Object(bucket, key);
  if (last < first) throw std::invalid_argument("getObjectRange: the range ends before it begins");
  CountingStream counted(sink);
  Call call{"GetObject", "GET", bucket, key, {}, {}, "", std::nullopt};
  call.headers.emplace_back("Range", "bytes=" + std::to_string(first) + "-" + std::to_string(last));
  const S3WriteCondition condition = S3WriteCondition::matching(etag);
  addCondition(call.headers, condition);
  S3ObjectInfo info = objectInfo(sendConditional(call, condition, &counted));
  if (counted.count() != last - first + 1) {
    throw TransportError("download of bytes " + std::to_string(first) + "-" + std::to_string(last) +
                         " of s3://" + bucket + "/" + key + " ended after " +
                         std::to_string(counted.count()) + " bytes");
  }
  info.content_length = counted.count();
  return info;
}

S3ObjectInfo S3Client::headObject(const std::string& bucket, const std::string& key) const {
  checkS3Object(bucket, key);
  return objectInfo(send({"HeadObject", "HEAD", bucket, key, {}, {}, "", std::nullopt}));
}

std::string S3Client::putObject(const std::string& bucket, const std::string& key, std::string body,
                                const std::string& content_type,
                                const S3WriteCondition& condition) const {
  checkS3Object(bucket, key);
  Call call{"PutObject", "PUT", bucket, key, {}, {}, std::move(body), std::nullopt};
  if (!content_type.empty()) call.headers.emplace_back("Content-Type", content_type);
  addCondition(call.headers, condition);
  addCrc32(call.headers, call.body);
  return headerOr(sendConditional(call, condition), "ETag");
}

std::string S3Client::putObjectFromFile(const std::string& bucket, const std::string& key,
                                        const FileRange& range) const {
  checkS3Object(bucket, key);
  return headerOr(send({"PutObject", "PUT", bucket, key, {}, {}, "", range}), "ETag");
}

void S3Client::deleteObject(const std::string& bucket, const std::string& key,
                            const S3WriteCondition& condition) const {
  checkS3Object(bucket, key);
  // DeleteObject takes If-Match only.
  if (condition.kind == S3WriteCondition::Kind::kAbsent) {
    throw std::invalid_argument("DeleteObject of s3://" + bucket + "/" + key +
                                " cannot be conditional on the key being absent");
  }
  Call call{"DeleteObject", "DELETE", bucket, key, {}, {}, "", std::nullopt};
  addCondition(call.headers, condition);
  sendConditional(call, condition);
}

HttpResponse S3Client::sendConditional(const Call& call, const S3WriteCondition& condition,
                                       ResponseStream* stream) const {
  try {
    return send(call, stream);
  } catch (const ServiceError& error) {
    if (condition.kind != S3WriteCondition::Kind::kNone && isConditionFailure(error)) {
      throw S3ConditionFailed(error);
    }
    throw;
  }
}

std::vector<DeleteObjectsError> S3Client::deleteObjects(
    const std::string& bucket, const std::vector<std::string>& keys) const {
  checkBucket(bucket);
  if (keys.empty() || keys.size() > kMaxDeleteObjectsKeys) {
    throw std::invalid_argument("DeleteObjects on bucket " + bucket + ": " +
                                std::to_string(keys.size()) + " keys; 1 to " +
                                std::to_string(kMaxDeleteObjectsKeys) + " may be sent");
  }
  for (const std::string& key : keys) checkS3Object(bucket, key);
  Call call{"DeleteObjects",         "POST",      bucket, "", {{"delete", ""}}, {},
            deleteObjectsBody(keys), std::nullopt};
  addCrc32(call.headers, call.body);
  return parseDeleteObjectsResult(send(call).body);
}

ListObjectsV2Page S3Client::listObjectsV2(const ListObjectsV2Request& request) const {
  checkBucket(request.bucket);
  Call call{"ListObjectsV2", "GET", request.bucket, "", {{"list-type", "2"}}, {}, "", std::nullopt};
  if (!request.continuation_token.empty()) {
    call.query.emplace_back("continuation-token", request.continuation_token);
  }
  // As botocore does: keys come back %-encoded, so that any key survives XML.
  call.query.emplace_back("encoding-type", "url");
  if (request.max_keys) call.query.emplace_back("max-keys", std::to_string(*request.max_keys));
  if (!request.prefix.empty()) call.query.emplace_back("prefix", request.prefix);
  if (!request.start_after.empty()) call.query.emplace_back("start-after", request.start_after);

  HttpResponse response = send(call);
  pugi::xml_document doc;
  pugi::xml_node root = parseRoot(doc, response.body);
  if (!root || std::string(root.name()) != "ListBucketResult") {
    throw std::runtime_error("ListObjectsV2 on bucket " + request.bucket +
                             ": the answer is not a listing");
  }
  const bool url_encoded = childText(root, "EncodingType") == "url";
  ListObjectsV2Page page;
  for (pugi::xml_node entry : root.children("Contents")) {
    S3Object object;
    object.key = childText(entry, "Key");
    if (url_encoded) object.key = decodeListedKey(object.key);
    object.size = entry.child("Size").text().as_ullong();
    object.last_modified = childText(entry, "LastModified");
    object.etag = childText(entry, "ETag");
    page.contents.push_back(std::move(object));
  }
  page.is_truncated = childText(root, "IsTruncated") == "true";
  page.next_continuation_token = childText(root, "NextContinuationToken");
  page.key_count = root.child("KeyCount").text().as_int(static_cast<int>(page.contents.size()));
  return page;
}

std::string S3Client::createMultipartUpload(const std::string& bucket,
                                            const std::string& key) const {
  checkS3Object(bucket, key);
  // Parts carry CRC32 checksums; S3 wants the upload to say so up front.
  HttpResponse response = send({"CreateMultipartUpload",
                                "POST",
                                bucket,
                                key,
                                {{"uploads", ""}},
                                {{"x-amz-checksum-algorithm", "CRC32"}},
                                "",
                                std::nullopt});
  pugi::xml_document doc;
  std::string upload_id = childText(parseRoot(doc, response.body), "UploadId");
  if (upload_id.empty()) {
    throw std::runtime_error("CreateMultipartUpload s3://" + bucket + "/" + key +
                             ": no UploadId in the answer");
  }
  return upload_id;
}

CompletedPart S3Client::uploadPart(const std::string& bucket, const std::string& key,
                                   const std::string& upload_id, int part_number,
                                   const FileRange& range) const {
  checkS3Object(bucket, key);
  Call call{"UploadPart",
            "PUT",
            bucket,
            key,
            {{"partNumber", std::to_string(part_number)}, {"uploadId", upload_id}},
            {},
            "",
            range};
  HttpResponse response = send(call);
  return {part_number,
          requireEtag(response, "UploadPart " + std::to_string(part_number) + " of s3://" + bucket +
                                    "/" + key),
          response.sent_checksum};
}

std::string S3Client::completeMultipartUpload(const std::string& bucket, const std::string& key,
                                              const std::string& upload_id,
                                              const std::vector<CompletedPart>& parts) const {
  checkS3Object(bucket, key);
  std::string body = std::string("<CompleteMultipartUpload xmlns=\"") + kS3Namespace + "\">";
  for (const CompletedPart& part : parts) {
    body += "<Part><ETag>" + xmlEscape(part.etag) + "</ETag>";
    if (!part.checksum_crc32.empty()) {
      body += "<ChecksumCRC32>" + xmlEscape(part.checksum_crc32) + "</ChecksumCRC32>";
    }
    body += "<PartNumber>" + std::to_string(part.part_number) + "</PartNumber></Part>";
  }
  body += "</CompleteMultipartUpload>";
  Call call{"CompleteMultipartUpload", "POST", bucket, key,
            {{"uploadId", upload_id}}, {},     body,   std::nullopt};

  const int attempts = std::max(1, config().retry.max_attempts);
  for (int attempt = 1;; ++attempt) {
    HttpResponse response = send(call);
    pugi::xml_document doc;
    pugi::xml_node root = parseRoot(doc, response.body);
    if (!root) {
      throw std::runtime_error("CompleteMultipartUpload s3://" + bucket + "/" + key +
                               ": the answer is not XML: " + response.body.substr(0, 200));
    }
    if (std::string(root.name()) != "Error") return childText(root, "ETag");
    // S3 may fail the assembly after it has sent 200; botocore treats that
    // as the 500 it really is.
    ServiceError error("s3", childText(root, "Code"), childText(root, "Message"), 500,
                       headerOr(response, "x-amz-request-id"));
    // The limiter was told of a 200; a SlowDown inside it must still slow us.
    if (const auto& limiter = client_.rateLimiter(); limiter && isThrottlingCode(error.code())) {
      limiter->onLateThrottlingError();
    }
    if (attempt >= attempts || !isRetryable(error)) throw error;
    config().clock->sleep(config().retry.backoff(attempt, threadRng()));
  }
}

void S3Client::abortMultipartUpload(const std::string& bucket, const std::string& key,
                                    const std::string& upload_id) const {
  checkS3Object(bucket, key);
  send({"AbortMultipartUpload",
        "DELETE",
        bucket,
        key,
        {{"uploadId", upload_id}},
        {},
        "",
        std::nullopt});
}

std::string S3Client::headBucket(const std::string& bucket) const {
  checkBucket(bucket);
  return headerOr(send({"HeadBucket", "HEAD", bucket, "", {}, {}, "", std::nullopt}),
                  "x-amz-bucket-region");
}

}  // namespace aws
