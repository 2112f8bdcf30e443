#include "cli/command_line.h"

#include <algorithm>

namespace cli {

namespace {

const OptionSpec* find(const std::vector<OptionSpec>& options, const std::string& name) {
  const auto it = std::find_if(options.begin(), options.end(),
                               [&](const OptionSpec& option) { return option.name == name; });
  return it == options.end() ? nullptr : &*it;
}

bool isOption(const std::string& word) {
  return word.size() > 2 && word.rfind("--", 0) == 0;
}

}  // namespace

std::optional<std::string> CommandLine::value(const std::string& name) const {
  const auto it = values.find(name);
  if (it == values.end()) return std::nullopt;
  return it->second;
}

CommandLine parseCommandLine(const std::vector<std::string>& arguments,
                             const std::vector<OptionSpec>& options) {
  CommandLine line;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--") {
      line.operands.insert(line.operands.end(), arguments.begin() + static_cast<long>(i) + 1,
                           arguments.end());
      break;
    }
    if (argument == "-h" || argument == "--help") {
      line.help = true;
      continue;
    }
    if (argument == "--version") {
      line.version = true;
      continue;
    }
    if (!isOption(argument)) {
      line.operands.push_back(argument);
      continue;
    }
    const std::size_t equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    const OptionSpec* spec = find(options, name);
    if (spec == nullptr) throw UsageError("unknown option " + name);
    if (!spec->takes_value) {
      if (equals != std::string::npos) throw UsageError(name + " takes no value");
      line.flags.insert(name);
      continue;
    }
    std::string value;
    if (equals != std::string::npos) {
      value = argument.substr(equals + 1);
    } else if (i + 1 >= arguments.size()) {
      throw UsageError(name + " needs a value");
    } else if (arguments[i + 1].rfind("--", 0) == 0) {
      // A following option is never swallowed as the value: "--profile
      // --dry-run" would otherwise run without the dry run it asked for.
      throw UsageError(name + " needs a value, not the option " + arguments[i + 1] + " (write " +
                       name + "=VALUE for a value that begins with --)");
    } else {
      value = arguments[++i];
    }
    if (value.empty() && !spec->empty_allowed) throw UsageError(name + " needs a non-empty value");
    if (!line.values.emplace(name, value).second) throw UsageError(name + " given twice");
  }
  return line;
}

}  // namespace cli
