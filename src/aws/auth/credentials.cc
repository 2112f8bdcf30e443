#include "aws/auth/credentials.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "aws/auth/sso_profile.h"
#include "aws/base/config_error.h"
#include "aws/config/config.h"

extern char** environ;

namespace aws {

namespace {

using TimePoint = std::chrono::system_clock::time_point;

// Temporary credentials are replaced this long before they expire; a failed
// replacement is tolerated (the old ones still work) until the last minute.
constexpr auto kRefreshWindow = std::chrono::minutes(5);
constexpr auto kMandatoryRefreshWindow = std::chrono::minutes(1);
// Within the refresh window, one attempt per this interval at most.
constexpr auto kRefreshRetryInterval = std::chrono::seconds(30);

constexpr char kDefaultMetadataEndpoint[] = "http://169.254.169.254/";
constexpr char kIpv6MetadataEndpoint[] = "http://[fd00:ec2::254]/";
constexpr char kCredentialsPath[] = "latest/meta-data/iam/security-credentials/";
constexpr char kContainerHost[] = "169.254.170.2";
constexpr long kContainerTimeoutMs = 2000;
constexpr int kContainerAttempts = 3;
constexpr auto kContainerRetryPause = std::chrono::seconds(1);

std::string trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string inQuotes(const std::string& text) {
  return "\"" + text + "\"";
}

// ISO 8601 as the credential sources write it: "2024-05-01T12:00:00Z",
// optionally with fractional seconds and a "+hh:mm" offset instead of "Z".
std::optional<TimePoint> parseTime(const std::string& text) {
  int year, month, day, hour, minute, second, consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute,
                  &second, &consumed) != 6) {
    return std::nullopt;
  }
  std::string rest = text.substr(static_cast<std::size_t>(consumed));
  if (!rest.empty() && rest[0] == '.') {
    const std::size_t end = rest.find_first_not_of("0123456789", 1);
    rest = end == std::string::npos ? "" : rest.substr(end);
  }
  int offset_minutes = 0;
  if (rest.size() == 6 && (rest[0] == '+' || rest[0] == '-') && rest[3] == ':' &&
      std::isdigit(static_cast<unsigned char>(rest[1])) &&
      std::isdigit(static_cast<unsigned char>(rest[2])) &&
      std::isdigit(static_cast<unsigned char>(rest[4])) &&
      std::isdigit(static_cast<unsigned char>(rest[5]))) {
    offset_minutes = std::stoi(rest.substr(1, 2)) * 60 + std::stoi(rest.substr(4, 2));
    if (rest[0] == '-') offset_minutes = -offset_minutes;
  } else if (rest != "Z" && rest != "z" && !rest.empty()) {
    return std::nullopt;
  }
  const std::chrono::year_month_day date{std::chrono::year{year},
                                         std::chrono::month{static_cast<unsigned>(month)},
                                         std::chrono::day{static_cast<unsigned>(day)}};
  if (!date.ok() || hour > 23 || minute > 59 || second > 60) return std::nullopt;
  return TimePoint(std::chrono::sys_days(date)) + std::chrono::hours(hour) +
         std::chrono::minutes(minute - offset_minutes) + std::chrono::seconds(second);
}

// A credentials document (container, instance metadata, credential_process).
// `token_key`: "Token" or "SessionToken". Throws ConfigError naming
// `source` when it is not usable; never quotes the document.
Credentials parseCredentialsJson(const std::string& body, const std::string& token_key,
                                 const std::string& source) {
  nlohmann::json doc = nlohmann::json::parse(body, nullptr, false);
  if (!doc.is_object()) throw ConfigError(source + " did not answer a JSON object");
  auto text = [&](const char* key, bool required) -> std::string {
    auto it = doc.find(key);
    if (it == doc.end() || it->is_null()) {
      if (required) throw ConfigError(source + " answered without " + key);
      return "";
    }
    if (!it->is_string()) throw ConfigError(source + " answered a " + key + " that is not text");
    return it->get<std::string>();
  };
  Credentials credentials;
  credentials.access_key_id = text("AccessKeyId", true);
  credentials.secret_access_key = text("SecretAccessKey", true);
  credentials.session_token = text(token_key.c_str(), false);
  if (const std::string expiration = text("Expiration", false); !expiration.empty()) {
    credentials.expiration = parseTime(expiration);
    if (!credentials.expiration) {
      throw ConfigError(source +
                        " answered an Expiration that is not an ISO 8601 time: " + expiration);
    }
  }
  if (credentials.empty()) throw ConfigError(source + " answered empty credentials");
  return credentials;
}

