#include "probefleet/run/driver.h"

#include <cxxabi.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <system_error>
#include <typeinfo>

#include "aws/base/atomic_file.h"
#include "aws/base/clock.h"
#include "aws/base/interrupt.h"
#include "aws/client/error.h"
#include "aws/config/config.h"
#include "probefleet/run/console.h"
#include "probefleet/deploy/deploy.h"
#include "probefleet/resources/fleet_lookup.h"
#include "probefleet/resources/identity.h"
#include "probefleet/deploy/instance_create.h"
#include "probefleet/resources/keypairs.h"
#include "probefleet/core/lifetime.h"
#include "probefleet/guard/preflight.h"
#include "probefleet/guard/run_lock.h"
#include "probefleet/core/sessions.h"
#include "probefleet/resources/ssm_key.h"
#include "probefleet/core/story.h"
#include "probefleet/resources/tags.h"
#include "probefleet/teardown/teardown.h"
#include "probefleet/config/test_config.h"
#include "probefleet/guard/vpc_lock.h"
#include "report/html_page.h"
#include "s3/s3_backup_cmd.h"
#include "testlib/app_exit_status.h"
#include "testlib/common.h"
#include "testlib/exit_request.h"
#include "testlib/globals.h"

namespace probefleet {

namespace {

std::optional<std::string> regionOf(const std::optional<std::string>& region) {
  return given(region) ? region : std::nullopt;
}

std::string textMember(const nlohmann::json& document, const char* member) {
  auto found = document.find(member);
  if (found == document.end() || !found->is_string() || found->get<std::string>().empty()) {
    const std::string message = std::string("  **Error** the instance identity document has no ") +
                                member +
                                "; give the workflow account on the command line: "
                                "--workflow_account_role <role>,<number>,<region>";
    testlib::logger()->error(message);
    throw testlib::ExitRequest(1, message);
  }
  return found->get<std::string>();
}

std::string demangledTypeName(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> name(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
  return status == 0 && name ? name.get() : type.name();
}

// The failure's kind and message; never a secret: the AWS layer's messages
// name resources and services, not keys.
std::string describeFailure(const std::exception& failure) {
  if (auto service = dynamic_cast<const aws::ServiceError*>(&failure)) {
    return "ServiceError " + service->code() + " from " + service->service() + " (HTTP " +
           std::to_string(service->httpStatus()) +
           (service->requestId().empty() ? "" : ", request id " + service->requestId()) +
           "): " + service->message();
  }
  if (dynamic_cast<const aws::TransportError*>(&failure)) {
    return std::string("TransportError (no answer): ") + failure.what();
  }
  if (dynamic_cast<const aws::ConfigError*>(&failure)) {
    return std::string("ConfigError: ") + failure.what();
  }
  return demangledTypeName(typeid(failure)) + ": " + failure.what();
}

// Steps 8 and 9 of the run: the S3 (and workflow SSM) client in deploy mode,
// then the test account's clients.
void openWorkflowAccount(const Args& args, const aws::ClientWorld& deps, RunClients& clients) {
  auto log = testlib::logger();
  WorkflowAccountRole role = parseWorkflowAccountRole(*args.workflow_account_role);
  if (!role.number) {
    const nlohmann::json document = get_aws_metadata(deps);
    role.number = textMember(document, "accountId");
    role.region = textMember(document, "region");
  }
  // The role lives in the partition of the workflow account's region.
  const std::string arn =
      workflowRoleArn(*role.number, role.role_name, aws::partitionOf(role.region.value_or("")));
  log->info("- Use role " + arn + " for SSM access");
  clients.workflow_session = start_aws_session(
      arn, args.profile, deps, given(role.region) ? role.region : regionOf(args.region));
  clients.workflow_ssm =
      std::make_unique<aws::SsmClient>(clients.workflow_session->clientConfig("ssm", role.region));
  clients.s3 = std::make_unique<aws::S3Client>(clients.workflow_session->clientConfig("s3"));
  if (given(args.key_name)) {
    getPemKeyFromSSM(*clients.workflow_ssm, std::string(kSsmSecretsPrefix) + *args.key_name, args);
  }
}

// The clients of the preflight's EBS key and quota checks. A partition or
// region without the service leaves the check out, said in the log: the run
// does not depend on them.
void openCheckClients(const Args& args, RunClients& clients) {
  try {
    clients.kms = std::make_unique<aws::KmsClient>(
        clients.test_session->clientConfig("kms", regionOf(args.region)));
  } catch (const aws::ConfigError& error) {
    testlib::logger()->info(std::string("  no KMS client, the EBS default key is not checked: ") +
                            error.what());
  }
  try {
    clients.quotas = std::make_unique<aws::ServiceQuotasClient>(
        clients.test_session->clientConfig("servicequotas", regionOf(args.region)));
  } catch (const aws::ConfigError& error) {
    testlib::logger()->info(
        std::string("  no Service Quotas client, the vCPU quota is not checked: ") + error.what());
  }
}

// The clients openClients opens, in its order, for checkEndpoints.
std::vector<PlannedClient> plannedClients(const Args& args) {
  const std::optional<std::string> region = regionOf(args.region);
  std::vector<PlannedClient> clients;
  if (!args.revert && given(args.workflow_account_role)) {
    // A workflow account without a region here takes the instance's, later.
    const WorkflowAccountRole role = parseWorkflowAccountRole(*args.workflow_account_role);
    const auto workflow_region = given(role.region) ? role.region : region;
    clients.push_back({"sts", workflow_region, false, true});
    if (given(role.region)) clients.push_back({"ssm", role.region, true});
    clients.push_back({"s3", std::nullopt, true});
  } else if (!args.revert || given(args.s3_bucket)) {
    clients.push_back({"s3", std::nullopt, false});
  }
  const bool assumed = given(args.assume_role);
  if (assumed) clients.push_back({"sts", region, false, true});
  clients.push_back({"ec2", region, assumed});
  clients.push_back({"iam", region, assumed});
  return clients;
}

// One entry per test subnet, a few hundred bytes each: 16 MiB holds tens of
// thousands. A larger file is a mistake (a log, an image), and reading it
// would cost its size several times over in memory.
constexpr std::uintmax_t kMaxTestConfigBytes = std::uintmax_t{16} << 20;

void requireReasonableSize(const std::string& path) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  // A file that cannot be measured (missing, a pipe) is left to the reader.
  if (!error && size > kMaxTestConfigBytes) {
    throw TestConfigError("test config " + path + " is larger than " +
                          std::to_string(kMaxTestConfigBytes >> 20) + " MiB (" +
                          std::to_string(size) + " bytes); it cannot be a test configuration");
  }
}

// Where the run stands, for the words of a failure or an interruption.
void step(const std::string& name) {
  RunStory::get().step(name);
}

// The log file in the backup folder, and the command line as its first
// record. False when there is no folder to keep it in.
bool setUpLog(const Args& args, const std::vector<std::string>& arguments) {
  // An empty folder would put the log under /log/ and the key file under /:
  // stop before the log is set up, so the message goes to the console only.
  if (args.backup_folder.empty()) {
    testlib::logger()->error(
        "backup_folder must not be empty: give a relative folder such as keys");
    return false;
  }
  step("setting up the log");
  testlib::Common::initLogLocation(args.backup_folder);
  std::string command = "probefleet ";
  for (std::size_t i = 0; i < arguments.size(); ++i) command += (i ? " " : "") + arguments[i];
  testlib::Common::logCommandOptions(command);
  testlib::Globals::dry_run = args.dry_run;
  return true;
}

// With --max_lifetime each instance carries the expiry tag beside its Name:
// a pair of the user's with that key, or one tag too many, would make EC2
// refuse every launch.
std::optional<std::string> expiryTagProblem(const Args& args) {
  if (!args.max_lifetime) return std::nullopt;
  std::vector<aws::ec2::Tag> pairs;
  populateTags(pairs, *args.tag_resource);
  for (const aws::ec2::Tag& tag : pairs) {
    if (tag.key == kExpiresTagKey) {
      return std::string("the key ") + kExpiresTagKey + " is --max_lifetime's own";
    }
  }
  if (pairs.size() + 2 > 50) {
    return "with --max_lifetime's expiry tag and the Name, AWS's 50 tags allow at most 48 pairs";
  }
  return std::nullopt;
}

// The checks of the options' form that need no AWS request; each failure
// is logged.
bool optionsFormOk(const Args& args) {
  step("checking the options");
  auto log = testlib::logger();
  if (!backupFolderFormOk(args.backup_folder)) {
    log->error("Please remove the beginning \"/\" or a \".\" from backup_folder " +
               args.backup_folder);
    return false;
  }
  if (!tagPairsComplete(args.tag_resource)) {
    log->info("**Error** incomplete tag_resource pair");
    return false;
  }
  if (given(args.tag_resource)) {
    const bool makes_iam = args.ec2_role && *args.ec2_role == "default";
    if (const auto problem = tagPairsProblem(*args.tag_resource, makes_iam)) {
      log->error("  **Error** --tag_resource: " + *problem + "; nothing was sent to AWS");
      return false;
    }
    if (const auto problem = expiryTagProblem(args)) {
      log->error("  **Error** --tag_resource: " + *problem + "; nothing was sent to AWS");
      return false;
    }
  }
  return true;
}

// Every deployed entry's test script must render before the first instance
// is launched with one.
void requireTestScripts(const Args& args, const TestConfig& document) {
  for (const TestConfig& entry : args.revert ? TestConfig::array() : document) {
    const auto subnet = entry.find("private_subnet_id");
    if (subnet == entry.end() || !subnet->is_string() || subnet->get<std::string>().empty()) {
      continue;  // skipped by the deployment too
    }
    try {
      (void)testScriptFor(args, entry);
    } catch (const std::invalid_argument& bad) {
      throw TestConfigError("the test script of entry " + entry.value("gw_subnet_id", "?") +
                            " cannot be written with --run_tag: " + bad.what());
    }
  }
}

// A test configuration the run cannot use stops it before any AWS request:
// nullopt, logged.
std::optional<TestConfig> readRunConfig(const Args& args) {
  step("reading the test configuration");
  try {
    requireReasonableSize(args.test_config);
    TestConfig document =
        readTestConfig(args.test_config, args.revert ? ConfigUse::kTeardown : ConfigUse::kDeploy);
    requireTestScripts(args, document);
    return document;
  } catch (const TestConfigError& bad) {
    testlib::logger()->error(std::string("  **Error** ") + bad.what());
    return std::nullopt;
  }
}

void deploy(const Args& args, const RunClients& clients, const PreflightReport& checked,
            const aws::ClientWorld& deps) {
  if (given(args.s3_bucket)) {
    step("checking the key pair against the stored key");
    checkKeyPairConsistency(
        *clients.ec2, clients.s3.get(), *clients.iam, args,
        [&](const aws::Ec2Client& ec2, const aws::IamClient& iam, const Args& options) {
          terminateEc2s(ec2, iam, options, checked.vpc_id);
        },
        checked.vpc_id);
  }
  step("deploying the test instances");
  deployEc2s(*clients.ec2, clients.s3.get(), *clients.iam, checked.plan, args, *deps.clock);
}

// The role, policy and profile serve every fleet of the account, in every
// region: they stay while an instance of ours stands anywhere, or while
// that cannot be told. True when they must stay (said why).
bool identityStillServes(const RunClients& clients) {
  const AccountInstances found = instancesOfOursAnywhere(
      *clients.ec2,
      [&](const std::string& region) { return clients.test_session->clientConfig("ec2", region); });
  if (!found.anyLeft()) return false;
  const std::string why =
      !found.region.empty()
          ? "instances of ours still stand in " + found.region + " and run under the role"
          : "cannot tell whether instances of ours stand in other regions (" + found.unknown + ")";
  testlib::logger()->warn("- Keep the instance role, policy and profile: " + why);
  tell(Act::kLeave, "iam role, policy, profile", kRoleName, "kept (in use): " + why);
  return true;
}

void revert(const Args& args, const RunClients& clients, const std::string& vpc_id) {
  step("tearing the test instances down");
  terminateEc2s(*clients.ec2, *clients.iam, args, vpc_id);
  if (args.ec2_role && *args.ec2_role == "default") {
    step("removing the instance profile, role and policy");
    RunStory::get().phase("removing the instance role");
    aws::Interruption::check();
    if (identityStillServes(clients)) return;
    deleteInstanceProfile(*clients.iam, args.dry_run);
  }
}

LockHolder thisRun(const Args& args, const std::vector<std::string>& arguments,
                   const aws::Clock& clock) {
  LockHolder self;
  self.run_id = newRunId();
  self.host = lockHostName();
  self.user = lockUserName();
  self.mode = args.revert ? "revert" : "deploy";
  self.started = aws::formatIsoTime(clock.now());
  self.command = commandForLock("probefleet", arguments);
  self.pid = ::getpid();
  self.lease_seconds = leaseSecondsOf(args, kDefaultLeaseSeconds);
  return self;
}

// The run's lock on its VPC, taken once the read-only checks passed and
// before the first change; null when the run goes unlocked (no bucket, no
// VPC, a dry run, which only reports the lock it finds). Throws LockHeld.
std::unique_ptr<VpcLock> lockTheVpc(const Args& args, const RunClients& clients,
                                    const std::string& vpc_id,
                                    const std::vector<std::string>& arguments, aws::Clock& clock) {
  auto log = testlib::logger();
  const aws::S3Client* s3 = args.revert ? clients.lock_s3.get() : clients.s3.get();
  if (!given(args.s3_bucket) || s3 == nullptr) {
    log->info(
        "- No --s3_bucket: this run takes no lock on its VPC, so another run on it at "
        "the same time is not stopped");
    return nullptr;
  }
  if (vpc_id.empty()) {
    log->info("- No VPC holds the test subnets: this run takes no lock");
    return nullptr;
  }
  step("locking the VPC");
  const LockPlace place{*s3, *args.s3_bucket, vpc_id, clock};
  if (args.dry_run) {
    if (args.force_unlock) log->info("- Dry run: --force_unlock would clear the lock below");
    reportLock(place);
    return nullptr;
  }
  if (args.force_unlock) forceUnlock(place);
  return VpcLock::take(place, thisRun(args, arguments, clock));
}

// The preflight, then the deployment or the teardown under the VPC's lock.
// False when the preflight found problems or another run holds the lock
// (nothing was changed). An interruption ends the mode early and is
// reported, marking the run failed. The lock is given back on every way out.
bool runMode(const Args& args, const RunClients& clients, const TestConfig& document,
             const std::vector<std::string>& arguments, const aws::ClientWorld& deps) {
  std::unique_ptr<VpcLock> lock;
  try {
    step("checking before any change");
    const PreflightReport checked =
        preflight({*clients.sts, *clients.ec2, *clients.iam, clients.s3.get(), clients.kms.get(),
                   clients.quotas.get()},
                  args, document);
    RunStory::get().where(checked.account, clients.ec2->config().region, checked.vpc_id);
    if (!checked.ok()) {
      testlib::logger()->error("  **Error** " + std::to_string(checked.problems.size()) +
                               (checked.problems.size() == 1 ? " problem" : " problems") +
                               " found before any change; nothing was changed");
      return false;
    }
    try {
      lock = lockTheVpc(args, clients, checked.vpc_id, arguments, *deps.clock);
    } catch (const LockHeld& held) {
      testlib::logger()->error(
          "  **Error** " + std::string(held.what()) +
          "; nothing was changed. Once that run is gone its lock is taken over after its "
          "lease of " +
          std::to_string(held.found().holder.lease_seconds) +
          " s; --force_unlock clears it at once");
      return false;
    }
    if (args.revert) {
      revert(args, clients, checked.vpc_id);
    } else {
      deploy(args, clients, checked, deps);
    }
  } catch (const aws::Interrupted&) {
    // Reported below; what was done is written and the log still goes up.
  }
  if (aws::Interruption::requested()) {
    testlib::logger()->error("  **Error** run interrupted by " + aws::Interruption::cause() +
                             " while " + RunStory::get().snapshot().step +
                             ": nothing new was made after it; run again to finish");
    testlib::AppExitStatus::markFailed();
  }
  if (lock) lock->release();
  return true;
}

void uploadLog(const Args& args, const RunClients& clients) {
  step("uploading the log");
  if (!given(args.s3_bucket)) return;
  // The log upload takes its pauses even after an interruption.
  const aws::Interruption::Shelter shelter;
  s3lib::S3BackupCmd(clients.s3.get(), std::string("."), *args.s3_bucket,
                     testlib::Common::logFilePath(args.backup_folder))
      .uploadAFile();
}

// The run after its options are parsed, phase by phase; returns the exit
// status. The step each phase is at is kept in the run's story.
int runFlow(const Args& args, const std::vector<std::string>& arguments,
            const aws::ClientWorld& deps) {
  if (!setUpLog(args, arguments) || !optionsFormOk(args)) return 1;
  const std::optional<TestConfig> document = readRunConfig(args);
  if (!document) return 1;
  step("opening the AWS sessions and clients");
  const RunClients clients = openClients(args, deps);
  if (!runMode(args, clients, *document, arguments, deps)) return 1;
  uploadLog(args, clients);
  return testlib::AppExitStatus().getStatus();
}

}  // namespace

bool backupFolderFormOk(const std::string& backup_folder) {
  return !backup_folder.empty() &&
         !(backup_folder.rfind("/", 0) == 0 || backup_folder.rfind(".", 0) == 0);
}

bool tagPairsComplete(const std::optional<std::string>& tag_resource) {
  return !tag_resource || splitAll(*tag_resource, ',').size() % 2 == 0;
}

RunClients openClients(const Args& args, const aws::ClientWorld& deps) {
  // Endpoints AWS does not have stop the run before its first request.
  checkEndpoints(plannedClients(args), args.profile, deps);
  RunClients clients;
  // One profile session serves both accounts' clients when both are the
  // profile's, so its credentials are resolved once.
  std::optional<aws::Session> profile_session;
  auto profileSession = [&]() -> const aws::Session& {
    if (!profile_session) profile_session = aws::Session::fromProfile(args.profile, deps);
    return *profile_session;
  };
  if (!args.revert) {
    if (given(args.workflow_account_role)) {
      openWorkflowAccount(args, deps, clients);
    } else {
      clients.s3 = std::make_unique<aws::S3Client>(profileSession().clientConfig("s3"));
    }
  } else if (given(args.s3_bucket)) {
    clients.lock_s3 = std::make_unique<aws::S3Client>(profileSession().clientConfig("s3"));
  }
  clients.test_session =
      given(args.assume_role)
          ? start_aws_session(*args.assume_role, args.profile, deps, regionOf(args.region))
          : profileSession();
  clients.ec2 = std::make_unique<aws::Ec2Client>(
      clients.test_session->clientConfig("ec2", regionOf(args.region)));
  clients.iam = std::make_unique<aws::IamClient>(
      clients.test_session->clientConfig("iam", regionOf(args.region)));
  clients.sts = std::make_unique<aws::StsClient>(
      clients.test_session->clientConfig("sts", regionOf(args.region)));
  if (!args.revert) openCheckClients(args, clients);
  return clients;
}

int runProgram(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
               const aws::ClientWorld& deps) {
  const ParseResult parsed = parseArgs(arguments);
  if (parsed.kind == ParseResult::Kind::kHelp || parsed.kind == ParseResult::Kind::kVersion) {
    out << parsed.text << std::flush;
    return 0;
  }
  if (parsed.kind == ParseResult::Kind::kError) {
    err << parsed.text << std::flush;
    return 2;
  }

  const Args& args = parsed.args;
  RunStory::get().begin(args.revert, args.dry_run);
  RunConsole console(stderr, ::isatty(STDERR_FILENO) == 1, args.log_console);
  int status = 1;
  try {
    status = runFlow(args, arguments, deps);
  } catch (const testlib::ExitRequest& request) {
    status = request.status();  // already reported by the operation that stopped
  } catch (const std::exception& failure) {
    testlib::logger()->error("  **Error** run failed while " + RunStory::get().snapshot().step +
                             ": " + describeFailure(failure));
  } catch (...) {
    testlib::logger()->error("  **Error** run failed while " + RunStory::get().snapshot().step +
                             ": unknown failure");
  }
  // A run stopped by its checks, before any AWS work, has no story to tell.
  const StorySnapshot story = RunStory::get().snapshot();
  if (!story.phase.empty()) console.finish(status);
  if (given(args.report)) {
    try {
      writeTestConfig(*args.report, storyReport(story, status));
    } catch (const std::exception& failure) {
      testlib::logger()->error(std::string("  **Error** cannot write the run report: ") +
                               failure.what());
      status = status == 0 ? 1 : status;
    }
  }
  if (given(args.report_html)) {
    try {
      aws::writeFileAtomically(*args.report_html, report::htmlPage(storyReport(story, status)));
    } catch (const std::exception& failure) {
      testlib::logger()->error(std::string("  **Error** cannot write the run report's page: ") +
                               failure.what());
      status = status == 0 ? 1 : status;
    }
  }
  return status;
}

}  // namespace probefleet
