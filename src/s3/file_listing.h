#pragma once
// The objects under a key prefix whose keys contain a text, as a range that
// lists a page at a time.

#include <cstdint>
#include <string>

#include "aws/services/lazy_range.h"
#include "aws/services/s3.h"

namespace s3lib {

/// An object of a listing: its key, its LastModified as the service sent it,
/// its size and its ETag.
struct ListingEntry {
  std::string key;
  std::string last_modified;
  std::uint64_t size = 0;
  std::string etag;
};

/// The objects under a prefix whose keys contain a text, produced one listing
/// page at a time: a page is requested only when the consumer steps past the
/// previous one, and only the current page is held. Iterate it once.
///
/// begin() starts the listing: with no client, it logs the warning
/// "  **Alert** failed to listAllFiles - no access to S3." and yields nothing;
/// otherwise it sends the first request (more only while pages hold no
/// matching key). Stepping on may send the next request. Both throw what the
/// client throws.
class FileListing : public aws::LazyRange<ListingEntry> {
 public:
  /// `client` (may be null) must outlive the listing. Sends nothing yet.
  FileListing(const aws::S3Client* client, std::string bucket, std::string prefix,
              std::string contains);
};

}  // namespace s3lib
