#include "cli/command_line.h"

#include "testlib/option_scanner.h"

namespace cli {

namespace {

// The table as the scanner knows it: names without their dashes.
std::vector<testlib::OptionRule> rulesOf(const std::vector<OptionSpec>& options) {
  std::vector<testlib::OptionRule> rules;
  for (const OptionSpec& option : options) {
    rules.push_back({option.name.substr(2), option.takes_value});
  }
  return rules;
}

// The value of the option at the scanner: joined, or the following word.
std::string valueOf(testlib::OptionScanner& scanner, const std::string& name) {
  if (auto joined = scanner.joinedValue()) return *joined;
  const std::string* following = scanner.following();
  if (following == nullptr) throw UsageError(name + " needs a value");
  if (following->starts_with("--")) {
    // A following option is never swallowed as the value: "--profile
    // --dry-run" would otherwise run without the dry run it asked for.
    throw UsageError(name + " needs a value, not the option " + *following + " (write " + name +
                     "=VALUE for a value that begins with --)");
  }
  return scanner.takeFollowing();
}

// Records the option at the scanner in `line`.
void takeOption(testlib::OptionScanner& scanner, const std::vector<OptionSpec>& options,
                CommandLine& line) {
  const std::string name = "--" + scanner.name();
  const auto index = scanner.match().option;
  if (!index) throw UsageError("unknown option " + name);
  const OptionSpec& spec = options[*index];
  if (!spec.takes_value) {
    if (scanner.joinedValue()) throw UsageError(name + " takes no value");
    line.flags.insert(name);
    return;
  }
  const std::string value = valueOf(scanner, name);
  if (value.empty() && !spec.empty_allowed) throw UsageError(name + " needs a non-empty value");
  if (spec.repeatable) {
    line.repeated[name].push_back(value);
    line.values[name] = value;
    return;
  }
  if (!line.values.emplace(name, value).second) throw UsageError(name + " given twice");
}

}  // namespace

std::optional<std::string> CommandLine::value(const std::string& name) const {
  const auto it = values.find(name);
  if (it == values.end()) return std::nullopt;
  return it->second;
}

std::vector<std::string> CommandLine::all(const std::string& name) const {
  const auto it = repeated.find(name);
  return it == repeated.end() ? std::vector<std::string>{} : it->second;
}

CommandLine parseCommandLine(const std::vector<std::string>& arguments,
                             const std::vector<OptionSpec>& options) {
  CommandLine line;
  const std::vector<testlib::OptionRule> rules = rulesOf(options);
  testlib::OptionScanner scanner(arguments, rules, testlib::NameMatching::kExact);
  while (scanner.next()) {
    const std::string& argument = scanner.word();
    if (argument == "--") {
      const std::vector<std::string> rest = scanner.takeRest();
      line.operands.insert(line.operands.end(), rest.begin(), rest.end());
    } else if (argument == "-h" || argument == "--help") {
      line.help = true;
    } else if (argument == "--version") {
      line.version = true;
    } else if (!scanner.isLongOption()) {
      line.operands.push_back(argument);
    } else {
      takeOption(scanner, options, line);
    }
  }
  return line;
}

}  // namespace cli
