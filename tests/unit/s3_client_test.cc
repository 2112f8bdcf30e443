// The S3 client and managed transfers against a scripted transport:
// addressing (checked against botocore's own URLs), listing, errors, region
// redirects, multipart sequencing with part checksums (checked against
// botocore's serialization), and downloads that never leave a partial file.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include "aws/base/checksum.h"
#include "aws/http/aws_chunked.h"
#include "aws/services/s3.h"
#include "aws/services/s3_listing.h"
#include "aws/services/s3_transfer.h"
#include "fakes/fake_transport.h"
#include "fakes/test_client.h"
#include "support/files.h"
#include "support/serialization.h"

namespace {

namespace fs = std::filesystem;
using aws::HttpRequest;
using aws::HttpResponse;

using fakes::answer;
using fakes::FakeTransport;

std::string errorXml(const std::string& code, const std::string& extra = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Error><Code>" + code +
         "</Code><Message>m</Message>" + extra + "<RequestId>body-id</RequestId></Error>";
}

// The test client for S3 in `region`, retrying as S3 clients do by default.
aws::ClientConfig s3Config(std::shared_ptr<aws::HttpTransport> transport, bool overridden,
                           const std::string& region = "eu-west-1") {
  aws::ClientConfig config =
      fakes::clientConfig("s3", std::move(transport), nullptr, aws::RetryPolicy{}.max_attempts);
  config.region = config.signing_region = region;
  config.endpoint = aws::Endpoint::parse(overridden ? "http://127.0.0.1:5000"
                                                    : "https://s3." + region + ".amazonaws.com");
  config.endpoint_overridden = overridden;
  return config;
}

std::string queryValue(const HttpRequest& request, const std::string& name) {
  for (const auto& [key, value] : request.query) {
    if (key == name) return value;
  }
  return "<absent>";
}

std::string scopeRegion(const HttpRequest& request) {
  std::smatch match;
  const std::string* auth = request.header("Authorization");
  if (auth &&
      std::regex_search(*auth, match, std::regex("Credential=AKIDEXAMPLE/\\d{8}/([^/]+)/s3/"))) {
    return match[1];
  }
  return "<unsigned>";
}

using testing_support::readFile;

using TempFolder = testing_support::ScratchDir;

// ---------------------------------------------------------------------------

TEST(S3Addressing, MatchesBotocoreUrlsForStylesAndKeyEncoding) {
  struct Case {
    bool overridden;
    std::string bucket, key;
  };
  const std::vector<Case> cases = {
      {false, "my-bucket", "a b+c~d%e/\xC3\xBC//x"},  // virtual-hosted
      {false, "my.bucket", "k"},                      // dots: path-style
      {false, "My_Bucket", "k"},                      // not a host label: path-style
      {false, "ab", "k"},                             // too short for a host label
      {true, "bkt", "/lead"},                         // local endpoint: path-style
      {true, "bkt", "x/y z+%2F"},
  };
  auto transport = std::make_shared<FakeTransport>(
      [](const HttpRequest&, const aws::BodySink*) { return answer(200, "x"); });
  aws::S3Client virtual_client(s3Config(transport, false));
  aws::S3Client local_client(s3Config(transport, true));

  nlohmann::json oracle_cases = nlohmann::json::array();
  for (const Case& c : cases) {
    (c.overridden ? local_client : virtual_client).getObject(c.bucket, c.key);
    nlohmann::json item = {{"region", "eu-west-1"}, {"bucket", c.bucket}, {"key", c.key}};
    if (c.overridden) item["endpoint"] = "http://127.0.0.1:5000";
    oracle_cases.push_back(item);
  }

  // botocore builds the same requests; only the URL is captured, nothing is sent.
  const auto expected = testing_support::runOracle("s3_url_oracle.py", oracle_cases);

  const auto sent = transport->requests();
  ASSERT_EQ(sent.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(sent[i].url(), expected[i].get<std::string>()) << cases[i].bucket << " " << i;
    EXPECT_EQ(sent[i].method, "GET");
    EXPECT_TRUE(sent[i].header("x-amz-content-sha256")) << i;
  }
}

TEST(S3Addressing, RefusesRequestsThatWouldAddressSomethingElse) {
  auto transport = std::make_shared<FakeTransport>(
      [](const HttpRequest&, const aws::BodySink*) { return answer(204); });
  aws::S3Client client(s3Config(transport, true));
  // An empty key would make DeleteObject a DeleteBucket; a "/" would move to
  // another bucket's object.
  EXPECT_THROW(client.deleteObject("bkt", ""), std::invalid_argument);
  EXPECT_THROW(client.deleteObject("", "k"), std::invalid_argument);
  EXPECT_THROW(client.deleteObject("bkt/other", "k"), std::invalid_argument);
  EXPECT_THROW(client.getObject("bkt?x", "k"), std::invalid_argument);
  EXPECT_TRUE(transport->requests().empty());
}

TEST(S3Client, SignsMemoryBodiesAndFramesFileBodiesWithTheirChecksum) {
  auto transport = std::make_shared<FakeTransport>([](const HttpRequest&, const aws::BodySink*) {
    return answer(200, "", {{"ETag", "\"e\""}});
  });
  aws::S3Client client(s3Config(transport, true));
  TempFolder folder;
  const fs::path file = folder.path() / "f";
  std::ofstream(file) << "xxhelloyy";

  EXPECT_EQ(client.putObject("bkt", "k", "hello"), "\"e\"");
  client.putObjectFromFile("bkt", "k", {file.string(), 2, 5});
  const auto sent = transport->requests();
  ASSERT_EQ(sent.size(), 2u);
  const std::string hello_sha = "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824";
  EXPECT_EQ(*sent[0].header("x-amz-content-sha256"), hello_sha);
  EXPECT_FALSE(sent[0].aws_chunked);
  EXPECT_FALSE(sent[0].header("Content-Encoding"));

  const HttpRequest& framed = sent[1];
  EXPECT_EQ(framed.method, "PUT");
  ASSERT_TRUE(framed.body_file);
  EXPECT_EQ(framed.body_file->offset, 2u);
  EXPECT_EQ(framed.body_file->length, 5u);
  EXPECT_TRUE(framed.body.empty());
  ASSERT_TRUE(framed.aws_chunked);
  EXPECT_EQ(framed.aws_chunked->trailer, "x-amz-checksum-crc32");
  const std::vector<std::pair<std::string, std::string>> headers = {
      {"x-amz-content-sha256", "STREAMING-UNSIGNED-PAYLOAD-TRAILER"},
      {"Content-Encoding", "aws-chunked"},
      {"X-Amz-Decoded-Content-Length", "5"},
      {"X-Amz-Trailer", "x-amz-checksum-crc32"},
      {"X-Amz-Sdk-Checksum-Algorithm", "CRC32"}};
  for (const auto& [name, value] : headers) {
    ASSERT_TRUE(framed.header(name)) << name;
    EXPECT_EQ(*framed.header(name), value) << name;
  }
  // "5\r\nhello\r\n" + "0\r\n" + "x-amz-checksum-crc32:<8 characters>\r\n" + "\r\n"
  EXPECT_EQ(framed.contentLength(), 10u + 3u + 31u + 2u);
  const std::string* auth = framed.header("Authorization");
  ASSERT_TRUE(auth);
  for (const char* name : {"content-encoding", "x-amz-decoded-content-length", "x-amz-trailer"}) {
    EXPECT_NE(auth->find(name), std::string::npos) << name << " is not signed";
  }
}

// The framing follows the scheme of neither endpoint: every body streamed
// from a file carries its CRC32 (S3 checks it) and is read once, over http
// as over https, a region redirect's resend included.
TEST(S3Client, FileBodiesAreFramedOnEveryEndpoint) {
  TempFolder folder;
  const fs::path file = folder.path() / "f";
  std::ofstream(file) << "xxhelloyy";
  const std::string hello_sha = "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824";
  const std::string empty_sha = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
  const std::string framed = "STREAMING-UNSIGNED-PAYLOAD-TRAILER";
  const aws::FileRange range{file.string(), 2, 5};

  struct Case {
    std::string name, endpoint;
    std::function<void(const aws::S3Client&)> call;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"PutObject from a file, https", "https://127.0.0.1:5443",
       [&](const aws::S3Client& c) { c.putObjectFromFile("bkt", "k", range); }, framed},
      {"UploadPart, https", "https://127.0.0.1:5443",
       [&](const aws::S3Client& c) { c.uploadPart("bkt", "k", "up1", 3, range); }, framed},
      {"PutObject from a file, http", "http://127.0.0.1:5000",
       [&](const aws::S3Client& c) { c.putObjectFromFile("bkt", "k", range); }, framed},
      {"UploadPart, http", "http://127.0.0.1:5000",
       [&](const aws::S3Client& c) { c.uploadPart("bkt", "k", "up1", 3, range); }, framed},
      {"PutObject from memory, https", "https://127.0.0.1:5443",
       [](const aws::S3Client& c) { c.putObject("bkt", "k", "hello"); }, hello_sha},
      {"GetObject, https", "HTTPS://127.0.0.1:5443",
       [](const aws::S3Client& c) { c.getObject("bkt", "k"); }, empty_sha},
  };
  for (const Case& c : cases) {
    auto transport = std::make_shared<FakeTransport>([](const HttpRequest&, const aws::BodySink*) {
      return answer(200, "", {{"ETag", "\"e\""}});
    });
    aws::ClientConfig config = s3Config(transport, true);
    config.endpoint = aws::Endpoint::parse(c.endpoint);
    aws::S3Client client(std::move(config));
    c.call(client);
    const auto sent = transport->requests();
    ASSERT_EQ(sent.size(), 1u) << c.name;
    ASSERT_TRUE(sent[0].header("x-amz-content-sha256")) << c.name;
    EXPECT_EQ(*sent[0].header("x-amz-content-sha256"), c.expected) << c.name;
    EXPECT_EQ(sent[0].aws_chunked.has_value(), c.expected == framed) << c.name;
    const std::string* auth = sent[0].header("Authorization");
    ASSERT_TRUE(auth) << c.name;
    EXPECT_NE(auth->find("x-amz-content-sha256"), std::string::npos) << c.name;
  }

