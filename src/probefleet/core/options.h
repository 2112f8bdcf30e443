#pragma once
// The command line of probefleet: the options record and its parser.
//
// The parser follows the conventions of long-option parsers such as Python's
// argparse: "--opt value" and "--opt=value", an unambiguous prefix of an
// option name stands for the option (an exact name wins over prefixes), flags
// take no value, -h/--help prints the help text, --version the version.

#include <optional>
#include <string>
#include <vector>

namespace probefleet {

/// The parsed command line. One field per option, named after the option
/// without its leading dashes. Text options without a default are absent when
/// not given; an empty value ("--region=") is kept as the empty text.
struct Args {
  bool revert = false;
  bool dry_run = false;
  std::optional<std::string> account;
  std::optional<std::string> region;
  std::optional<std::string> private_subnet_id;
  std::optional<std::string> key_name;
  std::optional<std::string> s3_bucket;
  std::optional<std::string> assume_role;
  std::optional<std::string> profile;
  std::optional<std::string> ec2_role;
  std::string test_config;  // required
  std::optional<std::string> output_test_config;
  std::optional<std::string> tag_resource;
  // One type or several, separated by commas, in order of preference
  // (instanceTypeList); the default is kDefaultInstanceTypes.
  std::string instance_type = "t3.micro,t3a.micro,t2.micro";
  std::string image = "al2023-ami-2023*";
  std::optional<std::string> workflow_account_role;
  std::string backup_folder;  // required
  bool eip = false;
  // The run tag: with it, every new instance gets the test script as its user
  // data, its results named after deduceTag(args, entry).
  std::optional<std::string> tag;
  // With it, every new instance ends itself this long after its launch
  // (a duration such as "4h"; see parseDuration).
  std::optional<std::string> max_lifetime;
  bool log_console = false;           // every log record on the console, no progress
  std::optional<std::string> report;  // where to write the run report (JSON)
  std::optional<std::string> report_html;  // where to write the run report's page (HTML)
  bool force_unlock = false;          // clear the VPC's lock, whoever holds it, then run
  // The lease of the run's lock on its VPC, in seconds (a whole number above
  // 0, checked by the parser); absent: kDefaultLeaseSeconds.
  std::optional<std::string> lock_lease_seconds;
};

/// The lease --lock_lease_seconds gives, or `fallback` when it is absent.
long long leaseSecondsOf(const Args& args, long long fallback);

/// True when a text option was given with a non-empty value: wherever the
/// program asks whether a text option was given, the empty text counts as not
/// given.
inline bool given(const std::optional<std::string>& value) {
  return value.has_value() && !value->empty();
}

/// What the parser made of a command line.
struct ParseResult {
  enum class Kind {
    kArgs,     // `args` holds the options
    kHelp,     // -h/--help: print `text` on standard output, exit 0
    kVersion,  // --version: print `text` ("probefleet X.Y.Z\n") on standard output, exit 0
    kError,    // a usage error: print `text` on standard error, exit 2
  };
  Kind kind = Kind::kArgs;
  Args args;
  /// kHelp: the full help text. kError: the usage line followed by
  /// "probefleet: error: <what is wrong>". Both end with a newline.
  std::string text;
};

/// Parses the arguments after the program name. Never throws for bad input:
/// every usage error comes back as Kind::kError.
ParseResult parseArgs(const std::vector<std::string>& arguments);

/// The usage line ("usage: probefleet [-h] ..."), wrapped, with a final newline.
std::string usageText();

/// The version of the build, such as "0.1.0".
std::string programVersion();

/// Usage, description and one line per option with its help text.
std::string helpText();

}  // namespace probefleet
