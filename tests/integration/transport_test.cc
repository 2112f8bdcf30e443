// The libcurl transport against a local HTTP server
// (tests/oracles/http_test_server.py) on an ephemeral 127.0.0.1 port.

#include "aws/http/curl_transport.h"
#include "support/build_paths.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "aws/auth/sigv4.h"
#include "aws/http/aws_chunked.h"
#include "support/files.h"
#include "support/serialization.h"

extern char** environ;

namespace {

using nlohmann::json;

std::string pattern(std::size_t n, std::size_t start = 0) {
  std::string out(n, '\0');
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>((start + i) % 251);
  return out;
}

using testing_support::TempFile;
using testing_support::toHex;

// The test server as a child process; it ends when its stdin closes.
class TestServer {
 public:
  explicit TestServer(std::vector<std::string> extra_args = {}) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> args = {
        testing_support::pythonPath(),
        std::string(testing_support::sourceDir()) + "/tests/oracles/http_test_server.py"};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    if (rc != 0) throw std::runtime_error("cannot start the test server");
    std::string line;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(out[0]);
    port_ = std::atoi(line.c_str());
    if (port_ <= 0) throw std::runtime_error("the test server did not report its port");
  }
  ~TestServer() {
    ::close(stdin_);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  aws::HttpRequest request(const std::string& method, const std::string& path,
                           const std::string& scheme = "http") const {
    aws::HttpRequest r;
    r.method = method;
    r.endpoint = aws::Endpoint::parse(scheme + "://127.0.0.1:" + std::to_string(port_));
    r.path = path;
    return r;
  }
  int port() const { return port_; }

 private:
  pid_t pid_ = 0;
  int stdin_ = -1;
  int port_ = 0;
};

class TransportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new TestServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  json echo(const aws::HttpRequest& request) {
    const aws::HttpResponse response = transport_.send(request);
    EXPECT_EQ(response.status, 200) << response.body;
    return json::parse(response.body);
  }
  static std::string headerOf(const json& echoed, const std::string& name) {
    for (const auto& h : echoed["headers"]) {
      if (strcasecmp(h[0].get<std::string>().c_str(), name.c_str()) == 0) return h[1];
    }
    return "<absent>";
  }

  static TestServer* server_;
  aws::CurlTransport transport_{aws::CurlTransport::Options{}};
};

TestServer* TransportTest::server_ = nullptr;

TEST_F(TransportTest, ConsecutiveRequestsReuseOneConnection) {
  std::set<int> connections;
  for (const char* method : {"GET", "POST", "PUT", "GET", "DELETE", "GET"}) {
    auto request = server_->request(method, "/echo");
    if (std::string(method) != "GET") request.body = "x";
    connections.insert(echo(request)["connection"].get<int>());
  }
  EXPECT_EQ(connections.size(), 1u);
}

TEST_F(TransportTest, ThreadsDrawOnOneSetOfConnections) {
  // Rounds of threads, one round after another: the connections of the
  // first round serve the later ones, whichever thread asks, and no more are
  // opened than there were requests in flight at once.
  constexpr int kThreads = 4, kRounds = 3, kRequests = 5;
  TestServer server;  // no connection to it is pooled yet
  const std::uint64_t opened_before = aws::CurlTransport::connectionsOpened();
  std::mutex mutex;
  std::set<int> connections;
  int failures = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kRequests; ++i) {
          auto request = server.request("POST", "/echo");
          request.body = "thread " + std::to_string(t) + " request " + std::to_string(i);
          try {
            const auto response = transport_.send(request);
            const json echoed = json::parse(response.body);
            std::lock_guard<std::mutex> lock(mutex);
            if (response.status != 200 || echoed["body_hex"] != toHex(request.body)) ++failures;
            connections.insert(echoed["connection"].get<int>());
          } catch (const std::exception&) {
            std::lock_guard<std::mutex> lock(mutex);
            ++failures;
          }
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }
  EXPECT_EQ(failures, 0);
  EXPECT_LE(connections.size(), static_cast<std::size_t>(kThreads));
  EXPECT_EQ(aws::CurlTransport::connectionsOpened() - opened_before, connections.size());
}

