// probefleet-s3 run as the workflow's shell steps run it, against the sandbox
// with signature checking on: a folder up and a VPC's backup folder down, one
// file up and its fingerprint, the global AWS options, exit statuses.

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "aws/services/s3.h"
#include "support/e2e.h"
#include "support/files.h"
#include "support/sandbox.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Sandbox;

using testing_support::RunResult;

using testing_support::readFile;

using testing_support::writeFile;

using testing_support::contains;

std::vector<std::string> filesBelow(const fs::path& folder) {
  std::vector<std::string> out;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) out.push_back(fs::relative(entry.path(), folder).string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

class S3ToolE2eTest : public testing_support::E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    bucket_ = world_["bucket"].get<std::string>();
    tag_ = name + std::to_string(::getpid());
  }

  // Runs the program in the scratch folder.
  RunResult run(const std::vector<std::string>& arguments,
                const std::map<std::string, std::string>& extra_env = {}) {
    return runProgram("probefleet-s3", arguments, extra_env);
  }

  long count(const std::string& action) {
    return static_cast<long>(sandbox_.journal("s3", action).size());
  }

  // Runs the program with `arguments` while every S3 `slowed` request is held
  // for 20 s, and sends SIGINT once `ready` holds (or after 10 s).
  RunResult interruptWhileSlowed(const std::vector<std::string>& arguments,
                                 const std::string& slowed, const std::function<bool()>& ready) {
    sandbox_.setFaults(
        {{"rules", {{{"service", "s3"}, {"action", slowed}, {"latency_ms", 20000}}}}});
    RunResult stopped = runProgram("probefleet-s3", arguments, {}, [&](pid_t pid) {
      for (int i = 0; i < 400 && !ready(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
      }
      ::kill(pid, SIGINT);
    });
    sandbox_.clearFaults();
    return stopped;
  }

  std::string opensslFingerprint(const fs::path& key) {
    std::string out, err;
    testing_support::runProcess(
        {"sh", "-c",
         "openssl pkcs8 -in '" + key.string() +
             "' -inform PEM -outform DER -topk8 -nocrypt | openssl sha1 -c"},
        {}, &out, &err);
    return out.substr(out.find("= ") + 2, 59);
  }

  std::string bucket_, tag_;
};

TEST_F(S3ToolE2eTest, FolderUpAndTheVpcBackupFolderDown) {
  const std::string vpc = "vpc-" + tag_;
  const fs::path backup = dir_ / "backups" / vpc;
  writeFile(backup / "state.json", "{\"a\": 1}\n");
  writeFile(backup / "sub" / "nested.json", "[]\n");
  writeFile(backup / "run.log", "log\n");
  writeFile(backup / "main.tfstate", "tf\n");

  RunResult up = run({"upload-folder", bucket_, "backups/" + vpc});
  ASSERT_EQ(up.status, 0) << up.err;
  EXPECT_TRUE(contains(up.err, "- Upload ./backups/" + vpc + " to S3")) << up.err;
  EXPECT_TRUE(contains(up.err, "  ./backups/" + vpc + "/sub/nested.json to " + bucket_ +
                                   "/backups/" + vpc + "/sub/nested.json"))
      << up.err;

  RunResult down = run({"download", bucket_, vpc, "--target", "restore"});
  ASSERT_EQ(down.status, 0) << down.err;
  EXPECT_EQ(filesBelow(dir_ / "restore"),
            (std::vector<std::string>{vpc + "/state.json", vpc + "/sub/nested.json"}));
  EXPECT_EQ(readFile(dir_ / "restore" / vpc / "state.json"), "{\"a\": 1}\n");
  EXPECT_TRUE(contains(down.err, "- Download S3 " + bucket_ + "/" + vpc + " to restore/" + vpc));
  EXPECT_FALSE(contains(down.err, "no objects under")) << down.err;

  // A mistyped VPC id finds nothing: not a failure, but said.
  RunResult empty = run({"download", bucket_, "vpc-none-" + tag_});
  EXPECT_EQ(empty.status, 0) << empty.err;
  EXPECT_TRUE(contains(empty.err, "probefleet-s3: no objects under s3://" + bucket_ +
                                      "/backups/vpc-none-" + tag_ + "/"))
      << empty.err;
}

