#include "s3/file_listing.h"

#include <iterator>
#include <memory>
#include <optional>
#include <utility>

#include "aws/services/s3_listing.h"
#include "testlib/common.h"

namespace s3lib {

namespace {

/// The objects of a listing whose keys contain a text.
class MatchingKeys : public aws::Cursor<ListingEntry> {
 public:
  MatchingKeys(const aws::S3Client* client, std::string bucket, std::string prefix,
               std::string contains)
      : client_(client),
        bucket_(std::move(bucket)),
        prefix_(std::move(prefix)),
        contains_(std::move(contains)) {}

  void start() override {
    if (ended_) return;
    if (client_ == nullptr) {
      testlib::s3Logger()->warn("  **Alert** failed to listAllFiles - no access to S3.");
      ended_ = true;
      return;
    }
    if (!objects_) {
      aws::ListObjectsV2Request request;
      request.bucket = bucket_;
      request.prefix = prefix_;
      objects_.emplace(*client_, std::move(request));
    }
    position_ = objects_->begin();
    settle();
  }
  bool ended() const override { return ended_; }
  const ListingEntry& current() const override { return current_; }
  void advance() override {
    ++position_;
    settle();
  }

 private:
  // Moves `position_` to the next object whose key matches, starting at the
  // one it points to, and copies it out; ends at the end of the listing.
  void settle() {
    for (; !(position_ == std::default_sentinel); ++position_) {
      if (position_->key.find(contains_) != std::string::npos) {
        current_ = ListingEntry{position_->key, position_->last_modified, position_->size,
                                position_->etag};
        return;
      }
    }
    ended_ = true;
    current_ = {};
    objects_.reset();
  }

  const aws::S3Client* client_;
  std::string bucket_;
  std::string prefix_;
  std::string contains_;
  std::optional<aws::S3ObjectRange> objects_;
  aws::S3ObjectRange::iterator position_;
  ListingEntry current_;
  bool ended_ = false;
};

}  // namespace

FileListing::FileListing(const aws::S3Client* client, std::string bucket, std::string prefix,
                         std::string contains)
    : LazyRange(std::make_unique<MatchingKeys>(client, std::move(bucket), std::move(prefix),
                                               std::move(contains))) {}

static_assert(std::input_iterator<FileListing::iterator>);
static_assert(std::sentinel_for<std::default_sentinel_t, FileListing::iterator>);

}  // namespace s3lib