TEST_F(TransportTest, MethodsBodiesAndHeadersGoOutAsGiven) {
  struct Case {
    std::string method;
    std::string body;
    aws::Headers headers;
  };
  const Case cases[] = {
      {"GET", "", {{"X-Amz-Date", "20150830T123600Z"}}},
      {"POST",
       "Action=DescribeVpcs&Version=2016-11-15",
       {{"Content-Type", "application/x-www-form-urlencoded; charset=utf-8"}}},
      {"POST", "", {}},
      {"PUT", pattern(70000), {{"Content-Type", "application/octet-stream"}}},
      {"PUT", "", {}},
      {"DELETE", "", {{"X-Empty", ""}}},
      {"PATCH", "{}", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method + " with " + std::to_string(c.body.size()) + " bytes");
    auto request = server_->request(c.method, "/echo");
    request.query = {{"a", "1 2"}, {"b", ""}};
    request.body = c.body;
    request.headers = c.headers;
    const json echoed = echo(request);
    EXPECT_EQ(echoed["method"], c.method);
    EXPECT_EQ(echoed["target"], "/echo?a=1%202&b=");
    EXPECT_EQ(echoed["body_hex"], toHex(c.body));
    if (c.method != "GET" && c.method != "DELETE") {
      EXPECT_EQ(headerOf(echoed, "Content-Length"), std::to_string(c.body.size()));
    }
    EXPECT_EQ(headerOf(echoed, "Expect"), "<absent>");
    EXPECT_EQ(headerOf(echoed, "Transfer-Encoding"), "<absent>");
    EXPECT_EQ(headerOf(echoed, "Accept"), "<absent>");
    const aws::Headers& given = c.headers;
    if (!request.header("Content-Type")) {
      EXPECT_EQ(headerOf(echoed, "Content-Type"), "<absent>");
    }
    for (const auto& [name, value] : given) EXPECT_EQ(headerOf(echoed, name), value) << name;
  }
}

TEST_F(TransportTest, PathGoesOutExactlyAsGiven) {
  const std::string path = "/echo/a//b/./c/../d%20e%2Bf~";
  EXPECT_EQ(echo(server_->request("GET", path))["target"], path);
}

TEST_F(TransportTest, BodyIsStreamedFromTheFileRange) {
  const std::string content = pattern(3 * 1024 * 1024 + 333);
  TempFile file(content);
  struct Case {
    std::string method;
    std::uint64_t offset, length;
  };
  for (const Case& c : {Case{"PUT", 0, content.size()}, Case{"PUT", 1000, 2 * 1024 * 1024 + 7},
                        Case{"POST", content.size() - 10, 10}, Case{"PUT", 5, 0}}) {
    SCOPED_TRACE(c.method + " " + std::to_string(c.offset) + "+" + std::to_string(c.length));
    auto request = server_->request(c.method, "/echo");
    request.body = "ignored when a file range is given";
    request.body_file = aws::FileRange{file.path(), c.offset, c.length};
    const json echoed = echo(request);
    const std::string expected = content.substr(c.offset, c.length);
    EXPECT_EQ(headerOf(echoed, "Content-Length"), std::to_string(expected.size()));
    EXPECT_EQ(echoed["body_sha256"], aws::sha256Hex(expected));
    EXPECT_EQ(headerOf(echoed, "Expect"), "<absent>");  // large bodies would ask for it
  }
}

TEST_F(TransportTest, FramedFileBodiesGoOutAsBotocoreFramesThem) {
  const std::string content = pattern(300 * 1024 + 17);
  TempFile file(content);
  const std::uint64_t offset = 5, length = content.size() - 9;
  aws::AwsChunked framing;
  framing.chunk_size = 64 * 1024;
  const std::string payload_hex = toHex(content.substr(offset, length));
  const json oracle = testing_support::runOracle(
      "aws_chunked_oracle.py",
      json::array({{{"payload_hex", payload_hex}, {"chunk_size", framing.chunk_size}}}))[0];
  const std::string framed = testing_support::fromHex(oracle["framed_hex"].get<std::string>());

  auto request = server_->request("PUT", "/echo");
  request.body_file = aws::FileRange{file.path(), offset, length};
  request.aws_chunked = framing;
  const aws::HttpResponse response = transport_.send(request);
  const json echoed = json::parse(response.body);
  EXPECT_EQ(headerOf(echoed, "Content-Length"), std::to_string(framed.size()));
  EXPECT_EQ(echoed["body_sha256"], aws::sha256Hex(framed));
  EXPECT_EQ(response.sent_checksum, oracle["crc32_base64"].get<std::string>());
}

TEST_F(TransportTest, UnreadableOrShortFilesAreNotSent) {
  TempFile file("0123456789");
  auto request = server_->request("PUT", "/echo");
  request.body_file = aws::FileRange{file.path(), 4, 7};
  EXPECT_THROW(transport_.send(request), std::runtime_error);
  request.body_file = aws::FileRange{file.path() + ".missing", 0, 1};
  try {
    transport_.send(request);
    FAIL() << "a missing file was sent";
  } catch (const aws::TransportError&) {
    FAIL() << "a missing file is not a transport failure";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(".missing"), std::string::npos);
  }
}

