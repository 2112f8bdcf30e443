#pragma once
// A session: a credentials source plus a default region, from which service
// clients are opened (as boto3.Session does).

#include <memory>
#include <optional>
#include <string>

#include "aws/auth/credentials.h"
#include "aws/client/client.h"
#include "aws/client/nested_client.h"

namespace aws {

class Session {
 public:
  /// A session of the named profile, or of the default chain when `profile`
  /// is nullopt. Throws ConfigError at once when the named profile does not
  /// exist in the shared files.
  static Session fromProfile(const std::optional<std::string>& profile,
                             ClientWorld world = ClientWorld::process());
  /// A session of fixed credentials (e.g. an assumed role's). Its default
  /// region is the environment's (AWS_REGION, AWS_DEFAULT_REGION, the default
  /// profile's region).
  static Session fromCredentials(const Credentials& credentials,
                                 ClientWorld world = ClientWorld::process());

  /// The session's default region; nullopt when none is configured.
  std::optional<std::string> defaultRegion() const { return region_; }
  const std::optional<std::string>& profile() const { return world_.profile; }
  const std::shared_ptr<CredentialsProvider>& credentials() const { return credentials_; }
  /// The world the session opens its clients with; its profile is the
  /// session's.
  const ClientWorld& world() const { return world_; }

  /// Everything a client of `service` ("ec2", "iam", "sts", "ssm", "kms",
  /// "servicequotas", "s3") needs, in `region` (the default region when
  /// nullopt or ""): its endpoint, signing name (the service's own) and the
  /// session's credentials. Throws ConfigError when a regional service has
  /// no region.
  ClientConfig clientConfig(const std::string& service,
                            const std::optional<std::string>& region = std::nullopt) const;

 private:
  Session() = default;
  ClientWorld world_;
  std::optional<std::string> region_;
  std::shared_ptr<CredentialsProvider> credentials_;
};

}  // namespace aws
