// The S3 client and managed transfers over real HTTP against the sandbox,
// which checks every signature with botocore's signer.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "aws/http/aws_chunked.h"
#include "aws/http/curl_transport.h"
#include "aws/services/s3_listing.h"
#include "aws/services/s3_transfer.h"
#include "fakes/fake_transport.h"
#include "support/files.h"
#include "support/sandbox.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Sandbox;

using testing_support::readFile;

class S3ClientSandboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Sandbox& sandbox = Sandbox::shared();
    const nlohmann::ordered_json world = sandbox.world();
    bucket_ = world.at("bucket").get<std::string>();
    endpoint_ = aws::Endpoint::parse(sandbox.endpoint());
    transport_ = fakes::FakeTransport::wrapping(
        std::make_shared<aws::CurlTransport>(aws::CurlTransport::Options{}));
    aws::ClientConfig config = sandbox.clientConfig("s3", aws::systemClock(), transport_);
    config.retry.max_attempts = aws::RetryPolicy{}.max_attempts;
    client_ = std::make_unique<aws::S3Client>(config);
  }
  void TearDown() override { Sandbox::shared().s3MaxKeys(0); }

  std::string bucket_;
  aws::Endpoint endpoint_;
  std::shared_ptr<fakes::FakeTransport> transport_;
  std::unique_ptr<aws::S3Client> client_;
  testing_support::ScratchDir scratch_;
  fs::path folder_ = scratch_.path();
};

TEST_F(S3ClientSandboxTest, ObjectsWithAwkwardKeysMakeTheRoundTrip) {
  const std::vector<std::string> keys = {"plain.txt",
                                         "it/with space+plus~tilde%25percent",
                                         "it/\xC3\xBCnicode/\xD0\xBA.txt",
                                         "it/double//slash",
                                         "it/a=b&c?d#e;f,g",
                                         "it/trailing/"};
  for (const std::string& key : keys) {
    SCOPED_TRACE(key);
    const std::string body = "body of " + key;
    client_->putObject(bucket_, key, body);
    EXPECT_EQ(client_->headObject(bucket_, key).content_length, body.size());
    EXPECT_EQ(client_->getObject(bucket_, key).body, body);

    std::vector<std::string> listed;
    for (const aws::S3Object& object : aws::S3ObjectRange(*client_, {bucket_, key, "", "", {}})) {
      listed.push_back(object.key);
    }
    EXPECT_EQ(listed, std::vector<std::string>{key});

    client_->deleteObject(bucket_, key);
    try {
      client_->headObject(bucket_, key);
      ADD_FAILURE() << "still there";
    } catch (const aws::ServiceError& error) {
      EXPECT_EQ(error.code(), "404");
    }
    try {
      client_->getObject(bucket_, key);
      ADD_FAILURE() << "still there";
    } catch (const aws::ServiceError& error) {
      EXPECT_EQ(error.code(), "NoSuchKey");
      EXPECT_EQ(error.httpStatus(), 404);
    }
  }
}

TEST_F(S3ClientSandboxTest, MultipartUploadAndDownloadKeepEveryByte) {
  const fs::path source = folder_ / "source.bin";
  {
    std::mt19937_64 rng(42);
    std::ofstream out(source, std::ios::binary);
    std::vector<std::uint64_t> block(64 * 1024);
    for (int i = 0; i < 40; ++i) {  // 40 x 512 KiB = 20 MiB
      for (auto& word : block) word = rng();
      out.write(reinterpret_cast<const char*>(block.data()), block.size() * sizeof(block[0]));
    }
    out << "tail";
  }
  aws::uploadFile(*client_, source.string(), bucket_, "it/big.bin", {});
  // A multipart object's ETag says how many parts made it.
  EXPECT_NE(client_->headObject(bucket_, "it/big.bin").etag.find("-3"), std::string::npos);

  const fs::path target = folder_ / "deep" / "er" / "big.bin";
  aws::downloadFile(*client_, bucket_, "it/big.bin", target.string());
  EXPECT_EQ(fs::file_size(target), fs::file_size(source));
  EXPECT_TRUE(readFile(target) == readFile(source)) << "contents differ";
  EXPECT_EQ(std::distance(fs::directory_iterator(target.parent_path()), {}), 1)
      << "a temporary file was left behind";

  // Known from a listing, it comes in three ranges, each into its place; a
  // range whose connection drops is fetched again from its first byte.
  const aws::S3ObjectInfo head = client_->headObject(bucket_, "it/big.bin");
  const aws::ObjectVersion listed{head.content_length, head.etag};
  Sandbox::shared().setFaults(
      {{"rules",
        {{{"service", "s3"}, {"action", "GetObject"}, {"skip", 1}, {"count", 1}, {"drop", true}}}}});
  const std::size_t sent_before = transport_->requests().size();
  const fs::path ranged = folder_ / "ranged" / "big.bin";
  aws::downloadFile(*client_, bucket_, "it/big.bin", ranged.string(), {}, listed);
  Sandbox::shared().clearFaults();
  EXPECT_TRUE(readFile(ranged) == readFile(source)) << "contents differ";
  std::vector<std::string> ranges;
  const std::vector<aws::HttpRequest> sent = transport_->requests();
  for (std::size_t i = sent_before; i < sent.size(); ++i) {
    const std::string* range = sent[i].header("Range");
    ranges.push_back(range ? *range : "none");
    EXPECT_EQ(sent[i].header("If-Match") ? *sent[i].header("If-Match") : "", head.etag);
  }
  EXPECT_EQ(ranges.size(), 4u) << "one range should have gone twice";
  std::sort(ranges.begin(), ranges.end());
  ranges.erase(std::unique(ranges.begin(), ranges.end()), ranges.end());
  EXPECT_EQ(ranges, (std::vector<std::string>{"bytes=0-8388607", "bytes=16777216-20971523",
                                              "bytes=8388608-16777215"}));

  // Replaced since the listing: the download fails and leaves no file.
  client_->putObject(bucket_, "it/big.bin", "replaced");
  const fs::path stale = folder_ / "stale" / "big.bin";
  EXPECT_THROW(aws::downloadFile(*client_, bucket_, "it/big.bin", stale.string(), {}, listed),
               aws::S3ConditionFailed);
  EXPECT_TRUE(fs::is_empty(stale.parent_path()));

  // Below the threshold: a single PutObject, whose ETag has no part count.
  const fs::path small = folder_ / "small.txt";
  std::ofstream(small) << "small";
  aws::uploadFile(*client_, small.string(), bucket_, "it/small.txt", {});
  EXPECT_EQ(client_->headObject(bucket_, "it/small.txt").etag.find('-'), std::string::npos);
  client_->deleteObject(bucket_, "it/big.bin");
  client_->deleteObject(bucket_, "it/small.txt");
}

