// probefleet-sweep: everything probefleet made in a region, found by its
// names and tags when no test configuration says where it is, listed, and
// with --delete removed in the order a revert removes it.

#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "aws/base/clock.h"
#include "aws/base/environment.h"
#include "aws/client/error.h"
#include "aws/services/ec2.h"
#include "aws/services/iam.h"
#include "aws/services/s3.h"
#include "cli/aws_options.h"
#include "cli/command_line.h"
#include "cli/program.h"
#include "probefleet/lifetime.h"
#include "probefleet/sweep.h"
#include "probefleet/tags.h"

namespace {

constexpr const char* kUsage =
    "usage: probefleet-sweep [--profile NAME] [--region REGION] [--endpoint-url URL]\n"
    "                        [--vpc VPC] [--tag KEY,VALUE]... [--older-than DURATION]\n"
    "                        [--expired] [--s3_bucket BUCKET] [--json] [--delete]\n"
    "                        [--version]\n";

constexpr const char* kHelp =
    "\n"
    "Lists what probefleet made in the region, found by its names and Name tags:\n"
    "instances not yet terminated (with state and age), network interfaces,\n"
    "Elastic IPs, security groups, key pairs, and the account's instance role,\n"
    "policy and instance profile. Nothing without those names and tags is listed\n"
    "or touched.\n"
    "\n"
    "options:\n"
    "  --vpc VPC              only what lies in this VPC (and the IAM trio)\n"
    "  --tag KEY,VALUE        only what carries this tag (as --tag_resource gave\n"
    "                         it); repeatable, every pair must match\n"
    "  --older-than DURATION  only what is older (e.g. 30m, 6h, 2d); groups,\n"
    "                         interfaces and addresses, whose age EC2 does not\n"
    "                         tell, count as old when no younger instance of ours\n"
    "                         stands in their VPC\n"
    "  --expired              only instances whose probefleet:expires time is past\n"
    "  --s3_bucket BUCKET     the bucket holding the runs' locks: a VPC a live run\n"
    "                         holds is listed as held and never swept\n"
    "  --json                 print a JSON object instead of the table\n"
    "  --delete               remove what is listed: instances first (waited for\n"
    "                         until terminated), then interfaces, addresses,\n"
    "                         groups and key pairs of VPCs with no instance of\n"
    "                         ours left, then the IAM trio once no instance of\n"
    "                         ours is left in the region\n"
    "  --profile NAME         credentials profile (default: AWS_PROFILE, else the\n"
    "                         default chain)\n"
    "  --region REGION        region (default: AWS_REGION, AWS_DEFAULT_REGION, the\n"
    "                         profile's)\n"
    "  --endpoint-url URL     send requests to URL instead of the default endpoints\n"
    "  -h, --help             show this help\n"
    "  --version              show the version and exit\n"
    "\n"
    "exit status: 0 listed, or everything selected removed; 1 a failure, or with\n"
    "--delete something left or a held VPC skipped; 2 usage error\n";

using Clock = std::chrono::system_clock;

probefleet::SweepFilter filterOf(const cli::CommandLine& line) {
  if (!line.operands.empty()) throw cli::UsageError("unexpected argument " + line.operands[0]);
  probefleet::SweepFilter filter;
  filter.vpc_id = line.value("--vpc");
  for (const std::string& pair : line.all("--tag")) {
    const auto comma = pair.find(',');
    if (comma == std::string::npos || comma == 0) {
      throw cli::UsageError("--tag " + pair + ": give KEY,VALUE");
    }
    filter.tags.push_back({pair.substr(0, comma), pair.substr(comma + 1)});
  }
  if (const auto age = line.value("--older-than")) {
    filter.older_than = probefleet::parseDuration(*age);
    if (!filter.older_than) {
      throw cli::UsageError("--older-than " + *age + ": not a duration such as 30m, 6h or 2d");
    }
  }
  filter.expired = line.flag("--expired");
  return filter;
}

// "3d4h", "2h5m", "40s"; "-" when AWS tells no age.
std::string ageText(const probefleet::Leftover& item, Clock::time_point now) {
  if (!item.created) return "-";
  long long s = std::chrono::duration_cast<std::chrono::seconds>(now - *item.created).count();
  if (s < 0) s = 0;
  if (s >= 86400) return std::to_string(s / 86400) + "d" + std::to_string(s % 86400 / 3600) + "h";
  if (s >= 3600) return std::to_string(s / 3600) + "h" + std::to_string(s % 3600 / 60) + "m";
  if (s >= 60) return std::to_string(s / 60) + "m" + std::to_string(s % 60) + "s";
  return std::to_string(s) + "s";
}

nlohmann::ordered_json orNull(const std::string& text) {
  return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
}

std::string orDash(const std::string& text) {
  return text.empty() ? "-" : text;
}

void printTable(const std::vector<probefleet::Leftover>& items,
                const std::vector<probefleet::VpcLock>& held, Clock::time_point now) {
  std::vector<std::vector<std::string>> rows = {{"KIND", "ID", "NAME", "VPC", "STATE", "AGE"}};
  for (const auto& item : items) {
    rows.push_back({item.kind, item.id, orDash(item.name), orDash(item.vpc_id), orDash(item.state),
                    ageText(item, now)});
  }
  std::vector<std::size_t> widths(rows.front().size(), 0);
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    std::cout << line << "\n";
  }
  for (const auto& lock : held) {
    std::cout << "held: " << lock.vpc_id << " by "
              << (lock.readable ? probefleet::describeHolder(lock.holder)
                                : std::string("an unreadable lock"))
              << "\n";
  }
}