  auto transport =
      std::make_shared<FakeTransport>([](const HttpRequest& request, const aws::BodySink*) {
        if (request.endpoint.host.find("us-west-2") == std::string::npos) {
          return answer(301, errorXml("PermanentRedirect"), {{"x-amz-bucket-region", "us-west-2"}});
        }
        return answer(200, "", {{"ETag", "\"e\""}});
      });
  aws::S3Client client(s3Config(transport, false));
  client.putObjectFromFile("my-bucket", "k", range);
  const auto sent = transport->requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].url(), "https://my-bucket.s3.us-west-2.amazonaws.com/k");
  EXPECT_EQ(scopeRegion(sent[1]), "us-west-2");
  EXPECT_EQ(*sent[1].header("x-amz-content-sha256"), framed);
  EXPECT_TRUE(sent[1].aws_chunked);
}

// ---------------------------------------------------------------------------

std::string listingXml(const std::vector<std::string>& keys, const std::string& next_token) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><ListBucketResult "
      "xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Name>bkt</Name>"
      "<EncodingType>url</EncodingType><KeyCount>" +
      std::to_string(keys.size()) + "</KeyCount><IsTruncated>" +
      (next_token.empty() ? "false" : "true") + "</IsTruncated>";
  for (const std::string& key : keys) {
    xml += "<Contents><Key>" + key +
           "</Key><LastModified>2024-05-01T10:00:00.000Z</LastModified><ETag>&quot;abc&quot;"
           "</ETag><Size>42</Size><StorageClass>STANDARD</StorageClass></Contents>";
  }
  if (!next_token.empty())
    xml += "<NextContinuationToken>" + next_token + "</NextContinuationToken>";
  return xml + "</ListBucketResult>";
}