// File bodies travel framed with their checksum, which the sandbox checks as
// S3 does: sizes at and around the frame's chunk size, and nothing at all.
TEST_F(S3ClientSandboxTest, FramedUploadsOfEverySizeStoreEveryByte) {
  const std::uint64_t chunk = aws::AwsChunked{}.chunk_size;
  for (const std::uint64_t size :
       {std::uint64_t{0}, std::uint64_t{1}, chunk - 1, chunk, chunk + 1, 3 * chunk + 7}) {
    SCOPED_TRACE(size);
    std::string body(size, '\0');
    std::mt19937 rng(static_cast<unsigned>(size));
    for (char& c : body) c = static_cast<char>(rng());
    const fs::path source = folder_ / ("framed-" + std::to_string(size));
    testing_support::writeFile(source, body);
    const std::string key = "it/framed/" + std::to_string(size);
    client_->putObjectFromFile(bucket_, key, {source.string(), 0, size});
    EXPECT_EQ(client_->headObject(bucket_, key).content_length, size);
    EXPECT_TRUE(client_->getObject(bucket_, key).body == body) << "contents differ";
    client_->deleteObject(bucket_, key);
  }
}

TEST_F(S3ClientSandboxTest, ListingFollowsContinuationTokensPageByPage) {
  Sandbox::shared().control("POST", "s3",
                            {{"fill", {{"bucket", bucket_}, {"prefix", "paged/"}, {"count", 25}}}});
  Sandbox::shared().s3MaxKeys(10);

  transport_->clear();
  std::vector<std::string> keys;
  for (const aws::S3Object& object :
       aws::S3ObjectRange(*client_, {bucket_, "paged/", "", "", {}})) {
    keys.push_back(object.key);
    EXPECT_EQ(object.size, 1u);
    EXPECT_FALSE(object.last_modified.empty());
  }
  ASSERT_EQ(keys.size(), 25u);
  EXPECT_EQ(keys.front(), "paged/00000");
  EXPECT_EQ(keys.back(), "paged/00024");
  EXPECT_EQ(transport_->countWithQuery("list-type"), 3u);

  transport_->clear();
  aws::S3ObjectRange range(*client_, {bucket_, "paged/", "", "", {}});
  EXPECT_EQ(range.begin()->key, "paged/00000");
  EXPECT_EQ(transport_->countWithQuery("list-type"), 1u);

  for (const std::string& key : keys) client_->deleteObject(bucket_, key);
}

TEST_F(S3ClientSandboxTest, AMissingObjectDownloadsAsNoSuchKeyAndWritesNothing) {
  const fs::path target = folder_ / "nested" / "missing.txt";
  try {
    aws::downloadFile(*client_, bucket_, "it/does-not-exist", target.string());
    FAIL() << "no error";
  } catch (const aws::ServiceError& error) {
    EXPECT_EQ(error.code(), "NoSuchKey");
  }
  EXPECT_FALSE(fs::exists(target));
  EXPECT_TRUE(fs::is_empty(target.parent_path()));
}

}  // namespace
