#include "aws/auth/credential_source.h"

#include <cctype>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "aws/base/config_error.h"

namespace aws {

namespace {

using TimePoint = std::chrono::system_clock::time_point;

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

}  // namespace

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

}  // namespace aws