// Credentials from one source, and how to get them again (empty: never
// expire).
struct Resolved {
  Credentials credentials;
  std::function<Credentials()> refresh;
  std::string source;
};

// ---- instance metadata -----------------------------------------------------

struct ImdsSettings {
  bool disabled = false;
  bool v1_disabled = false;
  Endpoint endpoint;
  long timeout_ms = 1000;
  int attempts = 1;
};

std::optional<std::string> setting(const Environment& env, const ProfileFiles& files,
                                   const std::string& profile, const char* variable,
                                   const char* key) {
  if (auto value = env.get(variable)) return value;
  return files.value(profile, key);
}

long positiveNumber(const std::string& value, const std::string& name) {
  try {
    std::size_t used = 0;
    const long number = std::stol(value, &used);
    if (used == value.size() && number > 0) return number;
  } catch (const std::exception&) {
  }
  throw ConfigError(name + " must be a positive whole number, not " + inQuotes(value));
}

ImdsSettings imdsSettings(const Environment& env) {
  const ProfileFiles files = ProfileFiles::load(env);
  const std::string profile = effectiveProfile(env, std::nullopt);
  ImdsSettings settings;
  settings.disabled = lower(env.get("AWS_EC2_METADATA_DISABLED").value_or("false")) == "true";
  settings.v1_disabled =
      lower(setting(env, files, profile, "AWS_EC2_METADATA_V1_DISABLED", "ec2_metadata_v1_disabled")
                .value_or("false")) == "true";
  if (auto timeout = setting(env, files, profile, "AWS_METADATA_SERVICE_TIMEOUT",
                             "metadata_service_timeout")) {
    settings.timeout_ms = positiveNumber(*timeout, "AWS_METADATA_SERVICE_TIMEOUT") * 1000;
  }
  if (auto attempts = setting(env, files, profile, "AWS_METADATA_SERVICE_NUM_ATTEMPTS",
                              "metadata_service_num_attempts")) {
    settings.attempts =
        static_cast<int>(positiveNumber(*attempts, "AWS_METADATA_SERVICE_NUM_ATTEMPTS"));
  }
  std::string url = kDefaultMetadataEndpoint;
  auto custom = setting(env, files, profile, "AWS_EC2_METADATA_SERVICE_ENDPOINT",
                        "ec2_metadata_service_endpoint");
  if (custom && !custom->empty()) {
    url = *custom;
  } else if (lower(setting(env, files, profile, "AWS_EC2_METADATA_SERVICE_ENDPOINT_MODE",
                           "ec2_metadata_service_endpoint_mode")
                       .value_or("")) == "ipv6") {
    url = kIpv6MetadataEndpoint;
  }
  try {
    settings.endpoint = Endpoint::parse(url);
  } catch (const std::invalid_argument& error) {
    const std::string origin = env.get("AWS_EC2_METADATA_SERVICE_ENDPOINT")
                                   ? "AWS_EC2_METADATA_SERVICE_ENDPOINT"
                                   : "the profile's ec2_metadata_service_endpoint";
    throw ConfigError("invalid instance metadata endpoint in " + origin + ": " +
                      std::string(error.what()));
  }
  return settings;
}

// One conversation with the instance metadata service: the IMDSv2 token is
// asked for once and sent with every GET.
class ImdsSession {
 public:
  ImdsSession(HttpTransport& transport, ImdsSettings settings)
      : transport_(transport), settings_(std::move(settings)) {}

  /// nullopt: disabled, or no request may be made. Throws TransportError
  /// when no attempt was answered. `good` says whether an answer may be kept.
  std::optional<HttpResponse> get(const std::string& path,
                                  const std::function<bool(const HttpResponse&)>& good) {
    if (settings_.disabled || !tokenFetched()) return std::nullopt;
    if (!token_ && settings_.v1_disabled) return std::nullopt;
    HttpRequest request = makeRequest("GET", path);
    if (token_) request.setHeader("x-aws-ec2-metadata-token", *token_);
    std::optional<HttpResponse> last;
    std::optional<TransportError> failure;
    for (int attempt = 0; attempt < settings_.attempts; ++attempt) {
      try {
        last = transport_.send(request, nullptr, timeouts());
        if (good(*last)) return last;
      } catch (const TransportError& error) {
        failure = error;
      }
    }
    if (last) return last;
    throw *failure;
  }