TEST_F(S3ToolE2eTest, FoldersGoInParallelAndAFailedFileDoesNotStopTheOthers) {
  const std::string vpc = "vpc-" + tag_;
  const fs::path folder = dir_ / "backups" / vpc;
  for (int i = 0; i < 40; ++i) writeFile(folder / ("f" + std::to_string(i) + ".json"), "x");
  // The log names the files in the order the file system lists them, as a
  // walk one file at a time would.
  std::vector<std::string> walk;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string key = "backups/" + vpc + "/" + entry.path().filename().string();
    walk.push_back("  ./" + key + " to " + bucket_ + "/" + key);
  }
  // The profile's setting applies where the option is not given.
  writeFile(dir_ / "config", "[default]\ns3 =\n  max_concurrent_requests = 8\n");
  RunResult up = run({"upload-folder", bucket_, "backups/" + vpc},
                     {{"AWS_CONFIG_FILE", (dir_ / "config").string()}});
  ASSERT_EQ(up.status, 0) << up.err;
  std::vector<std::string> logged;
  std::istringstream lines(up.err);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t at = line.find("]   ./");
    if (at != std::string::npos) logged.push_back(line.substr(at + 2));
  }
  EXPECT_EQ(logged, walk);

  sandbox_.setFaults({{"rules",
                       {{{"service", "s3"},
                         {"action", "GetObject"},
                         {"skip", 3},
                         {"count", 2},
                         {"status", 403},
                         {"code", "AccessDenied"},
                         {"message", "denied"}}}}});
  RunResult down = run({"download", bucket_, vpc, "--target", "restore", "--concurrency", "6"});
  sandbox_.clearFaults();
  EXPECT_EQ(down.status, 1) << down.err;
  EXPECT_TRUE(contains(down.err, "2 of 40 downloads failed")) << down.err;
  std::size_t named = 0;
  for (std::size_t at = 0;
       (at = down.err.find("**Error** download of backups/" + vpc, at)) != std::string::npos;
       ++at) {
    ++named;
  }
  EXPECT_EQ(named, 2u) << down.err;
  EXPECT_EQ(filesBelow(dir_ / "restore").size(), 38u);

  writeFile(dir_ / "config", "[default]\ns3 =\n  max_concurrent_requests = many\n");
  RunResult bad_setting =
      run({"download", bucket_, vpc}, {{"AWS_CONFIG_FILE", (dir_ / "config").string()}});
  EXPECT_EQ(bad_setting.status, 1);
  EXPECT_TRUE(contains(bad_setting.err, "max_concurrent_requests")) << bad_setting.err;
}

TEST_F(S3ToolE2eTest, DeleteFolderTakesAFolderNotAPrefix) {
  const std::string vpc = "vpc-" + tag_;
  for (const std::string& name : {vpc + "/a.json", vpc + "/sub/b.json", vpc + "0/keep.json"}) {
    writeFile(dir_ / "backups" / name, "x");
  }
  ASSERT_EQ(run({"upload-folder", bucket_, "backups"}).status, 0);
  sandbox_.clearJournal();

  RunResult dry = run({"--dry-run", "delete-folder", bucket_, "backups/" + vpc});
  ASSERT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(count("DeleteObjects"), 0);

  RunResult gone = run({"delete-folder", bucket_, "backups/" + vpc, "--concurrency", "2"});
  ASSERT_EQ(gone.status, 0) << gone.err;
  for (const RunResult* result : {&dry, &gone}) {
    EXPECT_TRUE(contains(result->err, "- Delete S3 " + bucket_ + "/backups/" + vpc + "/\n"));
    EXPECT_TRUE(contains(result->err, "  backups/" + vpc + "/sub/b.json\n")) << result->err;
    EXPECT_FALSE(contains(result->err, vpc + "0/")) << result->err;
  }
  EXPECT_EQ(count("DeleteObjects"), 1);
  RunResult again = run({"download", bucket_, vpc + "0", "--target", "after"});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(filesBelow(dir_ / "after"), (std::vector<std::string>{vpc + "0/keep.json"}));

  RunResult none = run({"delete-folder", bucket_, "backups/" + vpc});
  EXPECT_EQ(none.status, 0) << none.err;
  EXPECT_TRUE(contains(none.err, "no objects under s3://" + bucket_ + "/backups/" + vpc + "/;"))
      << none.err;
}

TEST_F(S3ToolE2eTest, AnInterruptedDownloadLeavesNoPartialFile) {
  const std::string vpc = "vpc-" + tag_;
  writeFile(dir_ / "backups" / vpc / "slow.json", "{}");
  ASSERT_EQ(run({"upload-folder", bucket_, "backups/" + vpc}).status, 0);
  const fs::path folder = dir_ / "restore" / vpc;
  // The temporary file exists while the answer is awaited.
  RunResult stopped =
      interruptWhileSlowed({"download", bucket_, vpc, "--target", "restore"}, "GetObject",
                           [&] { return fs::exists(folder) && !fs::is_empty(folder); });
  EXPECT_EQ(stopped.status, 128 + SIGINT) << stopped.err;
  EXPECT_TRUE(contains(stopped.err, "probefleet-s3: SIGINT: stopped")) << stopped.err;
  EXPECT_TRUE(fs::exists(folder));
  EXPECT_TRUE(filesBelow(folder).empty()) << filesBelow(folder).front();
}

