// probefleet-results: the verdict of the ping and traceroute tests the test
// instances leave in the bucket, as the workflow's shell steps ask for it.

#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "aws/services/s3.h"
#include "cli/aws_options.h"
#include "cli/command_line.h"
#include "cli/program.h"
#include "probefleet/core/options.h"
#include "probefleet/resources/results.h"

namespace {

constexpr const char* kUsage =
    "usage: probefleet-results [--profile NAME] [--region REGION] [--endpoint-url URL]\n"
    "                          --bucket NAME [--run-tag TAG]\n"
    "                          (--test-config FILE | --private-subnet-id ID) [--json]\n"
    "                          [--version]\n";

constexpr const char* kHelp =
    "\n"
    "Collects the test results the test instances left at the top level of BUCKET\n"
    "and exits 0 only when every gateway passed. Per gateway the log object\n"
    "log-<gw_name>-<TAG>.txt is fetched first, then the result object\n"
    "result-<gw_name>-<TAG>.txt; a gateway passed when its result text, white space\n"
    "trimmed, is exactly PASS. A missing object fails its gateway. Both texts are\n"
    "logged on standard error; the last gateway's are left in /tmp/log.txt and\n"
    "/tmp/result.txt.\n"
    "\n"
    "options:\n"
    "  --bucket NAME            the bucket the instances wrote to (required)\n"
    "  --run-tag TAG            the run tag the objects are named with (default: none)\n"
    "  --test-config FILE       collect every entry of this test configuration, in\n"
    "                           file order (each needs gw_name and private_subnet_id)\n"
    "  --private-subnet-id ID   collect the one gateway of a run without a test\n"
    "                           configuration (objects log--<TAG>.txt, result--<TAG>.txt)\n"
    "  --json                   print each gateway's outcome as JSON on standard output\n"
    "  --profile NAME           credentials profile (default: AWS_PROFILE, else the\n"
    "                           default chain)\n"
    "  --region REGION          region (default: AWS_REGION, AWS_DEFAULT_REGION, the\n"
    "                           profile's)\n"
    "  --endpoint-url URL       send requests to URL instead of the default endpoint\n"
    "                           (default: AWS_ENDPOINT_URL_S3, AWS_ENDPOINT_URL)\n"
    "  -h, --help               show this help\n"
    "  --version                show the version and exit\n"
    "\n"
    "exit status: 0 every gateway passed, 1 a gateway failed or the collection\n"
    "failed, 2 usage error\n";

probefleet::Args collectionArgs(const cli::CommandLine& line) {
  if (!line.operands.empty()) throw cli::UsageError("unexpected argument " + line.operands[0]);
  probefleet::Args args;
  args.s3_bucket = line.value("--bucket");
  if (!args.s3_bucket) throw cli::UsageError("--bucket is required");
  const auto test_config = line.value("--test-config");
  args.private_subnet_id = line.value("--private-subnet-id");
  if (test_config && args.private_subnet_id) {
    throw cli::UsageError("--test-config and --private-subnet-id exclude each other");
  }
  if (!test_config && !args.private_subnet_id) {
    throw cli::UsageError("one of --test-config and --private-subnet-id is required");
  }
  args.test_config = test_config.value_or("");
  return args;
}

nlohmann::ordered_json report(const std::vector<probefleet::GatewayResult>& gateways,
                              bool all_passed) {
  nlohmann::ordered_json entries = nlohmann::ordered_json::array();
  for (const probefleet::GatewayResult& gateway : gateways) {
    entries.push_back({
        {"gw_name", gateway.gw_name ? nlohmann::ordered_json(*gateway.gw_name) : nullptr},
        {"private_subnet_id", gateway.private_subnet_id},
        {"log_key", gateway.log_key},
        {"result_key", gateway.result_key},
        {"passed", gateway.passed},
        {"result", gateway.result ? nlohmann::ordered_json(*gateway.result) : nullptr},
        {"reason", gateway.reason},
    });
  }
  return {{"verdict", all_passed ? "PASS" : "FAIL"}, {"gateways", entries}};
}

int run(const cli::CommandLine& line) {
  const probefleet::Args args = collectionArgs(line);
  const aws::S3Client client(cli::clientConfig(line, "s3"));
  const auto gateways =
      probefleet::collectS3TestResults(client, args, line.value("--run-tag").value_or(""));
  bool all_passed = true;
  for (const auto& gateway : gateways) all_passed = all_passed && gateway.passed;
  if (line.flag("--json")) {
    // A result object is whatever an instance wrote: bytes that are not
    // UTF-8 must not cost the workflow its report.
    std::cout << report(gateways, all_passed)
                     .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
              << "\n";
  }
  return all_passed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  return cli::runProgram(
      {"probefleet-results", kUsage, kHelp}, std::vector<std::string>(argv + 1, argv + argc),
      {cli::valueOption("--bucket"), cli::valueOption("--run-tag", /*empty_allowed=*/true),
       cli::valueOption("--test-config"), cli::valueOption("--private-subnet-id"),
       cli::flagOption("--json")},
      run);
}
