#include "aws/auth/instance_metadata.h"

#include <functional>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "aws/base/config_error.h"
#include "aws/base/strings.h"
#include "aws/config/config.h"

namespace aws {

namespace {

constexpr char kDefaultMetadataEndpoint[] = "http://169.254.169.254/";
constexpr char kIpv6MetadataEndpoint[] = "http://[fd00:ec2::254]/";
constexpr char kCredentialsPath[] = "latest/meta-data/iam/security-credentials/";

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
    std::string role = trim(listing->body, " \t\r\n");
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

}  // namespace

std::optional<HttpResponse> fetchInstanceMetadata(const World& world, const std::string& path) {
  if (!world.transport) throw std::invalid_argument("fetchInstanceMetadata needs a transport");
  const std::shared_ptr<Environment> env = world.env ? world.env : processEnvironment();
  ImdsSettings settings = imdsSettings(*env);
  if (settings.disabled) return std::nullopt;
  const std::string relative = !path.empty() && path.front() == '/' ? path.substr(1) : path;
  return ImdsSession(*world.transport, settings).get(relative, okWithBody);
}

std::optional<ResolvedCredentials> instanceMetadataCredentials(const World& world) {
  const ImdsSettings settings = imdsSettings(*world.env);
  if (settings.disabled) return std::nullopt;
  std::string role;
  auto credentials = fetchInstanceRoleCredentials(*world.transport, settings, &role);
  if (!credentials) return std::nullopt;
  auto refresh = [transport = world.transport, settings]() {
    std::string ignored;
    auto fresh = fetchInstanceRoleCredentials(*transport, settings, &ignored);
    if (!fresh) throw ConfigError("instance metadata no longer provides role credentials");
    return *fresh;
  };
  return ResolvedCredentials{*credentials, refresh, "instance metadata (role " + role + ")"};
}

}  // namespace aws
