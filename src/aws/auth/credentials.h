#pragma once
// AWS credentials as a plain value, and what hands them out. No sources
// here: those live one per file beside this one, and the default chain that
// tries them in turn in credential_chain.h.

#include <chrono>
#include <optional>
#include <string>
#include <utility>

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

}  // namespace aws
