#include "probefleet/resources/results.h"

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <utility>

#include "aws/base/strings.h"
#include "aws/client/error.h"
#include "aws/services/s3_transfer.h"
#include "probefleet/resources/tags.h"
#include "probefleet/config/test_config.h"
#include "testlib/common.h"

namespace probefleet {

namespace {

namespace fs = std::filesystem;

// A directory of this collection's own (mode 0700) beside the fixed files,
// so that a staged download can be renamed over them within one file system.
class StagingDir {
 public:
  explicit StagingDir(const fs::path& beside) {
    std::string pattern = (beside / "probefleet-results-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "cannot create " + pattern);
    }
    path_ = pattern;
  }
  ~StagingDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  StagingDir(const StagingDir&) = delete;
  StagingDir& operator=(const StagingDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string readWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::system_error(errno, std::generic_category(), "cannot open " + path.string());
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad())
    throw std::system_error(EIO, std::generic_category(), "cannot read " + path.string());
  return text;
}

// Downloads s3://bucket/key, reads what came, then puts the file in place at
// `destination`. The text returned is the one downloaded here, whatever
// another collection does to `destination` meanwhile.
std::string fetchObject(const aws::S3Client& s3_client, const std::string& bucket,
                        const std::string& key, const StagingDir& staging,
                        const fs::path& destination) {
  const fs::path staged = staging.path() / destination.filename();
  aws::downloadFile(s3_client, bucket, key, staged.string());
  std::string text = readWholeFile(staged);
  fs::rename(staged, destination);
  return text;
}

bool saysPass(const std::string& text) {
  return aws::trim(text) == "PASS";
}

// Collects one gateway into `gateway`, whose keys are set. Only errors the
// service reports are taken as the gateway's failure; anything else ends the
// collection.
void collectGateway(const aws::S3Client& s3_client, const std::string& bucket,
                    const StagingDir& staging, GatewayResult& gateway) {
  auto log = testlib::logger();
  const std::string* key = &gateway.log_key;
  try {
    log->info(fetchObject(s3_client, bucket, *key, staging, kTestLogFile));
    key = &gateway.result_key;
    gateway.result = fetchObject(s3_client, bucket, *key, staging, kTestResultFile);
    log->info(*gateway.result);
    gateway.passed = saysPass(*gateway.result);
    if (!gateway.passed) gateway.reason = "the result text is not PASS";
  } catch (const aws::ServiceError& error) {
    log->info(error.what());
    gateway.reason = *key + ": " + error.what();
  }
}

GatewayResult gatewayOf(std::optional<std::string> gw_name, std::string private_subnet_id,
                        const std::string& test_tag) {
  GatewayResult gateway;
  gateway.gw_name = std::move(gw_name);
  gateway.private_subnet_id = std::move(private_subnet_id);
  gateway.log_key = "log-" + test_tag + ".txt";
  gateway.result_key = "result-" + test_tag + ".txt";
  return gateway;
}

}  // namespace

std::vector<GatewayResult> collectS3TestResults(const aws::S3Client& s3_client, const Args& args,
                                                const std::string& run_tag) {
  auto log = testlib::logger();
  const std::string bucket = args.s3_bucket.value_or("");
  const StagingDir staging(fs::path(kTestLogFile).parent_path());
  std::vector<GatewayResult> gateways;

  if (args.test_config.empty()) {
    gateways.push_back(
        gatewayOf(std::nullopt, args.private_subnet_id.value_or(""), deduceTag(run_tag)));
  } else {
    const TestConfig test_config = readTestConfig(args.test_config, ConfigUse::kResults);
    for (const auto& entry : test_config) {
      gateways.push_back(gatewayOf(entry.at("gw_name").get<std::string>(),
                                   entry.at("private_subnet_id").get<std::string>(),
                                   deduceTag(run_tag, &entry)));
    }
  }
  for (GatewayResult& gateway : gateways) {
    log->info("- Test ping and traceroute in " + gateway.private_subnet_id);
    collectGateway(s3_client, bucket, staging, gateway);
  }
  return gateways;
}

int getS3TestResults(const aws::S3Client& s3_client, const Args& args, const std::string& run_tag) {
  for (const GatewayResult& gateway : collectS3TestResults(s3_client, args, run_tag)) {
    if (!gateway.passed) return 1;
  }
  return 0;
}

}  // namespace probefleet
