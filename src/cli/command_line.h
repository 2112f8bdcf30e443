#pragma once
// The command line of probefleet's companion commands, in the forms the
// SDKs' own tools take: "--name value" and "--name=value" anywhere among the
// operands, "--" ending the options.

#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace cli {

/// A command line the command cannot run; the message says what is wrong.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// An option a command knows.
struct OptionSpec {
  std::string name;         // with its dashes: "--bucket"
  bool takes_value;         // false: a flag
  bool empty_allowed;       // whether "" means something ("--run-tag=")
  bool repeatable = false;  // may be given several times; all() has each value
};

/// An option that takes a value, "" included only when `empty_allowed`.
inline OptionSpec valueOption(std::string name, bool empty_allowed = false) {
  return {std::move(name), true, empty_allowed};
}
/// An option that takes a non-empty value and may be given several times.
inline OptionSpec repeatedOption(std::string name) {
  return {std::move(name), true, false, true};
}
/// An option that takes no value.
inline OptionSpec flagOption(std::string name) {
  return {std::move(name), false, false};
}

/// What a command line holds, apart from the options' meaning.
struct CommandLine {
  std::map<std::string, std::string>
      values;  // options with a value, by name (a repeated one: its last)
  std::map<std::string, std::vector<std::string>> repeated;  // repeatable options' values, in order
  std::set<std::string> flags;                               // flags given
  std::vector<std::string> operands;                         // in order
  bool help = false;                                         // -h or --help
  bool version = false;                                      // --version

  /// The value of option `name`; nullopt when it was not given.
  std::optional<std::string> value(const std::string& name) const;
  /// Every value of the repeatable option `name`, in order; empty when not given.
  std::vector<std::string> all(const std::string& name) const;
  /// Whether flag `name` was given.
  bool flag(const std::string& name) const { return flags.count(name) > 0; }
};

/// Parses `arguments` (those after the program name) against `options`.
/// Any word other than "--" that begins with "--" is an option, "-h" is
/// --help; other words are operands, and so is every word after "--".
/// Throws UsageError for an unknown option, a flag given a value, an option
/// without its value, a separated value that is itself an option (begins with
/// "--": "--profile --dry-run" never takes "--dry-run" as the profile, while
/// "--profile=--x" is the value "--x"), an empty value where the option does
/// not allow one, and an option with a value given twice unless it is
/// repeatable. A repeated flag is
/// the flag. -h/--help and --version do not stop the parse: an invalid
/// argument beside them is still an error.
CommandLine parseCommandLine(const std::vector<std::string>& arguments,
                             const std::vector<OptionSpec>& options);

}  // namespace cli
