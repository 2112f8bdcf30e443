#include "probefleet/guard/run_lock.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <string_view>

#include <nlohmann/json.hpp>

#include "aws/base/strings.h"
#include "aws/client/error.h"

namespace probefleet {

namespace {

constexpr const char* kMasked = "****";

std::optional<LockTime> fromTm(std::tm& tm) {
  const std::time_t seconds = timegm(&tm);
  if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
  return std::chrono::system_clock::from_time_t(seconds);
}

// strptime's conversions must take the whole text (a fraction of a second
// and the zone letter excepted, for ISO-8601).
std::optional<LockTime> parseWith(const std::string& text, const char* format, bool iso) {
  std::tm tm{};
  const char* end = ::strptime(text.c_str(), format, &tm);
  if (end == nullptr) return std::nullopt;
  if (iso) {
    if (*end == '.') {
      ++end;
      if (!std::isdigit(static_cast<unsigned char>(*end))) return std::nullopt;
      while (std::isdigit(static_cast<unsigned char>(*end))) ++end;
    }
    if (*end != 'Z') return std::nullopt;
    ++end;
  }
  if (*end != '\0') return std::nullopt;
  return fromTm(tm);
}

bool optionHoldsSecret(const std::string& word) {
  if (!word.starts_with("-")) return false;
  const std::string name = aws::lower(word.substr(0, word.find('=')));
  for (const char* hint : {"secret", "token", "password", "credential"}) {
    if (name.find(hint) != std::string::npos) return true;
  }
  return false;
}

// An access key id: AKIA (long-term) or ASIA (temporary) and 16 upper-case
// letters or digits. Scanned by hand: std::regex recurses per character.
bool holdsAccessKeyId(const std::string& word) {
  const auto keyChar = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); };
  for (std::size_t at = 0; at + 20 <= word.size(); ++at) {
    const std::string_view prefix(word.data() + at, 4);
    if (prefix != "AKIA" && prefix != "ASIA") continue;
    if (std::all_of(word.begin() + at + 4, word.begin() + at + 20, keyChar)) return true;
  }
  return false;
}

bool looksLikeAwsKey(const std::string& word) {
  if (holdsAccessKeyId(word)) return true;
  // A secret access key: 40 characters of base64 mixing cases and digits.
  std::size_t run = 0;
  bool lower = false, upper = false, digit = false;
  for (const char c : word + " ") {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '+') {
      ++run;
      lower |= std::islower(static_cast<unsigned char>(c)) != 0;
      upper |= std::isupper(static_cast<unsigned char>(c)) != 0;
      digit |= std::isdigit(static_cast<unsigned char>(c)) != 0;
      continue;
    }
    if (run >= 40 && lower && upper && digit) return true;
    run = 0;
    lower = upper = digit = false;
  }
  return false;
}

}  // namespace

std::string lockKey(const std::string& vpc_id) {
  return "locks/" + vpc_id + ".json";
}

std::string formatLockHolder(const LockHolder& holder) {
  nlohmann::ordered_json body = {
      {"run_id", holder.run_id},   {"host", holder.host},
      {"user", holder.user},       {"mode", holder.mode},
      {"started", holder.started}, {"command", holder.command},
      {"pid", holder.pid},         {"lease_seconds", holder.lease_seconds},
      {"renewal", holder.renewal},
  };
  if (holder.released) body["released"] = true;
  return body.dump(2) + "\n";
}

std::optional<LockHolder> parseLockHolder(const std::string& body) {
  const nlohmann::json parsed = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return std::nullopt;
  LockHolder holder;
  const std::pair<const char*, std::string*> texts[] = {
      {"run_id", &holder.run_id}, {"host", &holder.host},       {"user", &holder.user},
      {"mode", &holder.mode},     {"started", &holder.started}, {"command", &holder.command}};
  for (const auto& [name, field] : texts) {
    const auto found = parsed.find(name);
    if (found == parsed.end() || !found->is_string()) return std::nullopt;
    *field = found->get<std::string>();
  }
  const std::pair<const char*, long long*> numbers[] = {{"pid", &holder.pid},
                                                        {"lease_seconds", &holder.lease_seconds}};
  for (const auto& [name, field] : numbers) {
    const auto found = parsed.find(name);
    if (found == parsed.end() || !found->is_number_integer()) return std::nullopt;
    *field = found->get<long long>();
  }
  if (holder.lease_seconds <= 0) return std::nullopt;
  if (const auto renewal = parsed.find("renewal"); renewal != parsed.end()) {
    if (!renewal->is_number_integer()) return std::nullopt;
    holder.renewal = renewal->get<long long>();
  }
  if (const auto released = parsed.find("released"); released != parsed.end()) {
    if (!released->is_boolean()) return std::nullopt;
    holder.released = released->get<bool>();
  }
  return holder;
}

bool isLive(const LockHolder& holder, LockTime last_modified, LockTime now) {
  if (holder.released) return false;
  // S3's times are whole seconds, cut down: a lock renewed at 10.9 reads as
  // 10 against a now of 11.0 that reads as 11. The extra second keeps a lock
  // renewed in time from looking stale.
  return last_modified + std::chrono::seconds(holder.lease_seconds + 1) > now;
}

std::optional<LockTime> parseS3Time(const std::string& text) {
  if (auto http = parseWith(text, "%a, %d %b %Y %H:%M:%S GMT", false)) return http;
  return parseWith(text, "%Y-%m-%dT%H:%M:%S", true);
}

std::optional<FoundLock> readLock(const aws::S3Client& s3, const std::string& bucket,
                                  const std::string& vpc_id, LockTime local_now) {
  aws::GetObjectResult object;
  try {
    object = s3.getObject(bucket, lockKey(vpc_id));
  } catch (const aws::ServiceError& error) {
    if (error.code() == "NoSuchKey" || error.httpStatus() == 404) return std::nullopt;
    throw;
  }
  FoundLock found;
  found.etag = object.info.etag;
  found.now = parseS3Time(object.info.date).value_or(local_now);
  // Without a usable time the lock counts as written just now: live for a
  // whole lease rather than taken over at once.
  found.last_modified = parseS3Time(object.info.last_modified).value_or(found.now);
  if (auto holder = parseLockHolder(object.body)) {
    found.holder = std::move(*holder);
  } else {
    found.readable = false;
    found.holder.run_id = "(unreadable lock object)";
  }
  return found;
}

std::string describeHolder(const LockHolder& holder) {
  return "run " + holder.run_id + " (host " + holder.host + ", pid " + std::to_string(holder.pid) +
         ", user " + holder.user + ", mode " + holder.mode + ") since " + holder.started;
}

std::string lockHostName() {
  char name[256] = {};
  return ::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0' ? name : "unknown";
}

std::string lockUserName() {
  struct passwd entry {};
  struct passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
    return found->pw_name;
  }
  return "uid " + std::to_string(::geteuid());
}

std::string commandForLock(const std::string& program, const std::vector<std::string>& arguments) {
  std::string command = program;
  bool mask_next = false;
  for (const std::string& word : arguments) {
    std::string shown = word;
    if (mask_next && !word.starts_with("--")) {
      shown = kMasked;
    } else if (optionHoldsSecret(word) && word.find('=') != std::string::npos) {
      shown = word.substr(0, word.find('=') + 1) + kMasked;
    } else if (looksLikeAwsKey(word)) {
      shown = kMasked;
    }
    mask_next = optionHoldsSecret(word) && word.find('=') == std::string::npos;
    command += " " + shown;
  }
  return command;
}

}  // namespace probefleet
