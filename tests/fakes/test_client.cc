#include "fakes/test_client.h"

#include "aws/auth/credentials.h"
#include "fakes/fake_clock.h"

namespace fakes {

aws::ClientConfig clientConfig(const std::string& service,
                               std::shared_ptr<aws::HttpTransport> transport,
                               std::shared_ptr<aws::Clock> clock, int max_attempts) {
  aws::ClientConfig config;
  // Signing name and region left empty: the client takes the service's and
  // the region's, also when a test moves the region afterwards.
  config.service = service;
  config.region = "us-east-1";
  config.endpoint = aws::Endpoint::parse("http://127.0.0.1:9");
  config.endpoint_overridden = true;
  config.credentials = std::make_shared<aws::StaticCredentialsProvider>(
      aws::Credentials{kAccessKeyId, kSecretAccessKey, "", std::nullopt});
  config.transport = std::move(transport);
  config.clock = clock ? std::move(clock) : std::make_shared<FakeClock>();
  config.retry.max_attempts = max_attempts;
  return config;
}

std::shared_ptr<FakeTransport> ec2Transport() {
  auto transport = std::make_shared<FakeTransport>();
  transport->setFallback(answer(200, kEc2Ok));
  return transport;
}

std::shared_ptr<aws::MapEnvironment> isolatedEnvironment(std::map<std::string, std::string> vars) {
  auto env = std::make_shared<aws::MapEnvironment>();
  env->vars = std::move(vars);
  env->vars.emplace("AWS_CONFIG_FILE", "/nonexistent/probefleet/config");
  env->vars.emplace("AWS_SHARED_CREDENTIALS_FILE", "/nonexistent/probefleet/credentials");
  env->vars.emplace("AWS_EC2_METADATA_DISABLED", "true");
  return env;
}

}  // namespace fakes