 private:
  HttpRequest makeRequest(const std::string& method, const std::string& path) const {
    HttpRequest request;
    request.method = method;
    request.endpoint = settings_.endpoint;
    request.path = "/" + path;
    return request;
  }

  Timeouts timeouts() const { return Timeouts{settings_.timeout_ms, settings_.timeout_ms}; }

  // False when the service called the token request malformed (400), after
  // which botocore gives up on the service.
  bool tokenFetched() {
    if (token_asked_) return !bad_request_;
    token_asked_ = true;
    HttpRequest request = makeRequest("PUT", "latest/api/token");
    request.setHeader("x-aws-ec2-metadata-token-ttl-seconds", "21600");
    for (int attempt = 0; attempt < settings_.attempts; ++attempt) {
      try {
        const HttpResponse response = transport_.send(request, nullptr, timeouts());
        if (response.status == 200) {
          token_ = response.body;
          return true;
        }
        if (response.status == 403 || response.status == 404 || response.status == 405) break;
        if (response.status == 400) {
          bad_request_ = true;
          return false;
        }
      } catch (const TransportError&) {
        // No answer (a time-out, or a service without IMDSv2): try without.
      }
    }
    return true;
  }

  HttpTransport& transport_;
  ImdsSettings settings_;
  bool token_asked_ = false;
  bool bad_request_ = false;
  std::optional<std::string> token_;
};

bool okWithBody(const HttpResponse& response) {
  return response.status == 200 && !response.body.empty();
}

// The instance role's credentials; nullopt when the service is disabled,
// unreachable or has no role for this machine.
std::optional<Credentials> fetchInstanceRoleCredentials(HttpTransport& transport,
                                                        const ImdsSettings& settings,
                                                        std::string* role_name) {
  ImdsSession session(transport, settings);
  try {
    auto listing = session.get(kCredentialsPath, okWithBody);
    if (!listing || !okWithBody(*listing)) return std::nullopt;
    std::string role = trim(listing->body);
    role = role.substr(0, role.find('\n'));
    auto document = session.get(kCredentialsPath + uriEncode(role), [](const HttpResponse& r) {
      return okWithBody(r) && !nlohmann::json::parse(r.body, nullptr, false).is_discarded();
    });
    if (!document || !okWithBody(*document)) return std::nullopt;
    *role_name = role;
    // A 200 answer may still be an error document (Code, Message): that is
    // "no credentials here", not a failure of the chain.
    return parseCredentialsJson(document->body, "Token", "instance metadata");
  } catch (const TransportError&) {
    return std::nullopt;
  } catch (const ConfigError&) {
    return std::nullopt;
  }
}

// ---- container credentials ------------------------------------------------

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

// ---- the chain -----------------------------------------------------------

class CredentialChain;

// Resolves a profile's own sources: role_arn (with source_profile or
// credential_source), web identity, SSO, static keys, credential_process.
class ProfileSources {
 public:
  ProfileSources(CredentialChain& chain, const ProfileFiles& files)
      : chain_(chain), files_(files) {}

  /// `environment`: whether the AWS_WEB_IDENTITY_TOKEN_FILE family counts
  /// (not for an explicit profile).
  std::optional<Resolved> resolve(const std::string& profile, bool environment) {
    if (hasRole(files_.merged(profile))) {
      std::vector<std::string> visited{profile};
      return assumeRole(profile, visited);
    }
    return withoutRole(profile, environment);
  }

 private:
  static bool hasRole(const ProfileFiles::Section& section) {
    return section.count("role_arn") > 0 && section.count("web_identity_token_file") == 0;
  }
  static bool hasStaticKeys(const ProfileFiles::Section& section) {
    return section.count("aws_access_key_id") > 0 || section.count("aws_secret_access_key") > 0;
  }

  std::string describe(const std::string& profile) const {
    return "profile " + inQuotes(profile) + " in " + files_.credentials_path + " and " +
           files_.config_path;
  }

