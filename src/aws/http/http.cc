#include "aws/http/http.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "aws/base/strings.h"

namespace aws {

namespace {

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

const std::string* findHeader(const Headers& headers, const std::string& name) {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoreCase(key, name)) return &value;
  }
  return nullptr;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isUnreserved(unsigned char c) {
  return std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~';
}

// Splits "host[:port]" (or "[v6]:port") and validates the port.
void splitHostPort(const std::string& authority, const std::string& url, std::string* host,
                   std::string* port) {
  std::size_t colon = std::string::npos;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string::npos) throw std::invalid_argument("malformed IPv6 host in " + url);
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') throw std::invalid_argument("malformed host in " + url);
      colon = close + 1;
    }
  } else {
    colon = authority.rfind(':');
  }
  *host = authority.substr(0, colon);
  *port = colon == std::string::npos ? "" : authority.substr(colon + 1);
  if (host->empty()) throw std::invalid_argument("no host in endpoint URL " + url);
  if (colon != std::string::npos) {
    const bool digits =
        !port->empty() && port->size() <= 5 &&
        std::all_of(port->begin(), port->end(), [](unsigned char c) { return std::isdigit(c); });
    if (!digits || std::stoi(*port) < 1 || std::stoi(*port) > 65535) {
      throw std::invalid_argument("invalid port in endpoint URL " + url);
    }
  }
}

}  // namespace

std::string Endpoint::url() const {
  return scheme + "://" + host + base_path;
}

Endpoint Endpoint::parse(const std::string& url) {
  const std::size_t sep = url.find("://");
  if (sep == std::string::npos) {
    throw std::invalid_argument("endpoint URL without scheme: " + url);
  }
  Endpoint endpoint;
  endpoint.scheme = lower(url.substr(0, sep));
  if (endpoint.scheme != "http" && endpoint.scheme != "https") {
    throw std::invalid_argument("endpoint URL scheme must be http or https: " + url);
  }
  const std::string rest = url.substr(sep + 3);
  if (rest.find_first_of("?#") != std::string::npos) {
    throw std::invalid_argument("endpoint URL must not have a query or fragment: " + url);
  }
  const std::size_t slash = rest.find('/');
  const std::string authority = rest.substr(0, slash);
  if (authority.find('@') != std::string::npos) {
    throw std::invalid_argument("endpoint URL must not carry user information");
  }
  std::string host, port;
  splitHostPort(authority, url, &host, &port);
  const std::string default_port = endpoint.scheme == "https" ? "443" : "80";
  endpoint.host = lower(host);
  if (!port.empty() && std::stoi(port) != std::stoi(default_port)) {
    endpoint.host += ":" + port;
  }
  std::string path = slash == std::string::npos ? "" : rest.substr(slash);
  while (!path.empty() && path.back() == '/') path.pop_back();
  endpoint.base_path = path;
  return endpoint;
}

const std::string* HttpRequest::header(const std::string& name) const {
  return findHeader(headers, name);
}

void HttpRequest::setHeader(const std::string& name, const std::string& value) {
  bool replaced = false;
  for (auto it = headers.begin(); it != headers.end();) {
    if (!equalsIgnoreCase(it->first, name)) {
      ++it;
    } else if (!replaced) {
      it->first = name;
      it->second = value;
      replaced = true;
      ++it;
    } else {
      it = headers.erase(it);  // a replaced header must not survive twice
    }
  }
  if (!replaced) headers.emplace_back(name, value);
}

std::string HttpRequest::url() const {
  std::string out = endpoint.url() + path;
  if (!query.empty()) out += "?" + encodeQuery(query);
  return out;
}

std::uint64_t HttpRequest::contentLength() const {
  if (!body_file) return body.size();
  return aws_chunked ? aws_chunked->encodedLength(body_file->length) : body_file->length;
}

const std::string* HttpResponse::header(const std::string& name) const {
  return findHeader(headers, name);
}

std::string uriEncode(const std::string& text, bool keep_slash) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (isUnreserved(c) || (keep_slash && c == '/')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

std::string uriDecode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 &&
        hexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string encodeQuery(const QueryParams& params) {
  std::string out;
  for (const auto& [key, value] : params) {
    if (!out.empty()) out += '&';
    out += uriEncode(key) + "=" + uriEncode(value);
  }
  return out;
}

}  // namespace aws
