#include "aws/auth/sigv4.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

#include "aws/base/strings.h"

namespace aws {

namespace {

constexpr const char* kAlgorithm = "AWS4-HMAC-SHA256";
constexpr const char* kEmptySha256 =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// Hop-by-hop and proxy-rewritten headers that must stay out of the
// signature, as the SDKs leave them out.
bool isUnsignedHeader(const std::string& lower_name) {
  static const std::array<const char*, 11> kUnsigned = {"connection",
                                                        "expect",
                                                        "keep-alive",
                                                        "proxy-authenticate",
                                                        "proxy-authorization",
                                                        "te",
                                                        "trailer",
                                                        "transfer-encoding",
                                                        "upgrade",
                                                        "user-agent",
                                                        "x-amzn-trace-id"};
  return std::any_of(kUnsigned.begin(), kUnsigned.end(),
                     [&](const char* name) { return lower_name == name; });
}

struct EvpMdCtxDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using EvpMdCtx = std::unique_ptr<EVP_MD_CTX, EvpMdCtxDeleter>;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

std::string toHex(const unsigned char* data, std::size_t size) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out += kHex[data[i] >> 4];
    out += kHex[data[i] & 0x0F];
  }
  return out;
}

std::string hmacSha256(const std::string& key, const std::string& message) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(message.data()), message.size(), out,
           &size) == nullptr) {
    throw std::runtime_error("HMAC-SHA256 failed");
  }
  return std::string(reinterpret_cast<const char*>(out), size);
}

// Whitespace as Python's str.split() sees it in ASCII text.
bool isSpace(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f);
}

// Trims the value and folds every run of whitespace into one blank.
std::string trimAll(const std::string& value) {
  std::string out;
  bool pending_space = false;
  for (unsigned char c : value) {
    if (isSpace(c)) {
      pending_space = !out.empty();
      continue;
    }
    if (pending_space) out += ' ';
    pending_space = false;
    out += static_cast<char>(c);
  }
  return out;
}

std::string trimName(const std::string& name) {
  std::size_t begin = 0, end = name.size();
  while (begin < end && isSpace(name[begin])) ++begin;
  while (end > begin && isSpace(name[end - 1])) --end;
  return name.substr(begin, end - begin);
}

// The Host header a client sends to this endpoint: lower case, without the
// scheme's default port.
std::string hostHeader(const Endpoint& endpoint) {
  std::string host = lower(endpoint.host);
  const std::string default_port = endpoint.scheme == "http" ? ":80" : ":443";
  if (host.size() > default_port.size() &&
      host.compare(host.size() - default_port.size(), default_port.size(), default_port) == 0) {
    host.resize(host.size() - default_port.size());
  }
  return host;
}

// RFC 3986 section 5.2.4, and empty segments dropped: AWS services other
// than S3 treat "//" as "/".
std::string removeDotSegments(const std::string& path) {
  if (path.empty()) return "/";
  std::vector<std::string> segments;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string segment = path.substr(start, end - start);
    if (segment == "..") {
      if (!segments.empty()) segments.pop_back();
    } else if (!segment.empty() && segment != ".") {
      segments.push_back(segment);
    }
    start = end + 1;
  }
  std::string out = path.front() == '/' ? "/" : "";
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (i > 0) out += '/';
    out += segments[i];
  }
  if (path.back() == '/' && !segments.empty()) out += '/';
  return out;
}

std::string canonicalUri(const HttpRequest& request, bool s3) {
  std::string path = request.endpoint.base_path + request.path;
  if (path.empty()) path = "/";
  if (s3) return path;
  // The wire path is already encoded; the canonical form encodes it again.
  return uriEncode(removeDotSegments(path), /*keep_slash=*/true);
}

std::string canonicalQuery(const QueryParams& query) {
  std::vector<std::pair<std::string, std::string>> pairs;
  pairs.reserve(query.size());
  for (const auto& [key, value] : query) pairs.emplace_back(uriEncode(key), uriEncode(value));
  std::sort(pairs.begin(), pairs.end());
  std::string out;
  for (const auto& [key, value] : pairs) {
    if (!out.empty()) out += '&';
    out += key + "=" + value;
  }
  return out;
}

std::string scopeDate(const SigningParams& params) {
  return amzDate(params.time).substr(0, 8);
}

std::string credentialScope(const SigningParams& params) {
  return scopeDate(params) + "/" + params.region + "/" + params.service + "/aws4_request";
}