TEST_F(TransportTest, SuccessfulBodiesGoToTheSinkAndErrorBodiesStayInMemory) {
  std::string received;
  int calls = 0;
  const aws::BodySink sink = [&](const char* data, std::size_t size) {
    received.append(data, size);
    ++calls;
    return true;
  };
  auto response = transport_.send(server_->request("GET", "/bytes/1000000"), &sink);
  EXPECT_EQ(response.status, 200);
  EXPECT_TRUE(response.body.empty());
  EXPECT_EQ(received, pattern(1000000));
  EXPECT_GT(calls, 1);

  for (int status : {404, 500, 301}) {
    received.clear();
    response = transport_.send(server_->request("GET", "/status/" + std::to_string(status)), &sink);
    EXPECT_EQ(response.status, status);
    EXPECT_EQ(response.body, "error body " + std::to_string(status));
    EXPECT_TRUE(received.empty()) << status;
  }

  response = transport_.send(server_->request("GET", "/bytes/10"));
  EXPECT_EQ(response.body, pattern(10));
}

TEST_F(TransportTest, ASinkThatRefusesOrThrowsEndsTheTransfer) {
  const aws::BodySink refusing = [](const char*, std::size_t) { return false; };
  EXPECT_THROW(transport_.send(server_->request("GET", "/bytes/100000"), &refusing),
               aws::TransportError);
  const aws::BodySink throwing = [](const char*, std::size_t) -> bool {
    throw std::logic_error("disk full");
  };
  try {
    transport_.send(server_->request("GET", "/bytes/100000"), &throwing);
    FAIL() << "the sink's failure was lost";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "disk full");
  }
  // The thread's handle is still usable afterwards.
  EXPECT_EQ(transport_.send(server_->request("GET", "/bytes/10")).body, pattern(10));
}

TEST_F(TransportTest, HeadAnswersWithHeadersOnly) {
  const auto response = transport_.send(server_->request("HEAD", "/bytes/4096"));
  EXPECT_EQ(response.status, 200);
  EXPECT_TRUE(response.body.empty());
  ASSERT_NE(response.header("content-length"), nullptr);
  EXPECT_EQ(*response.header("content-length"), "4096");
  // The connection is still in a clean state for the next request.
  EXPECT_EQ(transport_.send(server_->request("GET", "/bytes/5")).body, pattern(5));
}

TEST_F(TransportTest, ResponseHeadersAreThoseOfTheFinalAnswer) {
  auto response = transport_.send(server_->request("POST", "/continue"));
  EXPECT_EQ(response.status, 201);
  EXPECT_EQ(response.body, "created");
  EXPECT_EQ(response.header("X-Interim"), nullptr);
  ASSERT_NE(response.header("x-final"), nullptr);

  response = transport_.send(server_->request("GET", "/echo"));
  int multi = 0;
  for (const auto& [name, value] : response.headers) multi += name == "X-Multi";
  EXPECT_EQ(multi, 2);
  ASSERT_NE(response.header("Content-Type"), nullptr);
  EXPECT_EQ(*response.header("Content-Type"), "application/json");
}

TEST_F(TransportTest, AConnectionTheServerDroppedIsReplaced) {
  EXPECT_EQ(transport_.send(server_->request("GET", "/drop")).body, "bye");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  TempFile file(pattern(5000));
  auto request = server_->request("PUT", "/echo");
  request.body_file = aws::FileRange{file.path(), 0, 5000};
  EXPECT_EQ(echo(request)["body_hex"], toHex(pattern(5000)));
}

