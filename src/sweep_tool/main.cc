// probefleet-sweep: everything probefleet made in a region, found by its
// names and tags when no test configuration says where it is, listed, and
// with --delete removed in the order a revert removes it.

#include <unistd.h>

#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "aws/base/clock.h"
#include "aws/base/environment.h"
#include "aws/base/interrupt.h"
#include "aws/client/error.h"
#include "aws/services/ec2.h"
#include "aws/services/iam.h"
#include "aws/services/s3.h"
#include "cli/aws_options.h"
#include "cli/command_line.h"
#include "cli/program.h"
#include "probefleet/core/lifetime.h"
#include "probefleet/sweep/sweep.h"
#include "probefleet/resources/tags.h"
#include "probefleet/guard/vpc_lock.h"
#include "testlib/common.h"

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
    "or touched. What carries the tag probefleet:keep (any value) is listed,\n"
    "marked keep, and never deleted.\n"
    "\n"
    "options:\n"
    "  --vpc VPC              only what lies in this VPC, and what serves the\n"
    "                         region: the IAM trio, and Elastic IPs associated\n"
    "                         with nothing that carry no probefleet:vpc tag\n"
    "                         (probefleet tags each address with its VPC)\n"
    "  --tag KEY,VALUE        only what carries this tag (as --tag_resource gave\n"
    "                         it); repeatable, every pair must match\n"
    "  --older-than DURATION  only what is older (e.g. 30m, 6h, 2d); groups,\n"
    "                         interfaces and addresses, whose age EC2 does not\n"
    "                         tell, count as old when no younger instance of ours\n"
    "                         stands in their VPC\n"
    "  --expired              only instances whose probefleet:expires time is\n"
    "                         past, and Elastic IPs associated with nothing\n"
    "  --s3_bucket BUCKET     the bucket holding the runs' locks: a VPC a live run\n"
    "                         holds is listed as held and never swept\n"
    "  --json                 print a JSON object instead of the table\n"
    "  --delete               remove what is listed, one VPC at a time under that\n"
    "                         VPC's lock (taken in mode sweep and given back\n"
    "                         after; a VPC whose lock a live run holds is skipped):\n"
    "                         instances first (a refused batch is tried one\n"
    "                         instance at a time; those accepted are waited for\n"
    "                         together), then interfaces, addresses, groups and\n"
    "                         key pairs of VPCs with no instance of ours left;\n"
    "                         then Elastic IPs that name no VPC and the IAM trio,\n"
    "                         only with --s3_bucket and while no run holds a\n"
    "                         lock (the trio also only once no instance of ours\n"
    "                         is left in any region). SIGINT or SIGTERM ends it\n"
    "                         after the step under way, listing what is left\n"
    "  --profile NAME         credentials profile (default: AWS_PROFILE, else the\n"
    "                         default chain)\n"
    "  --region REGION        region (default: AWS_REGION, AWS_DEFAULT_REGION, the\n"
    "                         profile's)\n"
    "  --endpoint-url URL     send requests to URL instead of the default endpoints\n"
    "  -h, --help             show this help\n"
    "  --version              show the version and exit\n"
    "\n"
    "With --delete each resource still there is listed with its outcome: \"left\"\n"
    "(it was to go and could not, with AWS's reason), or \"kept (in use)\",\n"
    "\"kept (probefleet:keep)\", \"kept (no --s3_bucket)\", \"kept (partly\n"
    "selected)\".\n"
    "\n"
    "exit status: 0 listed, or with --delete nothing left that it tried to\n"
    "remove (what is kept does not count); 1 a failure, something left, or\n"
    "interrupted; 2 usage error\n";

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

// The last column: after --delete the outcome (and why something is left),
// before it "keep" for what carries the keep tag.
std::string noteOf(const probefleet::Leftover& item) {
  if (!item.outcome.empty()) {
    return item.reason.empty() ? item.outcome : item.outcome + ": " + item.reason;
  }
  return probefleet::keptByTag(item) ? "keep" : "";
}

