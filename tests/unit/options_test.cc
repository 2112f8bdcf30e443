#include "probefleet/core/options.h"
#include "support/build_paths.h"
#include "support/files.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace probefleet {
namespace {

std::vector<std::string> withRequired(std::vector<std::string> extra) {
  std::vector<std::string> argv = {"--test_config", "tc.json", "--backup_folder", "keys"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return argv;
}

TEST(OptionsTest, DefaultsWhenOnlyRequiredOptionsAreGiven) {
  ParseResult r = parseArgs(withRequired({}));
  ASSERT_EQ(r.kind, ParseResult::Kind::kArgs) << r.text;
  const Args& a = r.args;
  EXPECT_EQ(a.test_config, "tc.json");
  EXPECT_EQ(a.backup_folder, "keys");
  EXPECT_FALSE(a.revert);
  EXPECT_FALSE(a.dry_run);
  EXPECT_FALSE(a.eip);
  EXPECT_EQ(a.instance_type, "t3.micro,t3a.micro,t2.micro");
  EXPECT_EQ(a.image, "al2023-ami-2023*");
  for (const auto* field : {&a.account, &a.region, &a.private_subnet_id, &a.key_name, &a.s3_bucket,
                            &a.assume_role, &a.profile, &a.ec2_role, &a.output_test_config,
                            &a.tag_resource, &a.workflow_account_role}) {
    EXPECT_FALSE(field->has_value());
  }
}

TEST(OptionsTest, EveryOptionReachesItsField) {
  ParseResult r = parseArgs({"--revert",
                             "--dry_run",
                             "--account",
                             "111",
                             "--region",
                             "eu-west-1",
                             "--private_subnet_id",
                             "subnet-p",
                             "--key_name",
                             "k",
                             "--s3_bucket",
                             "b",
                             "--assume_role",
                             "arn:aws:iam::1:role/r",
                             "--profile",
                             "p",
                             "--ec2_role",
                             "default",
                             "--test_config",
                             "t",
                             "--output_test_config",
                             "o",
                             "--tag_resource",
                             "Owner,qa",
                             "--instance_type",
                             "t4g.nano",
                             "--image",
                             "al2023-ami-*",
                             "--workflow_account_role",
                             "wf,222,us-west-2",
                             "--backup_folder",
                             "bk",
                             "--eip"});
  ASSERT_EQ(r.kind, ParseResult::Kind::kArgs) << r.text;
  const Args& a = r.args;
  EXPECT_TRUE(a.revert && a.dry_run && a.eip);
  EXPECT_EQ(a.account, "111");
  EXPECT_EQ(a.region, "eu-west-1");
  EXPECT_EQ(a.private_subnet_id, "subnet-p");
  EXPECT_EQ(a.key_name, "k");
  EXPECT_EQ(a.s3_bucket, "b");
  EXPECT_EQ(a.assume_role, "arn:aws:iam::1:role/r");
  EXPECT_EQ(a.profile, "p");
  EXPECT_EQ(a.ec2_role, "default");
  EXPECT_EQ(a.test_config, "t");
  EXPECT_EQ(a.output_test_config, "o");
  EXPECT_EQ(a.tag_resource, "Owner,qa");
  EXPECT_EQ(a.instance_type, "t4g.nano");
  EXPECT_EQ(a.image, "al2023-ami-*");
  EXPECT_EQ(a.workflow_account_role, "wf,222,us-west-2");
  EXPECT_EQ(a.backup_folder, "bk");
}

TEST(OptionsTest, ValueFormsAndPrefixes) {
  struct Case {
    std::vector<std::string> extra;
    std::optional<std::string> region;
  };
  const std::vector<Case> cases = {
      {{"--region", "us-east-1"}, "us-east-1"},
      {{"--region=us-east-1"}, "us-east-1"},
      {{"--reg", "us-east-1"}, "us-east-1"},
      {{"--regi=us-east-1"}, "us-east-1"},
      {{"--region="}, ""},                        // empty value kept as given
      {{"--region=a=b"}, "a=b"},                  // only the first "=" splits
      {{"--region", "-"}, "-"},                   // a lone dash is a value
      {{"--region", "-1"}, "-1"},                 // so is a negative number
      {{"--region", "x", "--region", "y"}, "y"},  // the last one wins
      // A pattern matcher that recursed per character overflowed the stack.
      {{"--region", "-" + std::string(200000, '1')}, "-" + std::string(200000, '1')},
  };
  for (const Case& c : cases) {
    ParseResult r = parseArgs(withRequired(c.extra));
    ASSERT_EQ(r.kind, ParseResult::Kind::kArgs) << c.extra[0] << "\n" << r.text;
    EXPECT_EQ(r.args.region, c.region) << c.extra[0];
  }
  // Prefixes of the required options satisfy them, in both forms.
  ParseResult r = parseArgs({"--test=tc", "--back", "bk", "--im", "x*", "--dry", "--ei"});
  ASSERT_EQ(r.kind, ParseResult::Kind::kArgs) << r.text;
  EXPECT_EQ(r.args.test_config, "tc");
  EXPECT_EQ(r.args.backup_folder, "bk");
  EXPECT_EQ(r.args.image, "x*");
  EXPECT_TRUE(r.args.dry_run);
  EXPECT_TRUE(r.args.eip);
}

TEST(OptionsTest, UsageErrors) {
  struct Case {
    std::vector<std::string> argv;
    std::string message;
  };
  const std::vector<Case> cases = {
      {withRequired({"--re", "x"}),
       "ambiguous option: --re could match --revert, --region, --report, --report_html"},
      {withRequired({"--e"}), "ambiguous option: --e could match --ec2_role, --eip"},
      {withRequired({"--i=x"}), "ambiguous option: --i could match --instance_type, --image"},
      {withRequired({"--instance_type=t3.micro,,t2.micro"}),
       "argument --instance_type: an empty instance type in \"t3.micro,,t2.micro\""},
      {withRequired({"--instance_type", "t3.micro,t3.micro"}),
       "argument --instance_type: t3.micro is listed twice"},
      {withRequired({"--region"}), "argument --region: expected one argument"},
      {withRequired({"--region", "--revert"}), "argument --region: expected one argument"},
      {withRequired({"--key_name", "-k"}), "argument --key_name: expected one argument"},
      {withRequired({"--revert=yes"}), "argument --revert: ignored explicit argument 'yes'"},
      {withRequired({"--bogus"}), "unrecognized arguments: --bogus"},
      {withRequired({"extra", "-x"}), "unrecognized arguments: extra -x"},
      {withRequired({"--"}), "unrecognized arguments: --"},
      {{"--backup_folder", "keys"}, "the following arguments are required: --test_config"},
      {{}, "the following arguments are required: --test_config, --backup_folder"},
      // A missing required option is reported before unknown arguments.
      {{"--bogus"}, "the following arguments are required: --test_config, --backup_folder"},
  };
  for (const Case& c : cases) {
    ParseResult r = parseArgs(c.argv);
    ASSERT_EQ(r.kind, ParseResult::Kind::kError) << c.message;
    EXPECT_EQ(r.text, usageText() + "probefleet: error: " + c.message + "\n");
  }
}

TEST(OptionsTest, HelpWinsWhereverItIsReached) {
  for (const std::vector<std::string>& argv : std::vector<std::vector<std::string>>{
           {"-h"}, {"--help"}, {"--he"}, {"--bogus", "-h"}, {"--region", "x", "--help"}}) {
    ParseResult r = parseArgs(argv);
    ASSERT_EQ(r.kind, ParseResult::Kind::kHelp) << argv[0];
    EXPECT_EQ(r.text, helpText());
  }
  // A usage error met before the help option still wins.
  EXPECT_EQ(parseArgs({"--region", "-h"}).kind, ParseResult::Kind::kError);
}

TEST(OptionsTest, VersionAnswersWithoutTakingAnyOtherPrefix) {
  struct Case {
    std::vector<std::string> argv;
    ParseResult::Kind kind;
  };
  const std::vector<Case> cases = {
      {{"--version"}, ParseResult::Kind::kVersion},
      {{"--v"}, ParseResult::Kind::kVersion},
      {withRequired({"--vers"}), ParseResult::Kind::kVersion},
      {{"--version=1"}, ParseResult::Kind::kError},
      {withRequired({"--re", "x"}), ParseResult::Kind::kError},  // still ambiguous
      {withRequired({"--reg", "x", "--ei", "--dry"}), ParseResult::Kind::kArgs},
  };
  for (const Case& c : cases) {
    ParseResult r = parseArgs(c.argv);
    EXPECT_EQ(r.kind, c.kind) << c.argv.back() << "\n" << r.text;
  }
  EXPECT_EQ(parseArgs({"--version"}).text, "probefleet 0.1.0\n");
  EXPECT_NE(helpText().find("--version"), std::string::npos);
}

// Every field of the record, to compare two parses.
std::string fields(const Args& a) {
  std::string text = std::to_string(a.revert) + std::to_string(a.dry_run) + std::to_string(a.eip) +
                     a.test_config + "|" + a.instance_type + "|" + a.image + "|" + a.backup_folder;
  for (const auto* field : {&a.account, &a.region, &a.private_subnet_id, &a.key_name, &a.s3_bucket,
                            &a.assume_role, &a.profile, &a.ec2_role, &a.output_test_config,
                            &a.tag_resource, &a.workflow_account_role}) {
    text += "|" + field->value_or("-");
  }
  return text;
}

// Options added later must not capture an abbreviation of an older one:
// every prefix that named exactly one of the first release's options still
// parses as that option (a "--tag" for the run tag would have taken
// --tag_resource's).
TEST(OptionsTest, AbbreviationsOfTheFirstOptionsKeepTheirMeaning) {
  const std::vector<std::pair<std::string, bool>> first = {// name, is a flag
                                                           {"revert", true},
                                                           {"dry_run", true},
                                                           {"account", false},
                                                           {"region", false},
                                                           {"private_subnet_id", false},
                                                           {"key_name", false},
                                                           {"s3_bucket", false},
                                                           {"assume_role", false},
                                                           {"profile", false},
                                                           {"ec2_role", false},
                                                           {"test_config", false},
                                                           {"output_test_config", false},
                                                           {"tag_resource", false},
                                                           {"instance_type", false},
                                                           {"image", false},
                                                           {"workflow_account_role", false},
                                                           {"backup_folder", false},
                                                           {"eip", true},
                                                           {"help", true},
                                                           {"version", true}};
  auto parsed = [&](const std::string& option, bool flag) {
    std::vector<std::string> argv = {option};
    if (!flag) argv.push_back(option.rfind("--in", 0) == 0 ? "t3a.micro" : "v");
    return parseArgs(withRequired(argv));
  };
  int checked = 0;
  for (const auto& [name, flag] : first) {
    if (name == "help" || name == "version") continue;
    for (std::size_t length = 1; length <= name.size(); ++length) {
      const std::string prefix = name.substr(0, length);
      int owners = 0;
      for (const auto& other : first) owners += other.first.rfind(prefix, 0) == 0 ? 1 : 0;
      if (owners != 1) continue;
      const ParseResult abbreviated = parsed("--" + prefix, flag);
      ASSERT_EQ(abbreviated.kind, ParseResult::Kind::kArgs) << "--" << prefix << "\n"
                                                            << abbreviated.text;
      EXPECT_EQ(fields(abbreviated.args), fields(parsed("--" + name, flag).args)) << prefix;
      ++checked;
    }
  }
  EXPECT_GT(checked, 150);
  // The run tag needs the bucket its tests write to.
  EXPECT_EQ(parseArgs(withRequired({"--run_tag", "r1"})).kind, ParseResult::Kind::kError);
  EXPECT_EQ(parseArgs(withRequired({"--run_tag", "r1", "--s3_bucket", "b"})).args.tag, "r1");
}

TEST(OptionsTest, HelpTextListsTheOptionsInOrderWithTheirTexts) {
  const std::string help = helpText();
  const std::vector<std::string> in_order = {
      "Deploy test EC2 in test subnets",
      "--revert",
      "revert the operation",
      "--dry_run",
      "Dry run deploy test ec2 logic and show what will be done",
      "--account ACCOUNT",
      "--region REGION",
      "--private_subnet_id PRIVATE_SUBNET_ID",
      "private subnet ID",
      "--key_name KEY_NAME",
      "key name",
      "--s3_bucket S3_BUCKET",
      "s3 bucket name",
      "--assume_role ASSUME_ROLE",
      "Specify the role used to deploy EC2 in the account",
      "--profile PROFILE",
      "Specify the AWS Credentials profile used to deploy EC2 in the account",
      "--ec2_role EC2_ROLE",
      "Specify the role to assign to the EC2",
      "--test_config TEST_CONFIG",
      "specify input test config file",
      "--output_test_config OUTPUT_TEST_CONFIG",
      "specify output test config file",
      "--tag_resource TAG_RESOURCE",
      "tag created resources, e.g., sg, vm",
      "--instance_type INSTANCE_TYPE",
      "instance type, default to t3.micro",
      "--image IMAGE",
      "VM image name, default to al2023-ami-2023*",
      "--workflow_account_role WORKFLOW_ACCOUNT_ROLE",
      "--backup_folder BACKUP_FOLDER",
      "specify a local folder for storing the VPC specific key-pair",
      "--eip",
      "Use EIP",
  };
  // Compare with line breaks folded, since long help texts wrap.
  std::string flat;
  std::istringstream words(help.substr(help.find("\n\n")));
  for (std::string w; words >> w;) flat += (flat.empty() ? "" : " ") + w;
  std::size_t at = 0;
  for (const std::string& piece : in_order) {
    std::size_t found = flat.find(piece, at);
    ASSERT_NE(found, std::string::npos) << piece;
    at = found + piece.size();
  }
  EXPECT_NE(flat.find("specify workflow account <role>,<number>,<region> where account number and "
                      "region are optional"),
            std::string::npos);
  // Required options appear bare in the usage line, optional ones bracketed.
  EXPECT_NE(usageText().find("] --test_config TEST_CONFIG"), std::string::npos);
  EXPECT_NE(usageText().find("[--region REGION]"), std::string::npos);
  std::istringstream lines(help);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
}

// Python's argparse, configured with the same options, is an independent
// implementation of the conventions the parser follows: for each command
// line both must agree on success, help or error, and on the parsed values.
TEST(OptionsTest, AgreesWithArgparse) {
  const std::vector<std::vector<std::string>> cases = {
      withRequired({}),
      withRequired({"--reg", "x", "--dry", "--ei"}),
      withRequired({"--region=", "--image=a=b", "--tag_resource", "-1"}),
      withRequired({"--re", "x"}),
      withRequired({"--region"}),
      withRequired({"--region", "--eip"}),
      withRequired({"--revert=1"}),
      withRequired({"--bogus"}),
      withRequired({"positional"}),
      withRequired({"--"}),
      withRequired({"--", "x"}),
      withRequired({"--region", "-"}),
      withRequired({"--prof", "p", "--profile", "q"}),
      withRequired({"--key_name", "-k"}),
      {"--test=tc", "--back", "bk"},
      {"--test_config", "x"},
      {"-h"},
      {"--bogus", "--help"},
      {"--h"},
      {"--region", "-h"},
  };
  const char* script = R"PY(
import argparse, json, sys
cases = json.load(open(sys.argv[1]))
def build():
    p = argparse.ArgumentParser(prog="probefleet", description="Deploy test EC2 in test subnets")
    p.exit_on_error = False
    for f in ["revert", "dry_run"]:
        p.add_argument("--" + f, action="store_true")
    for t in ["account", "region", "private_subnet_id", "key_name", "s3_bucket", "assume_role",
              "profile", "ec2_role"]:
        p.add_argument("--" + t)
    p.add_argument("--test_config", required=True)
    p.add_argument("--output_test_config")
    p.add_argument("--tag_resource")
    p.add_argument("--instance_type", default="t3.micro,t3a.micro,t2.micro")
    p.add_argument("--image", default="al2023-ami-2023*")
    p.add_argument("--workflow_account_role")
    p.add_argument("--backup_folder", required=True)
    p.add_argument("--eip", action="store_true")
    return p
out = []
for argv in cases:
    p = build()
    kind = {"kind": "args"}
    p.error = lambda message: (_ for _ in ()).throw(ValueError(message))
    p.print_help = lambda file=None: None
    def exit(status=0, message=None):
        raise SystemExit(status)
    p.exit = exit
    try:
        kind["args"] = vars(p.parse_args(argv))
    except SystemExit as e:
        kind = {"kind": "help" if e.code == 0 else "error"}
    except (ValueError, argparse.ArgumentError):
        kind = {"kind": "error"}
    out.append(kind)
print(json.dumps(out))
)PY";
  const testing_support::ScratchDir dir("pf-argparse");
  const auto script_path = dir / "argparse_oracle.py";
  const auto cases_path = dir / "cases.json";
  std::ofstream(script_path) << script;
  std::ofstream(cases_path) << nlohmann::json(cases).dump();
  const std::string command = std::string(testing_support::pythonPath()) + " " +
                              script_path.string() + " " + cases_path.string();
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    output.append(buffer, n);
  ASSERT_EQ(::pclose(pipe), 0) << output;

  const nlohmann::json expected = nlohmann::json::parse(output);
  ASSERT_EQ(expected.size(), cases.size());
  auto text = [](const std::optional<std::string>& v) {
    return v ? nlohmann::json(*v) : nlohmann::json(nullptr);
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::string shown = nlohmann::json(cases[i]).dump();
    ParseResult r = parseArgs(cases[i]);
    const std::string kind = r.kind == ParseResult::Kind::kArgs   ? "args"
                             : r.kind == ParseResult::Kind::kHelp ? "help"
                                                                  : "error";
    ASSERT_EQ(kind, expected[i]["kind"]) << shown << "\n" << r.text;
    if (kind != "args") continue;
    const Args& a = r.args;
    const nlohmann::json mine = {
        {"revert", a.revert},
        {"dry_run", a.dry_run},
        {"account", text(a.account)},
        {"region", text(a.region)},
        {"private_subnet_id", text(a.private_subnet_id)},
        {"key_name", text(a.key_name)},
        {"s3_bucket", text(a.s3_bucket)},
        {"assume_role", text(a.assume_role)},
        {"profile", text(a.profile)},
        {"ec2_role", text(a.ec2_role)},
        {"test_config", a.test_config},
        {"output_test_config", text(a.output_test_config)},
        {"tag_resource", text(a.tag_resource)},
        {"instance_type", a.instance_type},
        {"image", a.image},
        {"workflow_account_role", text(a.workflow_account_role)},
        {"backup_folder", a.backup_folder},
        {"eip", a.eip},
    };
    EXPECT_EQ(mine, expected[i]["args"]) << shown;
  }
}

}  // namespace
}  // namespace probefleet
