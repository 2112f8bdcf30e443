// probefleet-s3: the library s3's transfers for the workflow's shell
// steps, with the global AWS options of the SDKs' own tools.

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "aws/base/atomic_file.h"
#include "aws/base/interrupt.h"
#include "aws/http/curl_transport.h"
#include "aws/services/s3.h"
#include "aws/services/s3_transfer.h"
#include "cli/aws_options.h"
#include "cli/command_line.h"
#include "cli/program.h"
#include "s3/bucket_transfers.h"
#include "s3/s3_backup_cmd.h"
#include "testlib/common.h"
#include "testlib/globals.h"

namespace {

constexpr const char* kUsage =
    "usage: probefleet-s3 [--profile NAME] [--region REGION] [--endpoint-url URL] [--dry-run]\n"
    "                     [--version] COMMAND ARGS...\n";

constexpr const char* kHelp =
    "\n"
    "Transfers between a local folder and an S3 bucket, as probefleet makes them.\n"
    "\n"
    "commands:\n"
    "  upload-folder BUCKET PATH [--base-dir DIR] [--concurrency N]\n"
    "      upload every file below DIR/PATH; each object key is the file's path\n"
    "      relative to DIR (default \".\")\n"
    "  upload-file BUCKET PATH [--base-dir DIR]\n"
    "      upload the file DIR/PATH under the key PATH (DIR defaults to \".\")\n"
    "  download BUCKET VPC_ID [--target DIR] [--concurrency N]\n"
    "      download the objects under backups/VPC_ID/ into DIR/VPC_ID (default \".\"),\n"
    "      except *.log, *.tfstate and *.backup\n"
    "  delete-folder BUCKET FOLDER [--concurrency N]\n"
    "      delete every object under FOLDER/ (a \"/\" is added when FOLDER lacks\n"
    "      one, so vpc-1 never reaches vpc-10/), 1,000 keys per request; each key\n"
    "      is logged, and a key S3 did not delete makes the command fail\n"
    "  fingerprint BUCKET KEY [--json]\n"
    "      print the fingerprint EC2 gives the key pair of the PEM private key\n"
    "      stored under KEY, with the key's type and size\n"
    "\n"
    "options:\n"
    "  --profile NAME      credentials profile (default: AWS_PROFILE, else the default chain)\n"
    "  --region REGION     region (default: AWS_REGION, AWS_DEFAULT_REGION, the profile's)\n"
    "  --endpoint-url URL  send requests to URL instead of the default endpoint\n"
    "                      (default: AWS_ENDPOINT_URL_S3, AWS_ENDPOINT_URL)\n"
    "  --dry-run           log what would be transferred; send no upload, write no file\n"
    "  -h, --help          show this help\n"
    "  --version           show the version and exit\n"
    "\n"
    "--concurrency N: transfers (or deletion batches) in flight at once; default: the\n"
    "profile's s3 max_concurrent_requests, else 64. A failed file does not stop the\n"
    "others, and the command fails if any did.\n"
    "\n"
    "exit status: 0 done, 1 failed, 2 usage error\n";

// Aborts the multipart uploads under way (as the AWS CLI does on Ctrl-C)
// within `limit`: someone who pressed Ctrl-C waits no longer, and an upload
// not aborted by then is left to the bucket's lifecycle rules. Returns a line
// per upload.
std::vector<std::string> abortUploadsWithin(std::chrono::seconds limit) {
  auto task = std::make_shared<std::packaged_task<std::vector<std::string>()>>(
      [] { return aws::abortOpenUploads(); });
  std::future<std::vector<std::string>> said = task->get_future();
  std::thread([task] { (*task)(); }).detach();
  if (said.wait_for(limit) == std::future_status::ready) return said.get();
  return {"multipart uploads under way were not all aborted within " +
          std::to_string(limit.count()) +
          " s; the bucket's lifecycle rules or `aws s3api abort-multipart-upload` remove them"};
}

// SIGINT and SIGTERM are taken by a thread of their own (blocked in every
// other thread): the command ends at once, as the signal would have ended
// it, but first removes the files it was downloading, which would otherwise
// stay beside their targets as *.tmp.* files, and aborts its uploads in
// parts, which would otherwise keep their parts (and their cost) in the
// bucket.
void watchSignals() {
  aws::watchTerminationSignals([](int signal) {
    aws::removePendingAtomicFiles();
    std::string note = "probefleet-s3: " + aws::signalName(signal) +
                       ": stopped; files not yet complete were removed\n";
    for (const std::string& line : abortUploadsWithin(std::chrono::seconds(5))) {
      note += "probefleet-s3: " + line + "\n";
    }
    (void)!::write(STDERR_FILENO, note.data(), note.size());
    ::_exit(128 + signal);
  });
}

struct CommandSpec {
  const char* name;
  std::vector<const char*> options;  // command options that take a value
  bool json = false;                 // accepts --json
};

const std::vector<CommandSpec>& commands() {
  static const std::vector<CommandSpec> specs = {
      {"upload-folder", {"--base-dir", "--concurrency"}},
      {"upload-file", {"--base-dir"}},
      {"download", {"--target", "--concurrency"}},
      {"delete-folder", {"--concurrency"}},
      {"fingerprint", {}, true},
  };
  return specs;
}

// The command and its operands, checked against what the command takes.
const CommandSpec& checkCommand(const cli::CommandLine& line) {
  if (line.operands.empty()) throw cli::UsageError("no command given");
  const std::string& command = line.operands.front();
  const CommandSpec* spec = nullptr;
  for (const CommandSpec& candidate : commands()) {
    if (command == candidate.name) spec = &candidate;
  }
  if (spec == nullptr) throw cli::UsageError("unknown command " + command);
  for (const auto& [option, value] : line.values) {
    if (cli::isAwsOption(option)) continue;
    bool allowed = false;
    for (const char* own : spec->options) allowed = allowed || option == own;
    if (!allowed) throw cli::UsageError(option + " does not apply to " + command);
  }
  if (line.flag("--json") && !spec->json) {
    throw cli::UsageError("--json does not apply to " + command);
  }
  const std::size_t given = line.operands.size() - 1;
  if (given != 2) {
    throw cli::UsageError(command + " takes 2 arguments, " + std::to_string(given) + " given");
  }
  for (std::size_t i = 1; i < line.operands.size(); ++i) {
    if (line.operands[i].empty()) throw cli::UsageError("empty argument to " + command);
  }
  return *spec;
}

void printFingerprint(const s3lib::FingerprintResult& result, bool json) {
  if (json) {
    std::cout << result.dump(2) << "\n";
    return;
  }
  for (const auto& [name, value] : result.items()) {
    std::cout << name << ": " << (value.is_string() ? value.get<std::string>() : value.dump())
              << "\n";
  }
}

// The library uploads nothing, silently, from a folder it cannot list; a
// shell step must not mistake that for a backup made.
void requireFolder(const std::string& folder) {
  std::error_code error;
  std::filesystem::directory_iterator listing(folder, error);
  if (error) {
    throw std::runtime_error("cannot upload the folder " + folder + ": " + error.message());
  }
}

// The library downloads nothing, silently, from an empty backup folder, and
// skips (logging each) the objects whose keys would leave the target folder
// ("../", a leading "/"). A shell step must not take either for a restore
// made: an empty folder is said, and refused keys make the run fail.
// Returns the number of keys refused.
std::size_t reportListing(const s3lib::DownloadSummary& summary, const std::string& bucket,
                          const std::string& vpc) {
  if (summary.listed == 0) {
    std::cerr << "probefleet-s3: no objects under s3://" << bucket << "/backups/" << vpc
              << "/; nothing downloaded\n";
  }
  if (summary.refused > 0) {
    std::cerr << "probefleet-s3: skipped " << summary.refused
              << " objects whose keys leave the target folder (see the errors above); the "
                 "others were downloaded\n";
  }
  return summary.refused;
}

// The library takes any key prefix, "" included; the command takes a folder:
// "backups/vpc-1" must not reach "backups/vpc-10/". An empty folder is said,
// so a mistyped name is not taken for a deletion made.
void deleteFolder(const aws::S3Client& client, const std::string& bucket, std::string folder,
                  const s3lib::TransferSettings& settings) {
  if (folder.back() != '/') folder += '/';
  if (folder == "/") throw cli::UsageError("delete-folder needs a folder, not the whole bucket");
  testlib::s3Logger()->info("- Delete S3 " + bucket + "/" + folder);
  if (s3lib::deleteFolder(&client, bucket, folder, settings) == 0) {
    std::cerr << "probefleet-s3: no objects under s3://" << bucket << "/" << folder
              << "; nothing deleted\n";
  }
}

int run(const cli::CommandLine& line) {
  const std::string command = checkCommand(line).name;
  testlib::Globals::dry_run = line.flag("--dry-run");
  aws::S3Client client(cli::clientConfig(line, "s3"));
  const std::string& bucket = line.operands[1];
  const std::string& operand = line.operands[2];
  s3lib::TransferSettings settings;
  if (command == "upload-folder" || command == "download" || command == "delete-folder") {
    settings.concurrency = cli::transferConcurrency(line, aws::ProcessEnvironment(),
                                                    s3lib::kDefaultTransferConcurrency);
  }
  if (command == "upload-folder") {
    const std::string base = line.value("--base-dir").value_or(".");
    requireFolder(base + "/" + operand);
    s3lib::uploadAllFiles(&client, base, operand, bucket, settings);
  } else if (command == "upload-file") {
    s3lib::S3BackupCmd(&client, line.value("--base-dir").value_or("."), bucket, operand)
        .uploadAFile();
  } else if (command == "download") {
    const s3lib::DownloadSummary summary = s3lib::downloadAllFiles(
        &client, bucket, operand, line.value("--target").value_or("."), settings);
    if (reportListing(summary, bucket, operand) > 0) return 1;
  } else if (command == "delete-folder") {
    deleteFolder(client, bucket, operand, settings);
  } else {
    const s3lib::FingerprintResult result =
        s3lib::S3BackupCmd(&client, std::nullopt, bucket, operand).getS3KeyFileFingerprint();
    if (result["fingerprint"].get<std::string>().empty()) return 1;
    printFingerprint(result, line.flag("--json"));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  watchSignals();
  const int status = cli::runProgram(
      {"probefleet-s3", kUsage, kHelp}, std::vector<std::string>(argv + 1, argv + argc),
      {cli::flagOption("--dry-run"), cli::flagOption("--json"), cli::valueOption("--base-dir"),
       cli::valueOption("--target"), cli::valueOption("--concurrency")},
      run);
  // For benchmarks: how many connections the run needed.
  if (aws::ProcessEnvironment().nonEmpty("PROBEFLEET_CONNECTION_STATS")) {
    std::cerr << "probefleet-s3: " << aws::CurlTransport::connectionsOpened()
              << " connections opened\n";
  }
  return status;
}