  static std::optional<Resolved> staticKeys(
      const std::map<std::string, ProfileFiles::Section>& sections, const std::string& profile,
      const std::string& path) {
    auto section = sections.find(profile);
    if (section == sections.end()) return std::nullopt;
    const auto& values = section->second;
    auto access = values.find("aws_access_key_id");
    if (access == values.end() || access->second.empty()) return std::nullopt;
    auto secret = values.find("aws_secret_access_key");
    if (secret == values.end() || secret->second.empty()) {
      throw ConfigError("partial credentials in " + path + " (profile " + inQuotes(profile) +
                        "): aws_access_key_id without aws_secret_access_key");
    }
    Credentials credentials{access->second, secret->second, "", std::nullopt};
    for (const char* key : {"aws_security_token", "aws_session_token"}) {
      if (auto token = values.find(key); token != values.end()) {
        credentials.session_token = token->second;
        break;
      }
    }
    return Resolved{credentials, nullptr,
                    "shared file " + path + " (profile " + inQuotes(profile) + ")"};
  }

  std::optional<Resolved> withoutRole(const std::string& profile, bool environment = false);
  std::optional<Resolved> webIdentity(const std::string& profile, bool environment);
  std::optional<Resolved> sso(const std::string& profile);
  Resolved assumeRole(const std::string& profile, std::vector<std::string>& visited);
  std::function<Credentials()> roleSource(const std::string& profile,
                                          const ProfileFiles::Section& config,
                                          std::vector<std::string>& visited);

  CredentialChain& chain_;
  const ProfileFiles& files_;
};

class CredentialChain : public CredentialsProvider {
 public:
  CredentialChain(ChainContext ctx, std::string profile, bool explicit_profile, ProfileFiles files)
      : ctx_(std::move(ctx)),
        profile_(std::move(profile)),
        explicit_profile_(explicit_profile),
        files_(std::move(files)) {}

  Credentials credentials() override {
    std::lock_guard<std::mutex> lock(mutex_);
    const TimePoint now = ctx_.clock->now();
    if (!current_) {
      Resolved found = resolve();
      checkNotExpired(found, now);
      current_ = std::move(found);
      last_attempt_ = now;
      return current_->credentials;
    }
    if (!current_->refresh || !current_->credentials.expiration) return current_->credentials;
    const auto remaining = *current_->credentials.expiration - now;
    if (remaining > kRefreshWindow) return current_->credentials;
    const bool mandatory = remaining <= kMandatoryRefreshWindow;
    if (!mandatory && now - last_attempt_ < kRefreshRetryInterval) return current_->credentials;
    last_attempt_ = now;
    Resolved fresh = *current_;
    try {
      fresh.credentials = current_->refresh();
      checkNotExpired(fresh, now);
    } catch (...) {
      if (mandatory) throw;
      return current_->credentials;  // still valid for a while: try again later
    }
    current_ = std::move(fresh);
    return current_->credentials;
  }

