#pragma once
// AWS credentials and the SDKs' default provider chain: environment, shared
// credentials/config files (profiles, role_arn + source_profile, web identity,
// IAM Identity Center (SSO), credential_process), container credentials,
// instance metadata (IMDSv2 with a v1 fallback).

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "aws/base/clock.h"
#include "aws/base/environment.h"
#include "aws/http/http.h"
#include "aws/http/world.h"

namespace aws {

struct Credentials {
  std::string access_key_id;
  std::string secret_access_key;
  std::string session_token;  // "" when none
  std::optional<std::chrono::system_clock::time_point> expiration;
  bool empty() const { return access_key_id.empty() || secret_access_key.empty(); }
};

/// `time` as credential sources and the SSO token cache write it:
/// "2024-05-01T12:00:00Z" (whole seconds, UTC).
std::string formatIsoTime(std::chrono::system_clock::time_point time);

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
using AssumeRoleFn =
    std::function<Credentials(const Credentials&, const std::string&, const std::string&,
                              const std::string&, const std::string&)>;

/// Exchanges a web identity token for a role's temporary credentials (STS
/// AssumeRoleWithWebIdentity, unsigned). Supplied by the session layer.
/// Arguments: role ARN, role session name, the token, region ("" for the
/// default).
using AssumeRoleWithWebIdentityFn = std::function<Credentials(
    const std::string&, const std::string&, const std::string&, const std::string&)>;

struct SsoProfile;  // sso_profile.h

/// Exchanges a profile's SSO settings for the role's credentials (the token
/// cache, its renewal, the portal). Supplied by the session layer, as STS is.
/// The second argument is the chain's profile, whose endpoint and retry
/// settings the SSO requests follow.
using SsoCredentialsFn =
    std::function<Credentials(const SsoProfile& sso, const std::string& chain_profile)>;

/// Runs a credential_process command line and returns its standard output.
/// Throws ConfigError when the command cannot run or exits non-zero.
using ProcessRunner = std::function<std::string(const std::string& command_line)>;

/// The default ProcessRunner. As the SDKs do, the command line is split into
/// words with shell quoting rules and run without a shell (no expansion),
/// with the process's environment and standard input. Throws ConfigError when
/// it cannot be split or started, or exits non-zero (naming the program and
/// the first line of its standard error, never its output).
std::string runCredentialProcess(const std::string& command_line);

/// What the chain reads and sends through (the transport serves container
/// credentials and instance metadata, and must be set), and the services it
/// is handed so that it needs none of their clients.
struct ChainContext : World {
  AssumeRoleFn assume_role;
  AssumeRoleWithWebIdentityFn assume_role_with_web_identity;
  SsoCredentialsFn sso_credentials;
  ProcessRunner run_process;  // default: runCredentialProcess
};

/// The SDKs' default chain. `profile`: an explicit profile name (from
/// --profile); nullopt means AWS_DEFAULT_PROFILE, AWS_PROFILE, then "default".
/// Order, as botocore: environment variables (skipped for an explicit
/// profile), the profile (role_arn with source_profile or credential_source;
/// web identity from AWS_WEB_IDENTITY_TOKEN_FILE, AWS_ROLE_ARN and
/// AWS_ROLE_SESSION_NAME (not for an explicit profile) or the profile's
/// web_identity_token_file, role_arn, role_session_name; SSO (sso_session or
/// the legacy sso_start_url, see sso.h); static keys of the credentials
/// file, credential_process, static keys of the config file), container
/// credentials, instance metadata. The web identity token file is read again
/// for every refresh. Nothing is
/// fetched until the first credentials() call; temporary credentials are
/// refreshed shortly before they expire. A named profile (explicit or from
/// the environment) that does not exist throws ConfigError here, naming the
/// files read. Throws std::invalid_argument when ctx has no transport.
std::shared_ptr<CredentialsProvider> defaultCredentialsChain(
    const ChainContext& ctx, const std::optional<std::string>& profile = std::nullopt);

/// GETs `path` (e.g. "latest/dynamic/instance-identity/document") from the
/// instance metadata service as the SDKs do: an IMDSv2 token first (PUT
/// latest/api/token), falling back to a token-less request when the token
/// request is refused (403/404/405) or unanswered; short time limits
/// (AWS_METADATA_SERVICE_TIMEOUT, default 1 s) and attempts
/// (AWS_METADATA_SERVICE_NUM_ATTEMPTS, default 1); the service at
/// AWS_EC2_METADATA_SERVICE_ENDPOINT (default http://169.254.169.254/).
/// Returns the last answer, whatever its status; nullopt when
/// AWS_EC2_METADATA_DISABLED=true or the service rejects the token request
/// as malformed (400). Throws TransportError when no attempt got an answer,
/// ConfigError on a malformed setting, std::invalid_argument when `world`
/// has no transport. An unset environment is the process's.
std::optional<HttpResponse> fetchInstanceMetadata(const World& world, const std::string& path);

}  // namespace aws