TEST(S3Listing, SendsTheRequestFieldsAndDecodesKeys) {
  auto transport = std::make_shared<FakeTransport>([](const HttpRequest&, const aws::BodySink*) {
    return answer(200, listingXml({"a+b%2Bc%25", "plain/k%C3%BC"}, "tok=/+"));
  });
  aws::S3Client client(s3Config(transport, true));
  aws::ListObjectsV2Request request;
  request.bucket = "bkt";
  request.prefix = "backups/vpc 1/";
  request.continuation_token = "prev";
  request.start_after = "backups/a";
  request.max_keys = 2;
  const aws::ListObjectsV2Page page = client.listObjectsV2(request);

  const HttpRequest sent = transport->requests().at(0);
  EXPECT_EQ(sent.path, "/bkt");
  EXPECT_EQ(queryValue(sent, "list-type"), "2");
  EXPECT_EQ(queryValue(sent, "prefix"), "backups/vpc 1/");
  EXPECT_EQ(queryValue(sent, "continuation-token"), "prev");
  EXPECT_EQ(queryValue(sent, "start-after"), "backups/a");
  EXPECT_EQ(queryValue(sent, "max-keys"), "2");
  EXPECT_EQ(queryValue(sent, "encoding-type"), "url");

  ASSERT_EQ(page.contents.size(), 2u);
  EXPECT_EQ(page.contents[0].key, "a b+c%");
  EXPECT_EQ(page.contents[1].key, "plain/k\xC3\xBC");
  EXPECT_EQ(page.contents[0].size, 42u);
  EXPECT_EQ(page.contents[0].last_modified, "2024-05-01T10:00:00.000Z");
  EXPECT_EQ(page.contents[0].etag, "\"abc\"");
  EXPECT_TRUE(page.is_truncated);
  EXPECT_EQ(page.next_continuation_token, "tok=/+");
  EXPECT_EQ(page.key_count, 2);

  // Without the optional fields, none is sent.
  client.listObjectsV2({"bkt", "", "", "", std::nullopt});
  const HttpRequest bare = transport->requests().at(1);
  for (const char* name : {"prefix", "continuation-token", "start-after", "max-keys"}) {
    EXPECT_EQ(queryValue(bare, name), "<absent>") << name;
  }
}

TEST(S3Listing, RequestsPagesOnlyAsTheConsumerAdvances) {
  // Three pages, the middle one empty (S3 may send those), then a last one.
  auto transport = std::make_shared<FakeTransport>([](const HttpRequest& r, const aws::BodySink*) {
    const std::string token = queryValue(r, "continuation-token");
    if (token == "<absent>") return answer(200, listingXml({"k1", "k2"}, "t1"));
    if (token == "t1") return answer(200, listingXml({}, "t2"));
    return answer(200, listingXml({"k3"}, ""));
  });
  aws::S3Client client(s3Config(transport, true));

  {
    aws::S3ObjectRange range(client, {"bkt", "p/", "", "", std::nullopt});
    EXPECT_TRUE(transport->requests().empty()) << "nothing is sent before iteration starts";
    for (const aws::S3Object& object : range) {
      EXPECT_EQ(object.key, "k1");
      break;
    }
    EXPECT_EQ(transport->requests().size(), 1u);
  }

  std::vector<std::string> keys;
  for (const aws::S3Object& object : aws::S3ObjectRange(client, {"bkt", "p/", "", "", {}})) {
    keys.push_back(object.key);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"k1", "k2", "k3"}));
  const auto sent = transport->requests();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(queryValue(sent[2], "continuation-token"), "t1");
  EXPECT_EQ(queryValue(sent[3], "continuation-token"), "t2");
  for (const HttpRequest& request : sent) EXPECT_EQ(queryValue(request, "prefix"), "p/");
}

// A consumer that catches a failed page and goes on gets that page, not a
// stale or empty position.
TEST(S3Listing, APageWhoseRequestFailedIsAskedForAgain) {
  int calls = 0;
  auto transport = std::make_shared<FakeTransport>([&](const HttpRequest& r, const aws::BodySink*) {
    if (++calls % 2 == 1) return answer(403, errorXml("AccessDenied"));
    return queryValue(r, "continuation-token") == "t1" ? answer(200, listingXml({"k2"}, ""))
                                                       : answer(200, listingXml({"k1"}, "t1"));
  });
  aws::S3Client client(s3Config(transport, true));
  aws::S3ObjectRange range(client, {"bkt", "", "", "", std::nullopt});
  EXPECT_THROW(range.begin(), aws::ServiceError);
  auto it = range.begin();
  ASSERT_FALSE(it == std::default_sentinel);
  EXPECT_EQ(it->key, "k1");
  EXPECT_THROW(++it, aws::ServiceError);
  ++it;
  ASSERT_FALSE(it == std::default_sentinel);
  EXPECT_EQ(it->key, "k2");
  ++it;
  EXPECT_TRUE(it == std::default_sentinel);
  EXPECT_EQ(calls, 4);
}

TEST(S3Listing, ATokenThatRepeatsEndsTheListingWithAnError) {
  auto transport = std::make_shared<FakeTransport>([](const HttpRequest&, const aws::BodySink*) {
    return answer(200, listingXml({"k"}, "same"));
  });
  aws::S3Client client(s3Config(transport, true));
  aws::ListObjectsV2Paginator pages(client, {"bkt", "", "", "", std::nullopt});
  aws::ListObjectsV2Page page;
  EXPECT_TRUE(pages.next(page));
  EXPECT_THROW(pages.next(page), std::runtime_error);
  EXPECT_FALSE(pages.next(page));
  EXPECT_EQ(transport->requests().size(), 2u);
}

