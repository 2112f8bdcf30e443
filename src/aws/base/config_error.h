#pragma once
// Configuration that cannot work: unknown profile, no credentials, no region,
// a malformed endpoint. Raised before any request is sent.

#include <stdexcept>

namespace aws {

class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace aws