TEST_F(S3ToolE2eTest, AnInterruptedUploadInPartsIsAborted) {
  const std::string key = tag_ + "/big.bin";
  writeFile(dir_ / key, std::string(9 << 20, 'x'));  // two parts
  const long created = count("CreateMultipartUpload"), aborted = count("AbortMultipartUpload");
  RunResult stopped = interruptWhileSlowed({"upload-file", bucket_, key}, "UploadPart", [&] {
    if (count("CreateMultipartUpload") == created) return false;
    // The answer is in the journal a moment before the client has it.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return true;
  });
  EXPECT_EQ(stopped.status, 128 + SIGINT) << stopped.err;
  EXPECT_TRUE(contains(
      stopped.err, "probefleet-s3: aborted the multipart upload of s3://" + bucket_ + "/" + key))
      << stopped.err;
  const auto aborts = sandbox_.journal("s3", "AbortMultipartUpload");
  ASSERT_EQ(static_cast<long>(aborts.size()), aborted + 1);
  EXPECT_EQ(aborts.back()["status"], 204) << aborts.back().dump();
  EXPECT_EQ(count("CompleteMultipartUpload"), 0);
}

TEST_F(S3ToolE2eTest, DryRunSendsNoUploadAndWritesNoFile) {
  writeFile(dir_ / tag_ / "a.txt", "a");
  const long puts = count("PutObject"), gets = count("GetObject");
  RunResult up = run({"--dry-run", "upload-folder", bucket_, tag_});
  ASSERT_EQ(up.status, 0) << up.err;
  EXPECT_TRUE(contains(up.err, "  ./" + tag_ + "/a.txt to " + bucket_ + "/" + tag_ + "/a.txt"));
  RunResult down = run({"download", "--dry-run", bucket_, "vpc-none", "--target", "restore"});
  ASSERT_EQ(down.status, 0) << down.err;
  EXPECT_EQ(count("PutObject"), puts);
  EXPECT_EQ(count("GetObject"), gets);
  EXPECT_FALSE(fs::exists(dir_ / "restore"));
}