// ---------------------------------------------------------------------------

TEST(S3Errors, CodesComeFromTheBodyOrElseFromTheStatus) {
  struct Case {
    HttpResponse response;
    std::string code, message, request_id;
  };
  const std::vector<Case> cases = {
      {answer(404, errorXml("NoSuchKey", "<Key>k</Key>"), {{"x-amz-request-id", "hdr-id"}}),
       "NoSuchKey", "m", "hdr-id"},
      {answer(403, errorXml("AccessDenied")), "AccessDenied", "m", "body-id"},
      {answer(404, "", {{"x-amz-request-id", "h"}}), "404", "Not Found", "h"},  // HEAD
      {answer(403), "403", "Forbidden", ""},
      {answer(503, "<html>busy</html>"), "503", "Service Unavailable", ""},
      {answer(500, "not xml <"), "500", "Internal Server Error", ""},
  };
  for (const Case& c : cases) {
    const aws::ServiceError error = aws::parseS3Error(c.response);
    EXPECT_EQ(error.service(), "s3");
    EXPECT_EQ(error.code(), c.code);
    EXPECT_EQ(error.message(), c.message);
    EXPECT_EQ(error.httpStatus(), c.response.status);
    EXPECT_EQ(error.requestId(), c.request_id);
  }
}

TEST(S3Errors, AClientCallThrowsTheServiceErrorWithoutRetryingA4xx) {
  auto transport = std::make_shared<FakeTransport>([](const HttpRequest& r, const aws::BodySink*) {
    return r.method == "HEAD" ? answer(404) : answer(404, errorXml("NoSuchKey"));
  });
  aws::S3Client client(s3Config(transport, true));
  try {
    client.getObject("bkt", "missing");
    FAIL() << "no error";
  } catch (const aws::ServiceError& error) {
    EXPECT_EQ(error.code(), "NoSuchKey");
  }
  try {
    client.headObject("bkt", "missing");
    FAIL() << "no error";
  } catch (const aws::ServiceError& error) {
    EXPECT_EQ(error.code(), "404");
  }
  EXPECT_EQ(transport->requests().size(), 2u);
}

// ---------------------------------------------------------------------------

struct RedirectCase {
  std::string name;
  bool overridden;
  std::string operation;  // "get" or "head"
  HttpResponse first;     // the answer signed for the client's region
  std::string expected_host;
  int requests;  // including a HeadBucket when the answer does not say where
};

TEST(S3Redirects, ResendOnceToTheBucketsRegionAndRememberIt) {
  const std::vector<RedirectCase> cases = {
      {"301 with header", false, "get",
       answer(301, errorXml("PermanentRedirect"), {{"x-amz-bucket-region", "eu-central-1"}}),
       "bkt.s3.eu-central-1.amazonaws.com", 2},
      {"wrong signing region", false, "get",
       answer(400, errorXml("AuthorizationHeaderMalformed", "<Region>ap-south-1</Region>")),
       "bkt.s3.ap-south-1.amazonaws.com", 2},
      {"opt-in region", false, "get",
       answer(400, errorXml("IllegalLocationConstraintException"),
              {{"x-amz-bucket-region", "af-south-1"}}),
       "bkt.s3.af-south-1.amazonaws.com", 2},
      {"bodiless HEAD asks the bucket", false, "head", answer(400),
       "bkt.s3.sa-east-1.amazonaws.com", 3},
      {"local endpoint keeps its host", true, "get",
       answer(301, errorXml("PermanentRedirect"), {{"x-amz-bucket-region", "eu-central-1"}}),
       "127.0.0.1:5000", 2},
  };
  for (const RedirectCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<int> count{0};
    auto transport =
        std::make_shared<FakeTransport>([&](const HttpRequest& r, const aws::BodySink*) {
          ++count;
          if (scopeRegion(r) == "eu-west-1") {
            if (r.method == "HEAD" && r.path == "/" && c.name.find("HEAD") != std::string::npos) {
              return answer(301, "", {{"x-amz-bucket-region", "sa-east-1"}});  // HeadBucket
            }
            return c.first;
          }
          return answer(200, "body", {{"ETag", "\"e\""}});
        });
    aws::S3Client client(s3Config(transport, c.overridden));
    auto call = [&] {
      if (c.operation == "head") {
        client.headObject("bkt", "k");
      } else {
        EXPECT_EQ(client.getObject("bkt", "k").body, "body");
      }
    };
    call();
    auto sent = transport->requests();
    ASSERT_EQ(sent.size(), static_cast<std::size_t>(c.requests));
    EXPECT_EQ(sent.back().endpoint.host, c.expected_host);
    EXPECT_NE(scopeRegion(sent.back()), "eu-west-1");
    EXPECT_EQ(client.regionOf("bkt"), scopeRegion(sent.back()));
    call();  // the region is remembered: straight there
    sent = transport->requests();
    ASSERT_EQ(sent.size(), static_cast<std::size_t>(c.requests + 1));
    EXPECT_EQ(scopeRegion(sent.back()), client.regionOf("bkt"));
    EXPECT_EQ(client.regionOf("other"), "eu-west-1");
  }
}

TEST(S3Redirects, AreNotFollowedTwiceNorToAMalformedRegion) {
  for (const std::string region : {"us-west-2", "evil.example.com/x"}) {
    auto transport = std::make_shared<FakeTransport>([&](const HttpRequest&, const aws::BodySink*) {
      return answer(301, errorXml("PermanentRedirect"), {{"x-amz-bucket-region", region}});
    });
    aws::S3Client client(s3Config(transport, false));
    try {
      client.getObject("bkt", "k");
      FAIL() << "no error";
    } catch (const aws::ServiceError& error) {
      EXPECT_EQ(error.code(), "PermanentRedirect");
    }
    EXPECT_EQ(transport->requests().size(), region == "us-west-2" ? 2u : 1u);
  }
}

