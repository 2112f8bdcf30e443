#pragma once
// A session: a credentials source plus a default region, from which service
// clients are opened (as boto3.Session does).

#include <memory>
#include <optional>
#include <string>

#include "aws/client.h"
#include "aws/clock.h"
#include "aws/credentials.h"
#include "aws/environment.h"
#include "aws/http.h"
#include "aws/retry.h"

namespace aws {

/// The outside world a session talks through.
struct SessionDeps {
  std::shared_ptr<Environment> env;
  std::shared_ptr<HttpTransport> transport;
  std::shared_ptr<Clock> clock;
  /// Used where neither the environment nor the profile sets the retry mode
  /// or the max attempts.
  RetryDefaults retry_defaults{};
  /// Real time for the adaptive mode's rate limiters (see ClientConfig).
  SteadyTime steady_time{};
  /// Told of every retry of every client the session opens (may be empty).
  RetryObserver on_retry{};
  /// The process environment, the shared curl transport, the system clock,
  /// the SDK's retry defaults, steady time.
  static SessionDeps process();
};

class Session {
 public:
  /// A session of the named profile, or of the default chain when `profile`
  /// is nullopt. Throws ConfigError at once when the named profile does not
  /// exist in the shared files.
  static Session fromProfile(const std::optional<std::string>& profile,
                             SessionDeps deps = SessionDeps::process());
  /// A session of fixed credentials (e.g. an assumed role's). Its default
  /// region is the environment's (AWS_REGION, AWS_DEFAULT_REGION, the default
  /// profile's region).
  static Session fromCredentials(const Credentials& credentials,
                                 SessionDeps deps = SessionDeps::process());

  /// The session's default region; nullopt when none is configured.
  std::optional<std::string> defaultRegion() const { return region_; }
  const std::optional<std::string>& profile() const { return profile_; }
  const std::shared_ptr<CredentialsProvider>& credentials() const { return credentials_; }
  const SessionDeps& deps() const { return deps_; }

  /// Everything a client of `service` ("ec2", "iam", "sts", "ssm", "s3")
  /// needs, in `region` (the default region when nullopt or ""). Throws
  /// ConfigError when a regional service has no region.
  ClientConfig clientConfig(const std::string& service,
                            const std::optional<std::string>& region = std::nullopt) const;

 private:
  Session() = default;
  SessionDeps deps_;
  std::optional<std::string> profile_;
  std::optional<std::string> region_;
  std::shared_ptr<CredentialsProvider> credentials_;
};

}  // namespace aws