TEST_F(S3ToolE2eTest, OneFileUpAndItsFingerprint) {
  const fs::path key = dir_ / "keys" / (tag_ + ".pem");
  fs::create_directories(key.parent_path());
  ASSERT_EQ(testing_support::runProcess({"openssl", "genrsa", "-out", key.string(), "2048"}, {},
                                        nullptr, nullptr),
            0);
  const std::string object = "keys/" + tag_ + ".pem";
  RunResult up = run({"upload-file", bucket_, object});
  ASSERT_EQ(up.status, 0) << up.err;

  const std::string expected = opensslFingerprint(key);
  RunResult text = run({"fingerprint", bucket_, object});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(text.out,
            "fingerprint: " + expected + "\nkey_type: RSA\nkey_size: 2048\nalgorithm: SHA-1\n");
  EXPECT_TRUE(contains(text.err, "  Found " + object + " in " + bucket_));

  RunResult json = run({"fingerprint", "--json", bucket_, object});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(nlohmann::ordered_json::parse(json.out),
            nlohmann::ordered_json({{"fingerprint", expected},
                                    {"key_type", "RSA"},
                                    {"key_size", 2048},
                                    {"algorithm", "SHA-1"}}));

  RunResult missing = run({"fingerprint", bucket_, "keys/none-" + tag_ + ".pem"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_TRUE(contains(missing.err, "keys/none-" + tag_ + ".pem not found in " + bucket_));
}

TEST_F(S3ToolE2eTest, ProfileRegionAndEndpointOptionsAsTheSdkToolsTakeThem) {
  // Keys only in a named profile, the endpoint only on the command line.
  const auto world = sandbox_.world();
  writeFile(dir_ / "credentials",
            "[s3tool]\naws_access_key_id = " + world["user"]["access_key_id"].get<std::string>() +
                "\naws_secret_access_key = " +
                world["user"]["secret_access_key"].get<std::string>() + "\n");
  const std::string unset(testing_support::kUnsetEnv);
  const std::map<std::string, std::string> env = {
      {"AWS_SHARED_CREDENTIALS_FILE", (dir_ / "credentials").string()},
      {"AWS_ACCESS_KEY_ID", unset},
      {"AWS_SECRET_ACCESS_KEY", unset},
      {"AWS_ENDPOINT_URL", unset},
      {"AWS_REGION", unset},
      {"AWS_DEFAULT_REGION", unset}};
  writeFile(dir_ / tag_ / "f.txt", "f");

  RunResult ok = run({"--profile", "s3tool", "--region=us-east-1", "--endpoint-url",
                      sandbox_.endpoint(), "upload-file", bucket_, tag_ + "/f.txt"},
                     env);
  EXPECT_EQ(ok.status, 0) << ok.err;
  // The object is there, as the profile's keys signed it for that region.
  EXPECT_EQ(aws::S3Client(sandbox_.clientConfig("s3")).getObject(bucket_, tag_ + "/f.txt").body,
            "f");
  const auto puts = sandbox_.journal("s3", "PutObject");
  ASSERT_FALSE(puts.empty());
  EXPECT_EQ(puts.back()["status"], 200);

  RunResult unknown_profile = run({"--profile", "nobody", "--endpoint-url", sandbox_.endpoint(),
                                   "upload-file", bucket_, tag_ + "/f.txt"},
                                  env);
  EXPECT_EQ(unknown_profile.status, 1);
  EXPECT_TRUE(contains(unknown_profile.err, "nobody")) << unknown_profile.err;
}

TEST_F(S3ToolE2eTest, FailuresExitWithOne) {
  struct Case {
    const char* name;
    std::vector<std::string> argv;
    std::string cause;  // in the program's closing line
  };
  const std::vector<Case> cases = {
      {"missing file", {"upload-file", bucket_, "no/such/file.txt"}, "no/such/file.txt"},
      {"missing bucket",
       {"upload-file", "no-such-bucket-" + std::to_string(::getpid()), "x.txt"},
       "NoSuchBucket"},
      {"missing bucket on download", {"download", "no-such-bucket-x", "vpc-1"}, "NoSuchBucket"},
      {"missing folder", {"upload-folder", bucket_, "no/such/folder"}, "no/such/folder"},
      {"a file, not a folder", {"upload-folder", bucket_, "x.txt"}, "x.txt"},
      {"a profile whose name begins with --",
       {"--profile=--nobody", "upload-file", bucket_, "x.txt"},
       "--nobody"},
  };
  writeFile(dir_ / "x.txt", "x");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunResult result = run(c.argv);
    EXPECT_EQ(result.status, 1) << result.err;
    const auto line = result.err.rfind("probefleet-s3: ");
    ASSERT_NE(line, std::string::npos) << result.err;
    EXPECT_NE(result.err.find(c.cause, line), std::string::npos) << result.err;
  }
}

TEST_F(S3ToolE2eTest, UsageErrorsExitWithTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"copy", bucket_, "x"},
      {"upload-file", bucket_},
      {"upload-file", bucket_, "a", "b"},
      {"upload-file", bucket_, ""},
      {"--bogus", "upload-file", bucket_, "x"},
      {"upload-file", "--json", bucket_, "x"},
      {"fingerprint", "--base-dir", "d", bucket_, "x"},
      {"upload-file", bucket_, "x", "--base-dir"},
      {"--endpoint-url", "ftp//nowhere", "upload-file", bucket_, "x"},
      {"--dry-run=yes", "upload-file", bucket_, "x"},
      {"--profile", "--dry-run", "upload-file", bucket_, "x"},
      {"upload-folder", bucket_, "x", "--base-dir="},
      {"download", bucket_, "vpc-1", "--target="},
      {"--region=", "upload-file", bucket_, "x"},
      {"upload-folder", bucket_, "x", "--concurrency", "0"},
      {"download", bucket_, "vpc-1", "--concurrency=8x"},
      {"upload-file", bucket_, "x", "--concurrency", "4"},
      {"delete-folder", bucket_, "/"},
      {"delete-folder", bucket_, "x", "--target", "d"},
  };
  for (const auto& argv : cases) {
    std::string joined;
    for (const auto& word : argv) joined += word + " ";
    SCOPED_TRACE(joined);
    RunResult result = run(argv);
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(contains(result.err, "usage: probefleet-s3")) << result.err;
    EXPECT_TRUE(contains(result.err, "probefleet-s3: error: ")) << result.err;
  }
  RunResult help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(contains(help.out, "upload-folder BUCKET PATH"));
  RunResult version = run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "probefleet-s3 0.1.0\n");
}

}  // namespace
