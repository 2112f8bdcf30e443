#pragma once
// The S3 client (REST-XML): object reads and writes, listing pages, the
// pieces of a multipart upload, and the region redirects S3 answers with when
// a bucket lives elsewhere than the client's region. Downloads to a file are
// in s3_download.h, listings walked object by object in s3_listing.h.

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "aws/client/client.h"
#include "aws/client/error.h"
#include "aws/http/http.h"

namespace aws {

/// One entry of a listing.
struct S3Object {
  std::string key;
  std::uint64_t size = 0;
  /// As the service reports it, e.g. "2024-05-01T10:00:00.000Z".
  std::string last_modified;
  std::string etag;
};

struct ListObjectsV2Request {
  std::string bucket;
  std::string prefix;              // "" = not sent
  std::string continuation_token;  // "" = not sent
  std::string start_after;         // "" = not sent
  std::optional<int> max_keys;     // nullopt = the service's default
};

struct ListObjectsV2Page {
  std::vector<S3Object> contents;
  bool is_truncated = false;
  std::string next_continuation_token;  // "" on the last page
  int key_count = 0;
};

/// What HeadObject and GetObject report about an object.
struct S3ObjectInfo {
  std::uint64_t content_length = 0;
  std::string etag;
  std::string last_modified;  // the Last-Modified header, as sent
  std::string date;           // the answer's Date header: S3's clock at the time
  std::string content_type;
  std::map<std::string, std::string> metadata;  // x-amz-meta-*, names lower-cased, prefix removed
};

struct GetObjectResult {
  S3ObjectInfo info;
  std::string body;
};

struct CompletedPart {
  int part_number = 0;
  std::string etag;
  /// The part's CRC32 in S3's base64 form ("" when it was sent without one).
  std::string checksum_crc32 = {};
};

/// A key that DeleteObjects could not delete, with S3's code and message.
struct DeleteObjectsError {
  std::string key;
  std::string code;
  std::string message;
  bool operator==(const DeleteObjectsError&) const = default;
};

/// The most keys one DeleteObjects request may name.
inline constexpr std::size_t kMaxDeleteObjectsKeys = 1000;

/// The body of a quiet DeleteObjects request for `keys`, as botocore
/// serialises it.
std::string deleteObjectsBody(const std::vector<std::string>& keys);

/// The keys a DeleteObjects answer reports as not deleted, in its order.
/// Throws std::runtime_error when the body is not a DeleteResult.
std::vector<DeleteObjectsError> parseDeleteObjectsResult(const std::string& body);

/// Turns an S3 error answer into a ServiceError (service "s3"): code, message
/// and request id from an <Error> body; without a usable body (HEAD answers),
/// the code is the status as text ("404") and the message its reason phrase,
/// as botocore reports them.
ServiceError parseS3Error(const HttpResponse& response);

/// Throws std::invalid_argument for an empty or malformed bucket name or an
/// empty key: what every object call checks before anything is sent.
void checkS3Object(const std::string& bucket, const std::string& key);

/// True when S3 can address `bucket` as a host name label (lower case,
/// digits, hyphens, 3 to 63 characters, no dots).
bool isVirtualHostableBucket(const std::string& bucket);

/// A write that S3 refused because its condition did not hold: 412
/// PreconditionFailed (If-None-Match found the key, If-Match another ETag) or
/// 409 ConditionalRequestConflict (another write to the key was under way).
/// Only conditional calls throw it; it is never retried, since the other
/// writer has won.
class S3ConditionFailed : public ServiceError {
 public:
  explicit S3ConditionFailed(const ServiceError& error) : ServiceError(error) {}
};

/// The condition of a write: none, "only if the key does not exist"
/// (If-None-Match: *), or "only if the object still has this ETag" (If-Match).
struct S3WriteCondition {
  enum class Kind { kNone, kAbsent, kEtag };
  Kind kind = Kind::kNone;
  std::string etag;  // kEtag only, as S3 sent it (quotes included)

  static S3WriteCondition absent() { return {Kind::kAbsent, ""}; }
  static S3WriteCondition matching(std::string etag) { return {Kind::kEtag, std::move(etag)}; }
};

class S3Client {
 public:
  /// Throws ConfigError when the configuration has no credentials or transport.
  explicit S3Client(ClientConfig config);
  S3Client(const S3Client&) = delete;
  S3Client& operator=(const S3Client&) = delete;

  const ClientConfig& config() const { return client_.config(); }

  // Every call below throws std::invalid_argument for an empty or malformed
  // bucket name or an empty key (before anything is sent), ServiceError when
  // S3 says no, TransportError when no answer could be had.

