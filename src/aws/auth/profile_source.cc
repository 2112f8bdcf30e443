#include "aws/auth/profile_source.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "aws/auth/container_source.h"
#include "aws/auth/environment_source.h"
#include "aws/auth/instance_metadata.h"
#include "aws/auth/sso_profile.h"
#include "aws/base/config_error.h"
#include "aws/base/strings.h"

namespace aws {

namespace {

bool hasRole(const ProfileFiles::Section& section) {
  return section.count("role_arn") > 0 && section.count("web_identity_token_file") == 0;
}

bool hasStaticKeys(const ProfileFiles::Section& section) {
  return section.count("aws_access_key_id") > 0 || section.count("aws_secret_access_key") > 0;
}

// The value of `key` in `section`; "" when absent.
std::string valueOf(const ProfileFiles::Section& section, const char* key) {
  auto it = section.find(key);
  return it == section.end() ? "" : it->second;
}

// botocore's name for a role session nobody named.
std::string defaultSessionName(Clock& clock) {
  const auto epoch =
      std::chrono::duration_cast<std::chrono::seconds>(clock.now().time_since_epoch()).count();
  return "botocore-session-" + std::to_string(epoch);
}

// The sources a role's credential_source may name, by lower-cased name.
bool isNamedSource(const std::string& key) {
  return key == "environment" || key == "ec2instancemetadata" || key == "ecscontainer";
}

std::optional<ResolvedCredentials> namedSource(const World& world, const std::string& key) {
  if (key == "environment") return environmentCredentials(*world.env);
  if (key == "ec2instancemetadata") return instanceMetadataCredentials(world);
  if (key == "ecscontainer") return containerCredentials(world);
  return std::nullopt;
}

// The credentials of `found` first, fresh ones on every later call: how a
// role's source hands over what resolving it already fetched.
std::function<Credentials()> firstThenRefresh(const ResolvedCredentials& found) {
  if (!found.refresh) return [credentials = found.credentials]() { return credentials; };
  auto first = std::make_shared<std::optional<Credentials>>(found.credentials);
  return [first, refresh = found.refresh]() {
    if (*first) {
      Credentials credentials = std::move(**first);
      first->reset();
      return credentials;
    }
    return refresh();
  };
}

std::optional<ResolvedCredentials> staticKeys(
    const std::map<std::string, ProfileFiles::Section>& sections, const std::string& profile,
    const std::string& path) {
  auto section = sections.find(profile);
  if (section == sections.end()) return std::nullopt;
  const auto& values = section->second;
  const std::string access = valueOf(values, "aws_access_key_id");
  if (access.empty()) return std::nullopt;
  const std::string secret = valueOf(values, "aws_secret_access_key");
  if (secret.empty()) {
    throw ConfigError("partial credentials in " + path + " (profile " + inQuotes(profile) +
                      "): aws_access_key_id without aws_secret_access_key");
  }
  Credentials credentials{access, secret, "", std::nullopt};
  for (const char* key : {"aws_security_token", "aws_session_token"}) {
    if (auto token = values.find(key); token != values.end()) {
      credentials.session_token = token->second;
      break;
    }
  }
  return ResolvedCredentials{credentials, nullptr,
                             "shared file " + path + " (profile " + inQuotes(profile) + ")"};
}

// Resolves the sources of the chain's profile, following source_profile
// from one profile to the next.
class ProfileSources {
 public:
  ProfileSources(const ChainContext& ctx, const ProfileFiles& files, std::string chain_profile)
      : ctx_(ctx), files_(files), chain_profile_(std::move(chain_profile)) {}

  std::optional<ResolvedCredentials> resolve(bool environment) {
    if (hasRole(files_.merged(chain_profile_))) {
      std::vector<std::string> visited{chain_profile_};
      return assumeRole(chain_profile_, visited);
    }
    return withoutRole(chain_profile_, environment);
  }

 private:
  std::optional<ResolvedCredentials> withoutRole(const std::string& profile,
                                                 bool environment = false);
  std::optional<ResolvedCredentials> webIdentity(const std::string& profile, bool environment);
  std::optional<ResolvedCredentials> sso(const std::string& profile);
  ResolvedCredentials assumeRole(const std::string& profile, std::vector<std::string>& visited);
  std::function<Credentials()> roleSource(const std::string& profile,
                                          const ProfileFiles::Section& config,
                                          std::vector<std::string>& visited);
  std::function<Credentials()> credentialSource(const std::string& profile,
                                                const std::string& name) const;
  std::function<Credentials()> sourceProfile(const std::string& profile, const std::string& source,
                                             std::vector<std::string>& visited);

  // The chain profile's region, for STS; read once, when first needed.
  const std::string& region() {
    if (!region_) region_ = resolveRegion(*ctx_.env, chain_profile_).value_or("");
    return *region_;
  }