TEST_F(TransportTest, ReadTimeoutIsATransportErrorWithoutTheQuery) {
  for (const char* path : {"/slow/8000", "/stall"}) {
    SCOPED_TRACE(path);
    auto request = server_->request("GET", path);
    request.query = {{"X-Amz-Security-Token", "secret-token"}};
    request.headers = {{"Authorization", "AWS4-HMAC-SHA256 secret-signature"}};
    const auto start = std::chrono::steady_clock::now();
    try {
      transport_.send(request, nullptr, aws::Timeouts{0, 700});
      FAIL() << "no timeout";
    } catch (const aws::TransportError& e) {
      const std::string message = e.what();
      EXPECT_NE(message.find("read timeout"), std::string::npos) << message;
      EXPECT_NE(message.find(path), std::string::npos) << message;
      EXPECT_EQ(message.find("secret"), std::string::npos) << message;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  }
  // A slow answer within the limit is fine.
  EXPECT_EQ(
      transport_.send(server_->request("GET", "/slow/300"), nullptr, aws::Timeouts{0, 3000}).body,
      "late");
}

TEST_F(TransportTest, ConnectionRefusedIsATransportError) {
  // A port that was free a moment ago: bind, read it back, close.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  ::close(fd);
  aws::HttpRequest request;
  request.endpoint =
      aws::Endpoint::parse("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)));
  request.path = "/x";
  try {
    transport_.send(request);
    FAIL() << "no error";
  } catch (const aws::TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("GET http://127.0.0.1:"), std::string::npos) << e.what();
  }
}

TEST_F(TransportTest, HeadersThatWouldSplitTheRequestAreRefused) {
  for (const aws::Header& bad : {aws::Header{"X-A", "v\r\nX-Injected: 1"},
                                 aws::Header{"X-B\n", "v"}, aws::Header{"X:C", "v"}}) {
    auto request = server_->request("GET", "/echo");
    request.headers = {bad};
    EXPECT_THROW(transport_.send(request), std::invalid_argument) << bad.first;
  }
}

TEST_F(TransportTest, ProxySettingsFromTheEnvironmentAreHonoured) {
  aws::MapEnvironment env;
  env.vars = {{"HTTP_PROXY", "http://upper:1"},
              {"http_proxy", "http://lower:1"},
              {"HTTPS_PROXY", "http://secure:1"},
              {"NO_PROXY", "localhost"},
              {"AWS_CA_BUNDLE", "/etc/bundle.pem"}};
  auto options = aws::CurlTransport::Options::fromEnvironment(env);
  EXPECT_EQ(options.http_proxy, std::optional<std::string>("http://lower:1"));
  EXPECT_EQ(options.https_proxy, std::optional<std::string>("http://secure:1"));
  EXPECT_EQ(options.no_proxy, std::optional<std::string>("localhost"));
  EXPECT_EQ(options.ca_bundle, "/etc/bundle.pem");
  EXPECT_EQ(options.connect_timeout_ms, 60000);
  EXPECT_EQ(options.read_timeout_ms, 60000);

  // Our server as the proxy: it receives the absolute URL of the target.
  // The target name never resolves; only the proxy on 127.0.0.1 is reached.
  aws::MapEnvironment proxied;
  proxied.vars = {{"HTTP_PROXY", "http://127.0.0.1:" + std::to_string(server_->port())}};
  auto via_proxy = aws::makeCurlTransport(proxied);
  aws::HttpRequest request;
  request.endpoint = aws::Endpoint::parse("http://ec2.example.invalid");
  request.path = "/echo";
  auto response = via_proxy->send(request);
  ASSERT_EQ(response.status, 200) << response.body;
  EXPECT_EQ(json::parse(response.body)["target"], "http://ec2.example.invalid/echo");

  // NO_PROXY exempts the host: a proxy that refuses connections is bypassed.
  proxied.vars = {{"http_proxy", "http://127.0.0.1:1"}, {"no_proxy", "127.0.0.1"}};
  response = aws::makeCurlTransport(proxied)->send(server_->request("GET", "/bytes/3"));
  EXPECT_EQ(response.body, pattern(3));
}

TEST(CurlTransportTls, VerifiesPeersAgainstTheConfiguredBundle) {
  const testing_support::ScratchDir scratch("probefleet-tls");
  const std::string dir = scratch.path().string();
  const std::string cert = dir + "/cert.pem", key = dir + "/key.pem";
  const std::string command =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
      "-addext subjectAltName=IP:127.0.0.1 -keyout " +
      key + " -out " + cert + " > /dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  {
    TestServer server({"--tls", cert, key});
    aws::MapEnvironment env;
    auto system_store = aws::makeCurlTransport(env);
    EXPECT_THROW(system_store->send(server.request("GET", "/bytes/4", "https")),
                 aws::TransportError);

    env.vars = {{"AWS_CA_BUNDLE", cert}};
    const auto transport = aws::makeCurlTransport(env);
    const auto response = transport->send(server.request("GET", "/bytes/4", "https"));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, pattern(4));

    // A second connection, opened while the first is busy (from another
    // thread), resumes the TLS session the first one made.
    auto echo = [&] {
      return json::parse(transport->send(server.request("GET", "/echo", "https")).body);
    };
    const json first = echo();
    std::thread busy([&] { transport->send(server.request("GET", "/slow/800", "https")); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const json second = echo();
    busy.join();
    EXPECT_NE(second["connection"], first["connection"]);
    EXPECT_EQ(second["tls_resumed"], true) << second;

    // Streamed bodies are read ahead but for their last part: none waits for
    // data that already arrived (libcurl would poll a second for each), and
    // the connection's next, small answer is not held up either.
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 8; ++i) {
      std::string body;
      const aws::BodySink sink = [&](const char* data, std::size_t size) {
        body.append(data, size);
        return true;
      };
      transport->send(server.request("GET", "/bytes/1048576", "https"), &sink);
      ASSERT_EQ(body, pattern(1048576)) << i;
      EXPECT_EQ(transport->send(server.request("GET", "/bytes/5", "https")).body, pattern(5));
    }
    // A stall would cost a second per body; a loaded machine costs far less.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(6));
  }
  std::remove(cert.c_str());
  std::remove(key.c_str());
  ::rmdir(dir.c_str());
}

}  // namespace