// ---------------------------------------------------------------------------

constexpr std::uint64_t kMiB = 1024 * 1024;

/// A multipart-speaking S3 stand-in: answers parts in a shuffled order (by
/// sleeping longer for lower part numbers) and can fail one part.
HttpResponse multipartAnswer(const HttpRequest& r, int failing_part) {
  if (r.method == "POST" && queryValue(r, "uploads") != "<absent>") {
    return answer(200,
                  "<InitiateMultipartUploadResult><Bucket>bkt</Bucket><Key>big</Key>"
                  "<UploadId>up-1</UploadId></InitiateMultipartUploadResult>");
  }
  if (r.method == "PUT" && queryValue(r, "partNumber") != "<absent>") {
    const int part = std::stoi(queryValue(r, "partNumber"));
    std::this_thread::sleep_for(std::chrono::milliseconds(30 * (4 - std::min(part, 4))));
    if (part == failing_part) return answer(400, errorXml("InvalidPart"));
    return answer(200, "", {{"ETag", "\"etag-" + std::to_string(part) + "\""}});
  }
  if (r.method == "POST") {
    return answer(200,
                  "<CompleteMultipartUploadResult><ETag>\"final-3\"</ETag>"
                  "</CompleteMultipartUploadResult>");
  }
  return answer(204);
}

fs::path sparseFile(const TempFolder& folder, std::uint64_t size) {
  const fs::path file = folder.path() / "big.bin";
  std::ofstream(file).close();
  fs::resize_file(file, size);
  return file;
}

TEST(S3Transfer, MultipartUploadSendsRangesInParallelAndCompletesInOrder) {
  TempFolder folder;
  const std::uint64_t size = 20 * kMiB + 5;
  const fs::path file = sparseFile(folder, size);
  auto transport = std::make_shared<FakeTransport>(
      [](const HttpRequest& r, const aws::BodySink*) { return multipartAnswer(r, 0); });
  aws::S3Client client(s3Config(transport, true));
  aws::uploadFile(client, file.string(), "bkt", "big", {});

  const auto sent = transport->requests();
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent.front().method, "POST");
  EXPECT_EQ(queryValue(sent.front(), "uploads"), "");
  std::map<int, aws::FileRange> ranges;
  for (std::size_t i = 1; i <= 3; ++i) {
    EXPECT_EQ(queryValue(sent[i], "uploadId"), "up-1");
    ASSERT_TRUE(sent[i].body_file);
    ranges[std::stoi(queryValue(sent[i], "partNumber"))] = *sent[i].body_file;
  }
  ASSERT_EQ(ranges.size(), 3u);
  const std::vector<std::pair<std::uint64_t, std::uint64_t>> expected = {
      {0, 8 * kMiB}, {8 * kMiB, 8 * kMiB}, {16 * kMiB, 4 * kMiB + 5}};
  for (int part = 1; part <= 3; ++part) {
    EXPECT_EQ(ranges[part].path, file.string());
    EXPECT_EQ(ranges[part].offset, expected[part - 1].first) << part;
    EXPECT_EQ(ranges[part].length, expected[part - 1].second) << part;
  }
  ASSERT_TRUE(sent.front().header("x-amz-checksum-algorithm"));
  EXPECT_EQ(*sent.front().header("x-amz-checksum-algorithm"), "CRC32");
  const HttpRequest& complete = sent.back();
  EXPECT_EQ(complete.method, "POST");
  EXPECT_EQ(queryValue(complete, "uploadId"), "up-1");
  // Each part's checksum, as zlib computes it for the part's bytes (zeros).
  std::string expected_parts;
  for (int part = 1; part <= 3; ++part) {
    const std::string zeros(expected[part - 1].second, '\0');
    const auto crc = static_cast<std::uint32_t>(
        ::crc32(0, reinterpret_cast<const Bytef*>(zeros.data()), static_cast<uInt>(zeros.size())));
    aws::Crc32 check;
    check.update(zeros.data(), zeros.size());
    ASSERT_EQ(check.value(), crc);
    expected_parts += "<Part><ETag>&quot;etag-" + std::to_string(part) +
                      "&quot;</ETag><ChecksumCRC32>" + check.base64() +
                      "</ChecksumCRC32><PartNumber>" + std::to_string(part) +
                      "</PartNumber></Part>";
  }
  EXPECT_NE(complete.body.find(expected_parts + "</CompleteMultipartUpload>"), std::string::npos)
      << complete.body;
}

/// A canonical form of an XML document: each element with its text and its
/// children's forms in sorted order, so that neither the order of sibling
/// elements (botocore follows its parameters' order) nor the escaping of
/// text matters.
std::string canonicalXml(const std::string& text) {
  pugi::xml_document doc;
  EXPECT_TRUE(doc.load_string(text.c_str())) << text;
  std::function<std::string(pugi::xml_node)> form = [&](pugi::xml_node node) {
    std::vector<std::string> children;
    std::string own;
    for (pugi::xml_node child : node.children()) {
      if (child.type() == pugi::node_element) children.push_back(form(child));
      if (child.type() == pugi::node_pcdata) own += child.value();
    }
    std::sort(children.begin(), children.end());
    std::string out = std::string("<") + node.name() + ">" + own;
    for (const std::string& child : children) out += child;
    return out + "</>";
  };
  return form(doc.document_element());
}

