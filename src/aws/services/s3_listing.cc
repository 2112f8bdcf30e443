#include "aws/services/s3_listing.h"

#include <stdexcept>
#include <utility>

namespace aws {

namespace {

/// The objects of a listing, one page held at a time.
class ObjectCursor : public Cursor<S3Object> {
 public:
  ObjectCursor(const S3Client& client, ListObjectsV2Request request)
      : pages_(client, std::move(request)) {}

  void start() override { fill(); }
  bool ended() const override { return ended_; }
  const S3Object& current() const override { return page_.contents[index_]; }
  void advance() override {
    ++index_;
    fill();
  }

 private:
  // Moves to the next page that has entries, unless the current one still
  // has some; ends when there is none. A request that throws leaves an empty
  // page behind, so the next call asks for it again.
  void fill() {
    while (!ended_ && index_ >= page_.contents.size()) {
      page_ = {};
      index_ = 0;
      ended_ = !pages_.next(page_);
    }
  }

  ListObjectsV2Paginator pages_;
  ListObjectsV2Page page_;
  std::size_t index_ = 0;
  bool ended_ = false;
};

}  // namespace

ListObjectsV2Paginator::ListObjectsV2Paginator(const S3Client& client, ListObjectsV2Request request)
    : client_(&client), request_(std::move(request)) {}

bool ListObjectsV2Paginator::next(ListObjectsV2Page& page) {
  if (done_) return false;
  page = client_->listObjectsV2(request_);
  const std::string& token = page.next_continuation_token;
  if (token.empty()) {
    done_ = true;
  } else if (token == request_.continuation_token) {
    done_ = true;
    throw std::runtime_error("ListObjectsV2 on bucket " + request_.bucket +
                             " returned the same continuation token twice");
  } else {
    request_.continuation_token = token;
  }
  return true;
}

S3ObjectRange::S3ObjectRange(const S3Client& client, ListObjectsV2Request request)
    : LazyRange(std::make_unique<ObjectCursor>(client, std::move(request))) {}

static_assert(std::input_iterator<S3ObjectRange::iterator>);
static_assert(std::sentinel_for<std::default_sentinel_t, S3ObjectRange::iterator>);

}  // namespace aws
