#include "probefleet/core/lifetime.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "support/files.h"

namespace probefleet {
namespace {

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::ScratchDir;
using testing_support::writeFile;

constexpr long long kExpires = 1765300000;  // 2025-12-09T17:06:40Z

// The user data run by bash as cloud-init runs it, on an instance whose clock
// reads `now`, with the per-boot folder moved into `dir` and `shutdown`
// recording its arguments instead of acting.
class TimerRun {
 public:
  explicit TimerRun(const std::string& user_data) {
    std::string text = user_data;
    for (auto at = text.find(kPerBootDirectory); at != std::string::npos;
         at = text.find(kPerBootDirectory, at)) {
      text.replace(at, std::string(kPerBootDirectory).size(), perBoot().string());
      at += perBoot().string().size();
    }
    writeFile(dir_ / "user-data", text);
    writeFile(dir_ / "bin/date", "#!/bin/sh\n[ \"$1\" = +%s ] && echo \"$FAKE_NOW\"\n");
    writeFile(dir_ / "bin/shutdown", "#!/bin/sh\necho \"shutdown $*\" >> \"$RECORD\"\n");
    fs::permissions(dir_ / "bin/date", fs::perms::owner_all);
    fs::permissions(dir_ / "bin/shutdown", fs::perms::owner_all);
  }

  fs::path perBoot() const { return dir_ / "per-boot"; }
  fs::path timer() const { return perBoot() / kPerBootTimerName; }

  // Runs `program` (a path) with `shell` at `now`; what it printed and what
  // shutdown was asked, in order.
  std::string run(const std::string& shell, const fs::path& program, long long now) const {
    const fs::path record = dir_ / "record";
    fs::remove(record);
    const std::string command =
        "cd '" + dir_.path().string() + "' && PATH='" + (dir_ / "bin").string() +
        ":/usr/bin:/bin' FAKE_NOW=" + std::to_string(now) + " RECORD='" + record.string() + "' " +
        shell + " '" + program.string() + "' >> '" + record.string() + "' 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << readFile(record);
    return readFile(record);
  }

  std::string boot(long long now) const { return run("bash", dir_ / "user-data", now); }
  // A later boot: cloud-init runs the per-boot script on its own.
  std::string reboot(long long now) const { return run("", timer(), now); }

 private:
  ScratchDir dir_{"probefleet-timer"};
};

TEST(LifetimeTimerTest, CountsToTheExpiryOnEveryBoot) {
  const auto at = std::chrono::system_clock::from_time_t(kExpires);
  const struct {
    const char* name;
    long long first_boot;                // seconds before (+) or after (-) the expiry
    const char* first;                   // what the user data asks
    std::optional<long long> next_boot;  // a later boot, when there is one
    const char* next;
  } cases[] = {
      {"ninety minutes to go", 5400, "shutdown -h +90\n", std::nullopt, ""},
      {"part of a minute counts as one", 30, "shutdown -h +1\n", std::nullopt, ""},
      {"booted after the expiry", -3600, "shutdown -h now\n", std::nullopt, ""},
      {"a reboot counts from the expiry, not from boot", 7200, "shutdown -h +120\n", 600,
       "shutdown -h +10\n"},
      {"a start after the expiry ends it at once", 7200, "shutdown -h +120\n", -60,
       "shutdown -h now\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TimerRun instance(withShutdownTimer("#!/bin/bash -e\necho tests ran\n", at));
    EXPECT_EQ(instance.boot(kExpires - c.first_boot), std::string(c.first) + "tests ran\n");
    ASSERT_TRUE(fs::exists(instance.timer()));
    EXPECT_NE(fs::status(instance.timer()).permissions() & fs::perms::owner_exec, fs::perms::none);
    if (c.next_boot) {
      EXPECT_EQ(instance.reboot(kExpires - *c.next_boot), c.next);
    }
  }
}

}  // namespace
}  // namespace probefleet