  std::string describe() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_) return current_->source;
    return "the default credentials chain (profile " + inQuotes(profile_) + ")";
  }

  // The sources a role's credential_source may name.
  std::optional<Resolved> namedSource(const std::string& name) {
    const std::string key = lower(name);
    if (key == "environment") return fromEnvironment();
    if (key == "ec2instancemetadata") return fromInstanceMetadata();
    if (key == "ecscontainer") return fromContainer();
    return std::nullopt;
  }
  static bool isNamedSource(const std::string& name) {
    const std::string key = lower(name);
    return key == "environment" || key == "ec2instancemetadata" || key == "ecscontainer";
  }

  const ChainContext& context() const { return ctx_; }
  const std::string& profile() const { return profile_; }
  const std::string& region() {
    if (!region_) region_ = resolveRegion(*ctx_.env, profile_).value_or("");
    return *region_;
  }

 private:
  Resolved resolve() {
    if (!explicit_profile_) {
      if (auto found = fromEnvironment()) return *found;
    }
    if (auto found = ProfileSources(*this, files_).resolve(profile_, !explicit_profile_)) {
      return *found;
    }
    if (auto found = fromContainer()) return *found;
    if (auto found = fromInstanceMetadata()) return *found;
    throw ConfigError(std::string("no AWS credentials found; tried: ") +
                      (explicit_profile_ ? "" : "environment variables, ") +
                      "shared credentials file " + files_.credentials_path + ", config file " +
                      files_.config_path + " (profile " + inQuotes(profile_) +
                      "), container credentials, instance metadata" +
                      (imdsDisabled() ? " (disabled by AWS_EC2_METADATA_DISABLED)" : ""));
  }

  bool imdsDisabled() const {
    return lower(ctx_.env->get("AWS_EC2_METADATA_DISABLED").value_or("")) == "true";
  }

  static void checkNotExpired(const Resolved& found, TimePoint now) {
    const auto& expiration = found.credentials.expiration;
    if (found.refresh && expiration && *expiration - now <= kMandatoryRefreshWindow) {
      throw ConfigError("the credentials from " + found.source + " expire at " +
                        formatIsoTime(*expiration) + ", even freshly fetched");
    }
  }

  std::optional<Resolved> fromEnvironment() {
    const Environment& env = *ctx_.env;
    auto access = env.nonEmpty("AWS_ACCESS_KEY_ID");
    if (!access) return std::nullopt;
    auto secret = env.nonEmpty("AWS_SECRET_ACCESS_KEY");
    if (!secret) {
      throw ConfigError(
          "partial credentials in environment variables: AWS_ACCESS_KEY_ID is set but "
          "AWS_SECRET_ACCESS_KEY is not");
    }
    Credentials credentials{*access, *secret, "", std::nullopt};
    // botocore's order: the legacy name first.
    if (auto token = env.nonEmpty("AWS_SECURITY_TOKEN")) {
      credentials.session_token = *token;
    } else if (auto session = env.nonEmpty("AWS_SESSION_TOKEN")) {
      credentials.session_token = *session;
    }
    return Resolved{credentials, nullptr, "environment variables"};
  }

  std::optional<Resolved> fromContainer() {
    const Environment& env = *ctx_.env;
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
    auto fetch = [this, url = *url, url_text]() { return fetchContainer(url, url_text); };
    return Resolved{fetch(), fetch, "container credentials (" + url_text + ")"};
  }

  Credentials fetchContainer(const Url& url, const std::string& url_text) {
    const std::string source = "container credentials at " + url_text;
    HttpRequest request = containerRequest(url);
    if (auto token = containerToken()) request.setHeader("Authorization", *token);
    std::string failure;
    for (int attempt = 1; attempt <= kContainerAttempts; ++attempt) {
      try {
        const HttpResponse response =
            transport().send(request, nullptr, {kContainerTimeoutMs, kContainerTimeoutMs});
        if (response.status == 200) return parseCredentialsJson(response.body, "Token", source);
        failure = "HTTP status " + std::to_string(response.status);
      } catch (const TransportError& error) {
        failure = error.what();
      } catch (const ConfigError& error) {
        failure = error.what();
      }
      if (attempt < kContainerAttempts) ctx_.clock->sleep(kContainerRetryPause);
    }
    throw ConfigError("cannot get " + source + ": " + failure);
  }

  std::optional<std::string> containerToken() {
    const Environment& env = *ctx_.env;
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

  std::optional<Resolved> fromInstanceMetadata() {
    const ImdsSettings settings = imdsSettings(*ctx_.env);
    if (settings.disabled) return std::nullopt;
    std::string role;
    auto credentials = fetchInstanceRoleCredentials(transport(), settings, &role);
    if (!credentials) return std::nullopt;
    auto refresh = [this, settings]() {
      std::string ignored;
      auto fresh = fetchInstanceRoleCredentials(transport(), settings, &ignored);
      if (!fresh) throw ConfigError("instance metadata no longer provides role credentials");
      return *fresh;
    };
    return Resolved{*credentials, refresh, "instance metadata (role " + role + ")"};
  }

  HttpTransport& transport() { return *ctx_.transport; }

  ChainContext ctx_;
  const std::string profile_;
  const bool explicit_profile_;
  const ProfileFiles files_;
  std::optional<std::string> region_;
  mutable std::mutex mutex_;
  std::optional<Resolved> current_;
  TimePoint last_attempt_{};
};