TEST(S3Transfer, ChecksumRequestsMatchBotocoresSerialization) {
  auto transport = std::make_shared<FakeTransport>(
      [](const HttpRequest& r, const aws::BodySink*) { return multipartAnswer(r, 0); });
  aws::S3Client client(s3Config(transport, true));
  client.createMultipartUpload("bkt", "big");
  client.completeMultipartUpload("bkt", "big", "up-1",
                                 {{1, "\"etag-1\"", "NSRBwg=="}, {2, "\"etag-2\"", "AAAAAA=="}});
  const auto sent = transport->requests();
  ASSERT_EQ(sent.size(), 2u);

  const auto oracle = testing_support::botocoreSerialize(
      {{"s3",
        "CreateMultipartUpload",
        {{"Bucket", "bkt"}, {"Key", "big"}, {"ChecksumAlgorithm", "CRC32"}}},
       {"s3",
        "CompleteMultipartUpload",
        {{"Bucket", "bkt"},
         {"Key", "big"},
         {"UploadId", "up-1"},
         {"MultipartUpload",
          {{"Parts",
            {{{"ETag", "\"etag-1\""}, {"ChecksumCRC32", "NSRBwg=="}, {"PartNumber", 1}},
             {{"ETag", "\"etag-2\""}, {"ChecksumCRC32", "AAAAAA=="}, {"PartNumber", 2}}}}}}}}});
  ASSERT_EQ(oracle.size(), 2u);
  ASSERT_EQ(oracle[0].headers.count("x-amz-checksum-algorithm"), 1u);
  ASSERT_TRUE(sent[0].header("x-amz-checksum-algorithm"));
  EXPECT_EQ(*sent[0].header("x-amz-checksum-algorithm"),
            oracle[0].headers.at("x-amz-checksum-algorithm"));
  EXPECT_EQ(canonicalXml(sent[1].body), canonicalXml(oracle[1].body_text));
}

TEST(S3Transfer, AFailedPartAbortsTheUploadAndRethrows) {
  TempFolder folder;
  const fs::path file = sparseFile(folder, 24 * kMiB);
  auto transport = std::make_shared<FakeTransport>(
      [](const HttpRequest& r, const aws::BodySink*) { return multipartAnswer(r, 2); });
  aws::S3Client client(s3Config(transport, true));
  try {
    aws::uploadFile(client, file.string(), "bkt", "big", {});
    FAIL() << "no error";
  } catch (const aws::ServiceError& error) {
    EXPECT_EQ(error.code(), "InvalidPart");
  }
  const auto sent = transport->requests();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back().method, "DELETE");
  EXPECT_EQ(queryValue(sent.back(), "uploadId"), "up-1");
  for (const HttpRequest& r : sent) {
    EXPECT_FALSE(r.method == "POST" && queryValue(r, "uploads") == "<absent>") << "completed";
  }
}

TEST(S3Transfer, SmallFilesGoInOnePutAndMissingFilesSendNothing) {
  TempFolder folder;
  const fs::path file = sparseFile(folder, 8 * kMiB - 1);
  auto transport = std::make_shared<FakeTransport>(
      [](const HttpRequest& r, const aws::BodySink*) { return multipartAnswer(r, 0); });
  aws::S3Client client(s3Config(transport, true));
  aws::uploadFile(client, file.string(), "bkt", "small", {});
  EXPECT_THROW(aws::uploadFile(client, (folder.path() / "none").string(), "bkt", "x", {}),
               fs::filesystem_error);
  EXPECT_THROW(aws::uploadFile(client, folder.path().string(), "bkt", "x", {}),
               fs::filesystem_error);
  const auto sent = transport->requests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].method, "PUT");
  EXPECT_EQ(sent[0].path, "/bkt/small");
  ASSERT_TRUE(sent[0].body_file);
  EXPECT_EQ(sent[0].body_file->length, 8 * kMiB - 1);
}

TEST(S3Transfer, PartSizeGrowsToStayWithinTenThousandParts) {
  EXPECT_EQ(aws::adjustedPartSize(20 * kMiB, 8 * kMiB), 8 * kMiB);
  EXPECT_EQ(aws::adjustedPartSize(20 * kMiB, 1 * kMiB), 5 * kMiB);
  EXPECT_EQ(aws::adjustedPartSize(100 * 1024 * kMiB, 8 * kMiB), 16 * kMiB);
  EXPECT_EQ(aws::adjustedPartSize(80000 * kMiB, 8 * kMiB), 8 * kMiB);
  EXPECT_EQ(aws::adjustedPartSize(80000 * kMiB + 1, 8 * kMiB), 16 * kMiB);
}

TEST(S3Transfer, AnErrorInsideA200CompleteIsRetriedThenReported) {
  for (const int failures : {1, 99}) {
    std::atomic<int> completes{0};
    auto transport = std::make_shared<FakeTransport>([&](const HttpRequest& r,
                                                         const aws::BodySink*) {
      if (r.method == "POST" && queryValue(r, "uploadId") != "<absent>" && completes++ < failures) {
        return answer(200, "\n\n" + errorXml("InternalError"));
      }
      return multipartAnswer(r, 0);
    });
    aws::S3Client client(s3Config(transport, true));
    if (failures == 1) {
      EXPECT_EQ(client.completeMultipartUpload("bkt", "k", "up-1", {{1, "\"e\""}}), "\"final-3\"");
      EXPECT_EQ(completes.load(), 2);
    } else {
      try {
        client.completeMultipartUpload("bkt", "k", "up-1", {{1, "\"e\""}});
        FAIL() << "reported as success";
      } catch (const aws::ServiceError& error) {
        EXPECT_EQ(error.code(), "InternalError");
      }
      EXPECT_EQ(completes.load(), 3);  // the client's attempts
    }
  }
}

// ---------------------------------------------------------------------------

