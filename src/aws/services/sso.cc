#include "aws/services/sso.h"

#include <openssl/evp.h>

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <system_error>

#include "aws/base/atomic_file.h"
#include "aws/base/clock.h"
#include "aws/base/strings.h"
#include "aws/client/error.h"
#include "aws/client/nested_client.h"
#include "aws/client/query_protocol.h"

namespace aws {

namespace {

using TimePoint = std::chrono::system_clock::time_point;

// botocore's SSOTokenProvider renews a token this long before it expires.
constexpr auto kTokenRefreshWindow = std::chrono::minutes(15);

std::string loginHint(const SsoProfile& sso) {
  return "run `aws sso login --profile " + sso.profile + "` to sign in again";
}

// What the token belongs to, for messages: the sso-session or the start URL.
std::string tokenOwner(const SsoProfile& sso) {
  return sso.session_name.empty() ? "start URL " + sso.start_url
                                  : "sso-session " + inQuotes(sso.session_name);
}

// The cache's timestamps: "...Z" as the CLI writes them, "...UTC" as older
// botocore wrote them, or "+00:00".
TimePoint parseCacheTime(std::string text, const std::string& key, const std::string& path) {
  if (text.size() > 3 && text.compare(text.size() - 3, 3, "UTC") == 0) {
    text.replace(text.size() - 3, 3, "Z");
  }
  try {
    return protocol::parseIsoTime(text);
  } catch (const std::runtime_error&) {
    throw ConfigError("the SSO token cache " + path + " holds a " + key +
                      " that is not an ISO 8601 UTC time");
  }
}

std::string field(const nlohmann::json& doc, const char* key) {
  auto it = doc.find(key);
  return it != doc.end() && it->is_string() ? it->get<std::string>() : "";
}

// ---- the token cache -------------------------------------------------------

struct CachedToken {
  nlohmann::json doc;  // the whole entry, for its refresh keys
  std::string access_token;
  TimePoint expires_at;
};

std::string cachePath(const Environment& env, const SsoProfile& sso) {
  const std::string home = env.home();
  if (home.empty()) throw ConfigError("cannot find the SSO token cache: HOME is not set");
  return home + "/.aws/sso/cache/" +
         ssoTokenCacheFile(sso.session_name.empty() ? sso.start_url : sso.session_name);
}

CachedToken loadToken(const Environment& env, const SsoProfile& sso, const std::string& path) {
  auto text = env.readFile(path);
  if (!text) {
    throw ConfigError("no SSO token for " + tokenOwner(sso) + " in " + path + ": " +
                      loginHint(sso));
  }
  CachedToken token;
  token.doc = nlohmann::json::parse(*text, nullptr, false);
  if (token.doc.is_object()) {
    token.access_token = field(token.doc, "accessToken");
    const std::string expires = field(token.doc, "expiresAt");
    if (!token.access_token.empty() && !expires.empty()) {
      token.expires_at = parseCacheTime(expires, "expiresAt", path);
      return token;
    }
  }
  throw ConfigError("the SSO token cache " + path + " holds no usable token for " +
                    tokenOwner(sso) + ": " + loginHint(sso));
}

// Python's json.dumps layout for a flat object (", " and ": ", non-ASCII
// escaped), which is how the SDKs write the cache.
std::string pythonJson(const nlohmann::ordered_json& object) {
  std::string out = "{";
  for (const auto& [key, value] : object.items()) {
    if (out.size() > 1) out += ", ";
    out += nlohmann::json(key).dump(-1, ' ', true) + ": " + value.dump(-1, ' ', true);
  }
  return out + "}";
}

// A reader of the cache sees the old file or the new one, never a part; the
// tokens in it are for the owner only.
void writeCache(const std::string& path, const std::string& text) {
  try {
    writeFileAtomically(path, text, {.owner_only = true, .make_folders = true});
  } catch (const std::system_error& error) {
    throw ConfigError("cannot write " + path + ": " + error.what());
  }
}

// ---- the services ------------------------------------------------------------

// REST-JSON errors: the code in x-amzn-ErrorType ("Code:detail"), else the
// body's "__type", "code" or (OIDC) "error".
ServiceError restJsonError(const std::string& service, const HttpResponse& response) {
  const nlohmann::json body = nlohmann::json::parse(response.body, nullptr, false);
  std::string code;
  if (const std::string* header = response.header("x-amzn-ErrorType")) code = *header;
  for (const char* key : {"__type", "code", "error"}) {
    if (code.empty() && body.is_object()) code = field(body, key);
  }
  if (auto colon = code.find(':'); colon != std::string::npos) code.resize(colon);
  if (auto hash = code.rfind('#'); hash != std::string::npos) code = code.substr(hash + 1);
  if (code.empty()) code = "HTTP " + std::to_string(response.status);
  std::string message;
  for (const char* key : {"message", "Message", "error_description"}) {
    if (message.empty() && body.is_object()) message = field(body, key);
  }
  const std::string* request_id = response.header("x-amzn-RequestId");
  return ServiceError(service, code, message, response.status, request_id ? *request_id : "");
}

// SSO OIDC CreateToken with the refresh token; the cache entry it makes, in
// botocore's layout, or nullopt when the token cannot be renewed.
std::optional<nlohmann::ordered_json> renewToken(const ClientWorld& ctx, const SsoProfile& sso,
                                                 const CachedToken& token,
                                                 const std::string& path) {
  for (const char* key : {"refreshToken", "clientId", "clientSecret", "registrationExpiresAt"}) {
    if (field(token.doc, key).empty()) return std::nullopt;
  }
  const TimePoint now = ctx.clock->now();
  if (parseCacheTime(field(token.doc, "registrationExpiresAt"), "registrationExpiresAt", path) <=
      now) {
    return std::nullopt;
  }
  HttpRequest request;
  request.method = "POST";
  request.path = "/token";
  request.setHeader("Content-Type", "application/json");
  request.body = nlohmann::ordered_json{{"clientId", field(token.doc, "clientId")},
                                        {"clientSecret", field(token.doc, "clientSecret")},
                                        {"grantType", "refresh_token"},
                                        {"refreshToken", field(token.doc, "refreshToken")}}
                     .dump();
  HttpResponse response;
  try {
    response = invokeUnsigned(clientConfigFor(ctx, "sso-oidc", sso.region), request,
                              [](const HttpResponse& r) { return restJsonError("sso-oidc", r); });
  } catch (const ServiceError&) {
    return std::nullopt;  // e.g. InvalidGrantException: the old token serves while it lasts
  } catch (const TransportError&) {
    return std::nullopt;
  }
  const nlohmann::json answer = nlohmann::json::parse(response.body, nullptr, false);
  const std::string access_token = answer.is_object() ? field(answer, "accessToken") : "";
  const auto expires_in = answer.is_object() ? answer.find("expiresIn") : answer.end();
  if (access_token.empty() || expires_in == answer.end() || !expires_in->is_number_integer()) {
    return std::nullopt;
  }
  const auto expires_at = std::chrono::time_point_cast<std::chrono::seconds>(now) +
                          std::chrono::seconds(expires_in->get<long long>());
  nlohmann::ordered_json entry{
      {"startUrl", sso.start_url},
      {"region", sso.region},
      {"accessToken", access_token},
      {"expiresAt", formatIsoTime(expires_at)},
      {"clientId", field(token.doc, "clientId")},
      {"clientSecret", field(token.doc, "clientSecret")},
      {"registrationExpiresAt", field(token.doc, "registrationExpiresAt")}};
  // botocore drops the refresh token when the answer carries none; keeping
  // the old one loses nothing (it may still be valid) and spares a sign-in.
  std::string refresh = field(answer, "refreshToken");
  entry["refreshToken"] = refresh.empty() ? field(token.doc, "refreshToken") : refresh;
  return entry;
}

// The access token to present: cached, renewed when an sso-session token is
// close to expiry.
std::string accessToken(const ClientWorld& ctx, const SsoProfile& sso) {
  const std::string path = cachePath(*ctx.env, sso);
  CachedToken token = loadToken(*ctx.env, sso, path);
  const TimePoint now = ctx.clock->now();
  if (!sso.session_name.empty() && token.expires_at - now < kTokenRefreshWindow) {
    if (auto renewed = renewToken(ctx, sso, token, path)) {
      writeCache(path, pythonJson(*renewed));
      token.access_token = (*renewed)["accessToken"].get<std::string>();
      token.expires_at =
          parseCacheTime((*renewed)["expiresAt"].get<std::string>(), "expiresAt", path);
    }
  }
  if (token.expires_at <= now) {
    throw ConfigError(
        "the SSO token for " + tokenOwner(sso) + " expired at " + formatIsoTime(token.expires_at) +
        (sso.session_name.empty() ? "" : " and could not be renewed") + ": " + loginHint(sso));
  }
  return token.access_token;
}

}  // namespace

std::string ssoTokenCacheFile(const std::string& session_or_start_url) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(session_or_start_url.data(), session_or_start_url.size(), digest, &length,
                 EVP_sha1(), nullptr) != 1) {
    throw std::runtime_error("SHA-1 failed");
  }
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 0xf];
  }
  return out + ".json";
}