  const ChainContext& ctx_;
  const ProfileFiles& files_;
  const std::string chain_profile_;
  std::optional<std::string> region_;
};

std::optional<ResolvedCredentials> ProfileSources::withoutRole(const std::string& profile,
                                                               bool environment) {
  if (auto found = webIdentity(profile, environment)) return found;
  if (auto found = sso(profile)) return found;
  if (auto found = staticKeys(files_.credentials, profile, files_.credentials_path)) return found;
  const ProfileFiles::Section merged = files_.merged(profile);
  if (merged.count("credential_process")) {
    return processCredentials(ctx_.run_process, merged.at("credential_process"), profile);
  }
  return staticKeys(files_.config, profile, files_.config_path);
}

std::optional<ResolvedCredentials> ProfileSources::webIdentity(const std::string& profile,
                                                               bool environment) {
  const ProfileFiles::Section config = files_.merged(profile);
  // Each setting on its own: the variable when set (even empty), else the
  // profile's key, as botocore reads them.
  auto get = [&](const char* key, const char* variable) -> std::string {
    if (environment) {
      if (auto value = ctx_.env->get(variable)) return *value;
    }
    return valueOf(config, key);
  };
  const std::string token_file = get("web_identity_token_file", "AWS_WEB_IDENTITY_TOKEN_FILE");
  if (token_file.empty()) return std::nullopt;
  const std::string role_arn = get("role_arn", "AWS_ROLE_ARN");
  if (role_arn.empty()) {
    throw ConfigError("a web identity token file is configured (profile " + inQuotes(profile) +
                      " or AWS_WEB_IDENTITY_TOKEN_FILE) but no role: set the profile's role_arn "
                      "or AWS_ROLE_ARN");
  }
  if (!ctx_.assume_role_with_web_identity) {
    throw ConfigError("web identity credentials for " + role_arn + " need STS");
  }
  std::string session_name = get("role_session_name", "AWS_ROLE_SESSION_NAME");
  if (session_name.empty()) session_name = defaultSessionName(*ctx_.clock);
  // Read for every exchange: the platform rotates the token in place.
  auto fetch = [env = ctx_.env, assume = ctx_.assume_role_with_web_identity, token_file, role_arn,
                session_name, region = region()]() {
    auto token = env->readFile(token_file);
    if (!token) throw ConfigError("cannot read the web identity token file " + token_file);
    return assume(role_arn, session_name, *token, region);
  };
  return ResolvedCredentials{fetch(), fetch, "web identity for role " + role_arn};
}

std::optional<ResolvedCredentials> ProfileSources::sso(const std::string& profile) {
  auto settings = ssoProfileOf(files_, profile);
  if (!settings) return std::nullopt;
  if (!ctx_.sso_credentials) {
    throw ConfigError("SSO credentials for the profile " + inQuotes(profile) + " need SSO");
  }
  auto fetch = [fn = ctx_.sso_credentials, sso = *settings, chain_profile = chain_profile_]() {
    return fn(sso, chain_profile);
  };
  return ResolvedCredentials{fetch(), fetch,
                             "SSO role " + settings->role_name + " in account " +
                                 settings->account_id + " (profile " + inQuotes(profile) + ")"};
}

ResolvedCredentials ProfileSources::assumeRole(const std::string& profile,
                                               std::vector<std::string>& visited) {
  const ProfileFiles::Section config = files_.merged(profile);
  const std::string role_arn = config.at("role_arn");
  if (config.count("mfa_serial")) {
    throw ConfigError("the profile " + inQuotes(profile) +
                      " needs an MFA code (mfa_serial), which cannot be asked for here");
  }
  std::function<Credentials()> source = roleSource(profile, config, visited);
  if (!ctx_.assume_role) {
    throw ConfigError("the profile " + inQuotes(profile) + " assumes a role, which needs STS");
  }
  std::string session_name = valueOf(config, "role_session_name");
  if (!config.count("role_session_name")) session_name = defaultSessionName(*ctx_.clock);
  auto fetch = [assume = ctx_.assume_role, source, role_arn, session_name, region = region(),
                external_id = valueOf(config, "external_id")]() {
    return assume(source(), role_arn, session_name, region, external_id);
  };
  return ResolvedCredentials{fetch(), fetch,
                             "role " + role_arn + " (profile " + inQuotes(profile) + ")"};
}

std::function<Credentials()> ProfileSources::roleSource(const std::string& profile,
                                                        const ProfileFiles::Section& config,
                                                        std::vector<std::string>& visited) {
  const bool has_profile = config.count("source_profile") > 0;
  const bool has_source = config.count("credential_source") > 0;
  if (has_profile && has_source) {
    throw ConfigError("the profile " + inQuotes(profile) +
                      " contains both source_profile and credential_source");
  }
  if (!has_profile && !has_source) {
    throw ConfigError("the profile " + inQuotes(profile) +
                      " has role_arn but neither source_profile nor credential_source");
  }
  if (has_source) return credentialSource(profile, config.at("credential_source"));
  return sourceProfile(profile, config.at("source_profile"), visited);
}

std::function<Credentials()> ProfileSources::credentialSource(const std::string& profile,
                                                              const std::string& name) const {
  const std::string key = lower(name);
  if (!isNamedSource(key)) {
    throw ConfigError("the credential_source " + inQuotes(name) + " of profile " +
                      inQuotes(profile) +
                      " is not one of Environment, Ec2InstanceMetadata, EcsContainer");
  }
  return [world = static_cast<const World&>(ctx_), key, name, profile]() {
    auto found = namedSource(world, key);
    if (!found) {
      throw ConfigError("no credentials from the credential_source " + inQuotes(name) +
                        " of profile " + inQuotes(profile));
    }
    return found->credentials;
  };
}

std::function<Credentials()> ProfileSources::sourceProfile(const std::string& profile,
                                                           const std::string& source,
                                                           std::vector<std::string>& visited) {
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
  if (!hasStaticKeys(source_config) && hasRole(source_config)) {
    return firstThenRefresh(assumeRole(source, visited));
  }
  auto found = withoutRole(source);
  if (!found) {
    throw ConfigError("the source_profile " + inQuotes(source) + " of profile " +
                      inQuotes(profile) + " has no credentials");
  }
  return firstThenRefresh(*found);
}

}  // namespace

std::optional<ResolvedCredentials> profileCredentials(const ChainContext& ctx,
                                                      const ProfileFiles& files,
                                                      const std::string& profile,
                                                      bool environment) {
  return ProfileSources(ctx, files, profile).resolve(environment);
}

}  // namespace aws
