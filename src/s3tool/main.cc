// probefleet-s3: the library s3's four transfers for the workflow's shell
// steps, with the global AWS options of the SDKs' own tools.

#include <algorithm>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "aws/error.h"
#include "aws/http.h"
#include "aws/s3.h"
#include "aws/session.h"
#include "s3/s3_backup_cmd.h"
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
    "  upload-folder BUCKET PATH [--base-dir DIR]\n"
    "      upload every file below DIR/PATH; each object key is the file's path\n"
    "      relative to DIR (default \".\")\n"
    "  upload-file BUCKET PATH [--base-dir DIR]\n"
    "      upload the file DIR/PATH under the key PATH (DIR defaults to \".\")\n"
    "  download BUCKET VPC_ID [--target DIR]\n"
    "      download the objects under backups/VPC_ID/ into DIR/VPC_ID (default \".\"),\n"
    "      except *.log, *.tfstate and *.backup\n"
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
    "exit status: 0 done, 1 failed, 2 usage error\n";

struct CommandSpec {
  const char* name;
  std::vector<const char*> options;  // command options that take a value
  bool json = false;                 // accepts --json
};

const std::vector<CommandSpec>& commands() {
  static const std::vector<CommandSpec> specs = {
      {"upload-folder", {"--base-dir"}},
      {"upload-file", {"--base-dir"}},
      {"download", {"--target"}},
      {"fingerprint", {}, true},
  };
  return specs;
}

struct Invocation {
  std::string command;
  std::vector<std::string> operands;
  std::map<std::string, std::string> values;  // options with a value, by name
  bool dry_run = false;
  bool json = false;
  bool help = false;
  bool version = false;
};

struct UsageError {
  std::string what;
};

std::optional<std::string> valueOf(const Invocation& call, const std::string& name) {
  auto it = call.values.find(name);
  if (it == call.values.end()) return std::nullopt;
  return it->second;
}

// Options may stand anywhere, as "--name value" or "--name=value"; "--" ends
// them.
Invocation parse(const std::vector<std::string>& arguments) {
  static const std::vector<std::string> global = {"--profile", "--region", "--endpoint-url"};
  Invocation call;
  std::vector<std::string> positional;
  std::vector<std::string> command_options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--") {
      positional.insert(positional.end(), arguments.begin() + static_cast<long>(i) + 1,
                        arguments.end());
      break;
    }
    if (argument == "-h" || argument == "--help") {
      call.help = true;
      continue;
    }
    if (argument == "--version") {
      call.version = true;
      continue;
    }
    if (argument.rfind("--", 0) != 0 || argument.size() == 2) {
      positional.push_back(argument);
      continue;
    }
    const std::size_t equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    if (name == "--dry-run" || name == "--json") {
      if (equals != std::string::npos) throw UsageError{name + " takes no value"};
      (name == "--dry-run" ? call.dry_run : call.json) = true;
      continue;
    }
    bool known = false;
    for (const std::string& option : global) known = known || option == name;
    for (const CommandSpec& spec : commands()) {
      for (const char* option : spec.options) known = known || name == option;
    }
    if (!known) throw UsageError{"unknown option " + name};
    std::string value;
    if (equals != std::string::npos) {
      value = argument.substr(equals + 1);
    } else if (i + 1 < arguments.size()) {
      value = arguments[++i];
    } else {
      throw UsageError{name + " needs a value"};
    }
    if (call.values.count(name)) throw UsageError{name + " given twice"};
    call.values[name] = value;
    if (std::find(global.begin(), global.end(), name) == global.end()) {
      command_options.push_back(name);
    }
  }
  if (call.help || call.version) return call;

  if (positional.empty()) throw UsageError{"no command given"};
  call.command = positional.front();
  call.operands.assign(positional.begin() + 1, positional.end());
  const CommandSpec* spec = nullptr;
  for (const CommandSpec& candidate : commands()) {
    if (call.command == candidate.name) spec = &candidate;
  }
  if (spec == nullptr) throw UsageError{"unknown command " + call.command};
  for (const std::string& option : command_options) {
    bool allowed = false;
    for (const char* own : spec->options) allowed = allowed || option == own;
    if (!allowed) throw UsageError{option + " does not apply to " + call.command};
  }
  if (call.json && !spec->json) throw UsageError{"--json does not apply to " + call.command};
  if (call.operands.size() != 2) {
    throw UsageError{call.command + " takes 2 arguments, " + std::to_string(call.operands.size()) +
                     " given"};
  }
  for (const std::string& operand : call.operands) {
    if (operand.empty()) throw UsageError{"empty argument to " + call.command};
  }
  return call;
}

aws::ClientConfig s3Config(const Invocation& call) {
  std::optional<aws::Endpoint> endpoint;
  if (auto url = valueOf(call, "--endpoint-url")) {
    try {
      endpoint = aws::Endpoint::parse(*url);
    } catch (const std::invalid_argument& error) {
      throw UsageError{"--endpoint-url: " + std::string(error.what())};
    }
  }
  aws::Session session = aws::Session::fromProfile(valueOf(call, "--profile"));
  aws::ClientConfig config = session.clientConfig("s3", valueOf(call, "--region"));
  if (endpoint) {
    config.endpoint = *endpoint;
    config.endpoint_overridden = true;
    config.signing_region = config.region.empty() ? "us-east-1" : config.region;
  }
  return config;
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

int run(const Invocation& call) {
  testlib::Globals::dry_run = call.dry_run;
  aws::S3Client client(s3Config(call));
  const std::string& bucket = call.operands[0];
  const std::string& operand = call.operands[1];
  if (call.command == "upload-folder") {
    s3lib::S3BackupCmd(&client, valueOf(call, "--base-dir").value_or("."), bucket, operand)
        .upload();
  } else if (call.command == "upload-file") {
    s3lib::S3BackupCmd(&client, valueOf(call, "--base-dir").value_or("."), bucket, operand)
        .uploadAFile();
  } else if (call.command == "download") {
    s3lib::S3BackupCmd(&client, valueOf(call, "--target").value_or("."), bucket, operand)
        .download();
  } else {
    const s3lib::FingerprintResult result =
        s3lib::S3BackupCmd(&client, std::nullopt, bucket, operand).getS3KeyFileFingerprint();
    if (result["fingerprint"].get<std::string>().empty()) return 1;
    printFingerprint(result, call.json);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  try {
    const Invocation call = parse(arguments);
    if (call.help) {
      std::cout << kUsage << kHelp;
      return 0;
    }
    if (call.version) {
      // PROBEFLEET_VERSION comes from the build (the project's version).
      std::cout << "probefleet-s3 " PROBEFLEET_VERSION "\n";
      return 0;
    }
    return run(call);
  } catch (const UsageError& error) {
    std::cerr << kUsage << "probefleet-s3: error: " << error.what << "\n";
    return 2;
  } catch (const std::exception& error) {
    std::cerr << "probefleet-s3: " << error.what() << "\n";
    return 1;
  }
}