TEST(S3Download, WritesTheWholeFileAtomicallyIntoNewFolders) {
  TempFolder folder;
  int attempts = 0;
  auto transport =
      std::make_shared<FakeTransport>([&](const HttpRequest&, const aws::BodySink* sink) {
        // The first attempt breaks off after a few bytes; the retry must not
        // append to them.
        if (++attempts == 1) {
          (*sink)("garbage", 7);
          throw aws::TransportError("connection reset");
        }
        return answer(200, "payload", {{"Content-Length", "7"}});
      });
  aws::S3Client client(s3Config(transport, true));
  const fs::path target = folder.path() / "a" / "b" / "key.pem";
  aws::downloadFile(client, "bkt", "k", target.string());
  EXPECT_EQ(readFile(target), "payload");
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(folder.entries(), (std::vector<std::string>{"a", "a/b", "a/b/key.pem"}));
}

// Large bodies are written a buffer at a time (directly to the disk where
// the file system allows it): uneven pieces, a retry after whole buffers had
// gone out, and a last partial buffer must still give the exact bytes.
TEST(S3Download, LargeBodiesInUnevenPiecesSurviveARetry) {
  std::string body(3 * kMiB + 123, '\0');
  std::mt19937 rng(5);
  for (char& c : body) c = static_cast<char>(rng());
  auto feed = [&](const aws::BodySink* sink, std::size_t upto) {
    for (std::size_t at = 0; at < upto; at += 100003) {
      (*sink)(body.data() + at, std::min<std::size_t>(100003, upto - at));
    }
  };
  int attempts = 0;
  auto transport = std::make_shared<FakeTransport>(
      [&](const HttpRequest&, const aws::BodySink* sink) -> HttpResponse {
        if (++attempts == 1) {
          feed(sink, 2 * kMiB + kMiB / 2);
          throw aws::TransportError("connection reset");
        }
        feed(sink, body.size());
        HttpResponse response = answer(200, "", {{"Content-Length", std::to_string(body.size())}});
        return response;
      });
  aws::S3Client client(s3Config(transport, true));
  TempFolder folder;
  const fs::path target = folder.path() / "big.bin";
  aws::downloadFile(client, "bkt", "k", target.string());
  EXPECT_EQ(attempts, 2);
  EXPECT_EQ(fs::file_size(target), body.size());
  EXPECT_TRUE(readFile(target) == body) << "contents differ";
}

TEST(S3Download, AFailureLeavesNoFileUnderTheRealName) {
  struct Case {
    std::string name;
    std::function<HttpResponse(const aws::BodySink*)> answer;
  };
  const std::vector<Case> cases = {
      {"missing object", [](const aws::BodySink*) { return answer(404, errorXml("NoSuchKey")); }},
      {"cut off every time",
       [](const aws::BodySink* sink) -> HttpResponse {
         (*sink)("part", 4);
         throw aws::TransportError("reset");
       }},
      {"short body",
       [](const aws::BodySink*) {
         return answer(200, "only", {{"Content-Length", "100"}});
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    auto transport = std::make_shared<FakeTransport>(
        [&](const HttpRequest&, const aws::BodySink* sink) { return c.answer(sink); });
    aws::S3Client client(s3Config(transport, true));
    const fs::path fresh = folder.path() / "fresh.txt";
    const fs::path existing = folder.path() / "existing.txt";
    std::ofstream(existing) << "old";
    EXPECT_ANY_THROW(aws::downloadFile(client, "bkt", "k", fresh.string()));
    EXPECT_ANY_THROW(aws::downloadFile(client, "bkt", "k", existing.string()));
    EXPECT_EQ(readFile(existing), "old");
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"existing.txt"}));
  }
}

}  // namespace

// Conditional writes send the header botocore's model names and turn S3's
// refusal of the condition (and only that) into S3ConditionFailed, at once.
TEST(S3Conditions, HeadersAndRefusalsOfConditionalWrites) {
  struct Case {
    std::string name;
    aws::S3WriteCondition condition;
    bool remove;  // DeleteObject instead of PutObject
    HttpResponse answer;
    std::string header;  // "If-None-Match: *", "If-Match: ..." or "" for none
    std::string thrown;  // "condition", "service" or "" for none
  };
  const auto absent = aws::S3WriteCondition::absent();
  const auto ours = aws::S3WriteCondition::matching("\"e1\"");
  const std::vector<Case> cases = {
      {"create", absent, false, answer(200, "", {{"ETag", "\"e2\""}}), "If-None-Match: *", ""},
      {"key exists", absent, false, answer(412, errorXml("PreconditionFailed")), "If-None-Match: *",
       "condition"},
      {"conflict", absent, false, answer(409, errorXml("ConditionalRequestConflict")),
       "If-None-Match: *", "condition"},
      {"other 409", absent, false, answer(409, errorXml("OperationAborted")), "If-None-Match: *",
       "service"},
      {"takeover lost", ours, false, answer(412, errorXml("PreconditionFailed")),
       "If-Match: \"e1\"", "condition"},
      {"takeover of a gone key", ours, false, answer(404, errorXml("NoSuchKey")),
       "If-Match: \"e1\"", "service"},
      {"plain put", {}, false, answer(412, errorXml("PreconditionFailed")), "", "service"},
      {"release", ours, true, answer(204), "If-Match: \"e1\"", ""},
      {"release of a rewritten lock", ours, true, answer(412, errorXml("PreconditionFailed")),
       "If-Match: \"e1\"", "condition"},
  };
  for (const Case& c : cases) {
    auto transport = std::make_shared<FakeTransport>();
    transport->enqueue(c.answer);
    aws::S3Client client(s3Config(transport, true));
    std::string thrown;
    try {
      if (c.remove) {
        client.deleteObject("bkt", "locks/vpc-1.json", c.condition);
      } else {
        EXPECT_EQ(client.putObject("bkt", "locks/vpc-1.json", "{}", "", c.condition), "\"e2\"")
            << c.name;
      }
    } catch (const aws::S3ConditionFailed&) {
      thrown = "condition";
    } catch (const aws::ServiceError&) {
      thrown = "service";
    }
    EXPECT_EQ(thrown, c.thrown) << c.name;
    ASSERT_EQ(transport->requests().size(), 1u) << c.name;  // never retried
    const HttpRequest sent = transport->requests()[0];
    std::string header;
    for (const char* name : {"If-None-Match", "If-Match"}) {
      if (const std::string* value = sent.header(name)) header = std::string(name) + ": " + *value;
    }
    EXPECT_EQ(header, c.header) << c.name;
  }
  aws::S3Client client(s3Config(std::make_shared<FakeTransport>(), true));
  EXPECT_THROW(client.deleteObject("bkt", "k", absent), std::invalid_argument);
}

