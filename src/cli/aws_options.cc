#include "cli/aws_options.h"

#include <optional>
#include <stdexcept>

#include "aws/base/environment.h"
#include "aws/config/config.h"
#include "aws/session/session.h"

namespace cli {

const std::vector<OptionSpec>& awsOptions() {
  static const std::vector<OptionSpec> options = {valueOption("--profile"), valueOption("--region"),
                                                  valueOption("--endpoint-url")};
  return options;
}

bool isAwsOption(const std::string& name) {
  for (const OptionSpec& option : awsOptions()) {
    if (option.name == name) return true;
  }
  return false;
}

aws::ClientConfig clientConfig(const CommandLine& line, const std::string& service) {
  // A malformed URL is the user's typing, found before any credentials are
  // looked for.
  for (const char* name : {"--profile", "--region"}) {
    // Both go to AWS (the profile's name through the credentials it picks,
    // in messages and role session names); AWS takes UTF-8 only.
    if (!aws::isValidUtf8(line.value(name).value_or(""))) {
      throw UsageError(std::string(name) + ": not valid UTF-8");
    }
  }
  std::optional<aws::Endpoint> endpoint;
  if (auto url = line.value("--endpoint-url")) {
    try {
      endpoint = aws::Endpoint::parse(*url);
    } catch (const std::invalid_argument& error) {
      throw UsageError("--endpoint-url: " + std::string(error.what()));
    }
  }
  const aws::Session session = aws::Session::fromProfile(line.value("--profile"));
  aws::ClientConfig config = session.clientConfig(service, line.value("--region"));
  if (endpoint) {
    config.endpoint = *endpoint;
    config.endpoint_overridden = true;
    config.signing_region = config.region.empty() ? "us-east-1" : config.region;
  }
  return config;
}

}  // namespace cli

namespace cli {

namespace {

// A whole number from 1 to 1000, nothing else (no sign, no blanks, no "8x").
std::optional<int> concurrencyValue(const std::string& text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 1000) return std::nullopt;
  return value;
}

}  // namespace

int transferConcurrency(const CommandLine& line, const aws::Environment& env, int fallback) {
  if (auto given = line.value("--concurrency")) {
    if (auto value = concurrencyValue(*given)) return *value;
    throw UsageError("--concurrency: " + *given + " is not a whole number from 1 to 1000");
  }
  const std::string profile = aws::effectiveProfile(env, line.value("--profile"));
  const auto setting = aws::ProfileFiles::load(env).value(profile, "s3.max_concurrent_requests");
  if (!setting) return fallback;
  if (auto value = concurrencyValue(*setting)) return *value;
  throw aws::ConfigError("profile " + profile + ": s3 max_concurrent_requests = " + *setting +
                         " is not a whole number from 1 to 1000");
}

}  // namespace cli
