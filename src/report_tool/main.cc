// probefleet-report: draws a run report (probefleet --report) as one
// self-contained HTML page, for a person or a CI system's artifact view.

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "aws/base/atomic_file.h"
#include "cli/command_line.h"
#include "cli/program.h"
#include "report/html_page.h"

namespace {

constexpr const char* kUsage = "usage: probefleet-report REPORT.json -o PAGE.html [--version]\n";

constexpr const char* kHelp =
    "\n"
    "Draws the run report that probefleet --report wrote as one HTML page: the run's\n"
    "mode, account, region, VPC, result and duration; a timeline with a row per\n"
    "entry and a segment per step; the AWS requests, throttled answers and retries\n"
    "per second on the same time axis; the failed entries with AWS's message; the\n"
    "AWS requests by action; the resources made, reused, deleted and left; the\n"
    "preflight's findings; and each entry's zone, instance type, instance and\n"
    "addresses. The page holds its styles and drawings itself, runs no script and\n"
    "fetches nothing: it opens offline.\n"
    "\n"
    "options:\n"
    "  -o, --output FILE        the page to write (required); - for standard output\n"
    "  -h, --help               show this help\n"
    "  --version                show the version and exit\n"
    "\n"
    "exit status: 0 the page was written, 1 the report could not be read or the page\n"
    "not written, 2 usage error\n";

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int run(const cli::CommandLine& line) {
  if (line.operands.size() != 1) {
    throw cli::UsageError(line.operands.empty() ? "the report to draw is required"
                                                : "one report at a time");
  }
  const auto output = line.value("--output");
  if (!output) throw cli::UsageError("-o/--output is required");
  const std::string& input = line.operands.front();
  nlohmann::ordered_json run;
  try {
    run = nlohmann::ordered_json::parse(readAll(input));
  } catch (const nlohmann::json::exception& failure) {
    throw std::runtime_error(input + ": not JSON: " + failure.what());
  }
  std::string page;
  try {
    page = report::htmlPage(run);
  } catch (const std::invalid_argument& failure) {
    throw std::runtime_error(input + ": " + failure.what());
  }
  if (*output == "-") {
    std::cout << page << std::flush;
  } else {
    aws::writeFileAtomically(*output, page);
  }
  return 0;
}

// "-o FILE" and "-oFILE" in the long form the shared parser reads.
std::vector<std::string> longForms(int argc, char** argv) {
  std::vector<std::string> arguments;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--") options = false;
    if (options && word == "-o") {
      arguments.push_back("--output");
    } else if (options && word.rfind("-o", 0) == 0 && word.rfind("--", 0) != 0) {
      arguments.push_back("--output=" + word.substr(2));
    } else {
      arguments.push_back(word);
    }
  }
  return arguments;
}

}  // namespace

int main(int argc, char** argv) {
  return cli::runProgram({"probefleet-report", kUsage, kHelp, /*aws=*/false},
                         longForms(argc, argv), {cli::valueOption("--output")}, run);
}