  /// The whole object in memory.
  GetObjectResult getObject(const std::string& bucket, const std::string& key) const;
  /// Streams the object's body into `sink` (restarted before every attempt)
  /// instead of memory. Throws TransportError when the body ends short of its
  /// Content-Length; `content_length` is what the sink received.
  S3ObjectInfo getObject(const std::string& bucket, const std::string& key,
                         ResponseStream& sink) const;
  /// Bytes `first` to `last` (inclusive) of the object into `sink`, only
  /// while the object's ETag is `etag`: a changed object answers 412
  /// (S3ConditionFailed). Throws TransportError when fewer bytes came.
  S3ObjectInfo getObjectRange(const std::string& bucket, const std::string& key,
                              std::uint64_t first, std::uint64_t last, const std::string& etag,
                              ResponseStream& sink) const;
  S3ObjectInfo headObject(const std::string& bucket, const std::string& key) const;
  /// Returns the new object's ETag ("" when S3 sent none). With a
  /// condition, throws S3ConditionFailed when it does not hold; an If-Match
  /// on a key that does not exist is S3's NoSuchKey (a plain ServiceError).
  std::string putObject(const std::string& bucket, const std::string& key, std::string body,
                        const std::string& content_type = "",
                        const S3WriteCondition& condition = {}) const;
  /// Uploads a file range (the whole file when `range.length` covers it)
  /// without loading it, with its CRC32 as trailer. Returns the ETag.
  std::string putObjectFromFile(const std::string& bucket, const std::string& key,
                                const FileRange& range) const;
  /// Deleting a key that does not exist succeeds, as in S3. With a
  /// condition (kEtag only), throws S3ConditionFailed when the object has
  /// another ETag.
  void deleteObject(const std::string& bucket, const std::string& key,
                    const S3WriteCondition& condition = {}) const;
  /// Deletes up to kMaxDeleteObjectsKeys keys with one quiet DeleteObjects
  /// request (CRC32 of the body in x-amz-checksum-crc32, as S3 requires a
  /// checksum and botocore sends it). Returns the keys S3 did not delete;
  /// keys that do not exist count as deleted. Throws std::invalid_argument
  /// for no keys, too many or an empty one.
  std::vector<DeleteObjectsError> deleteObjects(const std::string& bucket,
                                                const std::vector<std::string>& keys) const;
  /// One ListObjectsV2 request. Keys come back decoded.
  ListObjectsV2Page listObjectsV2(const ListObjectsV2Request& request) const;

  /// Returns the upload id. The upload is declared with CRC32 part checksums.
  std::string createMultipartUpload(const std::string& bucket, const std::string& key) const;
  /// Sends one part from a file range, with its CRC32 as trailer. Returns
  /// what CompleteMultipartUpload needs of it (ETag and checksum).
  CompletedPart uploadPart(const std::string& bucket, const std::string& key,
                           const std::string& upload_id, int part_number,
                           const FileRange& range) const;
  /// Returns the object's ETag. An error that S3 reports inside a 200 answer
  /// is thrown as a ServiceError like any other (and retried when transient).
  std::string completeMultipartUpload(const std::string& bucket, const std::string& key,
                                      const std::string& upload_id,
                                      const std::vector<CompletedPart>& parts) const;
  void abortMultipartUpload(const std::string& bucket, const std::string& key,
                            const std::string& upload_id) const;
  /// HeadBucket; returns the bucket's region as S3 reports it ("" when not said).
  std::string headBucket(const std::string& bucket) const;

  /// The region requests for `bucket` are sent to: the one learnt from a
  /// redirect, else the client's.
  std::string regionOf(const std::string& bucket) const;

 private:
  struct Call;
  HttpResponse send(const Call& call, ResponseStream* stream = nullptr) const;
  /// send(), with a refused condition thrown as S3ConditionFailed.
  HttpResponse sendConditional(const Call& call, const S3WriteCondition& condition,
                               ResponseStream* stream = nullptr) const;
  /// One invocation of `call` at `region`'s endpoint, signed for it.
  HttpResponse invokeAt(const Call& call, const std::string& region, const ErrorParser& parse_error,
                        ServiceClient::Options options) const;
  HttpRequest address(const Call& call, const std::string& region) const;
  Endpoint endpointFor(const std::string& region) const;
  std::string discoverRegion(const std::string& bucket) const;

  ServiceClient client_;
  mutable std::mutex regions_mutex_;
  mutable std::map<std::string, std::string> bucket_regions_;
};

}  // namespace aws