nlohmann::ordered_json jsonOf(const std::vector<probefleet::Leftover>& items,
                              const std::vector<probefleet::VpcLock>& held, bool locks_seen,
                              Clock::time_point now) {
  nlohmann::ordered_json resources = nlohmann::ordered_json::array();
  for (const auto& item : items) {
    nlohmann::ordered_json tags = nlohmann::ordered_json::object();
    for (const auto& tag : item.tags) tags[tag.key] = tag.value;
    const auto time = [](const auto& at) {
      return at ? nlohmann::ordered_json(aws::formatIsoTime(*at)) : nlohmann::ordered_json();
    };
    resources.push_back(
        {{"kind", item.kind},
         {"id", item.id},
         {"name", item.name},
         {"vpc_id", orNull(item.vpc_id)},
         {"state", orNull(item.state)},
         {"created", time(item.created)},
         {"age_seconds",
          item.created
              ? nlohmann::ordered_json(
                    std::chrono::duration_cast<std::chrono::seconds>(now - *item.created).count())
              : nlohmann::ordered_json()},
         {"expires", time(item.expires)},
         {"tags", tags}});
  }
  nlohmann::ordered_json locks = nlohmann::ordered_json::array();
  for (const auto& lock : held) {
    locks.push_back({{"vpc_id", lock.vpc_id},
                     {"readable", lock.readable},
                     {"run_id", lock.holder.run_id},
                     {"host", lock.holder.host},
                     {"user", lock.holder.user},
                     {"pid", lock.holder.pid},
                     {"mode", lock.holder.mode},
                     {"started", lock.holder.started},
                     {"command", lock.holder.command}});
  }
  return {{"resources", resources}, {"held", locks}, {"locks_seen", locks_seen}};
}

// The pauses of a sweep (terminations, retries) follow PROBEFLEET_TIME_SCALE
// as probefleet's do.
aws::ClientConfig configOf(const cli::CommandLine& line, const std::string& service) {
  aws::ClientConfig config = cli::clientConfig(line, service);
  config.clock = aws::clockFromEnvironment(*aws::processEnvironment());
  return config;
}

// Whether an instance of ours stands in another enabled region: the IAM
// role it runs under must then stay. True when that cannot be told.
bool instancesElsewhere(const cli::CommandLine& line, const aws::Ec2Client& ec2) {
  const auto found = probefleet::instancesOfOursAnywhere(
      ec2,
      [&](const std::string& region) {
        cli::CommandLine there = line;
        there.values["--region"] = region;
        return configOf(there, "ec2");
      },
      /*own_region=*/false);
  if (!found.region.empty()) {
    std::cerr << "probefleet-sweep: instances of probefleet's stand in " << found.region
              << ": the instance role, policy and profile stay\n";
  } else if (!found.unknown.empty()) {
    std::cerr << "probefleet-sweep: cannot look at the other regions (" << found.unknown
              << "): the instance role, policy and profile stay\n";
  }
  return found.anyLeft();
}

int run(const cli::CommandLine& line) {
  const probefleet::SweepFilter filter = filterOf(line);
  const aws::Ec2Client ec2(configOf(line, "ec2"));
  const aws::IamClient iam(configOf(line, "iam"));
  const Clock::time_point now = ec2.clock().now();

  std::vector<probefleet::VpcLock> held;
  const auto bucket = line.value("--s3_bucket");
  if (bucket) {
    held = probefleet::liveLocks(aws::S3Client(cli::clientConfig(line, "s3")), *bucket, now);
  } else {
    std::cerr << "probefleet-sweep: no --s3_bucket: the runs' locks cannot be seen, so a VPC a "
                 "run is working on may be swept\n";
  }
  std::vector<probefleet::Leftover> selected =
      probefleet::selectLeftovers(probefleet::findLeftovers(ec2, iam), filter, now);
  // Only the locks of VPCs this sweep would touch matter.
  std::vector<probefleet::VpcLock> relevant;
  std::vector<std::string> held_vpcs;
  for (const auto& lock : held) {
    const bool touched = std::any_of(selected.begin(), selected.end(),
                                     [&](const auto& item) { return item.vpc_id == lock.vpc_id; });
    if (!touched) continue;
    relevant.push_back(lock);
    held_vpcs.push_back(lock.vpc_id);
  }

  if (line.flag("--delete")) {
    selected = probefleet::deleteLeftovers(ec2, iam, selected, filter, held_vpcs,
                                           [&] { return instancesElsewhere(line, ec2); });
  }
  if (line.flag("--json")) {
    // Tags are whatever their makers wrote: bytes that are not UTF-8 must not
    // cost the pipeline its listing.
    std::cout << jsonOf(selected, relevant, bucket.has_value(), ec2.clock().now())
                     .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
              << "\n";
  } else {
    printTable(selected, relevant, ec2.clock().now());
  }
  if (!line.flag("--delete")) return 0;
  return selected.empty() && relevant.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  return cli::runProgram(
      {"probefleet-sweep", kUsage, kHelp}, std::vector<std::string>(argv + 1, argv + argc),
      {cli::valueOption("--vpc"), cli::repeatedOption("--tag"), cli::valueOption("--older-than"),
       cli::flagOption("--expired"), cli::valueOption("--s3_bucket"), cli::flagOption("--json"),
       cli::flagOption("--delete")},
      run);
}