std::string signature(const std::string& string_to_sign, const SigningParams& params) {
  std::string key = hmacSha256("AWS4" + params.credentials.secret_access_key, scopeDate(params));
  key = hmacSha256(key, params.region);
  key = hmacSha256(key, params.service);
  key = hmacSha256(key, "aws4_request");
  const std::string raw = hmacSha256(key, string_to_sign);
  return toHex(reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
}

std::string payloadHash(const HttpRequest& request, const SigningParams& params) {
  if (!params.payload_hash.empty()) return params.payload_hash;
  if (!params.s3) {
    // A caller that set the header has chosen the hash; sign that.
    if (const std::string* given = request.header("X-Amz-Content-SHA256")) return *given;
  }
  if (request.body_file) return sha256HexOfFile(*request.body_file);
  return request.body.empty() ? kEmptySha256 : sha256Hex(request.body);
}

void removeHeader(HttpRequest& request, const std::string& name) {
  const std::string key = lower(name);
  std::erase_if(request.headers, [&](const Header& h) { return lower(h.first) == key; });
}

}  // namespace

std::string amzDate(std::chrono::system_clock::time_point t) {
  const std::time_t seconds =
      std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(t));
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof(text), "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

std::string sha256Hex(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 failed");
  }
  return toHex(digest, size);
}

std::string sha256HexOfFile(const FileRange& range) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(range.path.c_str(), "rb"));
  if (!file) throw std::runtime_error("cannot open " + range.path + " to hash it");
  if (fseeko(file.get(), static_cast<off_t>(range.offset), SEEK_SET) != 0) {
    throw std::runtime_error("cannot seek to byte " + std::to_string(range.offset) + " of " +
                             range.path);
  }
  EvpMdCtx ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 failed");
  }
  std::vector<char> buffer(1 << 20);
  std::uint64_t remaining = range.length;
  while (remaining > 0) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(remaining, buffer.size()));
    const std::size_t got = std::fread(buffer.data(), 1, want, file.get());
    if (got == 0) {
      throw std::runtime_error(range.path + " ends before byte " +
                               std::to_string(range.offset + range.length));
    }
    EVP_DigestUpdate(ctx.get(), buffer.data(), got);
    remaining -= got;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &size) != 1) throw std::runtime_error("SHA-256 failed");
  return toHex(digest, size);
}

std::string canonicalRequest(const HttpRequest& request, const SigningParams& params,
                             const std::string& payload_hash, std::string* signed_headers) {
  // Headers by lower-case name; repeated headers are joined with "," in order.
  std::map<std::string, std::string> headers;
  for (const auto& [name, value] : request.headers) {
    const std::string key = lower(trimName(name));
    if (isUnsignedHeader(key)) continue;
    auto [it, inserted] = headers.emplace(key, trimAll(value));
    if (!inserted) it->second += "," + trimAll(value);
  }
  if (!headers.count("host")) headers.emplace("host", hostHeader(request.endpoint));

  std::string canonical_headers, names;
  for (const auto& [name, value] : headers) {
    canonical_headers += name + ":" + value + "\n";
    if (!names.empty()) names += ';';
    names += name;
  }
  if (signed_headers) *signed_headers = names;

  return upper(request.method) + "\n" + canonicalUri(request, params.s3) + "\n" +
         canonicalQuery(request.query) + "\n" + canonical_headers + "\n" + names + "\n" +
         payload_hash;
}

std::string stringToSign(const std::string& canonical_request, const SigningParams& params) {
  return std::string(kAlgorithm) + "\n" + amzDate(params.time) + "\n" + credentialScope(params) +
         "\n" + sha256Hex(canonical_request);
}

void signRequest(HttpRequest& request, const SigningParams& params) {
  // A retried request may carry the previous attempt's signature.
  removeHeader(request, "Authorization");
  if (!request.header("Host")) request.setHeader("Host", hostHeader(request.endpoint));
  request.setHeader("X-Amz-Date", amzDate(params.time));
  if (!params.credentials.session_token.empty()) {
    request.setHeader("X-Amz-Security-Token", params.credentials.session_token);
  } else {
    removeHeader(request, "X-Amz-Security-Token");
  }
  const std::string payload = payloadHash(request, params);
  if (params.s3) request.setHeader("X-Amz-Content-SHA256", payload);

  std::string signed_headers;
  const std::string canonical = canonicalRequest(request, params, payload, &signed_headers);
  const std::string to_sign = stringToSign(canonical, params);
  request.setHeader("Authorization",
                    std::string(kAlgorithm) + " Credential=" + params.credentials.access_key_id +
                        "/" + credentialScope(params) + ", SignedHeaders=" + signed_headers +
                        ", Signature=" + signature(to_sign, params));
}

}  // namespace aws
