// URI encoding, endpoints, header handling, error texts and the environment
// seam.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>

#include "aws/base/environment.h"
#include "aws/client/error.h"
#include "aws/http/http.h"

namespace {

TEST(UriEncode, KeepsUnreservedAndEncodesEverythingElseAsUpperCaseUtf8) {
  struct Case {
    std::string in;
    bool keep_slash;
    std::string out;
  };
  const Case cases[] = {
      {"AZaz09-_.~", false, "AZaz09-_.~"},
      {"a b+c=d&e", false, "a%20b%2Bc%3Dd%26e"},
      {"a/b//c", false, "a%2Fb%2F%2Fc"},
      {"a/b//c", true, "a/b//c"},
      {"100%", true, "100%25"},
      {"*!'()?#[]@:$,;", false, "%2A%21%27%28%29%3F%23%5B%5D%40%3A%24%2C%3B"},
      {"r\xc3\xa9sum\xc3\xa9 \xe6\x97\xa5", true, "r%C3%A9sum%C3%A9%20%E6%97%A5"},
      {std::string("nul\0byte", 8), false, "nul%00byte"},
      {"\x7f\xff", false, "%7F%FF"},
      {"", false, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(aws::uriEncode(c.in, c.keep_slash), c.out) << c.in;
    EXPECT_EQ(aws::uriDecode(c.out), c.in) << c.out;
  }
}

TEST(UriDecode, LeavesEverythingButValidEscapesAlone) {
  EXPECT_EQ(aws::uriDecode("a+b"), "a+b");  // not form decoding
  EXPECT_EQ(aws::uriDecode("%2f%2F"), "//");
  EXPECT_EQ(aws::uriDecode("100%"), "100%");
  EXPECT_EQ(aws::uriDecode("%4"), "%4");
  EXPECT_EQ(aws::uriDecode("%zz%41"), "%zzA");
  EXPECT_EQ(aws::uriDecode("%%41"), "%A");
}

TEST(EncodeQuery, KeepsOrderRepeatsAndEmptyValues) {
  EXPECT_EQ(aws::encodeQuery({}), "");
  EXPECT_EQ(aws::encodeQuery({{"b", "2"}, {"a", ""}, {"b", "1"}}), "b=2&a=&b=1");
  EXPECT_EQ(aws::encodeQuery({{"prefix", "backups/vpc-1/"}, {"k y", "a+b=c&d"}}),
            "prefix=backups%2Fvpc-1%2F&k%20y=a%2Bb%3Dc%26d");
}

TEST(Endpoint, ParsesWhatTheSdksAccept) {
  struct Case {
    std::string url, scheme, host, base_path;
  };
  const Case cases[] = {
      {"https://ec2.us-east-1.amazonaws.com", "https", "ec2.us-east-1.amazonaws.com", ""},
      {"http://127.0.0.1:5000", "http", "127.0.0.1:5000", ""},
      {"http://127.0.0.1:5000/", "http", "127.0.0.1:5000", ""},
      {"HTTPS://S3.EU-WEST-1.AMAZONAWS.COM:443/", "https", "s3.eu-west-1.amazonaws.com", ""},
      {"http://localhost:80/api/v1//", "http", "localhost", "/api/v1"},
      {"https://localhost:80", "https", "localhost:80", ""},
      {"http://[::1]:8080/x", "http", "[::1]:8080", "/x"},
      {"https://[::1]", "https", "[::1]", ""},
  };
  for (const auto& c : cases) {
    const auto e = aws::Endpoint::parse(c.url);
    EXPECT_EQ(e.scheme, c.scheme) << c.url;
    EXPECT_EQ(e.host, c.host) << c.url;
    EXPECT_EQ(e.base_path, c.base_path) << c.url;
  }
  EXPECT_EQ(aws::Endpoint::parse("http://h:81/p/").url(), "http://h:81/p");

  for (const char* bad : {"ec2.amazonaws.com", "ftp://h", "http://", "http://:80", "http://h:0",
                          "http://h:65536", "http://h:x", "http://h:", "http://h?x=1",
                          "http://h/p#f", "http://user:pw@h", "http://[::1", "http://[::1]x"}) {
    EXPECT_THROW(aws::Endpoint::parse(bad), std::invalid_argument) << bad;
  }
}

TEST(HttpRequest, HeadersAreCaseInsensitiveAndReplacedOnce) {
  aws::HttpRequest request;
  request.headers = {{"X-Amz-Date", "1"}, {"Other", "o"}, {"x-amz-date", "2"}};
  ASSERT_NE(request.header("X-AMZ-DATE"), nullptr);
  EXPECT_EQ(*request.header("x-amz-date"), "1");
  EXPECT_EQ(request.header("Missing"), nullptr);

  request.setHeader("X-Amz-DATE", "3");
  EXPECT_EQ(request.headers, (aws::Headers{{"X-Amz-DATE", "3"}, {"Other", "o"}}));
  request.setHeader("New", "n");
  EXPECT_EQ(request.headers.back(), (aws::Header{"New", "n"}));

  aws::HttpResponse response;
  response.headers = {{"x-amz-request-id", "r1"}};
  ASSERT_NE(response.header("X-Amz-Request-Id"), nullptr);
  EXPECT_EQ(*response.header("X-Amz-Request-Id"), "r1");
}

TEST(HttpRequest, UrlAndContentLength) {
  aws::HttpRequest request;
  request.endpoint = aws::Endpoint::parse("http://127.0.0.1:5000/base");
  request.path = "/bucket/a%20b";
  EXPECT_EQ(request.url(), "http://127.0.0.1:5000/base/bucket/a%20b");
  request.query = {{"list-type", "2"}, {"prefix", "a/b c"}};
  EXPECT_EQ(request.url(), "http://127.0.0.1:5000/base/bucket/a%20b?list-type=2&prefix=a%2Fb%20c");

  request.body = "12345";
  EXPECT_EQ(request.contentLength(), 5u);
  request.body_file = aws::FileRange{"/nonexistent", 100, 42};
  EXPECT_EQ(request.contentLength(), 42u);
}

TEST(ServiceError, MessageNamesServiceCodeStatusAndRequestId) {
  const aws::ServiceError full("ec2", "InvalidGroup.NotFound", "The group 'sg-1' does not exist",
                               400, "req-1");
  EXPECT_STREQ(full.what(),
               "ec2 InvalidGroup.NotFound: The group 'sg-1' does not exist (HTTP 400, request id "
               "req-1)");
  EXPECT_EQ(full.code(), "InvalidGroup.NotFound");
  EXPECT_EQ(full.httpStatus(), 400);
  EXPECT_EQ(full.requestId(), "req-1");

  EXPECT_STREQ(aws::ServiceError("s3", "NoSuchKey", "", 404, "").what(), "s3 NoSuchKey (HTTP 404)");
  EXPECT_STREQ(aws::ServiceError("iam", "Throttling", "Rate exceeded", 0, "r").what(),
               "iam Throttling: Rate exceeded (request id r)");
}

TEST(Environment, MapAndProcessSeams) {
  aws::MapEnvironment map;
  map.vars = {{"HOME", "/home/u"}, {"EMPTY", ""}, {"SET", "v"}};
  map.files = {{"/f", "content"}};
  EXPECT_EQ(map.home(), "/home/u");
  EXPECT_EQ(map.get("EMPTY"), std::optional<std::string>(""));
  EXPECT_EQ(map.nonEmpty("EMPTY"), std::nullopt);
  EXPECT_EQ(map.nonEmpty("SET"), std::optional<std::string>("v"));
  EXPECT_EQ(map.get("UNSET"), std::nullopt);
  EXPECT_EQ(map.readFile("/f"), std::optional<std::string>("content"));
  EXPECT_EQ(map.readFile("/g"), std::nullopt);
  EXPECT_EQ(aws::MapEnvironment().home(), "");

  ::setenv("PROBEFLEET_HTTP_TEST_VAR", "x y", 1);
  const auto env = aws::processEnvironment();
  EXPECT_EQ(env->get("PROBEFLEET_HTTP_TEST_VAR"), std::optional<std::string>("x y"));
  ::unsetenv("PROBEFLEET_HTTP_TEST_VAR");
  EXPECT_EQ(env->get("PROBEFLEET_HTTP_TEST_VAR"), std::nullopt);

  std::string path = "/tmp/probefleet-env-XXXXXX";
  ::close(::mkstemp(path.data()));
  const std::string binary("a\0b\nc", 5);
  std::ofstream(path, std::ios::binary) << binary;
  EXPECT_EQ(env->readFile(path), std::optional<std::string>(binary));
  std::remove(path.c_str());
  EXPECT_EQ(env->readFile(path), std::nullopt);
  EXPECT_EQ(env->readFile("/tmp"), std::nullopt);  // a directory is not a file
}

}  // namespace
