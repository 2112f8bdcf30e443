#pragma once
// AWS credentials and the SDKs' default provider chain: environment, shared
// credentials/config files (profiles, role_arn + source_profile,
// credential_process), container credentials, instance metadata (IMDSv2 with
// a v1 fallback).

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "aws/clock.h"
#include "aws/environment.h"
#include "aws/http.h"

namespace aws {

struct Credentials {
  std::string access_key_id;
  std::string secret_access_key;
  std::string session_token;  // "" when none
  std::optional<std::chrono::system_clock::time_point> expiration;
  bool empty() const { return access_key_id.empty() || secret_access_key.empty(); }
};

class CredentialsProvider {
 public:
  virtual ~CredentialsProvider() = default;
  /// Current credentials; refreshed when close to expiry. Safe to call from
  /// several threads. Throws ConfigError when none can be had.
  virtual Credentials credentials() = 0;
  /// Where these credentials come from, for error messages (never a secret).
  virtual std::string describe() const = 0;
};

class StaticCredentialsProvider : public CredentialsProvider {
 public:
  explicit StaticCredentialsProvider(Credentials c, std::string source = "static credentials")
      : creds_(std::move(c)), source_(std::move(source)) {}
  Credentials credentials() override { return creds_; }
  std::string describe() const override { return source_; }

 private:
  Credentials creds_;
  std::string source_;
};

/// Exchanges source credentials for a role's temporary credentials (STS
/// AssumeRole). Supplied by the session layer so that this file needs no STS.
/// Arguments: source credentials, role ARN, role session name, region ("" for
/// the default), external id ("" for none).
using AssumeRoleFn = std::function<Credentials(const Credentials&, const std::string&,
                                               const std::string&, const std::string&,
                                               const std::string&)>;

/// Runs a credential_process command line and returns its standard output.
/// Throws ConfigError when the command cannot run or exits non-zero.
using ProcessRunner = std::function<std::string(const std::string& command_line)>;

struct ChainContext {
  std::shared_ptr<Environment> env;
  std::shared_ptr<HttpTransport> transport;  // container and instance metadata
  std::shared_ptr<Clock> clock;
  AssumeRoleFn assume_role;
  ProcessRunner run_process;  // default: /bin/sh -c
};

/// The SDKs' default chain. `profile`: an explicit profile name (from
/// --profile); nullopt means AWS_PROFILE, then "default". With an explicit
/// profile only the shared files are consulted, as the SDKs do; a profile that
/// does not exist throws ConfigError naming the files read.
std::shared_ptr<CredentialsProvider> defaultCredentialsChain(
    const ChainContext& ctx, const std::optional<std::string>& profile = std::nullopt);

}  // namespace aws
