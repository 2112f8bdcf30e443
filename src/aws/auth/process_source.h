#pragma once
// Credentials printed by a profile's credential_process.

#include <functional>
#include <string>

#include "aws/auth/credential_source.h"

namespace aws {

/// Runs a credential_process command line and returns its standard output.
/// Throws ConfigError when the command cannot run or exits non-zero.
using ProcessRunner = std::function<std::string(const std::string& command_line)>;

/// The default ProcessRunner. As the SDKs do, the command line is split into
/// words with shell quoting rules and run without a shell (no expansion),
/// with the process's environment and standard input. Throws ConfigError when
/// it cannot be split or started, or exits non-zero (naming the program and
/// the first line of its standard error, never its output).
std::string runCredentialProcess(const std::string& command_line);

/// The credentials `command` (the credential_process of `profile`) prints
/// through `run` (empty: runCredentialProcess): a JSON object with
/// "Version": 1. Only credentials that expire are fetched again. Throws
/// ConfigError when the command fails or prints anything else.
ResolvedCredentials processCredentials(const ProcessRunner& run, const std::string& command,
                                       const std::string& profile);

}  // namespace aws