std::optional<Resolved> ProfileSources::withoutRole(const std::string& profile, bool environment) {
  if (auto found = webIdentity(profile, environment)) return found;
  if (auto found = sso(profile)) return found;
  if (auto found = staticKeys(files_.credentials, profile, files_.credentials_path)) return found;
  const ProfileFiles::Section merged = files_.merged(profile);
  if (auto process = merged.find("credential_process"); process != merged.end()) {
    const ChainContext& ctx = chain_.context();
    const std::string command = process->second;
    const std::string source = "credential_process of profile " + inQuotes(profile);
    auto run = [ctx, command, source]() {
      const std::string output =
          ctx.run_process ? ctx.run_process(command) : runCredentialProcess(command);
      nlohmann::json doc = nlohmann::json::parse(output, nullptr, false);
      const auto version = doc.is_object() ? doc.find("Version") : doc.end();
      if (!doc.is_object() || version == doc.end() || !version->is_number_integer() ||
          version->get<long>() != 1) {
        throw ConfigError(source + " must print a JSON object with \"Version\": 1");
      }
      return parseCredentialsJson(output, "SessionToken", source);
    };
    Credentials credentials = run();
    // Only credentials that expire are fetched again.
    std::function<Credentials()> refresh;
    if (credentials.expiration) refresh = run;
    return Resolved{credentials, refresh, source};
  }
  return staticKeys(files_.config, profile, files_.config_path);
}

std::optional<Resolved> ProfileSources::webIdentity(const std::string& profile, bool environment) {
  const ChainContext& ctx = chain_.context();
  const ProfileFiles::Section config = files_.merged(profile);
  // Each setting on its own: the variable when set (even empty), else the
  // profile's key, as botocore reads them.
  auto get = [&](const char* key, const char* variable) -> std::string {
    if (environment) {
      if (auto value = ctx.env->get(variable)) return *value;
    }
    auto it = config.find(key);
    return it == config.end() ? "" : it->second;
  };
  const std::string token_file = get("web_identity_token_file", "AWS_WEB_IDENTITY_TOKEN_FILE");
  if (token_file.empty()) return std::nullopt;
  const std::string role_arn = get("role_arn", "AWS_ROLE_ARN");
  if (role_arn.empty()) {
    throw ConfigError("a web identity token file is configured (profile " + inQuotes(profile) +
                      " or AWS_WEB_IDENTITY_TOKEN_FILE) but no role: set the profile's role_arn "
                      "or AWS_ROLE_ARN");
  }
  if (!ctx.assume_role_with_web_identity) {
    throw ConfigError("web identity credentials for " + role_arn + " need STS");
  }
  std::string session_name = get("role_session_name", "AWS_ROLE_SESSION_NAME");
  if (session_name.empty()) {
    const auto epoch =
        std::chrono::duration_cast<std::chrono::seconds>(ctx.clock->now().time_since_epoch())
            .count();
    session_name = "botocore-session-" + std::to_string(epoch);
  }
  // Read for every exchange: the platform rotates the token in place.
  auto fetch = [env = ctx.env, assume = ctx.assume_role_with_web_identity, token_file, role_arn,
                session_name, region = chain_.region()]() {
    auto token = env->readFile(token_file);
    if (!token) throw ConfigError("cannot read the web identity token file " + token_file);
    return assume(role_arn, session_name, *token, region);
  };
  return Resolved{fetch(), fetch, "web identity for role " + role_arn};
}

std::optional<Resolved> ProfileSources::sso(const std::string& profile) {
  auto settings = ssoProfileOf(files_, profile);
  if (!settings) return std::nullopt;
  const ChainContext& ctx = chain_.context();
  if (!ctx.sso_credentials) {
    throw ConfigError("SSO credentials for the profile " + inQuotes(profile) + " need SSO");
  }
  auto fetch = [fn = ctx.sso_credentials, sso = *settings, chain_profile = chain_.profile()]() {
    return fn(sso, chain_profile);
  };
  return Resolved{fetch(), fetch,
                  "SSO role " + settings->role_name + " in account " + settings->account_id +
                      " (profile " + inQuotes(profile) + ")"};
}

