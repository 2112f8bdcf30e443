#include "aws/auth/sso_profile.h"

#include <vector>

#include "aws/base/config_error.h"
#include "aws/base/strings.h"

namespace aws {

std::optional<SsoProfile> ssoProfileOf(const ProfileFiles& files, const std::string& profile) {
  ProfileFiles::Section config = files.merged(profile);
  if (!config.count("sso_account_id") && !config.count("sso_role_name")) return std::nullopt;
  std::vector<std::string> required{"sso_role_name", "sso_account_id", "sso_start_url",
                                    "sso_region"};
  if (auto name = config.find("sso_session"); name != config.end()) {
    auto session = files.sso_sessions.find(name->second);
    if (session == files.sso_sessions.end()) {
      throw ConfigError("the sso-session " + inQuotes(name->second) + " of profile " +
                        inQuotes(profile) + " does not exist in " + files.config_path);
    }
    for (const auto& [key, value] : session->second) {
      auto own = config.find(key);
      if (own != config.end() && own->second != value) {
        throw ConfigError("the profile " + inQuotes(profile) + " and its sso-session " +
                          inQuotes(name->second) + " disagree on " + key);
      }
      config[key] = value;
    }
  }
  std::string missing;
  for (const auto& key : required) {
    if (!config.count(key)) missing += (missing.empty() ? "" : ", ") + key;
  }
  if (!missing.empty()) {
    throw ConfigError("the profile " + inQuotes(profile) +
                      " is configured to use SSO but is missing " + missing);
  }
  auto session = config.find("sso_session");
  return SsoProfile{profile,
                    session == config.end() ? "" : session->second,
                    config.at("sso_start_url"),
                    config.at("sso_region"),
                    config.at("sso_account_id"),
                    config.at("sso_role_name")};
}

}  // namespace aws
