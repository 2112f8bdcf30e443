#include "probefleet/options.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <string_view>
#include <variant>

#include "aws/base/environment.h"

namespace probefleet {

namespace {

constexpr const char* kProgram = "probefleet";
// PROBEFLEET_VERSION comes from the build, which takes it from the project's
// version, so there is one place to change it.
constexpr const char* kVersionText = "probefleet " PROBEFLEET_VERSION "\n";
constexpr const char* kDescription = "Deploy test EC2 in test subnets";
constexpr std::size_t kWidth = 80;
constexpr std::size_t kHelpColumn = 24;

using Target = std::variant<bool Args::*, std::optional<std::string> Args::*, std::string Args::*>;

struct OptionSpec {
  const char* name;  // without the leading "--"
  Target target;
  bool required;
  const char* help;

  bool isFlag() const { return std::holds_alternative<bool Args::*>(target); }
};

// In definition order, which is also the order of the help text.
const std::vector<OptionSpec>& optionTable() {
  static const std::vector<OptionSpec> table = {
      {"revert", &Args::revert, false, "revert the operation"},
      {"dry_run", &Args::dry_run, false,
       "Dry run deploy test ec2 logic and show what will be done"},
      {"account", &Args::account, false, "account"},
      {"region", &Args::region, false, "region"},
      {"private_subnet_id", &Args::private_subnet_id, false, "private subnet ID"},
      {"key_name", &Args::key_name, false, "key name"},
      {"s3_bucket", &Args::s3_bucket, false, "s3 bucket name"},
      {"assume_role", &Args::assume_role, false,
       "Specify the role used to deploy EC2 in the account"},
      {"profile", &Args::profile, false,
       "Specify the AWS Credentials profile used to deploy EC2 in the account"},
      {"ec2_role", &Args::ec2_role, false, "Specify the role to assign to the EC2"},
      {"test_config", &Args::test_config, true, "specify input test config file"},
      {"output_test_config", &Args::output_test_config, false, "specify output test config file"},
      {"tag_resource", &Args::tag_resource, false, "tag created resources, e.g., sg, vm"},
      {"instance_type", &Args::instance_type, false, "instance type, default to t3.micro"},
      {"image", &Args::image, false, "VM image name, default to al2023-ami-2023*"},
      {"workflow_account_role", &Args::workflow_account_role, false,
       "specify workflow account <role>,<number>,<region> where account number and region are "
       "optional"},
      {"backup_folder", &Args::backup_folder, true,
       "specify a local folder for storing the VPC specific key-pair"},
      {"eip", &Args::eip, false, "Use EIP"},
      {"run_tag", &Args::tag, false,
       "run tag: send every new instance the ping and traceroute tests as its user data; "
       "they leave result-<gw_name>-<run_tag>.txt in the s3 bucket (needs --s3_bucket)"},
      {"log_console", &Args::log_console, false,
       "show every log record on the console, as the log file has them, instead of the "
       "progress and the summary"},
      {"report", &Args::report, false,
       "write a run report (JSON) to this file: each entry's outcome and addresses, what was "
       "created, reused, deleted or left"},
  };
  return table;
}

std::string metavar(const OptionSpec& spec) {
  std::string upper = spec.name;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return upper;
}

// "--name" or "--name METAVAR".
std::string invocation(const OptionSpec& spec) {
  std::string text = std::string("--") + spec.name;
  if (!spec.isFlag()) text += " " + metavar(spec);
  return text;
}

// Greedy word wrap of `words` into lines of at most kWidth columns; the first
// line starts after `first_prefix`, later ones after `indent` blanks.
std::string wrap(const std::vector<std::string>& words, const std::string& first_prefix,
                 std::size_t indent) {
  std::string out = first_prefix;
  std::size_t column = first_prefix.size();
  bool line_empty = true;
  for (const std::string& word : words) {
    if (!line_empty && column + 1 + word.size() > kWidth) {
      out += "\n" + std::string(indent, ' ');
      column = indent;
      line_empty = true;
    }
    if (!line_empty) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
    line_empty = false;
  }
  return out + "\n";
}

std::vector<std::string> splitWords(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

ParseResult usageError(const std::string& message) {
  ParseResult result;
  result.kind = ParseResult::Kind::kError;
  result.text = usageText() + kProgram + ": error: " + message + "\n";
  return result;
}

struct Match {
  const OptionSpec* spec = nullptr;  // nullptr: none, or ambiguous
  bool help = false;
  bool version = false;
  std::vector<std::string> candidates;  // "--name" of every prefix match
};

// Resolves "--xyz" (without any "=value") to an option: an exact name first,
// then the single option that the text is a prefix of.
Match resolve(const std::string& name) {
  Match match;
  if (name == "help") {
    match.help = true;
    return match;
  }
  if (name == "version") {
    match.version = true;
    return match;
  }
  for (const OptionSpec& spec : optionTable()) {
    if (name == spec.name) {
      match.spec = &spec;
      return match;
    }
  }
  if (name.empty()) return match;
  const OptionSpec* found = nullptr;
  if (std::string("help").rfind(name, 0) == 0) match.candidates.push_back("--help");
  // No option begins with "v", so "--v..." takes no prefix from any of them.
  const bool version_prefix = std::string("version").rfind(name, 0) == 0;
  if (version_prefix) match.candidates.push_back("--version");
  for (const OptionSpec& spec : optionTable()) {
    if (std::string(spec.name).rfind(name, 0) == 0) {
      match.candidates.push_back(std::string("--") + spec.name);
      found = &spec;
    }
  }
  if (match.candidates.size() == 1) {
    if (found) {
      match.spec = found;
    } else if (version_prefix) {
      match.version = true;
    } else {
      match.help = true;
    }
  }
  return match;
}

std::string joinCandidates(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

void assign(Args& args, const OptionSpec& spec, const std::string& value) {
  if (auto member = std::get_if<std::optional<std::string> Args::*>(&spec.target)) {
    args.** member = value;
  } else if (auto member = std::get_if<std::string Args::*>(&spec.target)) {
    args.** member = value;
  }
}

// A following argument is taken as an option's value unless it looks like an
// option itself ("-x", "--x"); a lone "-" and negative numbers ("-1", "-.5")
// are values. Matched by hand: std::regex recurses once per character and
// overflows the stack on a long argument.
bool looksLikeOption(const std::string& argument) {
  if (argument.size() < 2 || argument[0] != '-') return false;
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  const std::size_t point = argument.find('.');
  const std::string_view whole = std::string_view(argument).substr(1, point - 1);
  const std::string_view fraction = point == std::string::npos
                                        ? std::string_view()
                                        : std::string_view(argument).substr(point + 1);
  const bool negative_number = std::all_of(whole.begin(), whole.end(), digit) &&
                               std::all_of(fraction.begin(), fraction.end(), digit) &&
                               (point == std::string::npos ? !whole.empty() : !fraction.empty());
  return !negative_number;
}

}  // namespace

std::string programVersion() {
  return PROBEFLEET_VERSION;
}

std::string usageText() {
  std::vector<std::string> words = {"[-h]", "[--version]"};
  for (const OptionSpec& spec : optionTable()) {
    std::string item = invocation(spec);
    words.push_back(spec.required ? item : "[" + item + "]");
  }
  const std::string prefix = std::string("usage: ") + kProgram + " ";
  // Keep "--opt METAVAR" together on one line by wrapping on items, not words.
  return wrap(words, prefix, prefix.size());
}

std::string helpText() {
  std::string text = usageText() + "\n" + kDescription + "\n\noptions:\n";
  auto entry = [&text](const std::string& invocation_text, const std::string& help) {
    std::string head = "  " + invocation_text;
    if (head.size() + 2 <= kHelpColumn) {
      head += std::string(kHelpColumn - head.size(), ' ');
      text += wrap(splitWords(help), head, kHelpColumn);
    } else {
      text += head + "\n";
      text += wrap(splitWords(help), std::string(kHelpColumn, ' '), kHelpColumn);
    }
  };
  entry("-h, --help", "show this help message and exit");
  entry("--version", "show program's version number and exit");
  for (const OptionSpec& spec : optionTable()) entry(invocation(spec), spec.help);
  return text;
}

ParseResult parseArgs(const std::vector<std::string>& arguments) {
  ParseResult result;
  std::vector<std::string> unrecognized;
  std::vector<const OptionSpec*> seen;

  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "-h") {
      result.kind = ParseResult::Kind::kHelp;
      result.text = helpText();
      return result;
    }
    if (argument.rfind("--", 0) != 0 || argument == "--") {
      unrecognized.push_back(argument);
      continue;
    }
    const std::size_t equals = argument.find('=');
    const std::string name =
        argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    const std::optional<std::string> joined_value =
        equals == std::string::npos ? std::nullopt
                                    : std::optional<std::string>(argument.substr(equals + 1));

    Match match = resolve(name);
    if (match.candidates.size() > 1) {
      return usageError("ambiguous option: --" + name + " could match " +
                        joinCandidates(match.candidates));
    }
    if (match.help) {
      if (joined_value) {
        return usageError("argument -h/--help: ignored explicit argument '" + *joined_value + "'");
      }
      result.kind = ParseResult::Kind::kHelp;
      result.text = helpText();
      return result;
    }
    if (match.version) {
      if (joined_value) {
        return usageError("argument --version: ignored explicit argument '" + *joined_value + "'");
      }
      result.kind = ParseResult::Kind::kVersion;
      result.text = kVersionText;
      return result;
    }
    if (!match.spec) {
      unrecognized.push_back(argument);
      continue;
    }

    const OptionSpec& spec = *match.spec;
    const std::string shown = std::string("--") + spec.name;
    if (spec.isFlag()) {
      if (joined_value) {
        return usageError("argument " + shown + ": ignored explicit argument '" + *joined_value +
                          "'");
      }
      result.args.*std::get<bool Args::*>(spec.target) = true;
    } else if (joined_value) {
      assign(result.args, spec, *joined_value);
    } else if (i + 1 < arguments.size() && !looksLikeOption(arguments[i + 1])) {
      assign(result.args, spec, arguments[++i]);
    } else {
      return usageError("argument " + shown + ": expected one argument");
    }
    seen.push_back(&spec);
    // A name or value goes to AWS, which takes UTF-8 only; a path may hold
    // any bytes the file system does.
    static const std::vector<std::string> paths = {"test_config", "output_test_config",
                                                   "backup_folder", "report"};
    const auto* value = std::get_if<std::optional<std::string> Args::*>(&spec.target);
    if (value && std::find(paths.begin(), paths.end(), spec.name) == paths.end() &&
        !aws::isValidUtf8((result.args.**value).value_or(""))) {
      return usageError("argument " + shown + ": not valid UTF-8");
    }
  }

  std::vector<std::string> missing;
  for (const OptionSpec& spec : optionTable()) {
    if (spec.required && std::find(seen.begin(), seen.end(), &spec) == seen.end()) {
      missing.push_back(std::string("--") + spec.name);
    }
  }
  if (!missing.empty()) {
    return usageError("the following arguments are required: " + joinCandidates(missing));
  }
  if (!unrecognized.empty()) {
    std::string list;
    for (const std::string& argument : unrecognized) list += (list.empty() ? "" : " ") + argument;
    return usageError("unrecognized arguments: " + list);
  }
  // The instances' tests leave their results in the bucket.
  if (given(result.args.tag) && !given(result.args.s3_bucket)) {
    return usageError("argument --run_tag: needs --s3_bucket, where the tests leave their results");
  }
  return result;
}

}  // namespace probefleet