std::function<Credentials()> ProfileSources::roleSource(const std::string& profile,
                                                        const ProfileFiles::Section& config,
                                                        std::vector<std::string>& visited) {
  auto source_profile = config.find("source_profile");
  auto credential_source = config.find("credential_source");
  const bool has_profile = source_profile != config.end();
  const bool has_source = credential_source != config.end();
  if (has_profile && has_source) {
    throw ConfigError("the profile " + inQuotes(profile) +
                      " contains both source_profile and credential_source");
  }
  if (!has_profile && !has_source) {
    throw ConfigError("the profile " + inQuotes(profile) +
                      " has role_arn but neither source_profile nor credential_source");
  }
  if (has_source) {
    const std::string name = credential_source->second;
    if (!CredentialChain::isNamedSource(name)) {
      throw ConfigError("the credential_source " + inQuotes(name) + " of profile " +
                        inQuotes(profile) +
                        " is not one of Environment, Ec2InstanceMetadata, EcsContainer");
    }
    CredentialChain& chain = chain_;
    return [&chain, name, profile]() {
      auto found = chain.namedSource(name);
      if (!found) {
        throw ConfigError("no credentials from the credential_source " + inQuotes(name) +
                          " of profile " + inQuotes(profile));
      }
      return found->credentials;
    };
  }
  const std::string source = source_profile->second;
  if (!files_.hasProfile(source)) {
    throw ConfigError("the source_profile " + inQuotes(source) + " of profile " +
                      inQuotes(profile) + " does not exist in " + files_.credentials_path + " or " +
                      files_.config_path);
  }
  const ProfileFiles::Section source_config = files_.merged(source);
  // A profile may name itself to take static keys from its own section; any
  // other repetition is a loop.
  if (std::find(visited.begin(), visited.end(), source) != visited.end() &&
      (source != profile || !hasStaticKeys(source_config))) {
    std::string chain;
    for (const auto& name : visited) chain += name + " -> ";
    throw ConfigError("the source_profile chain loops: " + chain + source);
  }
  visited.push_back(source);
  if (hasStaticKeys(source_config) || !hasRole(source_config)) {
    auto found = withoutRole(source);
    if (!found) {
      throw ConfigError("the source_profile " + inQuotes(source) + " of profile " +
                        inQuotes(profile) + " has no credentials");
    }
    if (!found->refresh) return [credentials = found->credentials]() { return credentials; };
    auto first = std::make_shared<std::optional<Credentials>>(found->credentials);
    return [first, refresh = found->refresh]() {
      if (*first) {
        Credentials credentials = std::move(**first);
        first->reset();
        return credentials;
      }
      return refresh();
    };
  }
  Resolved upstream = assumeRole(source, visited);
  auto first = std::make_shared<std::optional<Credentials>>(upstream.credentials);
  return [first, refresh = upstream.refresh]() {
    if (*first) {
      Credentials credentials = std::move(**first);
      first->reset();
      return credentials;
    }
    return refresh();
  };
}

Resolved ProfileSources::assumeRole(const std::string& profile, std::vector<std::string>& visited) {
  const ProfileFiles::Section config = files_.merged(profile);
  const std::string role_arn = config.at("role_arn");
  if (config.count("mfa_serial")) {
    throw ConfigError("the profile " + inQuotes(profile) +
                      " needs an MFA code (mfa_serial), which cannot be asked for here");
  }
  std::function<Credentials()> source = roleSource(profile, config, visited);
  const ChainContext& ctx = chain_.context();
  if (!ctx.assume_role) {
    throw ConfigError("the profile " + inQuotes(profile) + " assumes a role, which needs STS");
  }
  std::string session_name;
  if (auto name = config.find("role_session_name"); name != config.end()) {
    session_name = name->second;
  } else {
    const auto epoch =
        std::chrono::duration_cast<std::chrono::seconds>(ctx.clock->now().time_since_epoch())
            .count();
    session_name = "botocore-session-" + std::to_string(epoch);
  }
  auto external = config.find("external_id");
  const std::string external_id = external == config.end() ? "" : external->second;
  auto fetch = [assume = ctx.assume_role, source, role_arn, session_name, region = chain_.region(),
                external_id]() {
    return assume(source(), role_arn, session_name, region, external_id);
  };
  return Resolved{fetch(), fetch, "role " + role_arn + " (profile " + inQuotes(profile) + ")"};
}

// ---- credential_process --------------------------------------------------

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

struct Pipe {
  Fd read, write;
};

void openPipe(Pipe& pipe_fds) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    throw ConfigError(std::string("cannot start credential_process: ") + std::strerror(errno));
  }
  pipe_fds.read.fd = fds[0];
  pipe_fds.write.fd = fds[1];
}