// ---- batched deletion -------------------------------------------------------------

namespace {

// Both send their body's CRC32 as botocore does: S3 refuses DeleteObjects
// without one, and a PutObject into a bucket with Object Lock retention.
TEST(S3Checksums, InMemoryBodiesCarryBotocoresCrc32) {
  const std::vector<std::string> keys = {"a&b<c>\"d\"", "dir/x y+z", "caf\xC3\xA9", "'q'"};
  nlohmann::json objects = nlohmann::json::array();
  for (const std::string& key : keys) objects.push_back({{"Key", key}});
  const std::string lock = "{\n  \"run_id\": \"caf\xC3\xA9\"\n}\n";
  struct Case {
    nlohmann::json oracle;
    std::function<void(const aws::S3Client&)> call;
    std::string query;  // the subresource, signed alike with or without "="
  };
  const std::vector<Case> cases = {
      {{{"operation", "DeleteObjects"},
        {"params", {{"Bucket", "bkt"}, {"Delete", {{"Objects", objects}, {"Quiet", true}}}}}},
       [&](const aws::S3Client& c) { EXPECT_TRUE(c.deleteObjects("bkt", keys).empty()); },
       "?delete"},
      {{{"operation", "PutObject"},
        {"params",
         {{"Bucket", "bkt"},
          {"Key", "locks/vpc-1.json"},
          {"Body", lock},
          {"ContentType", "application/json"},
          {"IfMatch", "\"e1\""}}}},
       [&](const aws::S3Client& c) {
         c.putObject("bkt", "locks/vpc-1.json", lock, "application/json",
                     aws::S3WriteCondition::matching("\"e1\""));
       },
       ""},
  };
  for (const Case& c : cases) {
    auto transport = std::make_shared<FakeTransport>([](const HttpRequest&, const aws::BodySink*) {
      return answer(200, "<DeleteResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"/>");
    });
    aws::S3Client client(s3Config(transport, true));
    c.call(client);
    const auto oracle =
        testing_support::runOracle("s3_request_oracle.py", nlohmann::json::array({c.oracle}));
    const auto sent = transport->requests();
    ASSERT_EQ(sent.size(), 1u);
    const HttpRequest& request = sent[0];
    const nlohmann::json& want = oracle.at(0);
    const std::string operation = c.oracle["operation"];
    EXPECT_EQ(request.method, want["method"]) << operation;
    EXPECT_EQ(request.endpoint.url() + request.path + c.query, want["url"]) << operation;
    EXPECT_EQ(request.body, want["body"]) << operation;
    for (const char* name : {"x-amz-checksum-crc32", "x-amz-sdk-checksum-algorithm"}) {
      ASSERT_TRUE(request.header(name)) << operation << " " << name;
      EXPECT_EQ(*request.header(name), want["headers"][name].get<std::string>())
          << operation << " " << name;
    }
    EXPECT_FALSE(want["headers"].contains("content-md5")) << operation;
    EXPECT_FALSE(request.header("Content-MD5")) << operation;
  }
}

TEST(S3DeleteObjects, ReadsEveryKeyItCouldNotDelete) {
  const std::string ns = "<DeleteResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">";
  struct Case {
    std::string body;
    std::vector<aws::DeleteObjectsError> want;
    bool throws = false;
  };
  const std::vector<Case> cases = {
      {ns + "</DeleteResult>", {}},
      {ns + "<Error><Key>a&amp;b</Key><Code>AccessDenied</Code><Message>Access Denied</Message>"
            "</Error><Error><Key>k2</Key><Code>InternalError</Code><Message>m</Message></Error>"
            "</DeleteResult>",
       {{"a&b", "AccessDenied", "Access Denied"}, {"k2", "InternalError", "m"}}},
      // Deleted entries (a non-quiet answer) are not failures.
      {ns + "<Deleted><Key>ok</Key></Deleted><Error><Key>x</Key><Code>C</Code></Error>"
            "</DeleteResult>",
       {{"x", "C", ""}}},
      {"<Error><Code>InternalError</Code></Error>", {}, true},
      {"not xml", {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    if (c.throws) {
      EXPECT_THROW(aws::parseDeleteObjectsResult(c.body), std::runtime_error);
    } else {
      EXPECT_EQ(aws::parseDeleteObjectsResult(c.body), c.want);
    }
  }
}

TEST(S3DeleteObjects, RefusesBatchesS3WouldRefuse) {
  auto transport = std::make_shared<FakeTransport>(
      [](const HttpRequest&, const aws::BodySink*) { return answer(200, "<DeleteResult/>"); });
  aws::S3Client client(s3Config(transport, true));
  EXPECT_THROW(client.deleteObjects("bkt", {}), std::invalid_argument);
  EXPECT_THROW(client.deleteObjects("bkt", std::vector<std::string>(1001, "k")),
               std::invalid_argument);
  EXPECT_THROW(client.deleteObjects("bkt", {"a", ""}), std::invalid_argument);
  EXPECT_TRUE(transport->requests().empty());
  EXPECT_NO_THROW(client.deleteObjects("bkt", std::vector<std::string>(1000, "k")));
}

}  // namespace
