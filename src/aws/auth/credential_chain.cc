#include "aws/auth/credential_chain.h"

#include <chrono>
#include <mutex>
#include <stdexcept>

#include "aws/auth/container_source.h"
#include "aws/auth/environment_source.h"
#include "aws/auth/instance_metadata.h"
#include "aws/auth/profile_source.h"
#include "aws/base/clock.h"
#include "aws/base/config_error.h"
#include "aws/base/strings.h"
#include "aws/config/config.h"

namespace aws {

namespace {

using TimePoint = std::chrono::system_clock::time_point;

// Temporary credentials are replaced this long before they expire; a failed
// replacement is tolerated (the old ones still work) until the last minute.
constexpr auto kRefreshWindow = std::chrono::minutes(5);
constexpr auto kMandatoryRefreshWindow = std::chrono::minutes(1);
// Within the refresh window, one attempt per this interval at most.
constexpr auto kRefreshRetryInterval = std::chrono::seconds(30);

class CredentialChain : public CredentialsProvider {
 public:
  CredentialChain(ChainContext ctx, std::string profile, bool explicit_profile, ProfileFiles files)
      : ctx_(std::move(ctx)),
        profile_(std::move(profile)),
        explicit_profile_(explicit_profile),
        files_(std::move(files)) {}

  Credentials credentials() override {
    std::lock_guard<std::mutex> lock(mutex_);
    const TimePoint now = ctx_.clock->now();
    if (!current_) {
      ResolvedCredentials found = resolve();
      checkNotExpired(found, now);
      current_ = std::move(found);
      last_attempt_ = now;
      return current_->credentials;
    }
    if (!current_->refresh || !current_->credentials.expiration) return current_->credentials;
    const auto remaining = *current_->credentials.expiration - now;
    if (remaining > kRefreshWindow) return current_->credentials;
    const bool mandatory = remaining <= kMandatoryRefreshWindow;
    if (!mandatory && now - last_attempt_ < kRefreshRetryInterval) return current_->credentials;
    last_attempt_ = now;
    return refresh(now, mandatory);
  }

  std::string describe() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_) return current_->source;
    return "the default credentials chain (profile " + inQuotes(profile_) + ")";
  }

 private:
  ResolvedCredentials resolve() {
    if (!explicit_profile_) {
      if (auto found = environmentCredentials(*ctx_.env)) return *found;
    }
    if (auto found = profileCredentials(ctx_, files_, profile_, !explicit_profile_)) return *found;
    if (auto found = containerCredentials(ctx_)) return *found;
    if (auto found = instanceMetadataCredentials(ctx_)) return *found;
    throw ConfigError(std::string("no AWS credentials found; tried: ") +
                      (explicit_profile_ ? "" : "environment variables, ") +
                      "shared credentials file " + files_.credentials_path + ", config file " +
                      files_.config_path + " (profile " + inQuotes(profile_) +
                      "), container credentials, instance metadata" +
                      (imdsDisabled() ? " (disabled by AWS_EC2_METADATA_DISABLED)" : ""));
  }

  // Within the mandatory window a failure is the caller's; before it the
  // credentials held still serve, and a later call tries again.
  Credentials refresh(TimePoint now, bool mandatory) {
    ResolvedCredentials fresh = *current_;
    try {
      fresh.credentials = current_->refresh();
      checkNotExpired(fresh, now);
    } catch (...) {
      if (mandatory) throw;
      return current_->credentials;
    }
    current_ = std::move(fresh);
    return current_->credentials;
  }

  bool imdsDisabled() const {
    return lower(ctx_.env->get("AWS_EC2_METADATA_DISABLED").value_or("")) == "true";
  }

  static void checkNotExpired(const ResolvedCredentials& found, TimePoint now) {
    const auto& expiration = found.credentials.expiration;
    if (found.refresh && expiration && *expiration - now <= kMandatoryRefreshWindow) {
      throw ConfigError("the credentials from " + found.source + " expire at " +
                        formatIsoTime(*expiration) + ", even freshly fetched");
    }
  }

  ChainContext ctx_;
  const std::string profile_;
  const bool explicit_profile_;
  const ProfileFiles files_;
  mutable std::mutex mutex_;
  std::optional<ResolvedCredentials> current_;
  TimePoint last_attempt_{};
};

}  // namespace

std::shared_ptr<CredentialsProvider> defaultCredentialsChain(
    const ChainContext& ctx, const std::optional<std::string>& profile) {
  if (!ctx.transport) throw std::invalid_argument("the credential chain needs a transport");
  ChainContext context = ctx;
  if (!context.env) context.env = processEnvironment();
  if (!context.clock) context.clock = systemClock();
  if (!context.run_process) context.run_process = runCredentialProcess;
  ProfileFiles files = ProfileFiles::load(*context.env);
  const std::string name = effectiveProfile(*context.env, profile);
  const bool named = profile.has_value() || context.env->nonEmpty("AWS_DEFAULT_PROFILE") ||
                     context.env->nonEmpty("AWS_PROFILE");
  if (named && !files.hasProfile(name)) {
    throw ConfigError("the config profile " + inQuotes(name) + " could not be found in " +
                      files.credentials_path + " or " + files.config_path);
  }
  return std::make_shared<CredentialChain>(std::move(context), name, profile.has_value(),
                                           std::move(files));
}

}  // namespace aws
