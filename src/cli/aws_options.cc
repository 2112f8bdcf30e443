#include "cli/aws_options.h"

#include <optional>
#include <stdexcept>

#include "aws/base/environment.h"
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
