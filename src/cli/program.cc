#include "cli/program.h"

#include <algorithm>
#include <exception>
#include <iostream>

#include "cli/aws_options.h"
#include "testlib/exit_request.h"

namespace cli {

namespace {

// A service's message may hold line breaks; the workflow's logs keep one
// failure to one line.
std::string oneLine(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  return text;
}

}  // namespace

int runProgram(const Program& program, const std::vector<std::string>& arguments,
               const std::vector<OptionSpec>& options,
               const std::function<int(const CommandLine&)>& body) {
  try {
    std::vector<OptionSpec> known = program.aws ? awsOptions() : std::vector<OptionSpec>{};
    known.insert(known.end(), options.begin(), options.end());
    const CommandLine line = parseCommandLine(arguments, known);
    if (line.help) {
      std::cout << program.usage << program.help;
      return 0;
    }
    if (line.version) {
      // PROBEFLEET_VERSION comes from the build (the project's version).
      std::cout << program.name << " " PROBEFLEET_VERSION "\n";
      return 0;
    }
    return body(line);
  } catch (const UsageError& error) {
    std::cerr << program.usage << program.name << ": error: " << error.what() << "\n";
    return 2;
  } catch (const testlib::ExitRequest& request) {
    return request.status();
  } catch (const std::exception& error) {
    std::cerr << program.name << ": " << oneLine(error.what()) << "\n";
    return 1;
  }
}

}  // namespace cli
