#include "cli/command_line.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace cli {
namespace {

const std::vector<OptionSpec> kOptions = {valueOption("--bucket"),
                                          valueOption("--run-tag", /*empty_allowed=*/true),
                                          flagOption("--json")};

TEST(CommandLineTest, ValueFormsOperandsAndFlags) {
  const CommandLine line = parseCommandLine({"a", "--bucket", "b1", "--json", "--run-tag=", "-h",
                                             "--version", "--json", "--", "--x", "-h"},
                                            kOptions);
  EXPECT_EQ(line.value("--bucket"), "b1");
  EXPECT_EQ(line.value("--run-tag"), "");  // empty where allowed
  EXPECT_EQ(line.value("--missing"), std::nullopt);
  EXPECT_TRUE(line.flag("--json"));  // a repeated flag is the flag
  EXPECT_TRUE(line.help);
  EXPECT_TRUE(line.version);
  // After "--" every word is an operand, options and -h included.
  EXPECT_EQ(line.operands, (std::vector<std::string>{"a", "--x", "-h"}));

  // A joined value may begin with dashes; only the first '=' splits.
  EXPECT_EQ(parseCommandLine({"--bucket=--x=y"}, kOptions).value("--bucket"), "--x=y");
  // A lone dash and a single-dash word are operands, and so is a separated
  // value that begins with one dash.
  EXPECT_EQ(parseCommandLine({"-", "-x"}, kOptions).operands,
            (std::vector<std::string>{"-", "-x"}));
  EXPECT_EQ(parseCommandLine({"--bucket", "-x"}, kOptions).value("--bucket"), "-x");
}

TEST(CommandLineTest, RepeatableOptionKeepsEveryValueInOrder) {
  const std::vector<OptionSpec> options = {repeatedOption("--tag"), valueOption("--bucket")};
  const CommandLine line =
      parseCommandLine({"--tag", "Owner,qa", "--tag=Team,net", "--bucket", "b"}, options);
  EXPECT_EQ(line.all("--tag"), (std::vector<std::string>{"Owner,qa", "Team,net"}));
  EXPECT_TRUE(line.all("--bucket").empty());
  EXPECT_THROW(parseCommandLine({"--tag="}, options), UsageError);
  EXPECT_THROW(parseCommandLine({"--bucket", "a", "--bucket", "b"}, options), UsageError);
}

TEST(CommandLineTest, UsageErrors) {
  struct Case {
    std::vector<std::string> arguments;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--bogus"}, "unknown option --bogus"},
      {{"--buck", "b"}, "unknown option --buck"},  // no prefixes here
      {{"--help=yes"}, "unknown option --help"},
      {{"--json=yes"}, "--json takes no value"},
      {{"--bucket"}, "--bucket needs a value"},
      {{"--bucket", "--json"},
       "--bucket needs a value, not the option --json (write --bucket=VALUE for a value that "
       "begins with --)"},
      {{"--bucket="}, "--bucket needs a non-empty value"},
      {{"--bucket", "a", "--bucket=b"}, "--bucket given twice"},
      // -h and --version do not stop the parse.
      {{"-h", "--bogus"}, "unknown option --bogus"},
  };
  for (const Case& c : cases) {
    try {
      (void)parseCommandLine(c.arguments, kOptions);
      ADD_FAILURE() << "no error for " << c.arguments[0] << "; expected " << c.message;
    } catch (const UsageError& error) {
      EXPECT_EQ(error.what(), c.message);
    }
  }
}

}  // namespace
}  // namespace cli
