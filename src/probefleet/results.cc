#include "probefleet/results.h"

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "aws/error.h"
#include "aws/s3_transfer.h"
#include "probefleet/tags.h"
#include "probefleet/test_config.h"
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
  constexpr const char* kSpace = " \t\n\v\f\r";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string::npos) return false;
  const auto last = text.find_last_not_of(kSpace);
  return text.compare(first, last - first + 1, "PASS") == 0;
}

// Collects one gateway; true when its result says PASS. Only errors the
// service reports are taken as the gateway's failure; anything else ends the
// collection.
bool collectGateway(const aws::S3Client& s3_client, const std::string& bucket,
                    const std::string& test_tag, const StagingDir& staging) {
  auto log = testlib::logger();
  try {
    log->info(fetchObject(s3_client, bucket, "log-" + test_tag + ".txt", staging, kTestLogFile));
    const std::string result =
        fetchObject(s3_client, bucket, "result-" + test_tag + ".txt", staging, kTestResultFile);
    log->info(result);
    return saysPass(result);
  } catch (const aws::ServiceError& error) {
    log->info(error.what());
    return false;
  }
}

}  // namespace

int getS3TestResults(const aws::S3Client& s3_client, const Args& args, const std::string& run_tag) {
  auto log = testlib::logger();
  const std::string bucket = args.s3_bucket.value_or("");
  const StagingDir staging(fs::path(kTestLogFile).parent_path());

  if (args.test_config.empty()) {
    log->info("- Test ping and traceroute in " + args.private_subnet_id.value_or(""));
    return collectGateway(s3_client, bucket, deduceTag(run_tag), staging) ? 0 : 1;
  }

  const TestConfig test_config = readTestConfig(args.test_config, ConfigUse::kResults);
  bool all_passed = true;
  for (const auto& entry : test_config) {
    log->info("- Test ping and traceroute in " + entry.at("private_subnet_id").get<std::string>());
    if (!collectGateway(s3_client, bucket, deduceTag(run_tag, &entry), staging)) {
      all_passed = false;
    }
  }
  return all_passed ? 0 : 1;
}

}  // namespace probefleet