Credentials fetchSsoCredentials(const ClientWorld& ctx, const SsoProfile& sso) {
  HttpRequest request;
  request.method = "GET";
  request.path = "/federation/credentials";
  request.query = {{"role_name", sso.role_name}, {"account_id", sso.account_id}};
  request.setHeader("x-amz-sso_bearer_token", accessToken(ctx, sso));
  const std::string what = "SSO role " + sso.role_name + " in account " + sso.account_id;
  HttpResponse response;
  try {
    response = invokeUnsigned(clientConfigFor(ctx, "sso", sso.region), request,
                              [](const HttpResponse& r) { return restJsonError("sso", r); });
  } catch (const ServiceError& error) {
    if (error.code() != "UnauthorizedException") throw;
    throw ConfigError("the SSO portal refused the token of " + tokenOwner(sso) + " for " + what +
                      " (expired or otherwise invalid): " + loginHint(sso));
  }
  const nlohmann::json answer = nlohmann::json::parse(response.body, nullptr, false);
  const nlohmann::json role =
      answer.is_object() ? answer.value("roleCredentials", nlohmann::json()) : nlohmann::json();
  Credentials credentials;
  if (role.is_object()) {
    credentials.access_key_id = field(role, "accessKeyId");
    credentials.secret_access_key = field(role, "secretAccessKey");
    credentials.session_token = field(role, "sessionToken");
    if (auto expiration = role.find("expiration");
        expiration != role.end() && expiration->is_number_integer()) {
      // Milliseconds since the epoch; the SDKs keep whole seconds.
      credentials.expiration = TimePoint(std::chrono::seconds(expiration->get<long long>() / 1000));
    }
  }
  if (credentials.empty() || !credentials.expiration) {
    throw ConfigError("the SSO portal answered no usable credentials for " + what);
  }
  return credentials;
}

SsoCredentialsFn ssoCredentialsThrough(ClientWorld world) {
  return [world = std::move(world)](const SsoProfile& sso, const std::string& chain_profile) {
    ClientWorld sso_world = world;
    sso_world.profile = chain_profile;
    return fetchSsoCredentials(sso_world, sso);
  };
}

}  // namespace aws
