#include "aws/auth/container_source.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>

#include "aws/base/config_error.h"
#include "aws/base/strings.h"

namespace aws {

namespace {

constexpr char kContainerHost[] = "169.254.170.2";
constexpr long kContainerTimeoutMs = 2000;
constexpr int kContainerAttempts = 3;
constexpr auto kContainerRetryPause = std::chrono::seconds(1);

struct Url {
  std::string scheme, authority, hostname, path, query;
};

std::optional<Url> splitUrl(const std::string& text) {
  const std::size_t sep = text.find("://");
  if (sep == std::string::npos) return std::nullopt;
  Url url;
  url.scheme = lower(text.substr(0, sep));
  const std::string rest = text.substr(sep + 3);
  const std::size_t path_start = rest.find_first_of("/?#");
  url.authority = rest.substr(0, path_start);
  std::string tail = path_start == std::string::npos ? "" : rest.substr(path_start);
  tail = tail.substr(0, tail.find('#'));
  const std::size_t question = tail.find('?');
  url.path = tail.substr(0, question);
  if (question != std::string::npos) url.query = tail.substr(question + 1);
  if (url.path.empty()) url.path = "/";
  if (url.authority.find('@') != std::string::npos) return std::nullopt;
  if (!url.authority.empty() && url.authority.front() == '[') {
    const std::size_t close = url.authority.find(']');
    if (close == std::string::npos) return std::nullopt;
    url.hostname = url.authority.substr(1, close - 1);
  } else {
    url.hostname = url.authority.substr(0, url.authority.find(':'));
  }
  url.hostname = lower(url.hostname);
  if (url.hostname.empty() || (url.scheme != "http" && url.scheme != "https")) return std::nullopt;
  return url;
}

bool isLoopback(const std::string& host) {
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
    return IN6_IS_ADDR_LOOPBACK(&v6);
  }
  return false;
}

// Plain http only to the container agent's own addresses or this machine,
// as the SDKs restrict it: the answer is a set of credentials.
bool isAllowedContainerHost(const Url& url) {
  if (url.scheme == "https") return true;
  static const std::array<const char*, 4> allowed{"169.254.170.2", "169.254.170.23", "fd00:ec2::23",
                                                  "localhost"};
  return isLoopback(url.hostname) ||
         std::find(allowed.begin(), allowed.end(), url.hostname) != allowed.end();
}

HttpRequest containerRequest(const Url& url) {
  HttpRequest request;
  request.endpoint.scheme = url.scheme;
  request.endpoint.host = url.authority;
  request.path = url.path;
  std::size_t start = 0;
  while (!url.query.empty() && start <= url.query.size()) {
    const std::size_t end = std::min(url.query.find('&', start), url.query.size());
    const std::string pair = url.query.substr(start, end - start);
    if (!pair.empty()) {
      const std::size_t equals = pair.find('=');
      request.query.emplace_back(
          uriDecode(pair.substr(0, equals)),
          equals == std::string::npos ? "" : uriDecode(pair.substr(equals + 1)));
    }
    start = end + 1;
  }
  request.setHeader("Accept", "application/json");
  return request;
}

std::optional<std::string> containerToken(const Environment& env) {
  std::optional<std::string> token;
  if (auto file = env.get("AWS_CONTAINER_AUTHORIZATION_TOKEN_FILE")) {
    token = env.readFile(*file);
    if (!token) throw ConfigError("cannot read the container authorization token file " + *file);
  } else {
    token = env.get("AWS_CONTAINER_AUTHORIZATION_TOKEN");
  }
  if (token && token->find_first_of("\r\n") != std::string::npos) {
    throw ConfigError("the container authorization token is not a legal header value");
  }
  return token;
}

Credentials fetchContainer(const World& world, const Url& url, const std::string& url_text) {
  const std::string source = "container credentials at " + url_text;
  HttpRequest request = containerRequest(url);
  if (auto token = containerToken(*world.env)) request.setHeader("Authorization", *token);
  std::string failure;
  for (int attempt = 1; attempt <= kContainerAttempts; ++attempt) {
    try {
      const HttpResponse response =
          world.transport->send(request, nullptr, {kContainerTimeoutMs, kContainerTimeoutMs});
      if (response.status == 200) return parseCredentialsJson(response.body, "Token", source);
      failure = "HTTP status " + std::to_string(response.status);
    } catch (const TransportError& error) {
      failure = error.what();
    } catch (const ConfigError& error) {
      failure = error.what();
    }
    if (attempt < kContainerAttempts) world.clock->sleep(kContainerRetryPause);
  }
  throw ConfigError("cannot get " + source + ": " + failure);
}

}  // namespace

std::optional<ResolvedCredentials> containerCredentials(const World& world) {
  const Environment& env = *world.env;
  std::string url_text;
  if (auto relative = env.get("AWS_CONTAINER_CREDENTIALS_RELATIVE_URI")) {
    url_text = std::string("http://") + kContainerHost + *relative;
  } else if (auto full = env.get("AWS_CONTAINER_CREDENTIALS_FULL_URI")) {
    url_text = *full;
  } else {
    return std::nullopt;
  }
  auto url = splitUrl(url_text);
  if (!url) throw ConfigError("invalid container credentials URL " + inQuotes(url_text));
  if (!isAllowedContainerHost(*url)) {
    throw ConfigError("container credentials URL " + inQuotes(url_text) +
                      " must use https, or a loopback address or one of 169.254.170.2, "
                      "169.254.170.23, fd00:ec2::23, localhost");
  }
  auto fetch = [world, url = *url, url_text]() { return fetchContainer(world, url, url_text); };
  return ResolvedCredentials{fetch(), fetch, "container credentials (" + url_text + ")"};
}

}  // namespace aws
