#pragma once
// The SSM Parameter Store actions the program sends: GetParameter and
// GetParametersByPath.

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "aws/client/client.h"

namespace aws {

/// A parameter. `value` may be a secret: never log it.
struct SsmParameter {
  std::string name{};
  std::string value{};
  std::string type{};  // "String", "StringList", "SecureString"
  long long version = 0;
  std::string arn{};
};

struct GetParameterRequest {
  std::string name{};
  std::optional<bool> with_decryption{};
};

struct GetParametersByPathRequest {
  std::string path{};
  std::optional<bool> recursive{};
  std::optional<bool> with_decryption{};
  std::string next_token{};  // "" on the first page
};

struct GetParametersByPathResult {
  std::vector<SsmParameter> parameters{};
  std::string next_token{};  // "" on the last page
};

/// Every method throws ServiceError when SSM refuses (e.g.
/// "ParameterNotFound", "AccessDeniedException"), TransportError when SSM
/// cannot be reached, and std::runtime_error on an answer that is not JSON.
class SsmClient {
 public:
  explicit SsmClient(ClientConfig config);
  const ClientConfig& config() const { return client_.config(); }

  SsmParameter getParameter(const GetParameterRequest& request) const;
  /// One page of the parameters under the path.
  GetParametersByPathResult getParametersByPath(const GetParametersByPathRequest& request) const;

 private:
  nlohmann::json call(const std::string& operation, const nlohmann::json& body) const;
  ServiceClient client_;
};

}  // namespace aws
