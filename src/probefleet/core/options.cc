#include "probefleet/core/options.h"

#include "probefleet/core/launch_plan.h"

#include <algorithm>
#include <charconv>
#include <sstream>
#include <string_view>
#include <variant>

#include "aws/base/environment.h"
#include "aws/base/strings.h"
#include "probefleet/core/lifetime.h"
#include "testlib/option_scanner.h"

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
       "Dry run deploy test ec2 logic and show what will be done; it changes nothing: "
       "EC2's creates are sent only as dry runs, the instance role, its policy and profile "
       "and Elastic IPs are only looked up, and the VPC's lock is only read"},
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
      {"instance_type", &Args::instance_type, false,
       "instance type, default to t3.micro; or several, separated by commas, in order of "
       "preference: each entry launches the first its zone offers, and falls over once to the "
       "next when EC2 has no capacity for it (default t3.micro,t3a.micro,t2.micro)"},
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
      {"max_lifetime", &Args::max_lifetime, false,
       "every new instance ends itself this long after its launch (e.g. 30m, 4h, 2d): it "
       "powers off and is terminated, and carries its expiry in the tag probefleet:expires "
       "(probefleet-sweep --expired finds it; what carries the tag probefleet:keep, as "
       "--tag_resource probefleet:keep,yes gives it, the sweep never deletes)"},
      {"log_console", &Args::log_console, false,
       "show every log record on the console, as the log file has them, instead of the "
       "progress and the summary"},
      {"report", &Args::report, false,
       "write a run report (JSON) to this file: each entry's outcome and addresses, what was "
       "created, reused, deleted or left"},
      {"report_html", &Args::report_html, false,
       "write the run report as one self-contained HTML page to this file: a timeline of "
       "every entry's steps, the AWS requests per second, failures, resources and entries "
       "(as probefleet-report draws it)"},
      {"force_unlock", &Args::force_unlock, false,
       "clear the VPC's lock (locks/<vpc_id>.json in the s3 bucket) whoever holds it, with a "
       "warning, then run; for a run that died and whose lease has not yet run out"},
      {"lock_lease_seconds", &Args::lock_lease_seconds, false,
       "lease of the VPC's lock in seconds, default 300: the run renews it every fifth of it, "
       "and a lock not renewed for that long is taken over by the next run; a run that cannot "
       "renew it for the lease less one fifth, or finds it taken, stops and exits 1"},
  };
  return table;
}

