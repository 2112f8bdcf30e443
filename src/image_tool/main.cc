// probefleet-image: the image id probefleet's --image option would select,
// alone on standard output, for a workflow's shell steps to take with $(...).

#include <iostream>
#include <string>
#include <vector>

#include "aws/services/ec2.h"
#include "aws/services/ssm.h"
#include "cli/aws_options.h"
#include "cli/command_line.h"
#include "cli/program.h"
#include "probefleet/resources/images.h"
#include "probefleet/core/options.h"

namespace {

constexpr const char* kUsage =
    "usage: probefleet-image [--profile NAME] [--region REGION] [--endpoint-url URL]\n"
    "                        (--name PATTERN | --parameter SUFFIX) [--version]\n";

constexpr const char* kHelp =
    "\n"
    "Prints the id of an image, alone on one line, as probefleet selects it.\n"
    "\n"
    "options:\n"
    "  --name PATTERN       the first image, in the order EC2 answers, among the public,\n"
    "                       Amazon-owned, not deprecated images whose name matches\n"
    "                       PATTERN (EC2's wildcards * and ?); first answer page only\n"
    "  --parameter SUFFIX   the value of the first public SSM parameter under\n"
    "                       /aws/service/ami-amazon-linux-latest whose name ends with\n"
    "                       SUFFIX (plain text: * is just a character); first page only\n"
    "  --profile NAME       credentials profile (default: AWS_PROFILE, else the default\n"
    "                       chain)\n"
    "  --region REGION      region (default: AWS_REGION, AWS_DEFAULT_REGION, the\n"
    "                       profile's)\n"
    "  --endpoint-url URL   send the request to URL instead of the default endpoint\n"
    "                       (default: AWS_ENDPOINT_URL_EC2 with --name,\n"
    "                       AWS_ENDPOINT_URL_SSM with --parameter, else AWS_ENDPOINT_URL)\n"
    "  -h, --help           show this help\n"
    "  --version            show the version and exit\n"
    "\n"
    "exit status: 0 found, 1 no such image or the lookup failed, 2 usage error\n";

int run(const cli::CommandLine& line) {
  if (!line.operands.empty()) throw cli::UsageError("unexpected argument " + line.operands[0]);
  const auto name = line.value("--name");
  const auto parameter = line.value("--parameter");
  if (name.has_value() == parameter.has_value()) {
    throw cli::UsageError("give exactly one of --name and --parameter");
  }
  probefleet::Args args;
  std::string image_id;
  if (name) {
    args.image = *name;
    image_id = probefleet::getAMIByName(aws::Ec2Client(cli::clientConfig(line, "ec2")), args);
  } else {
    args.image = *parameter;
    image_id = probefleet::getAMI(aws::SsmClient(cli::clientConfig(line, "ssm")), args);
  }
  std::cout << image_id << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return cli::runProgram({"probefleet-image", kUsage, kHelp},
                         std::vector<std::string>(argv + 1, argv + argc),
                         {cli::valueOption("--name"), cli::valueOption("--parameter")}, run);
}
