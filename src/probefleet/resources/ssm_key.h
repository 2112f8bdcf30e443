#pragma once
// A run's own key pair (--key_name) keeps its private key in the workflow
// account's SSM Parameter Store, encrypted; it is fetched once at start-up
// and written where the workflow engine reaches the instances from.

#include <string>

#include "aws/services/ssm.h"
#include "probefleet/core/options.h"

namespace probefleet {

/// Where a key pair's private key is kept in SSM.
inline constexpr const char* kSsmSecretsPrefix = "/corvanta/workflow/secrets/";

/// Fetches `parameter_name` with decryption and writes its value, exactly as
/// SSM returns it, to the file named by args.key_name (relative to the
/// working directory), created or replaced. The file has mode 0600 from its
/// creation on, and an existing file is set to 0600 before the key is
/// written into it. The key and the value never reach a log line or an
/// error message. Does not look at the dry-run flag.
///
/// Throws std::invalid_argument when args.key_name is not given, what the
/// SSM client throws (aws::ServiceError such as "ParameterNotFound",
/// aws::TransportError) before any file is touched, and std::system_error
/// naming the file when it cannot be written (a partly written file is
/// removed).
void getPemKeyFromSSM(const aws::SsmClient& ssm, const std::string& parameter_name,
                      const Args& args);

}  // namespace probefleet
