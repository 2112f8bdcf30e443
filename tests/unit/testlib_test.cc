#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "testlib/app_exit_status.h"
#include "testlib/common.h"

#include "support/files.h"

namespace testlib {
namespace {

namespace fs = std::filesystem;

using testing_support::readFile;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// A scratch working folder, since the backup folder is relative to it.
class InScratchDir : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = fs::current_path();
    fs::current_path(dir_);
  }
  void TearDown() override { fs::current_path(old_); }
  testing_support::ScratchDir scratch_;
  fs::path old_, dir_ = scratch_.path();
};

using CommonTest = InScratchDir;

TEST_F(CommonTest, LogFileHoldsTheCommandFirstAndBothLoggersRecords) {
  // A log file left from an earlier run is kept: the run's records follow it.
  fs::create_directories("keys/nested/log");
  std::ofstream("keys/nested/log/corvanta_testlibs.log") << "old run\n";

  Common::initLogLocation("keys/nested");
  Common::logCommandOptions("probefleet --test_config tc.json --backup_folder keys/nested");
  logger()->info("- Create SG corvanta-test-ec2-sg in vpc-1");
  s3Logger()->error("  **Error** upload failed");
  logger()->warn("  **Alert** odd state");

  auto got = lines(readFile(dir_ / "keys/nested/log/corvanta_testlibs.log"));
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0], "old run");
  got.erase(got.begin());
  // Timestamp, level, logger name, message.
  const std::regex layout(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (\w+) \[([\w.]+)\] (.*)$)");
  const std::vector<std::vector<std::string>> expected = {
      {"info", "corvanta_testlibs", "probefleet --test_config tc.json --backup_folder keys/nested"},
      {"info", "corvanta_testlibs", "- Create SG corvanta-test-ec2-sg in vpc-1"},
      {"error", "corvanta_testlibs.bin.lib.s3", "  **Error** upload failed"},
      {"warning", "corvanta_testlibs", "  **Alert** odd state"},
  };
  for (std::size_t i = 0; i < expected.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(got[i], m, layout)) << got[i];
    EXPECT_EQ(m[1], expected[i][0]);
    EXPECT_EQ(m[2], expected[i][1]);
    EXPECT_EQ(m[3], expected[i][2]);
  }
}

TEST_F(CommonTest, ConsoleGetsTheSameRecords) {
  Common::initLogLocation("bk");
  ::testing::internal::CaptureStderr();
  Common::logCommandOptions("probefleet ");
  s3Logger()->info("  uploaded x");
  const std::string console = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(lines(console), lines(readFile(dir_ / "bk/log/corvanta_testlibs.log")));
  ASSERT_EQ(lines(console).size(), 2u);
  // The trailing blank of an empty argument list is kept.
  EXPECT_EQ(lines(console)[0].substr(lines(console)[0].size() - 11), "probefleet ");
}

TEST_F(CommonTest, SecondInitMovesTheFileAndLoggersHandedOutEarlierFollow) {
  auto early = logger();
  Common::initLogLocation("first");
  early->info("one");
  Common::initLogLocation("second");
  early->info("two");
  EXPECT_EQ(lines(readFile(dir_ / "first/log/corvanta_testlibs.log")).size(), 1u);
  const auto second = lines(readFile(dir_ / "second/log/corvanta_testlibs.log"));
  ASSERT_EQ(second.size(), 1u);
  EXPECT_NE(second[0].find("two"), std::string::npos);
}

TEST_F(CommonTest, UnusableFolderIsAnError) {
  std::ofstream("blocker") << "a file where a folder should be\n";
  EXPECT_THROW(Common::initLogLocation("blocker"), std::runtime_error);
}

TEST(CommonPathTest, RemovePrefix) {
  struct Case {
    std::string path, prefix, expected;
  };
  for (const Case& c : std::vector<Case>{
           {"./keys/log/x.log", "./", "keys/log/x.log"},
           {"base/sub/f.pem", "base/", "sub/f.pem"},
           {"base/", "base/", ""},
           {"other/f", "base/", "other/f"},  // not under the prefix: unchanged
           {"ba", "base/", "ba"},
           {"basement/f", "base/", "basement/f"},
       }) {
    EXPECT_EQ(Common::remove_prefix(c.path, c.prefix), c.expected) << c.path;
  }
}

TEST(AppExitStatusTest, AnyThreadCanMarkTheRunFailed) {
  AppExitStatus::resetForTesting();
  EXPECT_EQ(AppExitStatus().getStatus(), 0);
  std::vector<std::thread> workers;
  for (int i = 0; i < 8; ++i) {
    workers.emplace_back([i] {
      if (i % 3 == 0) AppExitStatus::markFailed();
    });
  }
  for (auto& w : workers) w.join();
  // A new instance sees the process-wide status.
  EXPECT_EQ(AppExitStatus().getStatus(), 1);
  AppExitStatus::resetForTesting();
  EXPECT_EQ(AppExitStatus().getStatus(), 0);
}

}  // namespace
}  // namespace testlib
