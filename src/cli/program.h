#pragma once
// How a companion command begins and ends: its help and version, and how
// each kind of failure becomes an exit status and a line on standard error.

#include <functional>
#include <string>
#include <vector>

#include "cli/command_line.h"

namespace cli {

/// The texts of a command.
struct Program {
  const char* name;   // "probefleet-s3"
  const char* usage;  // the usage lines, each ending with a line feed
  const char* help;   // what follows the usage lines in --help
  bool aws = true;    // takes the global AWS options (awsOptions())
};

/// Parses `arguments` against the command's own `options` and, unless the
/// command speaks to no AWS service, the global AWS options (awsOptions()), runs `body` on the result, and returns the process
/// exit status:
/// - -h/--help: usage and help on standard output, 0;
/// - --version: "<name> <project version>" on standard output, 0;
/// - UsageError (from the parse or from `body`): the usage lines and
///   "<name>: error: <what>" on standard error, 2;
/// - testlib::ExitRequest: its status (its reason is already reported);
/// - any other exception (AWS, transport, configuration, files): "<name>: "
///   and its message on one line of standard error, 1;
/// - otherwise what `body` returns.
int runProgram(const Program& program, const std::vector<std::string>& arguments,
               const std::vector<OptionSpec>& options,
               const std::function<int(const CommandLine&)>& body);

}  // namespace cli