void printTable(const std::vector<probefleet::Leftover>& items,
                const std::vector<probefleet::LiveLock>& held, Clock::time_point now) {
  std::vector<std::vector<std::string>> rows = {
      {"KIND", "ID", "NAME", "VPC", "STATE", "AGE", "NOTE"}};
  for (const auto& item : items) {
    rows.push_back({item.kind, item.id, orDash(item.name), orDash(item.vpc_id), orDash(item.state),
                    ageText(item, now), orDash(noteOf(item))});
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
                              const std::vector<probefleet::LiveLock>& held, bool locks_seen,
                              Clock::time_point now) {
  nlohmann::ordered_json resources = nlohmann::ordered_json::array();
  for (const auto& item : items) {
    nlohmann::ordered_json tags = nlohmann::ordered_json::object();
    for (const auto& tag : item.tags) tags[tag.key] = tag.value;
    const auto time = [](const auto& at) {
      return at ? nlohmann::ordered_json(aws::formatIsoTime(*at)) : nlohmann::ordered_json();
    };
    nlohmann::ordered_json resource = {
        {"kind", item.kind},
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
        {"tags", tags},
        {"keep", probefleet::keptByTag(item)}};
    if (!item.outcome.empty()) {
      resource["outcome"] = item.outcome;
      resource["reason"] = orNull(item.reason);
    }
    resources.push_back(std::move(resource));
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

// The sweep as the holder of the locks it takes.
probefleet::LockHolder thisSweep(const std::vector<std::string>& arguments, Clock::time_point now) {
  probefleet::LockHolder self;
  self.run_id = probefleet::newRunId();
  self.host = probefleet::lockHostName();
  self.user = probefleet::lockUserName();
  self.mode = "sweep";
  self.started = aws::formatIsoTime(now);
  self.command = probefleet::commandForLock("probefleet-sweep", arguments);
  self.pid = ::getpid();
  return self;
}

// The guards of a sweep with a bucket: each VPC's lock taken as this sweep,
// and the live locks of the runs (other sweeps, which use none of what
// serves the region, left out).
probefleet::SweepGuards guardsOf(const aws::S3Client& s3, const std::string& bucket,
                                 aws::Clock& clock, const probefleet::LockHolder& self) {
  probefleet::SweepGuards guards;
  guards.take_lock = [&s3, bucket, &clock, self](const std::string& vpc_id) {
    return probefleet::VpcLock::take({s3, bucket, vpc_id, clock}, self);
  };
  guards.live_locks = [&s3, bucket, &clock, self] {
    std::vector<probefleet::LiveLock> live;
    for (auto& lock : probefleet::liveLocks(s3, bucket, clock.now())) {
      const bool sweep = lock.readable && lock.holder.mode == self.mode;
      if (lock.holder.run_id != self.run_id && !sweep) live.push_back(std::move(lock));
    }
    return live;
  };
  return guards;
}

int run(const cli::CommandLine& line, const std::vector<std::string>& arguments) {
  const probefleet::SweepFilter filter = filterOf(line);
  const aws::Ec2Client ec2(configOf(line, "ec2"));
  const aws::IamClient iam(configOf(line, "iam"));
  const Clock::time_point now = ec2.clock().now();
  const bool remove = line.flag("--delete");

  std::vector<probefleet::LiveLock> held;
  const auto bucket = line.value("--s3_bucket");
  std::optional<aws::S3Client> s3;
  if (bucket) {
    s3.emplace(configOf(line, "s3"));
    // With --delete each VPC's lock is taken in turn instead.
    if (!remove) held = probefleet::liveLocks(*s3, *bucket, now);
  } else {
    std::cerr << "probefleet-sweep: no --s3_bucket: the runs' locks cannot be seen, so a VPC a "
                 "run is working on may be swept\n";
  }
  std::vector<probefleet::Leftover> selected =
      probefleet::selectLeftovers(probefleet::findLeftovers(ec2, iam), filter, now);
  // Only the locks of VPCs this sweep would touch matter.
  std::vector<probefleet::LiveLock> relevant;
  for (const auto& lock : held) {
    const bool touched = std::any_of(selected.begin(), selected.end(),
                                     [&](const auto& item) { return item.vpc_id == lock.vpc_id; });
    if (touched) relevant.push_back(lock);
  }

  bool failed = false;
  if (remove) {
    probefleet::SweepGuards guards;
    if (s3) guards = guardsOf(*s3, *bucket, ec2.clock(), thisSweep(arguments, now));
    guards.elsewhere = [&] { return instancesElsewhere(line, ec2); };
    probefleet::SweepReport report =
        probefleet::deleteLeftovers(ec2, iam, selected, filter, guards);
    selected = std::move(report.remaining);
    relevant = std::move(report.held);
    failed = report.failed;
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
  return failed ? 1 : 0;
}

// SIGINT and SIGTERM are taken by a thread of their own: the first ends the
// sweep after the step under way (the locks it holds are given back and what
// is left is listed), a second ends it at once.
void watchSignals() {
  aws::watchTerminationSignals([](int signal) {
    if (aws::Interruption::requested()) ::_exit(128 + signal);
    const std::string note = "probefleet-sweep: " + aws::signalName(signal) +
                             ": stopping after the step under way; what is left is listed "
                             "(send it again to stop at once)\n";
    (void)!::write(STDERR_FILENO, note.data(), note.size());
    aws::Interruption::request(signal);
  });
}

}  // namespace

int main(int argc, char** argv) {
  watchSignals();
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  return cli::runProgram(
      {"probefleet-sweep", kUsage, kHelp}, arguments,
      {cli::valueOption("--vpc"), cli::repeatedOption("--tag"), cli::valueOption("--older-than"),
       cli::flagOption("--expired"), cli::valueOption("--s3_bucket"), cli::flagOption("--json"),
       cli::flagOption("--delete")},
      [&](const cli::CommandLine& line) { return run(line, arguments); });
}