struct SpawnActions {
  posix_spawn_file_actions_t actions;
  SpawnActions() { posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
};

// Reads both pipes to their end without letting either fill up.
void drain(int out_fd, int err_fd, std::string& out, std::string& err) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* targets[2] = {&out, &err};
  int open_count = 2;
  char buffer[4096];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        targets[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
}

// A failing helper's complaint tells the user what to do, but the helper may
// have printed the very keys or tokens it was meant to hand over, and the
// message goes to a log that is uploaded. Secrets are long unbroken words;
// prose is not.
std::string withLongWordsHidden(const std::string& line) {
  constexpr std::size_t kLongWord = 16;
  std::string out;
  std::size_t at = 0;
  while (at < line.size()) {
    const std::size_t word = line.find_first_not_of(" \t", at);
    out.append(line, at, (word == std::string::npos ? line.size() : word) - at);
    if (word == std::string::npos) break;
    std::size_t end = line.find_first_of(" \t", word);
    if (end == std::string::npos) end = line.size();
    out += end - word >= kLongWord ? std::string("(hidden)") : line.substr(word, end - word);
    at = end;
  }
  return out;
}

}  // namespace

std::string formatIsoTime(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

std::string runCredentialProcess(const std::string& command_line) {
  auto words = shellSplit(command_line);
  if (!words) throw ConfigError("credential_process has an unclosed quote or a trailing \\");
  if (words->empty()) throw ConfigError("credential_process is empty");
  const std::string program = words->front();
  std::vector<char*> argv;
  for (auto& word : *words) argv.push_back(word.data());
  argv.push_back(nullptr);

  Pipe out, err;
  openPipe(out);
  openPipe(err);
  SpawnActions spawn;
  posix_spawn_file_actions_adddup2(&spawn.actions, out.write.fd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&spawn.actions, err.write.fd, STDERR_FILENO);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, program.c_str(), &spawn.actions, nullptr, argv.data(), environ);
  if (rc != 0) {
    throw ConfigError("cannot start credential_process " + inQuotes(program) + ": " +
                      std::strerror(rc));
  }
  close(out.write.fd);
  out.write.fd = -1;
  close(err.write.fd);
  err.write.fd = -1;
  std::string output, errors;
  drain(out.read.fd, err.read.fd, output, errors);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::string reason = WIFEXITED(status)
                             ? "exited with status " + std::to_string(WEXITSTATUS(status))
                             : "was ended by signal " + std::to_string(WTERMSIG(status));
    std::string first_line = withLongWordsHidden(trim(errors.substr(0, errors.find('\n'))));
    if (first_line.size() > 200) first_line = first_line.substr(0, 200) + "...";
    if (!first_line.empty()) reason += ": " + first_line;
    throw ConfigError("credential_process " + inQuotes(program) + " " + reason);
  }
  return output;
}

std::optional<HttpResponse> fetchInstanceMetadata(const World& world, const std::string& path) {
  if (!world.transport) throw std::invalid_argument("fetchInstanceMetadata needs a transport");
  const std::shared_ptr<Environment> env = world.env ? world.env : processEnvironment();
  ImdsSettings settings = imdsSettings(*env);
  if (settings.disabled) return std::nullopt;
  const std::string relative = !path.empty() && path.front() == '/' ? path.substr(1) : path;
  return ImdsSession(*world.transport, settings).get(relative, okWithBody);
}

std::shared_ptr<CredentialsProvider> defaultCredentialsChain(
    const ChainContext& ctx, const std::optional<std::string>& profile) {
  if (!ctx.transport) throw std::invalid_argument("the credential chain needs a transport");
  ChainContext context = ctx;
  if (!context.env) context.env = processEnvironment();
  if (!context.clock) context.clock = systemClock();
  if (!context.run_process) context.run_process = runCredentialProcess;
  ProfileFiles files = ProfileFiles::load(*context.env);
  const std::string name = effectiveProfile(*context.env, profile);
  const bool named = profile.has_value() || context.env->nonEmpty("AWS_DEFAULT_PROFILE") ||
                     context.env->nonEmpty("AWS_PROFILE");
  if (named && !files.hasProfile(name)) {
    throw ConfigError("the config profile " + inQuotes(name) + " could not be found in " +
                      files.credentials_path + " or " + files.config_path);
  }
  return std::make_shared<CredentialChain>(std::move(context), name, profile.has_value(),
                                           std::move(files));
}

}  // namespace aws
