#pragma once
// Listings larger than a page: a paginator that follows the continuation
// tokens, and the objects of a listing as a range that requests each page
// only when the consumer reaches it.

#include "aws/services/lazy_range.h"
#include "aws/services/s3.h"

namespace aws {

/// Walks a listing page by page; each call to next() is one request.
class ListObjectsV2Paginator {
 public:
  /// `client` must outlive the paginator.
  ListObjectsV2Paginator(const S3Client& client, ListObjectsV2Request request);
  /// Fetches the next page into `page`. Returns false, without a request, once
  /// the previous page carried no continuation token. Throws what the client
  /// throws, and std::runtime_error when S3 hands back the same token twice
  /// (a listing that would never end).
  bool next(ListObjectsV2Page& page);

 private:
  const S3Client* client_;
  ListObjectsV2Request request_;
  bool done_ = false;
};

/// The objects of a listing as an input range; holds one page at a time and
/// requests the next only when the consumer steps past the current one.
/// begin() requests the first page (and further pages while they are empty);
/// after a request that threw, begin() or ++ asks for the same page again.
class S3ObjectRange : public LazyRange<S3Object> {
 public:
  /// `client` must outlive the range. Sends nothing yet.
  S3ObjectRange(const S3Client& client, ListObjectsV2Request request);
};

}  // namespace aws