std::string metavar(const OptionSpec& spec) {
  return aws::upper(spec.name);
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

// The names the command line matches against: --help and --version first,
// then the table, so that a prefix of either is matched like any other.
// --version is the rule between them.
constexpr std::size_t kHelpRule = 0;
constexpr std::size_t kFirstOptionRule = 2;

const std::vector<testlib::OptionRule>& matchingRules() {
  static const std::vector<testlib::OptionRule> rules = [] {
    std::vector<testlib::OptionRule> all = {{"help", false}, {"version", false}};
    for (const OptionSpec& spec : optionTable()) all.push_back({spec.name, !spec.isFlag()});
    return all;
  }();
  return rules;
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

namespace {

// One parse under way: the options taken so far and the words none took.
struct Parse {
  Args args;
  std::vector<std::string> unrecognized;
  std::vector<const OptionSpec*> seen;
};

ParseResult helpResult() {
  ParseResult result;
  result.kind = ParseResult::Kind::kHelp;
  result.text = helpText();
  return result;
}

ParseResult versionResult() {
  ParseResult result;
  result.kind = ParseResult::Kind::kVersion;
  result.text = kVersionText;
  return result;
}

// A name or value goes to AWS, which takes UTF-8 only; a path may hold any
// bytes the file system does.
bool mustBeUtf8(const OptionSpec& spec) {
  static const std::vector<std::string> paths = {"test_config", "output_test_config",
                                                 "backup_folder", "report", "report_html"};
  return std::holds_alternative<std::optional<std::string> Args::*>(spec.target) &&
         std::find(paths.begin(), paths.end(), spec.name) == paths.end();
}

// Takes the value of `spec` (or sets its flag) from the scanner. Returns a
// usage error, or nullopt to go on.
std::optional<ParseResult> takeOption(testlib::OptionScanner& scanner, const OptionSpec& spec,
                                      Parse& parse) {
  const std::string shown = std::string("--") + spec.name;
  const std::optional<std::string> joined_value = scanner.joinedValue();
  std::optional<std::string> value = joined_value;
  if (spec.isFlag()) {
    if (joined_value) {
      return usageError("argument " + shown + ": ignored explicit argument '" + *joined_value +
                        "'");
    }
    parse.args.*std::get<bool Args::*>(spec.target) = true;
  } else {
    if (!value && scanner.following() && !looksLikeOption(*scanner.following())) {
      value = scanner.takeFollowing();
    }
    if (!value) return usageError("argument " + shown + ": expected one argument");
    assign(parse.args, spec, *value);
  }
  parse.seen.push_back(&spec);
  if (value && mustBeUtf8(spec) && !aws::isValidUtf8(*value)) {
    return usageError("argument " + shown + ": not valid UTF-8");
  }
  return std::nullopt;
}

// Takes the word at the scanner. Returns the parse's end (help, version, a
// usage error), or nullopt to go on.
std::optional<ParseResult> takeWord(testlib::OptionScanner& scanner, Parse& parse) {
  if (scanner.word() == "-h") return helpResult();
  if (!scanner.isLongOption()) {
    parse.unrecognized.push_back(scanner.word());
    return std::nullopt;
  }
  const testlib::NameMatch match = scanner.match();
  if (match.candidates.size() > 1) {
    std::vector<std::string> names;
    for (std::size_t index : match.candidates) names.push_back("--" + matchingRules()[index].name);
    return usageError("ambiguous option: --" + scanner.name() + " could match " +
                      joinCandidates(names));
  }
  if (!match.option) {
    parse.unrecognized.push_back(scanner.word());
    return std::nullopt;
  }
  if (*match.option >= kFirstOptionRule) {
    return takeOption(scanner, optionTable()[*match.option - kFirstOptionRule], parse);
  }
  const std::string shown = *match.option == kHelpRule ? "-h/--help" : "--version";
  if (const auto joined_value = scanner.joinedValue()) {
    return usageError("argument " + shown + ": ignored explicit argument '" + *joined_value + "'");
  }
  return *match.option == kHelpRule ? helpResult() : versionResult();
}

// What is wrong with the parse as a whole, if anything: a required option
// missing, words no option took, an option that needs another.
std::optional<ParseResult> checkComplete(const Parse& parse) {
  std::vector<std::string> missing;
  for (const OptionSpec& spec : optionTable()) {
    if (spec.required &&
        std::find(parse.seen.begin(), parse.seen.end(), &spec) == parse.seen.end()) {
      missing.push_back(std::string("--") + spec.name);
    }
  }
  if (!missing.empty()) {
    return usageError("the following arguments are required: " + joinCandidates(missing));
  }
  if (!parse.unrecognized.empty()) {
    std::string list;
    for (const std::string& argument : parse.unrecognized) {
      list += (list.empty() ? "" : " ") + argument;
    }
    return usageError("unrecognized arguments: " + list);
  }
  if (parse.args.lock_lease_seconds && leaseSecondsOf(parse.args, 0) <= 0) {
    return usageError(
        "argument --lock_lease_seconds: expected a whole number of seconds from 1 to 86400, "
        "got '" +
        *parse.args.lock_lease_seconds + "'");
  }
  try {
    (void)instanceTypeList(parse.args.instance_type);
  } catch (const std::invalid_argument& bad) {
    return usageError(std::string("argument --instance_type: ") + bad.what());
  }
  // The lock lives in the bucket: without one there is nothing to clear.
  if (parse.args.force_unlock && !given(parse.args.s3_bucket)) {
    return usageError("argument --force_unlock: needs --s3_bucket, which holds the VPC's lock");
  }
  // The instances' tests leave their results in the bucket.
  if (given(parse.args.tag) && !given(parse.args.s3_bucket)) {
    return usageError("argument --run_tag: needs --s3_bucket, where the tests leave their results");
  }
  if (parse.args.max_lifetime && !parseDuration(*parse.args.max_lifetime)) {
    return usageError("argument --max_lifetime: '" + *parse.args.max_lifetime +
                      "' is not a duration such as 30m, 4h or 2d");
  }
  return std::nullopt;
}

}  // namespace

long long leaseSecondsOf(const Args& args, long long fallback) {
  if (!args.lock_lease_seconds) return fallback;
  const std::string& text = *args.lock_lease_seconds;
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  // A day at most: a longer lease would keep a dead run's VPC locked for days.
  if (error != std::errc() || end != text.data() + text.size() || value > 86400) return 0;
  return value;
}

ParseResult parseArgs(const std::vector<std::string>& arguments) {
  Parse parse;
  testlib::OptionScanner scanner(arguments, matchingRules(), testlib::NameMatching::kUnambiguous);
  while (scanner.next()) {
    if (auto end = takeWord(scanner, parse)) return *end;
  }
  if (auto error = checkComplete(parse)) return *error;
  ParseResult result;
  result.args = std::move(parse.args);
  return result;
}

}  // namespace probefleet
